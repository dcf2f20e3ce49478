// Console lines: each line reaches standard output whole, in one write(), and an interrupt
// that arrives meanwhile is handled only after it (write() wrapped by the linker).
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_line.h"

namespace {
std::vector<std::string> g_writes;
std::vector<size_t> g_handled_after;  // lines written when each interrupt was handled
void on_sigint(int) { g_handled_after.push_back(g_writes.size()); }
}  // namespace

extern "C" ssize_t __real_write(int fd, const void* buf, size_t n);
extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (fd != STDOUT_FILENO) return __real_write(fd, buf, n);
    raise(SIGINT);  // the interrupt comes while the line is on its way
    g_writes.emplace_back(static_cast<const char*>(buf), n);
    return static_cast<ssize_t>(n);
}

TEST(ConsoleLine, EachLineIsOneWriteAndAnInterruptWaitsForIt) {
    struct sigaction sa = {}, old = {};
    sa.sa_handler = on_sigint;
    ASSERT_EQ(sigaction(SIGINT, &sa, &old), 0);
    EXPECT_EQ(con_printf("[UART - %s]: write ret = %d\n", "serial_write", 5), 37);
    std::vector<std::string> want{"[UART - serial_write]: write ret = 5\n"};
    // Lines of 255 characters (the most the 256-byte buffer on the stack holds), 256 and 257
    // (formatted on the heap), and one far longer.
    for (size_t len : {255u, 256u, 257u, 620u}) {
        const std::string path(len - 20, 'p');
        EXPECT_EQ(con_printf("open file [%s] failed\n", path.c_str()), static_cast<int>(len));
        want.push_back("open file [" + path + "] failed\n");
    }
    sigaction(SIGINT, &old, nullptr);
    EXPECT_EQ(g_writes, want);
    EXPECT_EQ(g_handled_after, (std::vector<size_t>{1, 2, 3, 4, 5}));
}
