/* Preloaded into every program the test bed starts, ahead of umockdev's preload:
 * - paths under "/data" are rewritten into the bed's sandbox (TESTBED_DATA_DIR), since
 *   umockdev redirects only /dev, /sys and /proc;
 * - open() of the paths in TESTBED_FAIL_OPEN ("path=errno;...") fails with that errno;
 * - the Android-log and kernel-log calls are recorded in TESTBED_LOG, then passed on;
 * - the bytes read from a FIFO under "/data" (a daemon's command pipe) are recorded in
 *   TESTBED_PIPE_LOG with the time they were read and the FIFO's path;
 * - opens of paths that umockdev does not redirect bypass it, so that they stay interruptible;
 * - the settings given to a simulated serial line are recorded and answered as a UART would;
 * - a read-only open() of a GPIO line's direction or value is led to the line's state file. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gnu/lib-names.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

static const char *redirect(const char *path, char *buf) {
    const char *dir = getenv("TESTBED_DATA_DIR");
    if (!path || !dir || strncmp(path, "/data", 5) != 0 || (path[5] != '/' && path[5] != '\0')) return path;
    if ((size_t)snprintf(buf, PATH_MAX, "%s%s", dir, path + 5) >= PATH_MAX) return path;
    return buf;
}

/* Returns the errno configured for path, or 0. */
static int open_fault(const char *path) {
    const char *faults = getenv("TESTBED_FAIL_OPEN");
    size_t plen;
    if (!faults || !path) return 0;
    plen = strlen(path);
    while (*faults) {
        const char *eq = strchr(faults, '=');
        const char *end = strchr(faults, ';');
        if (!eq || !end) break;
        if ((size_t)(eq - faults) == plen && strncmp(faults, path, plen) == 0) return atoi(eq + 1);
        faults = end + 1;
    }
    return 0;
}

#define NEXT(name) static __typeof__(name) *next_##name; if (!next_##name) next_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

/* ---- reads from FIFOs under /data ----
 * Whoever opened the FIFO: the reader itself, or a shell that handed it the descriptor (a
 * redirection, a descriptor kept across exec). The descriptor's own path tells, at each read. */

#define PIPE_RECORD_BYTES 128 /* bytes per record line; a longer read takes several lines */

static ssize_t (*g_next_read)(int, void *, size_t);
static int (*g_libc_fstat)(int, struct stat *);
static ssize_t (*g_libc_readlink)(const char *, char *, size_t);
static char g_data_real[PATH_MAX]; /* the sandbox's data folder as the kernel names it */

static void *libc_symbol(const char *name) {
    static void *libc;
    if (!libc) libc = dlopen(LIBC_SO, RTLD_LAZY | RTLD_NOLOAD);
    return libc ? dlsym(libc, name) : NULL;
}

/* Resolved before main: read() also runs in programs' signal handlers, where dlsym may not. */
__attribute__((constructor)) static void resolve_io(void) {
    const char *dir = getenv("TESTBED_DATA_DIR");
    g_next_read = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    g_libc_fstat = (int (*)(int, struct stat *))libc_symbol("fstat");
    g_libc_readlink = (ssize_t (*)(const char *, char *, size_t))libc_symbol("readlink");
    if (dir && !realpath(dir, g_data_real)) g_data_real[0] = '\0';
}

