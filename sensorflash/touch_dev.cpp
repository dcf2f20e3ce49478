// Touch driver character device: the only code that opens, transfers on and closes
// "/dev/morlan_touch".
#include "touch_dev.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int dev_fd = -1;

namespace {

const char TOUCH_DEV_PATH[] = "/dev/morlan_touch";

// Driver control requests, _IOW('k', nr, int).
const unsigned long TOUCH_IOC_A0 = 0x40046BA0;  // first set-up request, value 0
const unsigned long TOUCH_IOC_A1 = 0x40046BA1;  // set-up value 1; closing sequence 0, then 1
const unsigned long TOUCH_IOC_A3 = 0x40046BA3;  // third set-up request, carries no value

// The controller needs a moment on its bus after a refused transfer before the next attempt.
const useconds_t TOUCH_RETRY_PAUSE_US = 10000;
// After this many failed operations in a row a direction is taken as dead for the run.
const int TOUCH_ERR_LIMIT = 20;
// The driver needs the request 0xA1 held at 0 this long before it is set back to 1.
const unsigned TOUCH_CLOSE_HOLD_S = 1;

int write_err_cnt = 0;
int read_err_cnt = 0;

}  // namespace

int touch_init(void) {
    // A run starts with both directions open.
    write_err_cnt = 0;
    read_err_cnt = 0;
    dev_fd = open(TOUCH_DEV_PATH, O_RDWR);
    if (dev_fd <= 0) {
        printf("open %s device error!\n", TOUCH_DEV_PATH);
        return -1;
    }
    ioctl(dev_fd, TOUCH_IOC_A0, 0);
    ioctl(dev_fd, TOUCH_IOC_A1, 1);
    ioctl(dev_fd, TOUCH_IOC_A3, 0);
    return 0;
}

int touch_write_reg(int fd, const uint8_t* buf, size_t len, int tries) {
    if (buf == NULL) return TOUCH_ERR_ARG;
    if (write_err_cnt >= TOUCH_ERR_LIMIT) return TOUCH_ERR_WRITE;
    if (tries < 1) tries = 1;
    for (int i = 0; i < tries; ++i) {
        ssize_t n = write(fd, buf, len);
        if (n == static_cast<ssize_t>(len)) {
            write_err_cnt = 0;
            return TOUCH_OK;
        }
        usleep(TOUCH_RETRY_PAUSE_US);
    }
    if (++write_err_cnt == TOUCH_ERR_LIMIT)
        printf("touch_write_reg:err_cnt > %d, please check the device then retry\n", TOUCH_ERR_LIMIT);
    return TOUCH_ERR_WRITE;
}

int touch_read_reg(int fd, uint8_t* buf, size_t len, int tries) {
    if (buf == NULL) return TOUCH_ERR_ARG;
    if (read_err_cnt >= TOUCH_ERR_LIMIT) return TOUCH_ERR_READ;
    if (tries < 1) tries = 1;
    ssize_t n = -1;
    for (int i = 0; i < tries; ++i) {
        n = read(fd, buf, len);
        if (n == static_cast<ssize_t>(len)) {
            read_err_cnt = 0;
            return TOUCH_OK;
        }
        usleep(TOUCH_RETRY_PAUSE_US);
    }
    if (++read_err_cnt == TOUCH_ERR_LIMIT)
        printf("touch_read_reg:err_cnt > %d, please check the device then retry\n", TOUCH_ERR_LIMIT);
    printf("touch_read_reg error:cnt = %d, ret=%d\n", static_cast<int>(len), static_cast<int>(n));
    return TOUCH_ERR_READ;
}

void touch_close(void) {
    ioctl(dev_fd, TOUCH_IOC_A1, 0);
    sleep(TOUCH_CLOSE_HOLD_S);
    ioctl(dev_fd, TOUCH_IOC_A1, 1);
    close(dev_fd);
}
