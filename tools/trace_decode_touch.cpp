// "/dev/morlan_touch": the touch controller behind its driver. In its application firmware a
// read returns its registers from offset 0 (byte 4: the firmware version) and the write
// 00 09 5A asks it to hand over to its bootloader. The bootloader takes frames
// 01 CMD LEN16 DATA SUM16 17 (each write one frame, the host's buffer byte after it going
// along) and answers 01 STATUS LEN16 DATA SUM16 17, read as a 4-byte head (zeros until the
// answer is ready) and then the rest.
#include <stdio.h>

#include <algorithm>
#include <map>

#include "trace_decoders.h"

namespace boardsim {

namespace {

constexpr uint8_t kSof = 0x01, kEof = 0x17;
constexpr size_t kHead = 4, kTail = 3;  // start, code, length; checksum and end byte
constexpr uint8_t kEnter = 0x38, kExit = 0x3B, kGetFlashSize = 0x32, kSendData = 0x37, kProgramRow = 0x39,
                  kVerifyRow = 0x3A;
constexpr size_t kVersionByte = 4;
const uint8_t kEntryRequest[] = {0x00, 0x09, 0x5A};

const std::map<uint8_t, const char*> kCommands = {{kGetFlashSize, "Get Flash Size"}, {kSendData, "Send Data"},
                                                  {kEnter, "Enter"},                 {kProgramRow, "Program Row"},
                                                  {kVerifyRow, "Verify Row"},        {kExit, "Exit"}};
const std::map<uint8_t, const char*> kStatus = {{0x00, "OK"},           {0x03, "ERR_LENGTH"}, {0x04, "ERR_DATA"},
                                                {0x05, "ERR_CMD"},      {0x08, "ERR_CHECKSUM"}, {0x09, "ERR_ARRAY"},
                                                {0x0A, "ERR_ROW"}};

std::string command_name(uint8_t cmd) {
    auto it = kCommands.find(cmd);
    return it == kCommands.end() ? "command " + hex2(cmd) : it->second;
}

uint16_t frame_sum(const std::vector<uint8_t>& b, size_t n) {
    uint16_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = static_cast<uint16_t>(sum + b[i]);
    return static_cast<uint16_t>(~sum + 1);
}

unsigned le16(const std::vector<uint8_t>& b, size_t at) { return b[at] | b[at + 1] << 8; }

// The frame's checks: the end byte, then the checksum; "" when both hold.
std::string frame_fault(const std::vector<uint8_t>& f, size_t n) {
    if (f[n + 6] != kEof) return ", end byte " + hex2(f[n + 6]) + " WRONG";
    const unsigned sum = le16(f, n + 4), want = frame_sum(f, n + 4);
    if (sum != want) return ", checksum " + hex2(sum) + " WRONG, not " + hex2(want);
    return "";
}

std::string fields(uint8_t cmd, const std::vector<uint8_t>& d) {
    switch (cmd) {
    case kGetFlashSize:
        if (d.size() == 1) return " array " + std::to_string(d[0]);
        break;
    case kProgramRow:
        if (d.size() >= 3)
            return " array " + std::to_string(d[0]) + " row " + std::to_string(le16(d, 1)) + ", row bytes " +
                   hex_spaced(d, 3, d.size());
        break;
    case kVerifyRow:
        if (d.size() == 3) return " array " + std::to_string(d[0]) + " row " + std::to_string(le16(d, 1));
        break;
    default:
        if (d.empty()) return "";
    }
    return " data " + hex_spaced(d, 0, d.size());
}

class TouchDecoder : public DeviceDecoder {
public:
    using DeviceDecoder::DeviceDecoder;

