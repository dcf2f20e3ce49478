// Touch update tool: reads the controller's firmware version and programs the image given on
// the command line when its version is newer.
#include "sensorflash_main.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "touch_dev.h"
#include "touch_upgrade.h"

namespace {

// Version read: 5 bytes from controller offset 0, the firmware version in the last one.
const size_t VERSION_READ_LEN = 5;
const size_t VERSION_BYTE = 4;
const int VERSION_READ_TRIES = 1;

// Reads "major.minor.patch" as "%d.%d.%d" does: each number may have leading white space and
// a sign, and whatever follows the third number is ignored (a CR line end, a suffix, a fourth
// component). Returns 1 when three numbers were read and each fits an int.
int parse_version(const char* text, int v[3]) {
    const char* p = text;
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && *p++ != '.') return 0;
        char* end = NULL;
        errno = 0;
        const long n = strtol(p, &end, 10);
        if (end == p) return 0;
        // long is 32-bit on the board, so range errors show in errno as well as in the value.
        if (errno == ERANGE || n < INT_MIN || n > INT_MAX) return 0;
        v[i] = static_cast<int>(n);
        p = end;
    }
    return 1;
}

void usage(const char* argv0) { printf("Usage: %s touch_bin_file version(xx.xx.xx)\n", argv0); }

}  // namespace

int touch_version_check(int fd, int new_ver) {
    uint8_t buf[6] = {0};  // buf[0]: controller offset 0
    if (touch_read_reg(fd, buf, VERSION_READ_LEN, VERSION_READ_TRIES) != 0) {
        printf("get version fail, continue upgrade, new version=%d\n", new_ver);
        return 1;
    }
    uint8_t ver = buf[VERSION_BYTE];
    printf("ver=%d, new_ver=%d\n", ver, new_ver);
    return new_ver > static_cast<int>(ver) ? 1 : 0;
}

int sensorflash_main(int argc, char** argv) {
    int v[3] = {0, 0, 0};
    // A version text without three numbers is refused before the device is touched.
    if (argc != 3 || !parse_version(argv[2], v)) {
        usage(argv[0]);
        return -1;
    }
    int ret = touch_init();
    if (ret != 0) {
        printf("touch init error:%d\n", ret);
        return -1;
    }
    printf("version:%d.%d.%d\n", v[0], v[1], v[2]);
    const int new_ver = v[2];

    if (touch_version_check(dev_fd, new_ver) != 0) {
        const char* path = argv[1];
        int fd = open(path, O_RDONLY);
        if (fd < 0) {
            close(dev_fd);
            printf("open file [%s]failed\n", path);
            return -1;
        }
        uint8_t* image = NULL;
        struct stat st;
        if (fstat(fd, &st) != 0) {
            ret = -1;
        } else {
            size_t size = static_cast<size_t>(st.st_size);
            image = static_cast<uint8_t*>(malloc(size ? size : 1));
            if (image == NULL) {
                puts("malloc memory failed");
                ret = -1;
            } else {
                ssize_t got = read(fd, image, size);
                if (got != static_cast<ssize_t>(size)) {
                    printf("read file [%s] failed, fileSize=%d, readSize=%d\n", path, static_cast<int>(size),
                           static_cast<int>(got));
                    // A read that brought nothing (or failed) must not pass for success.
                    ret = got > 0 ? static_cast<int>(got) : -1;
                } else {
                    printf("start upgrade:dev_fd=%d, fileSize=%d\n", dev_fd, static_cast<int>(size));
                    ret = touch_upgrade(dev_fd, image, size);
                }
            }
        }
        close(fd);
        free(image);
    }

    if (dev_fd > 0) touch_close();
    if (ret == 0)
        puts("TOUCH PROGRAM UPDATE SUCCESSFULLY");
    else
        printf("TOUCH UPDATE FAIL:ret=%d\n", ret);
    return ret;
}

int sensorflash_exit_status(int ret) {
    int status = ret & 0xFF;
    // A short image read of a multiple of 256 bytes would otherwise exit 0.
    if (ret != 0 && status == 0) status = 0xFF;
    return status;
}
