// Replayed devices: request matching, recorded answers at recorded pauses, the difference line.
#include "trace_replay.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "trace_decode.h"
#include "trace_text.h"

namespace board {

namespace {

using boardsim::TraceEvent;

// STM32 ROM bootloader Write Memory (AN3155): the command and its complement, then the address
// frame (four bytes, MSB first, and their XOR), then the data frame (N-1, N bytes, checksum).
constexpr uint8_t kWriteMemory[2] = {0x31, 0xCE};
constexpr size_t kAddressFrame = 5;
constexpr size_t kShownBytes = 16;  // of a request's bytes in the difference line
constexpr size_t kShownText = 120;  // of a decoded message in the difference line

const struct {
    const char* name;
    int value;
} kErrnos[] = {{"EPERM", EPERM},   {"ENOENT", ENOENT}, {"EINTR", EINTR},     {"EIO", EIO},
               {"ENXIO", ENXIO},   {"EBADF", EBADF},   {"EAGAIN", EAGAIN},   {"ENOMEM", ENOMEM},
               {"EACCES", EACCES}, {"EFAULT", EFAULT}, {"EBUSY", EBUSY},     {"ENODEV", ENODEV},
               {"EINVAL", EINVAL}, {"ENOTTY", ENOTTY}, {"ETIMEDOUT", ETIMEDOUT}, {"EREMOTEIO", EREMOTEIO}};

std::string hex(const std::vector<uint8_t>& bytes) {
    if (bytes.size() <= kShownBytes) return boardsim::hex_bytes(bytes);
    return boardsim::hex_bytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + kShownBytes)) + "... (" +
           std::to_string(bytes.size()) + " bytes)";
}

testbed::BoardTimePoint after(testbed::BoardTimePoint from, double seconds) {
    if (seconds <= 0) return from;
    return from + std::chrono::duration_cast<testbed::BoardTimePoint::duration>(std::chrono::duration<double>(seconds));
}

void wait_for(testbed::BoardTimePoint deadline) {
    const auto now = testbed::board_now();
    if (deadline > now) testbed::board_sleep_for(deadline - now);
}

// An ioctl as the recorder writes it.
std::string ioctl_arg(unsigned long request, unsigned long arg) {
    char text[40];
    trace_ioctl_arg(static_cast<uint32_t>(request), static_cast<uint32_t>(arg), text, sizeof text);
    return text;
}

// Whether two ioctl arguments of the trace name the same request and argument, whatever the
// digits' padding.
bool same_ioctl(const std::string& a, const std::string& b) {
    auto split = [](const std::string& t, unsigned long* request, std::string* arg) {
        const size_t colon = t.find(':');
        if (colon == std::string::npos) return false;
        char* end = nullptr;
        *request = strtoul(t.c_str(), &end, 16);
        if (end != t.c_str() + colon) return false;
        *arg = t.substr(colon + 1);
        return true;
    };
    unsigned long ra = 0, rb = 0;
    std::string aa, ab;
    if (!split(a, &ra, &aa) || !split(b, &rb, &ab) || ra != rb) return false;
    if (aa == "-" || ab == "-") return aa == ab;
    return strtoul(aa.c_str(), nullptr, 16) == strtoul(ab.c_str(), nullptr, 16);
}

}  // namespace

void ReplaySession::expect(const std::string& device, size_t requests) {
    std::lock_guard<std::mutex> lock(mutex_);
    recorded_[device] = requests;
}

bool ReplaySession::matched(const std::string& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return false;
    ++matched_[device];
    return true;
}

void ReplaySession::differ(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_) return;
        ended_ = true;
        difference_ = line;
    }
    testbed::notify_changed();
}

bool ReplaySession::ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

std::string ReplaySession::difference() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return difference_;
}

size_t ReplaySession::matched_on(const std::string& device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = matched_.find(device);
    return it == matched_.end() ? 0 : it->second;
}

size_t ReplaySession::recorded_on(const std::string& device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = recorded_.find(device);
    return it == recorded_.end() ? 0 : it->second;
}

