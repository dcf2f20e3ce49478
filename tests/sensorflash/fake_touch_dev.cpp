// Fake touch device layer: one model transfer per call, result 0, -2 or -3, no retries.
#include "fake_touch_dev.h"

#include <mutex>

#include "touch_dev.h"

int dev_fd = -1;

namespace fake_dev {
namespace {
std::mutex g_mutex;
testbed::CharDevice* g_dev = nullptr;
std::vector<Call> g_calls;
}  // namespace

void attach(testbed::CharDevice* dev) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_dev = dev;
    g_calls.clear();
}

std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

}  // namespace fake_dev

using fake_dev::g_calls;
using fake_dev::g_dev;

int touch_init(void) {
    dev_fd = 7;
    return 0;
}

int touch_write_reg(int, const uint8_t* buf, size_t len, int tries) {
    std::lock_guard<std::mutex> lock(fake_dev::g_mutex);
    long r = g_dev->on_write(buf, len);
    int result = r == static_cast<long>(len) ? TOUCH_OK : TOUCH_ERR_WRITE;
    g_calls.push_back({true, len, tries, result});
    return result;
}

int touch_read_reg(int, uint8_t* buf, size_t len, int tries) {
    std::lock_guard<std::mutex> lock(fake_dev::g_mutex);
    long r = g_dev->on_read(buf, len);
    int result = r == static_cast<long>(len) ? TOUCH_OK : TOUCH_ERR_READ;
    g_calls.push_back({false, len, tries, result});
    return result;
}

void touch_close(void) {}
