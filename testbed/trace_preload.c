/* Device traces (docs/traces.md): preloaded first into every process of a traced run, it sees
 * each program's own calls on the board's devices with the program's own paths, before the
 * other preloads rewrite them, and appends one event line per call to TESTBED_TRACE once the
 * call returned. Traced: the nodes under /dev that the bed added (TESTBED_TRACE_NODES,
 * "name:name:..."), the files under "/sys/class/gpio/" and the FIFOs under "/data". Times are
 * CLOCK_MONOTONIC (the board's clock on the virtual clock) less TESTBED_TRACE_START (ns).
 * Without TESTBED_TRACE every call passes straight on. The preload's own file I/O uses raw
 * system calls, so no other preload sees it and the virtual clock's line counts stay exact. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "trace_text.h"

#define EXPORT __attribute__((visibility("default")))
#define FD_SLOTS 1024
#define DEVICE_PATH_MAX 64  /* the board's device paths are short: "/sys/class/gpio/gpio13/value" */
#define COMM_MAX 16         /* the kernel's comm: 15 bytes and the NUL */
#define LINE_FIXED_MAX 512  /* an event line without its data */
#define STACK_LINE_MAX 8192 /* longer lines go into a mapped buffer */
#define DIRENT_BUF 4096
#define MS_PER_S 1000LL
#define NS_PER_MS 1000000LL
#define NS_PER_S 1000000000LL
#define US_PER_MS 1000LL

static const char *g_trace;    /* the event file; NULL: not tracing */
static const char *g_nodes;    /* the bed's /dev nodes */
static int64_t g_start_ns;     /* COMMAND's start on CLOCK_MONOTONIC */
static char g_fd_device[FD_SLOTS][DEVICE_PATH_MAX]; /* the device behind each descriptor, "" if none */

#define NEXT(name) static __typeof__(name) *next_##name; if (!next_##name) next_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

/* ---- descriptors ---- */

static const char *device_of(int fd) {
    if (!g_trace || fd < 0 || fd >= FD_SLOTS || !g_fd_device[fd][0]) return NULL;
    return g_fd_device[fd];
}

static void set_device(int fd, const char *device) {
    if (fd < 0 || fd >= FD_SLOTS) return;
    if (!device) {
        g_fd_device[fd][0] = '\0';
        return;
    }
    snprintf(g_fd_device[fd], DEVICE_PATH_MAX, "%s", device);
}

static int starts_with(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

/* Whether name is one of the bed's nodes in the ':'-separated list. */
static int bed_node(const char *name) {
    const char *p = g_nodes;
    size_t n = strlen(name);
    while (p && *p) {
        const char *end = strchr(p, ':');
        size_t len = end ? (size_t)(end - p) : strlen(p);
        if (len == n && strncmp(p, name, n) == 0) return 1;
        p = end ? end + 1 : NULL;
    }
    return 0;
}

/* Whether the program's path names a traced device; fd is the open's result (or -1). */
static int traced_path(const char *path, int fd) {
    struct stat st;
    if (!path || strlen(path) >= DEVICE_PATH_MAX) return 0;
    if (starts_with(path, "/dev/")) return bed_node(path + strlen("/dev/"));
    if (starts_with(path, "/sys/class/gpio/")) return 1;
    if (!starts_with(path, "/data/")) return 0;
    /* A FIFO: the opened one, or the one that refused to open. */
    return fd >= 0 ? fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) : stat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}

/* ---- event lines ---- */