    void host_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override { transfer(e, b, ""); }
    void note(const TraceEvent& e, const std::string& text) override {
        long count = 0;
        if (e.call == "write" && !result_count(e, &count)) return transfer(e, e.data, " failed " + e.result);
        end_polls(e);
        emit(e, "", text);
    }
    void device_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override {
        if (!bootloader_) {
            emit(e, kFromDevice,
                 b.size() > kVersionByte ? "registers: version " + std::to_string(b[kVersionByte]) + " (" +
                                               hex_spaced(b, 0, b.size()) + ")"
                                         : "registers: " + hex_spaced(b, 0, b.size()));
            return;
        }
        if (answer_.empty()) {
            bool zeros = true;
            for (uint8_t v : b) zeros = zeros && v == 0;
            if (zeros) {
                ++polls_;
                return;
            }
        }
        end_polls(e);
        answer_.insert(answer_.end(), b.begin(), b.end());
        if (answer_[0] != kSof) return raw_answer(e, "no frame");
        if (answer_.size() < kHead) return;
        const size_t n = le16(answer_, 2);
        if (answer_.size() < n + kHead + kTail) return;
        std::vector<uint8_t> f(answer_.begin(), answer_.begin() + static_cast<long>(n + kHead + kTail));
        auto st = kStatus.find(f[1]);
        const std::vector<uint8_t> payload(f.begin() + kHead, f.begin() + static_cast<long>(kHead + n));
        std::string text = "answer to " + command_name(last_cmd_) + ": status " +
                           (st == kStatus.end() ? hex2(f[1]) : std::string(st->second) + " (" + hex2(f[1]) + ")");
        if (last_cmd_ == kGetFlashSize && n == 4)
            text += ", rows " + std::to_string(le16(payload, 0)) + "-" + std::to_string(le16(payload, 2));
        else if (last_cmd_ == kVerifyRow && n == 1)
            text += ", row checksum " + hex2(payload[0]);
        else if (n)
            text += ", payload " + hex_spaced(payload, 0, n);
        text += frame_fault(f, n);
        if (answer_.size() > f.size()) text += ", " + std::to_string(answer_.size() - f.size()) + " bytes after its end";
        answer_.clear();
        emit(e, kFromDevice, text);
    }
    void resync(const TraceEvent& e) override {
        end_polls(e);
        if (!answer_.empty()) raw_answer(e, "incomplete");
    }

private:
    void raw_answer(const TraceEvent& e, const char* why) {
        RawRun raw;
        for (uint8_t v : answer_) raw.add(v);
        answer_.clear();
        emit(e, kFromDevice, raw.take(why));
    }
    void end_polls(const TraceEvent& e) {
        if (polls_) emit(e, kFromDevice, "answer not ready (" + std::to_string(polls_) + (polls_ == 1 ? " poll)" : " polls)"));
        polls_ = 0;
    }
    // One write: one bus transfer carrying one frame (or the entry request).
    void transfer(const TraceEvent& e, const std::vector<uint8_t>& b, const std::string& outcome) {
        end_polls(e);
        if (!answer_.empty()) raw_answer(e, "incomplete");
        if (b.size() >= sizeof kEntryRequest && std::equal(kEntryRequest, kEntryRequest + sizeof kEntryRequest, b.begin())) {
            if (outcome.empty()) bootloader_ = true;
            return emit(e, kToDevice, "bootloader entry request" + extra(b.size() - sizeof kEntryRequest) + outcome);
        }
        if (b.size() < kHead + kTail || b[0] != kSof || le16(b, 2) + kHead + kTail > b.size()) {
            RawRun raw;
            for (uint8_t v : b) raw.add(v);
            return emit(e, kToDevice, raw.take() + outcome);
        }
        const size_t n = le16(b, 2);
        const uint8_t cmd = b[1];
        const std::vector<uint8_t> d(b.begin() + kHead, b.begin() + static_cast<long>(kHead + n));
        std::string text = command_name(cmd);
        std::vector<uint8_t> data;
        if (cmd == kSendData) {
            text += " " + std::to_string(n) + " bytes";
            data = d;
        } else {
            text += fields(cmd, d);
        }
        text += frame_fault(b, n) + extra(b.size() - n - kHead - kTail) + outcome;
        if (outcome.empty()) {
            last_cmd_ = cmd;
            if (cmd == kExit) bootloader_ = false;  // back to the application, without an answer
        }
        emit(e, kToDevice, text, data);
    }
    static std::string extra(size_t n) {
        return n == 0 ? "" : " (+" + std::to_string(n) + (n == 1 ? " byte after it)" : " bytes after it)");
    }

    bool bootloader_ = false;
    uint8_t last_cmd_ = 0;
    unsigned polls_ = 0;
    std::vector<uint8_t> answer_;
};

}  // namespace

std::unique_ptr<DeviceDecoder> make_touch_decoder(std::vector<TraceMessage>* out) {
    return std::make_unique<TouchDecoder>(out);
}

}  // namespace boardsim
