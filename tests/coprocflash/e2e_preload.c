/* Preload for the end-to-end runs of coprocflash (ahead of the bed's own): can cut the image
 * file's read() short, can refuse the installation of a SIGINT handler, and can put a file on
 * a read-only medium (an open of it for writing fails with EROFS). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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

/* COPROC_READ_ONLY_FILE: the path (as the program names it) of a file on a read-only medium. */
static int refused_on_read_only_medium(const char *path, int flags) {
    const char *name = getenv("COPROC_READ_ONLY_FILE");
    if (!name || !path || strcmp(path, name) != 0) return 0;
    if ((flags & O_ACCMODE) == O_RDONLY && !(flags & (O_CREAT | O_TRUNC))) return 0;
    errno = EROFS;
    return 1;
}

/* The program is built with a 64-bit file interface: on glibc its open() may be open64(). */
#define READ_ONLY_MEDIUM_OPEN(name)                                                                 \
    __attribute__((visibility("default"))) int name(const char *path, int flags, ...) {            \
        static int (*real)(const char *, int, ...);                                                \
        mode_t mode = 0;                                                                           \
        if (!real) real = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, #name);                \
        if (flags & O_CREAT) {                                                                     \
            va_list ap;                                                                            \
            va_start(ap, flags);                                                                   \
            mode = (mode_t)va_arg(ap, int);                                                        \
            va_end(ap);                                                                            \
        }                                                                                          \
        if (refused_on_read_only_medium(path, flags)) return -1;                                   \
        return real(path, flags, mode);                                                            \
    }
READ_ONLY_MEDIUM_OPEN(open)
READ_ONLY_MEDIUM_OPEN(open64)