/* The path under "/data" of the FIFO behind fd, in out; 0 when fd is no such FIFO. */
static int data_fifo(int fd, char *out) {
    size_t dlen = strlen(g_data_real);
    char link[32], target[PATH_MAX];
    struct stat st;
    ssize_t n;
    if (!g_libc_fstat || !g_libc_readlink || g_libc_fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    n = g_libc_readlink(link, target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    /* Through the rewrite (the sandbox's folder) or the bind over the machine's /data. */
    if (dlen > 0 && strncmp(target, g_data_real, dlen) == 0 && target[dlen] == '/')
        return snprintf(out, PATH_MAX, "/data%s", target + dlen) < PATH_MAX;
    if (strncmp(target, "/data/", 6) == 0) return snprintf(out, PATH_MAX, "%s", target) < PATH_MAX;
    return 0;
}

static void record_pipe_read(const char *fifo, const unsigned char *bytes, size_t n) {
    static const char hex[] = "0123456789abcdef";
    const char *path = getenv("TESTBED_PIPE_LOG");
    char line[48 + 2 * PIPE_RECORD_BYTES + PATH_MAX];
    struct timespec now;
    int fd, saved = errno;
    if (!path) return;
    NEXT(open);
    clock_gettime(CLOCK_MONOTONIC, &now);
    fd = next_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        errno = saved;
        return;
    }
    while (n > 0) {
        size_t take = n < PIPE_RECORD_BYTES ? n : PIPE_RECORD_BYTES, i;
        int len = snprintf(line, sizeof line, "%lld.%09ld ", (long long)now.tv_sec, now.tv_nsec);
        for (i = 0; i < take; ++i) {
            line[len++] = hex[bytes[i] >> 4];
            line[len++] = hex[bytes[i] & 15];
        }
        len += snprintf(line + len, sizeof line - (size_t)len, " %s\n", fifo);
        if (write(fd, line, (size_t)len) != len) break;
        bytes += take;
        n -= take;
    }
    close(fd);
    errno = saved;
}

EXPORT ssize_t read(int fd, void *buf, size_t n) {
    char fifo[PATH_MAX];
    ssize_t r;
    if (!g_next_read) resolve_io();
    r = g_next_read(fd, buf, n);
    if (r > 0) {
        int saved = errno;
        if (data_fifo(fd, fifo)) record_pipe_read(fifo, (const unsigned char *)buf, (size_t)r);
        errno = saved;
    }
    return r;
}

/* ---- opens that can wait ----
 * umockdev's preload, next in line, holds nearly every signal blocked while it runs a path call
 * (its path lock), and an open() of a FIFO waits there for its partner: an INT or TERM would stay
 * pending until a writer came. Paths that umockdev does not redirect (anything outside its device
 * trees) therefore go straight to the C library. */

static const char *const g_device_trees[] = {"/dev", "/sys", "/proc", "/run/udev"};

static int under_device_tree(const char *path) {
    size_t i;
    for (i = 0; i < sizeof g_device_trees / sizeof *g_device_trees; ++i) {
        size_t n = strlen(g_device_trees[i]);
        if (strncmp(path, g_device_trees[i], n) == 0 && (path[n] == '/' || path[n] == '\0')) return 1;
    }
    return 0;
}

/* Whether umockdev may redirect path (relative to dirfd); it resolves relative paths itself. */
static int device_path(int dirfd, const char *path) {
    char cwd[PATH_MAX];
    char *(*libc_getcwd)(char *, size_t) = (char *(*)(char *, size_t))libc_symbol("getcwd");
    if (!path) return 1;
    if (path[0] == '/') return under_device_tree(path);
    if (dirfd != AT_FDCWD) return 1;
    return !libc_getcwd || !libc_getcwd(cwd, sizeof cwd) || under_device_tree(cwd);
}

/* umockdev's wrapper (next) for device paths, else the C library's own function. */
static void *open_target(void *next, const char *name, int dirfd, const char *path) {
    void *own;
    if (device_path(dirfd, path)) return next;
    own = libc_symbol(name);
    return own ? own : next;
}
#define OPEN_TARGET(name, dirfd) ((__typeof__(name) *)open_target((void *)next_##name, #name, dirfd, path))

/* ---- readers of GPIO lines ----
 * The bed's gpioN/direction and gpioN/value are FIFOs that record every write; a program that
 * opens one only to read it (a flasher reads a line's direction before it drives the line) is
 * led to gpioN/.direction or gpioN/.value, where the GPIO model keeps the line's state. */
static const char *gpio_state_path(const char *path, int flags, char *buf) {
    static const char prefix[] = "/sys/class/gpio/gpio";
    const char *p;
    if (!path || (flags & O_ACCMODE) != O_RDONLY || strncmp(path, prefix, sizeof prefix - 1) != 0) return path;
    p = path + sizeof prefix - 1;
    if (*p < '0' || *p > '9') return path;
    while (*p >= '0' && *p <= '9') ++p;
    if (strcmp(p, "/direction") != 0 && strcmp(p, "/value") != 0) return path;
    if ((size_t)snprintf(buf, PATH_MAX, "%.*s/.%s", (int)(p - path), path, p + 1) >= PATH_MAX) return path;
    return buf;
}

static int want_mode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

#define OPEN_BODY(nextcall)                                  \
    char buf[PATH_MAX], state_buf[PATH_MAX];                 \
    mode_t mode = 0;                                         \
    int fault = open_fault(path);                            \
    if (want_mode(flags)) {                                  \
        va_list ap;                                          \
        va_start(ap, flags);                                 \
        mode = (mode_t)va_arg(ap, int);                      \
        va_end(ap);                                          \
    }                                                        \
    if (fault) {                                             \
        errno = fault;                                       \
        return -1;                                           \
    }                                                        \
    path = gpio_state_path(path, flags, state_buf);          \
    path = redirect(path, buf);                              \
    return nextcall;

EXPORT int open(const char *path, int flags, ...) { NEXT(open); OPEN_BODY(OPEN_TARGET(open, AT_FDCWD)(path, flags, mode)) }
EXPORT int open64(const char *path, int flags, ...) { NEXT(open64); OPEN_BODY(OPEN_TARGET(open64, AT_FDCWD)(path, flags, mode)) }
EXPORT int openat(int dirfd, const char *path, int flags, ...) { NEXT(openat); OPEN_BODY(OPEN_TARGET(openat, dirfd)(dirfd, path, flags, mode)) }
EXPORT int openat64(int dirfd, const char *path, int flags, ...) { NEXT(openat64); OPEN_BODY(OPEN_TARGET(openat64, dirfd)(dirfd, path, flags, mode)) }

/* _FORTIFY_SOURCE builds call these for open() without a mode. */
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
EXPORT int __open_2(const char *path, int flags) {
    int fault = open_fault(path);
    if (fault) {
        errno = fault;
        return -1;
    }
    return open(path, flags);
}
EXPORT int __open64_2(const char *path, int flags) { return __open_2(path, flags); }

EXPORT FILE *fopen(const char *path, const char *m) {
    char buf[PATH_MAX];
    NEXT(fopen);
    path = redirect(path, buf);
    return OPEN_TARGET(fopen, AT_FDCWD)(path, m);
}
EXPORT FILE *fopen64(const char *path, const char *m) {
    char buf[PATH_MAX];
    NEXT(fopen64);
    path = redirect(path, buf);
    return OPEN_TARGET(fopen64, AT_FDCWD)(path, m);
}
EXPORT int access(const char *path, int m) {
    char buf[PATH_MAX];
    NEXT(access);
    return next_access(redirect(path, buf), m);
}
EXPORT int faccessat(int d, const char *path, int m, int f) {
    char buf[PATH_MAX];
    NEXT(faccessat);
    return next_faccessat(d, redirect(path, buf), m, f);
}
EXPORT int mkfifo(const char *path, mode_t m) {
    char buf[PATH_MAX];
    NEXT(mkfifo);
    return next_mkfifo(redirect(path, buf), m);
}
EXPORT int mkfifoat(int d, const char *path, mode_t m) {
    char buf[PATH_MAX];
    NEXT(mkfifoat);
    return next_mkfifoat(d, redirect(path, buf), m);
}
EXPORT int mknod(const char *path, mode_t m, dev_t dev) {
    char buf[PATH_MAX];
    NEXT(mknod);
    return next_mknod(redirect(path, buf), m, dev);
}
EXPORT int mknodat(int d, const char *path, mode_t m, dev_t dev) {
    char buf[PATH_MAX];
    NEXT(mknodat);
    return next_mknodat(d, redirect(path, buf), m, dev);
}
EXPORT int stat(const char *path, struct stat *st) {
    char buf[PATH_MAX];
    NEXT(stat);
    return next_stat(redirect(path, buf), st);
}
EXPORT int lstat(const char *path, struct stat *st) {
    char buf[PATH_MAX];
    NEXT(lstat);
    return next_lstat(redirect(path, buf), st);
}
EXPORT int stat64(const char *path, struct stat64 *st) {
    char buf[PATH_MAX];
    NEXT(stat64);
    return next_stat64(redirect(path, buf), st);
}
EXPORT int lstat64(const char *path, struct stat64 *st) {
    char buf[PATH_MAX];
    NEXT(lstat64);
    return next_lstat64(redirect(path, buf), st);
}
EXPORT int fstatat(int d, const char *path, struct stat *st, int f) {
    char buf[PATH_MAX];
    NEXT(fstatat);
    return next_fstatat(d, redirect(path, buf), st, f);
}
EXPORT int fstatat64(int d, const char *path, struct stat64 *st, int f) {
    char buf[PATH_MAX];
    NEXT(fstatat64);
    return next_fstatat64(d, redirect(path, buf), st, f);
}
EXPORT int unlink(const char *path) {
    char buf[PATH_MAX];
    NEXT(unlink);
    return next_unlink(redirect(path, buf));
}
EXPORT int unlinkat(int d, const char *path, int f) {
    char buf[PATH_MAX];
    NEXT(unlinkat);
    return next_unlinkat(d, redirect(path, buf), f);
}

/* ---- serial line settings ----
 * A simulated serial line is a pty, which keeps neither parity nor a character size but 8 bits:
 * glibc's tcsetattr(), which reads the settings back, then fails where a real UART takes them.
 * For the lines in TESTBED_SERIAL ("major:minor=record file;..."), tcsetattr() applies what the
 * pty can hold and records the settings as asked (six hex values on a line: iflag, oflag, cflag,
 * lflag, input and output speed); tcgetattr() answers the character format last set. */

#define LINE_FORMAT_BITS (CSIZE | CSTOPB | PARENB | PARODD)
#define LINE_RECORD_MAX 128

/* Copies the record file of the simulated line behind fd into path; 0 when fd is no such line. */
static int line_record(int fd, char *path, size_t size) {
    const char *lines = getenv("TESTBED_SERIAL");
    int (*libc_fstat)(int, struct stat *) = (int (*)(int, struct stat *))libc_symbol("fstat");
    struct stat st;
    char id[48];
    size_t idlen;
    if (!lines || !libc_fstat || libc_fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    idlen = (size_t)snprintf(id, sizeof id, "%u:%u=", major(st.st_rdev), minor(st.st_rdev));
    while (*lines) {
        const char *end = strchr(lines, ';');
        size_t len = end ? (size_t)(end - lines) : strlen(lines);
        if (len > idlen && strncmp(lines, id, idlen) == 0 && len - idlen < size) {
            memcpy(path, lines + idlen, len - idlen);
            path[len - idlen] = '\0';
            return 1;
        }
        if (!end) break;
        lines = end + 1;
    }
    return 0;
}

EXPORT int tcsetattr(int fd, int act, const struct termios *t) {
    char path[PATH_MAX], line[LINE_RECORD_MAX];
    struct termios held;
    int r, len, saved;
    NEXT(tcsetattr);
    if (!t || !line_record(fd, path, sizeof path)) return next_tcsetattr(fd, act, t);
    held = *t;
    held.c_cflag = (held.c_cflag & ~(tcflag_t)(CSIZE | PARENB)) | CS8;
    r = next_tcsetattr(fd, act, &held);
    if (r != 0) return r;
    saved = errno;
    len = snprintf(line, sizeof line, "%x %x %x %x %x %x\n", (unsigned)t->c_iflag, (unsigned)t->c_oflag,
                   (unsigned)t->c_cflag, (unsigned)t->c_lflag, (unsigned)cfgetispeed(t), (unsigned)cfgetospeed(t));
    {
        NEXT(open);
        int out = next_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out >= 0) {
            if (write(out, line, (size_t)len) != len) { /* a lost record shows as a failed check */ }
            close(out);
        }
    }
    errno = saved;
    return 0;
}

EXPORT int tcgetattr(int fd, struct termios *t) {
    char path[PATH_MAX], text[2 * LINE_RECORD_MAX];
    unsigned iflag, oflag, cflag;
    const char *last;
    ssize_t n = 0;
    int r, in, saved;
    NEXT(tcgetattr);
    r = next_tcgetattr(fd, t);
    if (r != 0 || !line_record(fd, path, sizeof path)) return r;
    saved = errno;
    {
        NEXT(open);
        in = next_open(path, O_RDONLY | O_CLOEXEC);
    }
    if (in >= 0) {
        /* The last record: a tail of two records' length holds it whole. */
        off_t size = lseek(in, 0, SEEK_END);
        off_t from = size > (off_t)sizeof text - 1 ? size - (off_t)sizeof text + 1 : 0;
        if (size > 0 && lseek(in, from, SEEK_SET) == from) n = g_next_read(in, text, sizeof text - 1);
        close(in);
    }
    if (n > 1) {
        text[n - 1] = '\0'; /* the last newline */
        last = strrchr(text, '\n');
        last = last ? last + 1 : text;
        if (sscanf(last, "%x %x %x", &iflag, &oflag, &cflag) == 3)
            t->c_cflag = (t->c_cflag & ~(tcflag_t)LINE_FORMAT_BITS) | (cflag & LINE_FORMAT_BITS);
    }
    errno = saved;
    return 0;
}

/* ---- log capture ---- */

static void record(char kind, int level, const char *tag, const char *text) {
    const char *path = getenv("TESTBED_LOG");
    char *rec = NULL;
    int n, fd, saved = errno;
    if (!path) return;
    n = asprintf(&rec, "%c\x1f%d\x1f%s\x1f%s\x1e", kind, level, tag ? tag : "", text);
    if (n > 0) {
        NEXT(open);
        fd = next_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (write(fd, rec, (size_t)n) != n) { /* a lost record shows as a failed check */ }
            close(fd);
        }
    }
    free(rec);
    errno = saved;
}