std::vector<TraceEvent> events_on(const boardsim::Trace& trace, const std::string& device) {
    std::vector<TraceEvent> out;
    for (const TraceEvent& e : trace.events)
        if (e.device == device) out.push_back(e);
    return out;
}

bool trace_has(const boardsim::Trace& trace, const std::string& device) {
    return std::any_of(trace.events.begin(), trace.events.end(), [&](const TraceEvent& e) { return e.device == device; });
}

bool node_absent(const std::vector<TraceEvent>& events, int* err) {
    *err = ENOENT;
    for (const TraceEvent& e : events) {
        if (e.call != "open") continue;
        long fd = 0;
        if (boardsim::result_count(e, &fd)) return false;
        if (errno_result(e.result)) *err = static_cast<int>(-errno_result(e.result));
    }
    return true;
}

long errno_result(const std::string& name) {
    for (const auto& e : kErrnos)
        if (name == e.name) return -e.value;
    return 0;
}

std::string line_settings_arg(const testbed::LineSettings& s) {
    char text[64];
    trace_line_settings(s.iflag, s.oflag, s.cflag, s.lflag, text, sizeof text);
    return text;
}

SerialReplay::SerialReplay(const std::string& device, const std::vector<TraceEvent>& events, ReplaySession& session,
                           Send send)
    : device_(device), session_(session), send_(std::move(send)) {
    for (const TraceEvent& e : events) {
        if (e.call == "write" || e.call == "tcsetattr") {
            const bool setting = e.call == "tcsetattr";
            // Consecutive writes are one stream: they extend the request before them.
            if (!setting && !requests_.empty() && !requests_.back().setting && requests_.back().reads.empty()) {
                requests_.back().bytes.insert(requests_.back().bytes.end(), e.data.begin(), e.data.end());
                requests_.back().time = e.time;
                continue;
            }
            requests_.push_back({setting, setting ? e.arg : "", setting ? std::vector<uint8_t>() : e.data, e.time, {}});
        } else if (e.call == "read" && !e.data.empty() && !requests_.empty()) {
            requests_.back().reads.emplace_back(e.time - requests_.back().time, e.data);
        }
    }
    session_.expect(device_, requests_.size());
}

void SerialReplay::answer(const Request& r) {
    const auto matched_at = testbed::board_now();
    for (const auto& read : r.reads) {
        wait_for(after(matched_at, read.first));
        if (session_.ended()) return;
        send_(read.second);
    }
}

void SerialReplay::differ_write(size_t at, const std::vector<uint8_t>& wrote) {
    char line[256];
    if (next_ >= requests_.size()) {
        snprintf(line, sizeof line, "request %zu on %s: wrote %s, the recording has no more requests", next_ + 1,
                 device_.c_str(), hex(wrote).c_str());
        session_.differ(line);
        return;
    }
    const Request& r = requests_[next_];
    if (r.setting) {
        snprintf(line, sizeof line, "request %zu on %s: wrote %s, recorded the line setting %s", next_ + 1,
                 device_.c_str(), hex(wrote).c_str(), r.arg.c_str());
        session_.differ(line);
        return;
    }
    // A Write Memory's data frame: the command and the address frame are the two requests before it.
    if (next_ >= 2 && !requests_[next_ - 2].setting && !requests_[next_ - 1].setting &&
        requests_[next_ - 2].bytes == std::vector<uint8_t>(kWriteMemory, kWriteMemory + 2) &&
        requests_[next_ - 1].bytes.size() == kAddressFrame && r.bytes.size() >= 3 && at >= 1 &&
        at <= size_t(r.bytes[0]) + 1 && at < wrote.size()) {
        const std::vector<uint8_t>& a = requests_[next_ - 1].bytes;
        const uint32_t address = uint32_t(a[0]) << 24 | uint32_t(a[1]) << 16 | uint32_t(a[2]) << 8 | a[3];
        snprintf(line, sizeof line, "Write Memory at 0x%08x, %u bytes: byte %zu is 0x%02x, recorded 0x%02x", address,
                 unsigned(r.bytes[0]) + 1, at - 1, wrote[at], r.bytes[at]);
        session_.differ(line);
        return;
    }
    snprintf(line, sizeof line, "request %zu on %s: wrote %s, recorded %s", next_ + 1, device_.c_str(),
             hex(wrote).c_str(), hex(r.bytes).c_str());
    session_.differ(line);
}

