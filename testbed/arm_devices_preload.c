/* In a 32-bit ARM program under qemu-arm (ARM builds of the preload only): the bed's emulated
 * character devices. umockdev's own socket protocol carries the caller's long and pointers, so
 * an ARM process cannot talk to the x86-64 bed through it; open() of "/dev/<name>" connects
 * instead to the bed's socket TESTBED_DEVICE_DIR/<name>, and write, read, ioctl and close of
 * that descriptor travel in the fixed-width calls of device_wire.h. Sits after the bed's own
 * preload (open faults, "/data") and before umockdev's (ptys, /sys), which the other paths
 * reach unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "device_wire.h"

#define EXPORT __attribute__((visibility("default")))
#define FD_SLOTS 1024
#define DEV_PREFIX "/dev/"

static unsigned char g_device_fd[FD_SLOTS]; /* 1: the descriptor is a bed device's socket */

static int is_device(int fd) { return fd >= 0 && fd < FD_SLOTS && __atomic_load_n(&g_device_fd[fd], __ATOMIC_RELAXED); }

/* Raw system calls: umockdev's preload wraps the libc socket and I/O calls. */
static int send_all(int fd, const void *buf, size_t n) {
    const char *p = buf;
    while (n > 0) {
        long r = syscall(SYS_write, fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

static int recv_all(int fd, void *buf, size_t n) {
    char *p = buf;
    while (n > 0) {
        long r = syscall(SYS_read, fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

/* The socket behind "/dev/<name>" in sock, or 0 when the bed serves no such device. */
static int device_socket(const char *path, struct sockaddr_un *sock) {
    const char *dir = getenv("TESTBED_DEVICE_DIR");
    struct stat st;
    if (!dir || !path || strncmp(path, DEV_PREFIX, strlen(DEV_PREFIX)) != 0) return 0;
    path += strlen(DEV_PREFIX);
    if (!*path || strchr(path, '/')) return 0;
    memset(sock, 0, sizeof *sock);
    sock->sun_family = AF_UNIX;
    if ((size_t)snprintf(sock->sun_path, sizeof sock->sun_path, "%s/%s", dir, path) >= sizeof sock->sun_path) return 0;
    return stat(sock->sun_path, &st) == 0 && S_ISSOCK(st.st_mode);
}

static int open_device(const struct sockaddr_un *sock, int flags) {
    int type = SOCK_STREAM | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0);
    int fd = (int)syscall(SYS_socket, AF_UNIX, type, 0);
    if (fd < 0) return -1;
    if (syscall(SYS_connect, fd, sock, sizeof *sock) != 0 || fd >= FD_SLOTS) {
        syscall(SYS_close, fd);
        errno = ENXIO; /* the bed went away: no such device */
        return -1;
    }
    __atomic_store_n(&g_device_fd[fd], 1, __ATOMIC_RELAXED);
    return fd;
}

/* One call to the bed; returns the device's result. A read's data lands in buf. */
static long device_call(int fd, uint32_t op, const void *data, uint32_t len, uint64_t request, uint64_t arg, void *buf) {
    struct testbed_wire_call call = {op, len, request, arg};
    struct testbed_wire_reply reply;
    if (send_all(fd, &call, sizeof call) != 0 || (len && send_all(fd, data, len) != 0) ||
        recv_all(fd, &reply, sizeof reply) != 0 || reply.len > len || (reply.len && recv_all(fd, buf, reply.len) != 0)) {
        errno = EIO;
        return -1;
    }
    if (reply.result < 0) {
        errno = (int)-reply.result;
        return -1;
    }
    return (long)reply.result;
}

static uint32_t wire_len(size_t n) { return n > TESTBED_WIRE_MAX_BYTES ? TESTBED_WIRE_MAX_BYTES : (uint32_t)n; }

#define NEXT(name) static __typeof__(name) *next_##name; if (!next_##name) next_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

#define OPEN_DEVICE_OR(nextcall)                             \
    struct sockaddr_un sock;                                 \
    mode_t mode = 0;                                         \
    if (flags & O_CREAT) {                                   \
        va_list ap;                                          \
        va_start(ap, flags);                                 \
        mode = (mode_t)va_arg(ap, int);                      \
        va_end(ap);                                          \
    }                                                        \
    if (device_socket(path, &sock)) return open_device(&sock, flags); \
    return nextcall;

EXPORT int open(const char *path, int flags, ...) { NEXT(open); OPEN_DEVICE_OR(next_open(path, flags, mode)) }
EXPORT int open64(const char *path, int flags, ...) { NEXT(open64); OPEN_DEVICE_OR(next_open64(path, flags, mode)) }
EXPORT int openat(int dirfd, const char *path, int flags, ...) { NEXT(openat); OPEN_DEVICE_OR(next_openat(dirfd, path, flags, mode)) }
EXPORT int openat64(int dirfd, const char *path, int flags, ...) { NEXT(openat64); OPEN_DEVICE_OR(next_openat64(dirfd, path, flags, mode)) }

EXPORT ssize_t write(int fd, const void *buf, size_t n) {
    NEXT(write);
    if (!is_device(fd)) return next_write(fd, buf, n);
    return device_call(fd, TESTBED_WIRE_WRITE, buf, wire_len(n), 0, 0, NULL);
}

EXPORT ssize_t read(int fd, void *buf, size_t n) {
    NEXT(read);
    if (!is_device(fd)) return next_read(fd, buf, n);
    return device_call(fd, TESTBED_WIRE_READ, buf, wire_len(n), 0, 0, buf);
}

/* Requests of these drivers take their argument by value (or none: then whatever the
 * register held, as on the device). */
EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    unsigned long arg;
    va_start(ap, request);
    arg = va_arg(ap, unsigned long);
    va_end(ap);
    NEXT(ioctl);
    if (!is_device(fd)) return next_ioctl(fd, request, arg);
    return (int)device_call(fd, TESTBED_WIRE_IOCTL, NULL, 0, request, arg, NULL);
}

/* Resolved before main: close() also runs in programs' signal handlers, where dlsym may not. */
static int (*g_next_close)(int);
__attribute__((constructor)) static void resolve_close(void) { g_next_close = (int (*)(int))dlsym(RTLD_NEXT, "close"); }

EXPORT int close(int fd) {
    if (is_device(fd)) __atomic_store_n(&g_device_fd[fd], 0, __ATOMIC_RELAXED);
    if (!g_next_close) resolve_close();
    return g_next_close(fd);
}