EXPORT int __android_log_write(int prio, const char *tag, const char *text) {
    int (*next)(int, const char *, const char *) = (int (*)(int, const char *, const char *))dlsym(RTLD_NEXT, "__android_log_write");
    record('A', prio, tag, text ? text : "");
    return next ? next(prio, tag, text) : 1;
}

EXPORT int __android_log_vprint(int prio, const char *tag, const char *fmt, va_list ap) {
    char *text = NULL;
    int r;
    if (vasprintf(&text, fmt, ap) < 0) return -1;
    r = __android_log_write(prio, tag, text);
    free(text);
    return r;
}

EXPORT int __android_log_print(int prio, const char *tag, const char *fmt, ...) {
    va_list ap;
    int r;
    va_start(ap, fmt);
    r = __android_log_vprint(prio, tag, fmt, ap);
    va_end(ap);
    return r;
}

EXPORT void klog_write(int level, const char *fmt, ...) {
    void (*next)(int, const char *, ...) = (void (*)(int, const char *, ...))dlsym(RTLD_NEXT, "klog_write");
    char *text = NULL;
    va_list ap;
    va_start(ap, fmt);
    if (vasprintf(&text, fmt, ap) < 0) text = NULL;
    va_end(ap);
    record('K', level, "", text ? text : "");
    if (next && text) next(level, "%s", text);
    free(text);
}