void SerialReplay::on_settings(const std::vector<testbed::LineSettings>& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (; settings_seen_ < settings.size(); ++settings_seen_) {
        if (session_.ended()) continue;
        const std::string made = line_settings_arg(settings[settings_seen_]);
        char line[256];
        if (next_ >= requests_.size() || !requests_[next_].setting || offset_ > 0 || requests_[next_].arg != made) {
            const std::string recorded = next_ >= requests_.size()   ? std::string("no more requests")
                                         : requests_[next_].setting ? "the line setting " + requests_[next_].arg
                                                                    : "a write of " + hex(requests_[next_].bytes);
            snprintf(line, sizeof line, "request %zu on %s: line setting %s, recorded %s", next_ + 1, device_.c_str(),
                     made.c_str(), recorded.c_str());
            session_.differ(line);
            continue;
        }
        session_.matched(device_);
        answer(requests_[next_++]);
    }
}

void SerialReplay::on_bytes(const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t i = 0;
    while (i < len && !session_.ended()) {
        if (next_ >= requests_.size() || requests_[next_].setting) {
            differ_write(0, std::vector<uint8_t>(data + i, data + len));
            return;
        }
        const Request& r = requests_[next_];
        const size_t n = std::min(len - i, r.bytes.size() - offset_);
        const auto differs = std::mismatch(data + i, data + i + n, r.bytes.begin() + static_cast<long>(offset_));
        if (differs.first != data + i + n) {
            // What the program wrote for this request: the part matched before, then this chunk's.
            std::vector<uint8_t> wrote(r.bytes.begin(), r.bytes.begin() + static_cast<long>(offset_));
            wrote.insert(wrote.end(), data + i, data + i + n);
            differ_write(offset_ + static_cast<size_t>(differs.first - (data + i)), wrote);
            return;
        }
        i += n;
        offset_ += n;
        if (offset_ == r.bytes.size()) {
            offset_ = 0;
            ++next_;
            session_.matched(device_);
            answer(r);
        }
    }
}

GpioReplay::GpioReplay(const boardsim::Trace& trace, ReplaySession& session) : session_(session) {
    const std::string dir = std::string(kDir) + "/";
    for (const TraceEvent& e : trace.events) {
        if (e.call != "write" || e.device.compare(0, dir.size(), dir) != 0) continue;
        std::string value(e.data.begin(), e.data.end());
        if (!value.empty() && value.back() == '\n') value.pop_back();  // as the model gives it
        writes_.emplace_back(e.device.substr(dir.size()), value);
    }
    session_.expect(kDir, writes_.size());
}

void GpioReplay::on_write(const std::string& file, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (session_.ended()) return;
    const std::string wrote = file + "=" + value;
    char line[256];
    if (next_ >= writes_.size()) {
        snprintf(line, sizeof line, "request %zu on %s: wrote %s, the recording has no more requests", next_ + 1, kDir,
                 wrote.c_str());
        session_.differ(line);
        return;
    }
    const std::string recorded = writes_[next_].first + "=" + writes_[next_].second;
    if (wrote != recorded) {
        snprintf(line, sizeof line, "request %zu on %s: wrote %s, recorded %s", next_ + 1, kDir, wrote.c_str(),
                 recorded.c_str());
        session_.differ(line);
        return;
    }
    ++next_;
    session_.matched(kDir);
}

CharReplay::CharReplay(const std::string& device, const std::vector<TraceEvent>& events, ReplaySession& session)
    : device_(device), session_(session), events_(events) {
    for (const TraceEvent& e : events)
        if (e.call == "write" || e.call == "read" || e.call == "ioctl") requests_.push_back(e);
    session_.expect(device_, requests_.size());
}

