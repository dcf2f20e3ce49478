// Change notices for event waits, and the default device calls.
#include "char_device.h"

#include <errno.h>

#include <condition_variable>
#include <mutex>

namespace testbed {

namespace {

std::mutex g_change_mutex;
std::condition_variable g_change_cv;
unsigned long g_change_seq = 0;

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
        if (!g_change_cv.wait_until(lock, deadline, [&] { return g_change_seq != seen; })) {
            lock.unlock();
            return pred();
        }
    }
}

long CharDevice::on_read(uint8_t*, size_t) { return -EINVAL; }
long CharDevice::on_ioctl(unsigned long, unsigned long) { return -ENOTTY; }

}  // namespace testbed
