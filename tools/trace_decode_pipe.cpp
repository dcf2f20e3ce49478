// "/data/led_pipe": the LED daemon's FIFO, one raw byte per command.
#include "trace_decoders.h"

namespace boardsim {

namespace {

std::string meaning(uint8_t cmd) {
    switch (cmd) {
    case 0x01: return "running light";
    case 0x02: return "chip-timed sequence";
    case 0x03: return "alternating groups";
    case 0xFF: return "end the daemon";
    }
    return "patterns off";
}

class PipeDecoder : public DeviceDecoder {
public:
    using DeviceDecoder::DeviceDecoder;
    void host_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override { commands(e, kToDevice, b); }
    void device_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override { commands(e, kFromDevice, b); }

private:
    void commands(const TraceEvent& e, const char* dir, const std::vector<uint8_t>& b) {
        for (uint8_t cmd : b) emit(e, dir, "command " + std::to_string(cmd) + " (" + meaning(cmd) + ")");
    }
};

}  // namespace

std::unique_ptr<DeviceDecoder> make_pipe_decoder(std::vector<TraceMessage>* out) {
    return std::make_unique<PipeDecoder>(out);
}

}  // namespace boardsim
