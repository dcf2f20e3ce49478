// decode_trace(): the calls every device shares (open, close, line settings, flushes, waits,
// failed transfers), and each device's bytes handed to the decoder of its kind.
#include "trace_decode.h"

#include <stdio.h>

#include <map>

#include "trace_decoders.h"

namespace boardsim {

namespace {

constexpr const char* kGpioPrefix = "/sys/class/gpio/";

std::unique_ptr<DeviceDecoder> decoder_for(const std::string& device, std::vector<TraceMessage>* out) {
    if (device == "/dev/ttyS1") return make_serial_decoder(out);
    if (device == "/dev/morlan_touch") return make_touch_decoder(out);
    if (device == "/dev/aw9110_1_dev" || device == "/dev/aw9110_2_dev") return make_aw9110_decoder(out);
    if (device == "/data/led_pipe") return make_pipe_decoder(out);
    if (device.compare(0, 16, kGpioPrefix) == 0) return make_gpio_decoder(device, out);
    return make_plain_decoder(out);
}

// The call's own result: "" for success, ": EIO" for an errno name.
std::string failure(const TraceEvent& e) {
    long count = 0;
    return result_count(e, &count) ? "" : ": " + e.result;
}

void decode_event(const TraceEvent& e, DeviceDecoder* d) {
    long count = 0;
    const bool counted = result_count(e, &count);
    if (e.call == "open") {
        d->resync(e);
        d->note(e, "open " + e.arg + failure(e));
    } else if (e.call == "close") {
        d->resync(e);
        d->note(e, "close" + failure(e));
    } else if (e.call == "tcsetattr") {
        d->note(e, "line " + e.arg + failure(e));
    } else if (e.call == "tcflush") {
        d->resync(e);
        d->note(e, "flush " + e.arg + failure(e));
    } else if (e.call == "wait") {
        d->resync(e);
        const size_t colon = e.arg.find(':');
        d->note(e, colon == std::string::npos ? "wait " + e.arg + ": nothing came"
                                              : "wait: nothing came within " + e.arg.substr(colon + 1) + " ms (" +
                                                    e.arg.substr(0, colon) + ")");
    } else if (e.call == "ioctl") {
        d->ioctl(e);
    } else if (!counted) {  // read or write that failed
        d->note(e, e.call + " of " + e.arg + " bytes" + failure(e));
    } else {
        std::vector<uint8_t> moved = e.data;
        if (count >= 0 && static_cast<size_t>(count) < moved.size()) moved.resize(static_cast<size_t>(count));
        if (e.call == "write") {
            if (static_cast<size_t>(count) < e.data.size())
                d->note(e, "short write: " + std::to_string(count) + " of " + e.arg + " bytes taken");
            d->host_bytes(e, moved);
        } else if (moved.empty()) {
            d->note(e, "read: end of file");
        } else {
            d->device_bytes(e, moved);
        }
    }
}

}  // namespace

std::string hex2(unsigned v) {
    char text[16];
    snprintf(text, sizeof text, "0x%02x", v);
    return text;
}

std::string hex_spaced(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to && i < bytes.size(); ++i) {
        char b[4];
        snprintf(b, sizeof b, "%02x", bytes[i]);
        if (!text.empty()) text += ' ';
        text += b;
    }
    return text;
}

void ByteStream::drop(size_t n) {
    at_ += n;
    if (at_ == bytes_.size()) {
        bytes_.clear();
        at_ = 0;
    } else if (at_ > bytes_.size() / 2) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(at_));
        at_ = 0;
    }
}

std::vector<uint8_t> ByteStream::take_all() {
    std::vector<uint8_t> rest = copy(0, size());
    drop(size());
    return rest;
}

std::string RawRun::take(const std::string& why) {
    std::string text = "raw (" + why + "): " + hex_spaced(bytes_, 0, bytes_.size());
    bytes_.clear();
    return text;
}

void DeviceDecoder::emit(const TraceEvent& e, const std::string& dir, const std::string& text,
                         std::vector<uint8_t> data) {
    TraceMessage m;
    m.time = e.time;
    m.device = e.device;
    m.dir = dir;
    m.text = text;
    m.data = std::move(data);
    m.line = e.line;
    out_->push_back(std::move(m));
}

void DeviceDecoder::ioctl(const TraceEvent& e) { emit(e, "", "ioctl " + e.arg + " = " + e.result); }

namespace {

class PlainDecoder : public DeviceDecoder {
public:
    using DeviceDecoder::DeviceDecoder;
    void host_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override {
        emit(e, kToDevice, "bytes " + hex_spaced(b, 0, b.size()));
    }
    void device_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override {
        emit(e, kFromDevice, "bytes " + hex_spaced(b, 0, b.size()));
    }
};

}  // namespace

std::unique_ptr<DeviceDecoder> make_plain_decoder(std::vector<TraceMessage>* out) {
    return std::make_unique<PlainDecoder>(out);
}

std::vector<TraceMessage> decode_trace(const Trace& trace) {
    std::vector<TraceMessage> out;
    std::map<std::string, std::unique_ptr<DeviceDecoder>> decoders;
    std::map<std::string, const TraceEvent*> last_of;
    for (const TraceEvent& e : trace.events) {
        auto& d = decoders[e.device];
        if (!d) d = decoder_for(e.device, &out);
        decode_event(e, d.get());
        last_of[e.device] = &e;
    }
    // Bytes still waiting for the rest of their frame when the trace ends.
    for (auto& entry : decoders) {
        entry.second->resync(*last_of[entry.first]);
        entry.second->finish();
    }
    return out;
}

std::string format_message(const TraceMessage& m) {
    char time[32];
    snprintf(time, sizeof time, "%.6f", m.time);
    std::string line = std::string(time) + " " + m.device + " ";
    if (!m.dir.empty()) line += m.dir + " ";
    line += m.text;
    if (!m.data.empty()) line += ": " + hex_bytes(m.data);
    return line;
}

}  // namespace boardsim
