// What every simulated device implements, and the change notice that lets tests wait for
// events. Free of umockdev, so the board models also build where the bed does not.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testbed {

using std::chrono::milliseconds;

// A simulated character device: what the program's write(), read() and ioctl() on the node do.
// Called on one of the bed's threads (umockdev's worker for host programs, the device server for
// ARM ones), one call at a time; implementations guard their own state against the test thread.
class CharDevice {
public:
    virtual ~CharDevice() = default;
    // The bytes the program wrote; returns the count to report, or -errno.
    virtual long on_write(const uint8_t* data, size_t len) = 0;
    // buf holds the caller's buffer as it stood when read() was called (a driver that takes an
    // offset in buf[0] sees it); the device fills it and returns the count, or -errno.
    virtual long on_read(uint8_t* buf, size_t len);
    // arg is the raw argument value; requests without an argument see whatever the caller's
    // register held. Returns the result, or -errno.
    virtual long on_ioctl(unsigned long request, unsigned long arg);

    // The bed calls this when a program opens the node, before any call on that descriptor
    // (umockdev's client-connected for host programs, the device server's accept for ARM ones).
    void note_open();
    // When programs opened the node, oldest first. A node the bed makes fail to open
    // (Bed::fail_open) has no device behind it: such an open is not recorded.
    std::vector<std::chrono::steady_clock::time_point> opens() const;

private:
    mutable std::mutex open_mutex_;
    std::vector<std::chrono::steady_clock::time_point> opens_;
};

// A set-up step of the bed or of a model failed (a node, a FIFO, a pty, a spawn). Goes to the
// handler: test binaries turn it into a failure of the running test; without a handler it is
// a line on standard error.
void problem(const std::string& what);
void set_problem_handler(std::function<void(const std::string&)> handler);

// Every change of bed or model state is announced here, so tests wait for events, not for time.
void notify_changed();
// Waits until pred() holds (re-checked after every notify_changed()); false on time-out.
bool wait_until(const std::function<bool()>& pred, milliseconds timeout);

}  // namespace testbed
