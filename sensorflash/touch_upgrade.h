// Touch image programming: the image as a run of 129-byte packets, one flash row each,
// programmed and verified through the bootloader between its entry and exit.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Image packet: 126 bytes in Send Data, 2 bytes in Program Row, 1 byte not used.
const size_t TOUCH_PKT_SIZE = 129;
// The count of finished packets is 16-bit: a larger image would wrap it. This does not bound
// the row numbers, which count on from the controller's first row in 16 bits.
const size_t TOUCH_MAX_PKTS = 65535;

extern const uint8_t* image_cursor;
extern int pkt_left;

// Programs the whole image of size bytes. 0 or a negative touch result code.
int touch_upgrade(int fd, const uint8_t* image, size_t size);
int BOOTLOADER_START(void);
