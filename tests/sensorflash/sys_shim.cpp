// libc stand-ins for the unit tests (see sys_shim.h); the test binaries link with
// -Wl,--wrap=open,--wrap=close,--wrap=read,--wrap=write,--wrap=ioctl,--wrap=usleep,
// --wrap=sleep,--wrap=fstat,--wrap=malloc.
#include "sys_shim.h"

#include <errno.h>
#include <stdio.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_close(int fd);
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_ioctl(int fd, unsigned long req, ...);
int __real_fstat(int fd, struct stat* st);
void* __real_malloc(size_t n);
int __real_usleep(useconds_t us);
unsigned __real_sleep(unsigned s);
}

namespace shim {
namespace {

const char TOUCH_PATH[] = "/dev/morlan_touch";

std::mutex g_mutex;
testbed::CharDevice* g_dev = nullptr;
int g_open_result = TOUCH_FD;
bool g_fail_fstat = false;
bool g_fail_malloc = false;
long g_short_read = -1;
std::vector<Event> g_events;
// Pauses of the main thread (the code under test) are recorded, not slept; other threads (a
// fuzzer's own watchdog) really sleep.
const std::thread::id g_main_thread = std::this_thread::get_id();

void record(Event e) {
    // Where the call falls among the lines printed (StdoutCapture puts stdout on a file).
    fflush(stdout);
    e.printed = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back(e);
}

}  // namespace

void attach(testbed::CharDevice* dev) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_dev = dev;
    g_open_result = TOUCH_FD;
    g_fail_fstat = g_fail_malloc = false;
    g_short_read = -1;
    g_events.clear();
}

void set_open_result(int fd) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_open_result = fd;
}

void fail_next_fstat() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_fail_fstat = true;
}

void fail_next_malloc() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_fail_malloc = true;
}

void short_next_file_read(long count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_short_read = count;
}

std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_events;
}

std::string trace() {
    std::string s;
    char word[40];
    for (const auto& e : events()) {
        switch (e.kind) {
        case Event::open_dev: snprintf(word, sizeof word, " O"); break;
        case Event::close_dev: snprintf(word, sizeof word, " C"); break;
        case Event::write: snprintf(word, sizeof word, " W%lu", e.a); break;
        case Event::read: snprintf(word, sizeof word, " R%lu", e.a); break;
        case Event::ioctl: snprintf(word, sizeof word, " I%lX=%lu", e.a, e.b); break;
        case Event::pause: snprintf(word, sizeof word, " P%lu", e.a / 1000); break;
        }
        s += word;
    }
    return s.empty() ? s : s.substr(1);
}

}  // namespace shim

using shim::Event;

namespace {

bool is_dev(int fd) { return fd == shim::TOUCH_FD && shim::g_dev != nullptr; }

long device_result(long r) {
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    return r;
}

}  // namespace

extern "C" {

int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (strcmp(path, shim::TOUCH_PATH) == 0) {
        int fd = shim::g_open_result;
        shim::record({Event::open_dev, static_cast<unsigned long>(flags), 0, fd});
        if (fd < 0) errno = ENOENT;
        return fd;
    }
    // Every other file lies on a read-only medium (images come from one): only a read-only
    // open succeeds.
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC))) {
        errno = EROFS;
        return -1;
    }
    return __real_open(path, flags, mode);
}

int __wrap_close(int fd) {
    if (is_dev(fd)) {
        shim::record({Event::close_dev, 0, 0, 0});
        return 0;
    }
    return __real_close(fd);
}

ssize_t __wrap_read(int fd, void* buf, size_t n) {
    if (is_dev(fd)) {
        long r = shim::g_dev->on_read(static_cast<uint8_t*>(buf), n);
        shim::record({Event::read, n, 0, r});
        return device_result(r);
    }
    long cut = -1;
    {
        std::lock_guard<std::mutex> lock(shim::g_mutex);
        std::swap(cut, shim::g_short_read);
    }
    if (cut >= 0 && static_cast<size_t>(cut) < n) n = static_cast<size_t>(cut);
    return __real_read(fd, buf, n);
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (is_dev(fd)) {
        long r = shim::g_dev->on_write(static_cast<const uint8_t*>(buf), n);
        shim::record({Event::write, n, 0, r});
        return device_result(r);
    }
    return __real_write(fd, buf, n);
}

int __wrap_ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    unsigned long value = va_arg(ap, unsigned long);
    va_end(ap);
    if (is_dev(fd)) {
        long r = shim::g_dev->on_ioctl(req, value);
        shim::record({Event::ioctl, req, value, r});
        return static_cast<int>(device_result(r));
    }
    return __real_ioctl(fd, req, value);
}

int __wrap_usleep(useconds_t us) {
    if (std::this_thread::get_id() != shim::g_main_thread) return __real_usleep(us);
    shim::record({Event::pause, us, 0, 0});
    return 0;
}

unsigned __wrap_sleep(unsigned s) {
    if (std::this_thread::get_id() != shim::g_main_thread) return __real_sleep(s);
    shim::record({Event::pause, s * 1000000UL, 0, 0});
    return 0;
}

int __wrap_fstat(int fd, struct stat* st) {
    bool fail = false;
    {
        std::lock_guard<std::mutex> lock(shim::g_mutex);
        std::swap(fail, shim::g_fail_fstat);
    }
    if (fail) {
        errno = EIO;
        return -1;
    }
    return __real_fstat(fd, st);
}

void* __wrap_malloc(size_t n) {
    bool fail = false;
    {
        std::lock_guard<std::mutex> lock(shim::g_mutex);
        std::swap(fail, shim::g_fail_malloc);
    }
    if (fail) return nullptr;
    return __real_malloc(n);
}

}  // extern "C"
