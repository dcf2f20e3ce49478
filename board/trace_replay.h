// Devices driven by a recorded trace (docs/traces.md, "Replaying") instead of their models: each
// request a program makes is matched, in order, with the recording's next request on that
// device and answered with the recorded answer, at the recorded pause on the board's clock. The
// first request that differs ends the replay on every device of the session: from then on the
// devices answer nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "board_time.h"
#include "char_device.h"
#include "line_settings.h"
#include "trace_file.h"

namespace board {

// What all the replayed devices of one run share: whether the replay still runs, the requests
// matched on each device and the one line on the first difference.
class ReplaySession {
public:
    // A replayed device and the number of requests recorded on it.
    void expect(const std::string& device, size_t requests);
    // Counts one matched request on device; false once the replay has ended.
    bool matched(const std::string& device);
    // Ends the replay with the line on what differed (only the first one counts).
    void differ(const std::string& line);
    bool ended() const;
    std::string difference() const;  // "" while none
    size_t matched_on(const std::string& device) const;
    size_t recorded_on(const std::string& device) const;

private:
    mutable std::mutex mutex_;
    bool ended_ = false;
    std::string difference_;
    std::map<std::string, size_t> matched_, recorded_;
};

// The recorded events of one device, in the order of the file.
std::vector<boardsim::TraceEvent> events_on(const boardsim::Trace& trace, const std::string& device);
// Whether the recording holds a call on device.
bool trace_has(const boardsim::Trace& trace, const std::string& device);
// Whether device's node was absent for the recorded run: no open of it succeeded. *err is the
// errno its opens failed with, ENOENT when none was recorded (the bed refuses an absent node's
// open inside the program, before a trace sees it).
bool node_absent(const std::vector<boardsim::TraceEvent>& events, int* err);
// A trace's errno name as a negative errno (-EIO); 0 for a name this board does not know.
long errno_result(const std::string& name);
// A line setting as the trace's tcsetattr argument: "115200,8,E,1,raw".
std::string line_settings_arg(const testbed::LineSettings& s);

// The far end of a replayed serial line. The program's bytes are matched with the recording's
// write stream as a byte stream (a write split otherwise still matches); once every recorded
// write before a recorded read is matched, the reads up to the next recorded write are sent,
// each at its recorded pause from that last write. Line settings (tcsetattr) are requests in
// the same order.
class SerialReplay {
public:
    using Send = std::function<void(const std::vector<uint8_t>&)>;
    SerialReplay(const std::string& device, const std::vector<boardsim::TraceEvent>& events, ReplaySession& session,
                 Send send);
    // The program's bytes, as the serial peer hands them over (on its thread).
    void on_bytes(const uint8_t* data, size_t len);
    // The settings the program gave the line so far, oldest first: the new ones are requests.
    void on_settings(const std::vector<testbed::LineSettings>& settings);

private:
    struct Request {
        bool setting;                // tcsetattr, else a write
        std::string arg;             // the setting
        std::vector<uint8_t> bytes;  // the written bytes
        double time;
        std::vector<std::pair<double, std::vector<uint8_t>>> reads;  // the answers after it, by time
    };
    void answer(const Request& r);
    void differ_write(size_t at, const std::vector<uint8_t>& wrote);
    std::string device_;
    ReplaySession& session_;
    Send send_;
    std::vector<Request> requests_;
    size_t next_ = 0;         // the request being matched
    size_t offset_ = 0;       // bytes of it matched
    size_t settings_seen_ = 0;
    std::mutex mutex_;
};

// The MCU's GPIO lines under replay: they stay the board's sysfs wiring, and each line written
// (as the GPIO model reports it: "gpio117/direction", "high") is matched with the next recorded
// write under /sys/class/gpio. A difference ends the replay; nothing is answered.
class GpioReplay {
public:
    static constexpr const char* kDir = "/sys/class/gpio";
    GpioReplay(const boardsim::Trace& trace, ReplaySession& session);
    void on_write(const std::string& file, const std::string& value);

private:
    ReplaySession& session_;
    std::vector<std::pair<std::string, std::string>> writes_;  // file, value
    size_t next_ = 0;
    std::mutex mutex_;
};

// A replayed character device (the touch controller's, an LED chip's node): every write, ioctl
// and read is matched with the next recorded one and gets the recorded result. Once the replay
// has ended, every call fails with EIO, as the driver reports a transfer the chip did not
// acknowledge.
class CharReplay : public testbed::CharDevice {
public:
    CharReplay(const std::string& device, const std::vector<boardsim::TraceEvent>& events, ReplaySession& session);
    long on_write(const uint8_t* data, size_t len) override;
    long on_read(uint8_t* buf, size_t len) override;
    long on_ioctl(unsigned long request, unsigned long arg) override;

private:
    // The next recorded request if call and arg (a write's: its bytes in hex) match it (waiting out its recorded pause), else
    // nullptr after ending the replay with the line on the difference.
    const boardsim::TraceEvent* take(const std::string& call, const std::string& arg, const std::string& what);
    long result_of(const boardsim::TraceEvent& e) const;
    // The protocol message(s) of recorded request e as the recording decodes, or, with wrote,
    // as they decode with the program's bytes in its place; "" when they form no message.
    std::string decoded(const boardsim::TraceEvent& e, const std::vector<uint8_t>* wrote) const;
    std::string device_;
    ReplaySession& session_;
    std::vector<boardsim::TraceEvent> events_;  // every recorded call on the device: the decoder's context
    std::vector<boardsim::TraceEvent> requests_;
    size_t next_ = 0;
    testbed::BoardTimePoint last_answer_{};
    std::mutex mutex_;
};

}  // namespace board