static void program_name(char *out) {
    char buf[COMM_MAX + 1] = "";
    long n;
#ifdef __arm__
    /* Under qemu-arm the kernel's comm is the emulator's: the program's file names it. */
    char exe[256];
    const char *base;
    n = syscall(SYS_readlinkat, AT_FDCWD, "/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = '\0';
    base = strrchr(exe, '/');
    base = base ? base + 1 : exe;
    n = (long)strnlen(base, COMM_MAX - 1);
    memcpy(buf, base, (size_t)n);
    buf[n] = '\0';
#else
    int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/comm", O_RDONLY | O_CLOEXEC);
    n = fd >= 0 ? syscall(SYS_read, fd, buf, COMM_MAX) : 0;
    if (fd >= 0) syscall(SYS_close, fd);
    buf[n > 0 ? n : 0] = '\0';
    buf[strcspn(buf, "\n")] = '\0';
#endif
    trace_escape_word(buf[0] ? buf : "?", out, 4 * COMM_MAX);
}

/* Appends one event: a single write with O_APPEND, so lines of all processes stay whole. */
static void emit(const char *device, int fd, const char *call, const char *arg, const char *result,
                 const unsigned char *data, size_t n) {
    char fixed[LINE_FIXED_MAX], time_text[32], program[4 * COMM_MAX], stack_line[STACK_LINE_MAX];
    struct timespec now;
    size_t size = LINE_FIXED_MAX + 2 * n + 2, len;
    char *line = stack_line;
    int out, saved = errno;
    clock_gettime(CLOCK_MONOTONIC, &now);
    trace_seconds((int64_t)now.tv_sec * NS_PER_S + now.tv_nsec - g_start_ns, time_text, sizeof time_text);
    program_name(program);
    if (size > sizeof stack_line) {
        line = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (line == MAP_FAILED) {
            errno = saved;
            return;
        }
    }
    snprintf(fixed, sizeof fixed, "%s %ld %s %s %d %s %s %s ", time_text, (long)getpid(), program, device, fd, call,
             arg, result);
    len = strlen(fixed);
    memcpy(line, fixed, len);
    len += trace_hex(data, n, line + len, size - len - 1);
    line[len++] = '\n';
    out = (int)syscall(SYS_openat, AT_FDCWD, g_trace, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (out >= 0) {
        if (syscall(SYS_write, out, line, len) != (long)len) { /* a lost line shows as a failed check */ }
        syscall(SYS_close, out);
    }
    if (line != stack_line) munmap(line, size);
    errno = saved;
}

/* A result as the trace gives it: the value, or the errno name when the call failed. */
static void result_text(long r, int err, char *out, size_t size) {
    if (r < 0)
        trace_errno_name(err, out, size);
    else
        snprintf(out, size, "%ld", r);
}

static void emit_call(const char *device, int fd, const char *call, const char *arg, long r, int err,
                      const unsigned char *data, size_t n) {
    char result[32];
    result_text(r, err, result, sizeof result);
    emit(device, fd, call, arg, result, data, n);
}

/* ---- descriptors a process got across exec ---- */

static size_t real_dir(const char *env, char *out, size_t size) {
    const char *dir = getenv(env);
    char resolved[PATH_MAX];
    if (!dir || !realpath(dir, resolved)) return 0;
    snprintf(out, size, "%s", resolved);
    return strlen(out);
}

/* The board's path of a descriptor's host file (from /proc/self/fd), in out; 0 when none. */
static int board_path_of(const char *target, char *out) {
    char root[PATH_MAX], data[PATH_MAX];
    size_t rlen = real_dir("UMOCKDEV_DIR", root, sizeof root), dlen = real_dir("TESTBED_DATA_DIR", data, sizeof data);
    if (rlen && strncmp(target, root, rlen) == 0) {
        const char *p = target + rlen;
        char *dot;
        if (starts_with(p, "/dev/") && bed_node(p + strlen("/dev/")))
            return snprintf(out, DEVICE_PATH_MAX, "%s", p) < DEVICE_PATH_MAX;
        if (!starts_with(p, "/sys/class/gpio/") || snprintf(out, DEVICE_PATH_MAX, "%s", p) >= DEVICE_PATH_MAX) return 0;
        /* A line's state file (".value") stands for the line's file ("value"). */
        dot = strstr(out, "/.");
        if (dot) memmove(dot + 1, dot + 2, strlen(dot + 2) + 1);
        return 1;
    }
    if (dlen && strncmp(target, data, dlen) == 0 && target[dlen] == '/')
        return snprintf(out, DEVICE_PATH_MAX, "/data%s", target + dlen) < DEVICE_PATH_MAX;
    return starts_with(target, "/data/") && snprintf(out, DEVICE_PATH_MAX, "%s", target) < DEVICE_PATH_MAX;
}

static void find_inherited(void) {
    char buf[DIRENT_BUF];
    long n;
    int dir = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    while ((n = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0) {
        long at = 0;
        while (at < n) {
            const struct dirent64 *d = (const struct dirent64 *)(buf + at);
            char link[64], target[PATH_MAX], device[DEVICE_PATH_MAX];
            const int fd = atoi(d->d_name);
            long len;
            struct stat st;
            at += d->d_reclen;
            if (d->d_name[0] < '0' || d->d_name[0] > '9' || fd == dir || fd >= FD_SLOTS) continue;
            snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            len = syscall(SYS_readlinkat, AT_FDCWD, link, target, sizeof target - 1);
            if (len <= 0) continue;
            target[len] = '\0';
            if (!board_path_of(target, device)) continue;
            if (starts_with(device, "/data/") && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))) continue;
            set_device(fd, device);
        }
    }
    syscall(SYS_close, dir);
}

__attribute__((constructor)) static void start_tracing(void) {
    const char *trace = getenv("TESTBED_TRACE"), *start = getenv("TESTBED_TRACE_START");
    if (!trace || !*trace || !start) return;
    g_start_ns = strtoll(start, NULL, 10);
    g_nodes = getenv("TESTBED_TRACE_NODES");
    g_trace = trace;
    find_inherited();
}

/* ---- open ---- */

static int want_mode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

static int traced_open(const char *path, int flags, int r) {
    char arg[128];
    int err = errno;
    if (!g_trace) return r;
    set_device(r, NULL);
    if (!traced_path(path, r)) {
        errno = err;
        return r;
    }
    if (r >= 0) set_device(r, path);
    trace_open_flags(flags, arg, sizeof arg);
    emit_call(path, r, "open", arg, r, err, NULL, 0);
    errno = err;
    return r;
}

#define MODE_ARG                                             \
    mode_t mode = 0;                                         \
    if (want_mode(flags)) {                                  \
        va_list ap;                                          \
        va_start(ap, flags);                                 \
        mode = (mode_t)va_arg(ap, int);                      \
        va_end(ap);                                          \
    }

EXPORT int open(const char *path, int flags, ...) {
    MODE_ARG
    NEXT(open);
    return traced_open(path, flags, next_open(path, flags, mode));
}
EXPORT int open64(const char *path, int flags, ...) {
    MODE_ARG
    NEXT(open64);
    return traced_open(path, flags, next_open64(path, flags, mode));
}
EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    MODE_ARG
    NEXT(openat);
    return traced_open(path, flags, next_openat(dirfd, path, flags, mode));
}
EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    MODE_ARG
    NEXT(openat64);
    return traced_open(path, flags, next_openat64(dirfd, path, flags, mode));
}

