/* Preloaded into boardsim: every other process's /proc/N/stat reads as that of a process that
 * ended and was reaped between the open and the read (the read fails with ESRCH), as happens
 * to boardsim's look at the process table on a busy machine. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t count) {
    static ssize_t (*next)(int, void *, size_t);
    if (!next) next = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    char link[64], path[64], tail[8];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t len = readlink(link, path, sizeof path - 1);
    int pid;
    if (len > 0) {
        path[len] = '\0';
        if (sscanf(path, "/proc/%d/%7s", &pid, tail) == 2 && strcmp(tail, "stat") == 0 && pid != getpid()) {
            errno = ESRCH;
            return -1;
        }
    }
    return next(fd, buf, count);
}
