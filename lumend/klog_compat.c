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

void klog_write(int level, const char *fmt, ...) {
    char buf[KLOG_LINE_MAX];
    va_list ap;
    int n, fd;
    if (level > klog_level) return;
    va_start(ap, fmt);
    n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if ((size_t)n >= sizeof buf) n = sizeof buf - 1;
    fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    /* One write() is one kernel-log record. The kernel log is best effort. */
    if (write(fd, buf, (size_t)n) < 0) { /* nothing to report it to */ }
    close(fd);
}
