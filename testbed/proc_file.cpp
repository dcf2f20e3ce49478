#include "proc_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace testbed {

ssize_t read_proc_file(const char* path, char* buf, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t len = 0;
    while (static_cast<size_t>(len) < size - 1) {
        const ssize_t n = read(fd, buf + len, size - 1 - static_cast<size_t>(len));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) len = -1;
        if (n <= 0) break;
        len += n;
    }
    close(fd);
    if (len >= 0) buf[len] = '\0';
    return len;
}

}  // namespace testbed
