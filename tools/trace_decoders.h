// The decoders of the board's device kinds behind decode_trace(): each takes one device's
// events in order and emits its messages.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "trace_decode.h"

namespace boardsim {

constexpr const char* kToDevice = "->";
constexpr const char* kFromDevice = "<-";

class DeviceDecoder {
public:
    explicit DeviceDecoder(std::vector<TraceMessage>* out) : out_(out) {}
    virtual ~DeviceDecoder() = default;
    // Bytes that moved (only those the call took or returned).
    virtual void host_bytes(const TraceEvent& e, const std::vector<uint8_t>& bytes) = 0;
    virtual void device_bytes(const TraceEvent& e, const std::vector<uint8_t>& bytes) = 0;
    // Open, close, flush and a wait that timed out: a half frame can never be completed.
    virtual void resync(const TraceEvent& e) { (void)e; }
    // A call of its own (open, close, line, flush, wait, a failed or short transfer): one
    // message of the call's text.
    virtual void note(const TraceEvent& e, const std::string& text) { emit(e, "", text); }
    // ioctl: the default shows request and argument.
    virtual void ioctl(const TraceEvent& e);
    virtual void finish() {}

protected:
    void emit(const TraceEvent& e, const std::string& dir, const std::string& text, std::vector<uint8_t> data = {});
    std::vector<TraceMessage>* out_;
};

// Raw bytes that form no frame, gathered until a frame starts or the stream pauses.
class RawRun {
public:
    void add(uint8_t b) { bytes_.push_back(b); }
    bool empty() const { return bytes_.empty(); }
    // "raw (WHY): HEX", and the run starts empty again.
    std::string take(const std::string& why = "no frame");

private:
    std::vector<uint8_t> bytes_;
};

// One direction's bytes not yet taken into a message; taking from the front is cheap, so a
// long stream stays linear.
class ByteStream {
public:
    void append(const std::vector<uint8_t>& bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
    size_t size() const { return bytes_.size() - at_; }
    bool empty() const { return size() == 0; }
    uint8_t operator[](size_t i) const { return bytes_[at_ + i]; }
    std::vector<uint8_t> copy(size_t from, size_t to) const {
        return std::vector<uint8_t>(bytes_.begin() + static_cast<long>(at_ + from), bytes_.begin() + static_cast<long>(at_ + to));
    }
    void drop(size_t n);
    std::vector<uint8_t> take_all();

private:
    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
};

std::string hex2(unsigned v);                    // "0x3c"
std::string hex_spaced(const std::vector<uint8_t>& bytes, size_t from, size_t to);  // "00 01 02"

std::unique_ptr<DeviceDecoder> make_serial_decoder(std::vector<TraceMessage>* out);  // /dev/ttyS1
std::unique_ptr<DeviceDecoder> make_touch_decoder(std::vector<TraceMessage>* out);
std::unique_ptr<DeviceDecoder> make_aw9110_decoder(std::vector<TraceMessage>* out);
std::unique_ptr<DeviceDecoder> make_pipe_decoder(std::vector<TraceMessage>* out);
std::unique_ptr<DeviceDecoder> make_gpio_decoder(const std::string& device, std::vector<TraceMessage>* out);
// Any other device: its bytes in hex, per call.
std::unique_ptr<DeviceDecoder> make_plain_decoder(std::vector<TraceMessage>* out);

}  // namespace boardsim
