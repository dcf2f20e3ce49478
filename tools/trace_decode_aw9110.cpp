// "/dev/aw9110_1_dev", "/dev/aw9110_2_dev": an AW9110 LED driver behind its kernel driver.
// Each write carries (register, value) pairs; request 0x6B80 prepares the chip.
#include <stdlib.h>

#include "trace_decoders.h"

namespace boardsim {

namespace {

constexpr unsigned kPrepareRequest = 0x6B80;
constexpr uint8_t kSeqFirst = 0x17, kSeqLast = 0x1C, kLevelFirst = 0x20, kLevelLast = 0x29;

std::string register_name(uint8_t r) {
    switch (r) {
    case 0x02: return "OUT_HI";  // outputs of channels 4-5
    case 0x03: return "OUT_LO";  // outputs of channels 0-3
    case 0x04: return "CFG_HI";
    case 0x05: return "CFG_LO";
    case 0x11: return "SEQ_CTRL";  // bit 7 runs the chip-timed sequence
    case 0x12: return "MODE_HI";
    case 0x13: return "MODE_LO";
    case 0x14: return "ENABLE";  // channel enable, bits 0-5
    case 0x15: return "TIMING";
    case 0x16: return "TIMING2";
    case 0x7F: return "RESET";
    }
    if (r >= kSeqFirst && r <= kSeqLast) return "SEQ_CH" + std::to_string(r - kSeqFirst);
    if (r >= kLevelFirst && r <= kLevelLast) return "LEVEL" + std::to_string(r - kLevelFirst);
    return "register";
}

class Aw9110Decoder : public DeviceDecoder {
public:
    using DeviceDecoder::DeviceDecoder;

    void host_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override { pairs(e, b, ""); }
    void device_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override {
        emit(e, kFromDevice, "read " + hex_spaced(b, 0, b.size()));
    }
    void note(const TraceEvent& e, const std::string& text) override {
        long count = 0;
        if (e.call == "write" && !result_count(e, &count)) return pairs(e, e.data, " failed " + e.result);
        emit(e, "", text);
    }
    void ioctl(const TraceEvent& e) override {
        const std::string request = e.arg.substr(0, e.arg.find(':'));
        if (strtoul(request.c_str(), nullptr, 16) == kPrepareRequest)
            return emit(e, "", "prepare request 0x6b80 = " + e.result);
        DeviceDecoder::ioctl(e);
    }

private:
    // One message per (register, value) pair of the write; an odd byte is raw.
    void pairs(const TraceEvent& e, const std::vector<uint8_t>& b, const std::string& outcome) {
        size_t i = 0;
        for (; i + 1 < b.size(); i += 2)
            emit(e, kToDevice, register_name(b[i]) + " (" + hex2(b[i]) + ") = " + hex2(b[i + 1]) + outcome);
        if (i < b.size()) {
            RawRun raw;
            raw.add(b[i]);
            emit(e, kToDevice, raw.take("half a pair") + outcome);
        }
    }
};

}  // namespace

std::unique_ptr<DeviceDecoder> make_aw9110_decoder(std::vector<TraceMessage>* out) {
    return std::make_unique<Aw9110Decoder>(out);
}

}  // namespace boardsim
