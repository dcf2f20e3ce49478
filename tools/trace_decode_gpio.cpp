// "/sys/class/gpio/...": the MCU's lines by their role (119 boot select, 117 reset, 13 the
// auxiliary line), exported and unexported by number, set through "direction" (in, out,
// high, low) and "value" (0, 1).
#include <stdlib.h>

#include "trace_decoders.h"

namespace boardsim {

namespace {

constexpr int kBootLine = 119, kResetLine = 117, kAuxLine = 13;

std::string role(int line) {
    const std::string gpio = "gpio" + std::to_string(line);
    switch (line) {
    case kBootLine: return "boot select (" + gpio + ")";
    case kResetLine: return "reset (" + gpio + ")";
    case kAuxLine: return "auxiliary line (" + gpio + ")";
    }
    return gpio;
}

// The text of a write without its line end; empty when it holds other bytes.
std::string text_of(const std::vector<uint8_t>& b) {
    std::string t(b.begin(), b.end());
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    for (char c : t)
        if (c < ' ' || c > '~') return "";
    return t;
}

bool line_number(const std::string& t, int* line) {
    if (t.empty() || t.size() > 4 || t.find_first_not_of("0123456789") != std::string::npos) return false;
    *line = atoi(t.c_str());
    return true;
}

std::string level(const std::string& t) {
    if (t == "high") return "output, high";
    if (t == "low" || t == "out") return "output, low";
    if (t == "in") return "input";
    if (t == "1") return "high";
    if (t == "0") return "low";
    return "";
}

class GpioDecoder : public DeviceDecoder {
public:
    GpioDecoder(const std::string& device, std::vector<TraceMessage>* out) : DeviceDecoder(out) {
        const std::string rest = device.substr(16);  // after "/sys/class/gpio/"
        if (rest == "export" || rest == "unexport") {
            control_ = rest;
        } else if (rest.compare(0, 4, "gpio") == 0) {
            const size_t slash = rest.find('/');
            if (line_number(rest.substr(4, slash == std::string::npos ? std::string::npos : slash - 4), &line_))
                attribute_ = slash == std::string::npos ? "" : rest.substr(slash + 1);
        }
    }
    void host_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override {
        const std::string t = text_of(b);
        int n = 0;
        if (!control_.empty() && line_number(t, &n)) return emit(e, kToDevice, control_ + " " + role(n));
        const std::string l = level(t);
        if (line_ >= 0 && !l.empty() && (attribute_ == "direction" || attribute_ == "value"))
            return emit(e, kToDevice, role(line_) + " " + attribute_ + " " + t + ": " + l);
        raw(e, kToDevice, b);
    }
    void device_bytes(const TraceEvent& e, const std::vector<uint8_t>& b) override {
        const std::string t = text_of(b);
        if (line_ >= 0 && !t.empty()) return emit(e, kFromDevice, role(line_) + " " + attribute_ + " reads " + t);
        raw(e, kFromDevice, b);
    }

private:
    void raw(const TraceEvent& e, const char* dir, const std::vector<uint8_t>& b) {
        RawRun r;
        for (uint8_t v : b) r.add(v);
        emit(e, dir, r.take("not a line's text"));
    }
    std::string control_;    // "export" or "unexport"
    int line_ = -1;          // a line's own file: its number and attribute
    std::string attribute_;
};

}  // namespace

std::unique_ptr<DeviceDecoder> make_gpio_decoder(const std::string& device, std::vector<TraceMessage>* out) {
    return std::make_unique<GpioDecoder>(device, out);
}

}  // namespace boardsim
