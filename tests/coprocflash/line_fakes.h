// Stand-ins for the clock and the tty driver in unit tests of the MCU updater's serial users,
// put in place with the linker's --wrap=select,sleep,tcsetattr,malloc. sleep() only records;
// select() follows a script when one is given; tcsetattr() is recorded (a pty cannot show
// parity) and can be made to fail; the next malloc() of a given size can be made to fail.
// Include from one file of a test binary.
#pragma once

#include <errno.h>
#include <sys/select.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace line_fakes {
// Seconds of each sleep() in order; on_sleep plays the far end's part during the pause.
std::vector<unsigned> sleeps;
std::function<void(unsigned)> on_sleep;
// One character per coming select(): 'T' is a second of silence, over at once; any other
// character is handed to on_ready (which may put bytes on the line) before a real select().
std::string script;
std::function<void(char)> on_ready;
int tcsetattr_calls = 0;
struct termios tcsetattr_last;
bool tcsetattr_fails = false;
size_t malloc_fail_size = 0;  // 0: none

void reset() {
    sleeps.clear();
    on_sleep = nullptr;
    script.clear();
    on_ready = nullptr;
    tcsetattr_calls = 0;
    tcsetattr_fails = false;
    malloc_fail_size = 0;
}
}  // namespace line_fakes

extern "C" {
void* __real_malloc(size_t n);
void* __wrap_malloc(size_t n) {
    if (line_fakes::malloc_fail_size == 0 || n != line_fakes::malloc_fail_size) return __real_malloc(n);
    line_fakes::malloc_fail_size = 0;
    return nullptr;
}
unsigned __wrap_sleep(unsigned seconds) {
    line_fakes::sleeps.push_back(seconds);
    if (line_fakes::on_sleep) line_fakes::on_sleep(seconds);
    return 0;
}
int __real_select(int n, fd_set* rd, fd_set* wr, fd_set* ex, struct timeval* tv);
int __wrap_select(int n, fd_set* rd, fd_set* wr, fd_set* ex, struct timeval* tv) {
    if (line_fakes::script.empty()) return __real_select(n, rd, wr, ex, tv);
    const char c = line_fakes::script[0];
    line_fakes::script.erase(0, 1);
    // Every wait on the line is one second, set afresh (Linux leaves a timed-out one at 0).
    EXPECT_TRUE(tv != nullptr && tv->tv_sec == 1 && tv->tv_usec == 0);
    if (c != 'T') {
        if (line_fakes::on_ready) line_fakes::on_ready(c);
        return __real_select(n, rd, wr, ex, tv);
    }
    if (tv != nullptr) *tv = timeval{0, 0};
    if (rd != nullptr) FD_ZERO(rd);
    return 0;
}
int __real_tcsetattr(int fd, int act, const struct termios* t);
int __wrap_tcsetattr(int fd, int act, const struct termios* t) {
    ++line_fakes::tcsetattr_calls;
    line_fakes::tcsetattr_last = *t;
    EXPECT_EQ(act, TCSANOW);
    if (line_fakes::tcsetattr_fails) {
        errno = EIO;
        return -1;
    }
    struct termios on_pty = *t;  // a pty refuses even parity: it gets the rest
    on_pty.c_cflag &= ~static_cast<tcflag_t>(PARENB);
    return __real_tcsetattr(fd, act, &on_pty);
}
}