const TraceEvent* CharReplay::take(const std::string& call, const std::string& arg, const std::string& what) {
    if (session_.ended()) return nullptr;
    char line[256];
    if (next_ >= requests_.size()) {
        snprintf(line, sizeof line, "request %zu on %s: %s, the recording has no more requests", next_ + 1,
                 device_.c_str(), what.c_str());
        session_.differ(line);
        return nullptr;
    }
    const TraceEvent& e = requests_[next_];
    const bool same = e.call == call && (call == "write"   ? boardsim::hex_bytes(e.data) == arg
                                         : call == "ioctl" ? same_ioctl(e.arg, arg)
                                                           : e.arg == arg);
    if (!same && call == "write" && e.call == "write" && e.data.size() * 2 == arg.size()) {
        // A frame of the recorded length: the first byte that differs.
        std::vector<uint8_t> wrote;
        boardsim::parse_hex_bytes(arg, &wrote);
        const size_t at = static_cast<size_t>(std::mismatch(wrote.begin(), wrote.end(), e.data.begin()).first - wrote.begin());
        snprintf(line, sizeof line, "request %zu on %s: wrote %zu bytes, byte %zu is 0x%02x, recorded 0x%02x", next_ + 1,
                 device_.c_str(), wrote.size(), at, wrote[at], e.data[at]);
        const std::string came = decoded(e, &wrote), expected = decoded(e, nullptr);
        if (came.empty() || expected.empty())
            session_.differ(line);
        else  // the same message with other block bytes names it once
            session_.differ(line + (": " + (came == expected ? "in " + came : came + ", recorded " + expected)));
        return nullptr;
    }
    if (!same) {
        const std::string recorded = e.call == "write" ? "a write of " + hex(e.data) : e.call + " " + e.arg;
        snprintf(line, sizeof line, "request %zu on %s: %s, recorded %s", next_ + 1, device_.c_str(), what.c_str(),
                 recorded.c_str());
        session_.differ(line);
        return nullptr;
    }
    // Answered no sooner than the recorded gap after the request before it was.
    if (next_ > 0) wait_for(after(last_answer_, e.time - requests_[next_ - 1].time));
    last_answer_ = testbed::board_now();
    ++next_;
    return session_.matched(device_) ? &e : nullptr;
}

std::string CharReplay::decoded(const TraceEvent& e, const std::vector<uint8_t>* wrote) const {
    boardsim::Trace t;
    for (const TraceEvent& c : events_) {
        if (c.line == e.line) break;
        t.events.push_back(c);
    }
    TraceEvent request = e;
    if (wrote) request.data = *wrote;
    t.events.push_back(request);
    std::string text;
    for (const boardsim::TraceMessage& m : boardsim::decode_trace(t))
        if (m.line == e.line) text += (text.empty() ? "" : "; ") + m.text;
    if (text.size() > kShownText) text = text.substr(0, kShownText) + "...";
    return text;
}

long CharReplay::result_of(const TraceEvent& e) const {
    long count = 0;
    if (boardsim::result_count(e, &count)) return count;
    const long err = errno_result(e.result);
    return err ? err : -EIO;
}

long CharReplay::on_write(const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<uint8_t> bytes(data, data + len);
    const TraceEvent* e = take("write", boardsim::hex_bytes(bytes), "wrote " + hex(bytes));
    return e ? result_of(*e) : -EIO;
}

long CharReplay::on_read(uint8_t* buf, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string asked = std::to_string(len);
    const TraceEvent* e = take("read", asked, "read " + asked);
    if (!e) return -EIO;
    const long result = result_of(*e);
    std::copy(e->data.begin(), e->data.begin() + static_cast<long>(std::min(len, e->data.size())), buf);
    return result;
}

long CharReplay::on_ioctl(unsigned long request, unsigned long arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string text = ioctl_arg(request, arg);
    const TraceEvent* e = take("ioctl", text, "ioctl " + text);
    return e ? result_of(*e) : -EIO;
}

}  // namespace board
