/* Preload for the end-to-end runs of coprocflash (after the bed's own): records what the
 * program hands tcsetattr (a pty refuses parity, a UART takes it: the pty gets the rest) and
 * when it closes the serial line, can cut the image file's read() short and can refuse the
 * installation of a SIGINT handler. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int g_tty_fd = -1;

static void log_line(const char *text) {
    const char *path = getenv("COPROC_E2E_LOG");
    if (!path) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n = write(fd, text, strlen(text));
    (void)n;
    close(fd);
}

__attribute__((visibility("default"))) int tcsetattr(int fd, int act, const struct termios *t) {
    static int (*real)(int, int, const struct termios *);
    if (!real) real = (int (*)(int, int, const struct termios *))dlsym(RTLD_NEXT, "tcsetattr");
    char line[96];
    snprintf(line, sizeof line, "tcsetattr cflag=%o ospeed=%o\n", (unsigned)t->c_cflag, (unsigned)cfgetospeed(t));
    log_line(line);
    g_tty_fd = fd;
    struct termios on_pty = *t;
    on_pty.c_cflag &= ~(tcflag_t)(PARENB | PARODD);
    return real(fd, act, &on_pty);
}

/* Called from the program's interrupt handler too: only write() and open(). */
__attribute__((visibility("default"))) int close(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd == g_tty_fd) {
        g_tty_fd = -1;
        log_line("close tty\n");
    }
    return real(fd);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t n) {
    static ssize_t (*real)(int, void *, size_t);
    if (!real) real = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    const char *name = getenv("COPROC_SHORT_READ_FILE");
    const char *limit = getenv("COPROC_SHORT_READ_MAX");
    if (name && limit && n > (size_t)atol(limit)) {
        char link[64], target[512];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t len = readlink(link, target, sizeof target - 1);
        if (len > 0) {
            target[len] = '\0';
            if (strcmp(target, name) == 0) n = (size_t)atol(limit);
        }
    }
    return real(fd, buf, n);
}

__attribute__((visibility("default"))) int sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
    static int (*real)(int, const struct sigaction *, struct sigaction *);
    if (!real) real = (int (*)(int, const struct sigaction *, struct sigaction *))dlsym(RTLD_NEXT, "sigaction");
    if (sig == SIGINT && act && getenv("COPROC_FAIL_SIGINT_HANDLER")) {
        errno = EINVAL;
        return -1;
    }
    return real(sig, act, old);
}
