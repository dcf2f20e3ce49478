/* Kernel-log writer for hosts whose libcutils lacks klog_write: the platform's behaviour,
 * a line reaches /dev/kmsg only when its level is at or below the current level (default 3). */
#include <cutils/klog.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#define KLOG_DEFAULT_LEVEL 3
#define KLOG_LINE_MAX 1024

static int klog_level = KLOG_DEFAULT_LEVEL;

void klog_set_level(int level) { klog_level = level; }

void klog_writev(int level, const struct iovec *iov, int iov_count) {
    int fd;
    if (level > klog_level) return;
    fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (writev(fd, iov, iov_count) < 0) { /* the kernel log is best effort */ }
    close(fd);
}

void klog_write(int level, const char *fmt, ...) {
    char buf[KLOG_LINE_MAX];
    struct iovec iov;
    va_list ap;
    int n;
    if (level > klog_level) return;
    va_start(ap, fmt);
    n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    iov.iov_base = buf;
    iov.iov_len = (size_t)n < sizeof buf ? (size_t)n : sizeof buf - 1;
    klog_writev(level, &iov, 1);
}