/* _FORTIFY_SOURCE builds call these for opens without a mode: the same calls as above. */
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
EXPORT int __open_2(const char *path, int flags) { return open(path, flags); }
EXPORT int __open64_2(const char *path, int flags) { return open64(path, flags); }
EXPORT int __openat_2(int dirfd, const char *path, int flags) { return openat(dirfd, path, flags); }
EXPORT int __openat64_2(int dirfd, const char *path, int flags) { return openat64(dirfd, path, flags); }

/* ---- close, read, write: resolved before main, as they also run in signal handlers ---- */

static int (*g_next_close)(int);
static ssize_t (*g_next_read)(int, void *, size_t);
static ssize_t (*g_next_write)(int, const void *, size_t);

__attribute__((constructor)) static void resolve_io(void) {
    g_next_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
    g_next_read = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    g_next_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
}

EXPORT int close(int fd) {
    const char *device;
    char held[DEVICE_PATH_MAX];
    int r, err;
    if (!g_next_close) resolve_io();
    device = device_of(fd);
    if (!device) return g_next_close(fd);
    snprintf(held, sizeof held, "%s", device);
    set_device(fd, NULL);
    r = g_next_close(fd);
    err = errno;
    emit_call(held, fd, "close", "-", r, err, NULL, 0);
    errno = err;
    return r;
}

