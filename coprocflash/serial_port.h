// Serial line to the MCU ("/dev/ttyS1"): open and close, raw configuration, whole writes,
// exact-count reads with a carry-over store, and the one-byte waits of the bootloader answers.
#pragma once

#include <stdint.h>

// Descriptor of the open serial line; stored by mcu_init, passed to every operation here.
extern int uart_fd;

int serial_open(const char* path);
int serial_close(int fd);
int serial_set_speed(int fd, int baud);
int serial_set_parity(int fd, int databits, int stopbits, int parity);
int serial_write(int fd, const uint8_t* data, int len);
int serial_read(int fd, uint8_t* buf, int count);
// queue 0: discards pending input, the carry-over included; 1: unsent output. Then a 1 s pause.
int serial_flush(int fd, int queue);

// One wait for the line to become readable: 1 readable, 0 time-out, -1 failure (also for a
// descriptor that a select set cannot hold).
int serial_wait_readable(int fd, int timeout_s);
// One read() of at most len bytes, straight from the descriptor (no carry-over).
int serial_read_raw(int fd, uint8_t* buf, int len);
// Closes the line from the interrupt path: close() only, nothing freed (async-signal-safe).
int serial_close_from_signal(int fd);
