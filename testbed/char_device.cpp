// Change notices for event waits, and the default device calls.
#include "char_device.h"

#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "board_time.h"

namespace testbed {

namespace {

std::mutex g_change_mutex;
std::condition_variable g_change_cv;
unsigned long g_change_seq = 0;
constexpr auto kRecheck = std::chrono::milliseconds(20);

// A function-local static: test binaries install their handler from a static initializer.
std::function<void(const std::string&)>& problem_handler() {
    static std::function<void(const std::string&)> handler;
    return handler;
}

}  // namespace

void set_problem_handler(std::function<void(const std::string&)> handler) { problem_handler() = std::move(handler); }

void problem(const std::string& what) {
    if (problem_handler())
        problem_handler()(what);
    else
        fprintf(stderr, "testbed: %s\n", what.c_str());
}

void notify_changed() {
    {
        std::lock_guard<std::mutex> lock(g_change_mutex);
        ++g_change_seq;
    }
    g_change_cv.notify_all();
}

bool wait_until(const std::function<bool()>& pred, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(g_change_mutex);
    for (;;) {
        unsigned long seen = g_change_seq;
        lock.unlock();
        if (pred()) return true;
        lock.lock();
        // Files that the program writes (its log records, sysfs attributes) announce nothing:
        // re-check at a short interval as well.
        auto wake = std::min(deadline, std::chrono::steady_clock::now() + kRecheck);
        g_change_cv.wait_until(lock, wake, [&] { return g_change_seq != seen; });
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            return pred();
        }
    }
}

long CharDevice::on_read(uint8_t*, size_t) { return -EINVAL; }

void CharDevice::note_open() {
    {
        std::lock_guard<std::mutex> lock(open_mutex_);
        opens_.push_back(board_now());
    }
    notify_changed();
}

std::vector<std::chrono::steady_clock::time_point> CharDevice::opens() const {
    std::lock_guard<std::mutex> lock(open_mutex_);
    return opens_;
}
long CharDevice::on_ioctl(unsigned long, unsigned long) { return -ENOTTY; }

}  // namespace testbed
