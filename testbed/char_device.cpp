// Change notices for event waits, and the default device calls.
#include "char_device.h"

#include <errno.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace testbed {

namespace {

std::mutex g_change_mutex;
std::condition_variable g_change_cv;
unsigned long g_change_seq = 0;
constexpr auto kRecheck = std::chrono::milliseconds(20);

}  // namespace

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
long CharDevice::on_ioctl(unsigned long, unsigned long) { return -ENOTTY; }

}  // namespace testbed
