// Link-time wraps that route the driver's device calls to the chip models.
#include "fake_chips.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

#include "aw9110_lib.h"

extern "C" {
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_open(const char* path, int flags, ...);
int __real_close(int fd);
int __real_ioctl(int fd, unsigned long req, ...);
}

namespace fake_chips {

board::Aw9110Chip* chip[2];
std::vector<std::string> android_log;
std::vector<int> closed_fds;
bool fail_open[2];

// The shadow tables as at program load (constant-initialised, so set before this copy).
static const std::vector<uint8_t> initial_shadow(&g_reg_shadow[0][0], &g_reg_shadow[0][0] + sizeof g_reg_shadow);

void reset(board::Aw9110Chip* c0, board::Aw9110Chip* c1) {
    memcpy(g_reg_shadow, initial_shadow.data(), sizeof g_reg_shadow);
    chip[0] = c0;
    chip[1] = c1;
    err_cnt = 0;
    g_fd[0] = kFd0;
    g_fd[1] = kFd1;
    android_log.clear();
    closed_fds.clear();
    fail_open[0] = fail_open[1] = false;
}

static board::Aw9110Chip* of(int fd) { return fd == kFd0 ? chip[0] : fd == kFd1 ? chip[1] : nullptr; }

}  // namespace fake_chips

using namespace fake_chips;

extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (board::Aw9110Chip* c = of(fd)) {
        long r = c->on_write(static_cast<const uint8_t*>(buf), n);
        if (r < 0) errno = static_cast<int>(-r);
        return r < 0 ? -1 : r;
    }
    return __real_write(fd, buf, n);
}

extern "C" int __wrap_ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    if (board::Aw9110Chip* c = of(fd)) return static_cast<int>(c->on_ioctl(req, arg));
    return __real_ioctl(fd, req, arg);
}

extern "C" int __wrap_open(const char* path, int flags, ...) {
    int idx = strcmp(path, "/dev/aw9110_1_dev") == 0 ? 0 : strcmp(path, "/dev/aw9110_2_dev") == 0 ? 1 : -1;
    if (idx >= 0) {
        if (!fail_open[idx] && (flags & O_ACCMODE) == O_RDWR) return idx == 0 ? kFd0 : kFd1;
        errno = ENOENT;  // the nodes open read-write only
        return -1;
    }
    va_list ap;
    va_start(ap, flags);
    int mode = va_arg(ap, int);
    va_end(ap);
    return __real_open(path, flags, mode);
}

extern "C" int __wrap_close(int fd) {
    if (!of(fd)) return __real_close(fd);
    closed_fds.push_back(fd);
    return 0;
}

extern "C" __attribute__((format(printf, 3, 4))) int __wrap___android_log_print(int prio, const char* tag,
                                                                                const char* fmt, ...);
extern "C" int __wrap___android_log_print(int prio, const char* tag, const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    android_log.push_back(std::to_string(prio) + " " + tag + " " + buf);
    return 1;
}
