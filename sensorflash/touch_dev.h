// Touch driver character device "/dev/morlan_touch": open with its control requests, the
// guarded register transfers in each direction, and the closing sequence.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Result codes of the device transfers (the bootloader layer adds -4 and below).
enum {
    TOUCH_OK = 0,
    TOUCH_ERR_ARG = -1,    // no buffer given; also: device can't be opened
    TOUCH_ERR_WRITE = -2,  // every write attempt failed, or the write direction is shut
    TOUCH_ERR_READ = -3,   // every read attempt failed, or the read direction is shut
};

// Descriptor of the touch device; -1 until touch_init has run.
extern int dev_fd;

// Starts the run's failure counts at 0, opens the device and issues the driver's three set-up
// requests. 0, or -1 if it can't be opened.
int touch_init(void);

// Sends len bytes of buf as one transfer, up to tries attempts. 0, -1 or -2.
int touch_write_reg(int fd, const uint8_t* buf, size_t len, int tries);

// Reads len bytes into buf, up to tries attempts. buf[0] holds the controller offset at
// which the read begins; the driver starts the transfer there. 0, -1 or -3.
int touch_read_reg(int fd, uint8_t* buf, size_t len, int tries);

// Closing sequence: hands the touch driver back its normal scanning (request 0xA1 with 0,
// one second, then with 1) and closes dev_fd.
void touch_close(void);