EXPORT ssize_t read(int fd, void *buf, size_t n) {
    const char *device;
    char arg[24];
    ssize_t r;
    int err;
    if (!g_next_read) resolve_io();
    r = g_next_read(fd, buf, n);
    device = device_of(fd);
    if (!device) return r;
    err = errno;
    snprintf(arg, sizeof arg, "%zu", n);
    emit_call(device, fd, "read", arg, r, err, buf, r > 0 ? (size_t)r : 0);
    errno = err;
    return r;
}

EXPORT ssize_t write(int fd, const void *buf, size_t n) {
    const char *device;
    char arg[24];
    ssize_t r;
    int err;
    if (!g_next_write) resolve_io();
    r = g_next_write(fd, buf, n);
    device = device_of(fd);
    if (!device) return r;
    err = errno;
    snprintf(arg, sizeof arg, "%zu", n);
    emit_call(device, fd, "write", arg, r, err, buf, n);
    errno = err;
    return r;
}

/* ---- descriptors that follow others: a shell's "echo 13 > export" dup2s onto 1 ---- */

static int copied(int from, int to) {
    char held[DEVICE_PATH_MAX];
    const char *device = device_of(from);
    if (to < 0 || to == from) return to;
    snprintf(held, sizeof held, "%s", device ? device : "");
    set_device(to, device ? held : NULL);
    return to;
}

EXPORT int dup(int fd) {
    NEXT(dup);
    return copied(fd, next_dup(fd));
}
EXPORT int dup2(int fd, int to) {
    NEXT(dup2);
    return copied(fd, next_dup2(fd, to));
}
EXPORT int dup3(int fd, int to, int flags) {
    NEXT(dup3);
    return copied(fd, next_dup3(fd, to, flags));
}

/* fcntl's third argument is an int, a long or a pointer: passed on as the word it came in. */
static int traced_fcntl(int (*next)(int, int, ...), int fd, int cmd, void *arg) {
    int r = next(fd, cmd, arg);
    return (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) ? copied(fd, r) : r;
}
EXPORT int fcntl(int fd, int cmd, ...) {
    va_list ap;
    void *arg;
    va_start(ap, cmd);
    arg = va_arg(ap, void *);
    va_end(ap);
    NEXT(fcntl);
    return traced_fcntl(next_fcntl, fd, cmd, arg);
}
int fcntl64(int fd, int cmd, ...);
EXPORT int fcntl64(int fd, int cmd, ...) {
    static int (*next)(int, int, ...);
    va_list ap;
    void *arg;
    va_start(ap, cmd);
    arg = va_arg(ap, void *);
    va_end(ap);
    if (!next) next = (int (*)(int, int, ...))dlsym(RTLD_NEXT, "fcntl64");
    if (!next) next = (int (*)(int, int, ...))dlsym(RTLD_NEXT, "fcntl"); /* a C library without it */
    return traced_fcntl(next, fd, cmd, arg);
}

/* ---- the serial line's settings and flushes, and the devices' own requests ---- */

static void emit_settings(const char *device, int fd, const uint32_t flags[4], int r, int err) {
    char arg[64];
    trace_line_settings(flags[0], flags[1], flags[2], flags[3], arg, sizeof arg);
    emit_call(device, fd, "tcsetattr", arg, r, err, NULL, 0);
}

static void emit_flush(const char *device, int fd, int queue, int r, int err) {
    const char *arg = queue == TCIFLUSH ? "TCIFLUSH" : queue == TCOFLUSH ? "TCOFLUSH" : "TCIOFLUSH";
    emit_call(device, fd, "tcflush", arg, r, err, NULL, 0);
}

EXPORT int tcsetattr(int fd, int act, const struct termios *t) {
    const char *device;
    int r, err;
    NEXT(tcsetattr);
    r = next_tcsetattr(fd, act, t);
    device = device_of(fd);
    if (!device || !t) return r;
    err = errno;
    {
        const uint32_t flags[4] = {t->c_iflag, t->c_oflag, t->c_cflag, t->c_lflag};
        emit_settings(device, fd, flags, r, err);
    }
    errno = err;
    return r;
}

