// Console lines of the MCU updater: formatted whole, written whole, SIGINT held back meanwhile.
#include "console_line.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Fits every fixed message; a line with a long path or version text is formatted on the heap.
constexpr size_t kLineSize = 256;

void write_all(const char* text, size_t len) {
    while (len > 0) {
        ssize_t n = write(STDOUT_FILENO, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

}  // namespace

int con_printf(const char* format, ...) {
    char line[kLineSize];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) return n;
    char* text = line;
    if (static_cast<size_t>(n) >= sizeof line) {
        text = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
        if (text == nullptr) return -1;
        va_start(args, format);
        vsnprintf(text, static_cast<size_t>(n) + 1, format, args);
        va_end(args);
    }
    sigset_t interrupt, saved;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_BLOCK, &interrupt, &saved);
    write_all(text, static_cast<size_t>(n));
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (text != line) free(text);
    return n;
}