EXPORT int tcflush(int fd, int queue) {
    const char *device;
    int r, err;
    NEXT(tcflush);
    r = next_tcflush(fd, queue);
    device = device_of(fd);
    if (!device) return r;
    err = errno;
    emit_flush(device, fd, queue, r, err);
    errno = err;
    return r;
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    const char *device;
    va_list ap;
    unsigned long arg;
    int r, err;
    va_start(ap, request);
    arg = va_arg(ap, unsigned long);
    va_end(ap);
    NEXT(ioctl);
    r = next_ioctl(fd, request, arg);
    device = device_of(fd);
    if (!device || request == TCGETS) return r;
    err = errno;
    if (request == TCSETS || request == TCSETSW || request == TCSETSF) {
        /* The kernel's termios starts with the four flag words, as the C library's does. */
        const uint32_t *k = (const uint32_t *)arg;
        if (k) {
            const uint32_t flags[4] = {k[0], k[1], k[2], k[3]};
            emit_settings(device, fd, flags, r, err);
        }
    } else if (request == TCFLSH) {
        emit_flush(device, fd, (int)arg, r, err);
    } else {
        char text[48];
        trace_ioctl_arg((uint32_t)request, (uint32_t)arg, text, sizeof text);
        emit_call(device, fd, "ioctl", text, r, err, NULL, 0);
    }
    errno = err;
    return r;
}

/* ---- waits that timed out on a traced descriptor ---- */

static void emit_wait(const char *how, int fd, long long ms) {
    char arg[48];
    snprintf(arg, sizeof arg, "%s:%lld", how, ms);
    emit(device_of(fd), fd, "wait", arg, "timeout", NULL, 0);
}

static void select_timed_out(const char *how, int n, const fd_set *asked, long long ms) {
    int fd;
    for (fd = 0; fd < n && fd < FD_SLOTS; ++fd)
        if (FD_ISSET(fd, asked) && device_of(fd)) emit_wait(how, fd, ms);
}

static void poll_timed_out(const char *how, const struct pollfd *fds, nfds_t n, long long ms) {
    nfds_t i;
    for (i = 0; i < n; ++i)
        if (device_of(fds[i].fd)) emit_wait(how, fds[i].fd, ms);
}

EXPORT int select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *tv) {
    fd_set asked;
    long long ms;
    int result, err;
    NEXT(select);
    if (!g_trace || !r || !tv || n > FD_SETSIZE) return next_select(n, r, w, e, tv);
    asked = *r;
    ms = (long long)tv->tv_sec * MS_PER_S + tv->tv_usec / US_PER_MS;
    result = next_select(n, r, w, e, tv);
    err = errno;
    if (result == 0) select_timed_out("select", n, &asked, ms);
    errno = err;
    return result;
}

EXPORT int pselect(int n, fd_set *r, fd_set *w, fd_set *e, const struct timespec *ts, const sigset_t *mask) {
    fd_set asked;
    int result, err;
    NEXT(pselect);
    if (!g_trace || !r || !ts || n > FD_SETSIZE) return next_pselect(n, r, w, e, ts, mask);
    asked = *r;
    result = next_pselect(n, r, w, e, ts, mask);
    err = errno;
    if (result == 0) select_timed_out("pselect", n, &asked, (long long)ts->tv_sec * MS_PER_S + ts->tv_nsec / NS_PER_MS);
    errno = err;
    return result;
}

EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout_ms) {
    int result, err;
    NEXT(poll);
    result = next_poll(fds, n, timeout_ms);
    if (!g_trace || result != 0 || timeout_ms < 0) return result;
    err = errno;
    poll_timed_out("poll", fds, n, timeout_ms);
    errno = err;
    return result;
}

EXPORT int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *ts, const sigset_t *mask) {
    int result, err;
    NEXT(ppoll);
    result = next_ppoll(fds, n, ts, mask);
    if (!g_trace || result != 0 || !ts) return result;
    err = errno;
    poll_timed_out("ppoll", fds, n, (long long)ts->tv_sec * MS_PER_S + ts->tv_nsec / NS_PER_MS);
    errno = err;
    return result;
}
