// Serial line to the MCU: termios set-up of the tty, write loop, and the select-paced read
// that holds bytes received beyond a request for the next one.
#include "serial_port.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#include <fcntl.h>

#include "console_line.h"

int uart_fd = -1;

namespace {

// One read() takes at most this many bytes; the carry-over can hold all of them.
constexpr int kCarryBufSize = 100;
constexpr int kReadChunk = 100;
constexpr int kScratchSize = 256;
// The MCU answers within milliseconds; four silent seconds in a row mean it is not there.
constexpr int kReadWaitSeconds = 1;
constexpr int kReadWaits = 4;
// serial_flush gives bytes still on the wire time to arrive and be discarded.
constexpr unsigned kFlushPauseSeconds = 1;

// A hung-up line reads as empty again and again: this many empty reads in a row, with no
// byte between them, fail a read as four silent seconds do.
constexpr int kEmptyReads = 4;

uint8_t* uart_carry_buf = nullptr;
int uart_carry_len = 0;

// A failed configuration step closes the descriptor, which stays in uart_fd. Its number may
// come back from a later open(), so nothing here touches it again: each operation on it ends
// as it would on a closed descriptor.
int closed_fd = -1;

void close_failed_line(int fd) {
    close(fd);
    closed_fd = fd;
}

bool line_closed(int fd) { return fd < 0 || fd == closed_fd; }

struct BaudEntry {
    int baud;
    speed_t code;
};

const BaudEntry kBaudTable[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

int serial_open(const char* path) {
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        con_printf("[UART - %s]: uart open error\n", __func__);
        return -1;
    }
    closed_fd = -1;  // a new line: the old number is no longer the serial layer's
    uart_carry_len = 0;
    uart_carry_buf = static_cast<uint8_t*>(malloc(kCarryBufSize));
    if (uart_carry_buf == nullptr) con_printf("[UART - %s]: malloc read buffer error\n", __func__);
    return fd;
}

int serial_close(int fd) {
    uart_carry_len = 0;
    free(uart_carry_buf);
    uart_carry_buf = nullptr;
    const int r = line_closed(fd) ? -1 : close(fd);
    closed_fd = -1;
    return r;
}

int serial_close_from_signal(int fd) { return line_closed(fd) ? -1 : close(fd); }

int serial_set_speed(int fd, int baud) {
    struct termios tio;
    if (line_closed(fd) || tcgetattr(fd, &tio) != 0) {
        if (!line_closed(fd)) close_failed_line(fd);
        con_printf("[UART - %s]: get attr fail\n", __func__);
        return -1;
    }
    speed_t code = B0;
    bool found = false;
    for (const BaudEntry& e : kBaudTable) {
        if (e.baud == baud) {
            code = e.code;
            found = true;
            break;
        }
    }
    if (!found) {
        con_printf("[UART - %s]: baudrate wrong\n", __func__);
        return -1;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        con_printf("[UART - %s]: set attr failed\n", __func__);
        close_failed_line(fd);
        return -1;
    }
    return 0;
}

int serial_set_parity(int fd, int databits, int stopbits, int parity) {
    struct termios tio;
    if (line_closed(fd) || tcgetattr(fd, &tio) != 0) {
        if (!line_closed(fd)) close_failed_line(fd);
        con_printf("[UART - %s]: get attr fail\n", __func__);
        return -1;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (databits) {
    case 7: tio.c_cflag |= CS7; break;
    case 8: tio.c_cflag |= CS8; break;
    default:
        con_printf("[UART - %s]: data bit wrong\n", __func__);
        return -1;
    }
    switch (stopbits) {
    case 1: tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
    case 2: tio.c_cflag |= CSTOPB; break;
    default:
        con_printf("[UART - %s]: stop bit wrong\n", __func__);
        return -1;
    }
    switch (parity) {
    case 'N': tio.c_cflag &= ~static_cast<tcflag_t>(PARENB); break;
    case 'O': tio.c_cflag |= (PARENB | PARODD); break;
    case 'E':
        tio.c_cflag |= PARENB;
        tio.c_cflag &= ~static_cast<tcflag_t>(PARODD);
        break;
    default:
        con_printf("[UART - %s]: parity wrong\n", __func__);
        return -1;
    }
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        con_printf("[UART - %s]: setup serial error\n", __func__);
        return -1;
    }
    return 0;
}

// Writes from the caller's bytes directly: write() does not change them, so no copy is kept.
int serial_write(int fd, const uint8_t* data, int len) {
    int sent = 0;
    while (sent < len) {
        ssize_t n = line_closed(fd) ? -1 : write(fd, data + sent, static_cast<size_t>(len - sent));
        con_printf("[UART - %s]: write ret = %d\n", __func__, static_cast<int>(n));
        if (n == -1) {
            con_printf("[UART - %s]: write error\n", __func__);
            return -1;
        }
        sent += static_cast<int>(n);
    }
    return 0;
}

int serial_wait_readable(int fd, int timeout_s) {
    // FD_SET on a descriptor the set cannot hold would write past it.
    if (line_closed(fd) || fd >= FD_SETSIZE) return -1;
    fd_set rset;
    FD_ZERO(&rset);
    FD_SET(fd, &rset);
    struct timeval tv;
    tv.tv_sec = timeout_s;
    tv.tv_usec = 0;
    int r = select(fd + 1, &rset, nullptr, nullptr, &tv);
    if (r < 0) return -1;
    return r == 0 ? 0 : 1;
}

int serial_read_raw(int fd, uint8_t* buf, int len) {
    if (line_closed(fd)) return -1;
    return static_cast<int>(read(fd, buf, static_cast<size_t>(len)));
}

namespace {

// One wait-and-read step: up to four one-second waits, then one read() into scratch.
// Returns the read() count (0 included), or -1 after a failure or four time-outs.
int _serial_read(int fd, uint8_t* scratch) {
    for (int waits = 1;; ++waits) {
        int r = serial_wait_readable(fd, kReadWaitSeconds);
        if (r < 0) {
            con_printf("[UART - %s]: read data error\n", "serial_read");
            return -1;
        }
        if (r == 0) {
            con_printf("[UART - %s]: wait read timeout!\n", __func__);
            if (waits == kReadWaits) {
                con_printf("[UART - %s]: read data error\n", "serial_read");
                return -1;
            }
            continue;
        }
        int n = serial_read_raw(fd, scratch, kReadChunk);
        con_printf("[UART - %s]: uart read data [%d]\n", __func__, n);
        if (n < 0) {
            con_printf("[UART - %s]: read data error\n", "serial_read");
            return -1;
        }
        return n;
    }
}

}  // namespace

int serial_read(int fd, uint8_t* buf, int count) {
    uint8_t* scratch = static_cast<uint8_t*>(calloc(1, kScratchSize));
    if (scratch == nullptr) {
        con_printf("[UART - %s]: malloc mem failed\n", __func__);
        return -1;
    }
    // Carried bytes beyond count are delivered to nobody: the carry-over is refilled below.
    int have = uart_carry_len < count ? uart_carry_len : count;
    if (have > 0) memcpy(buf, uart_carry_buf, static_cast<size_t>(have));
    int carry_from = 0;  // scratch offset of the surplus of the last read
    int surplus = 0;
    int empty_reads = 0;
    while (have < count) {
        int n = _serial_read(fd, scratch);
        if (n == 0 && ++empty_reads == kEmptyReads) {
            con_printf("[UART - %s]: read data error\n", __func__);
            n = -1;
        }
        if (n < 0) {
            free(scratch);
            return -1;
        }
        if (n == 0) continue;
        empty_reads = 0;
        con_printf("[UART - %s]: uart have data %d+%d<%d \n", __func__, n, have, count);
        int take = n < count - have ? n : count - have;
        memcpy(buf + have, scratch, static_cast<size_t>(take));
        have += take;
        carry_from = take;
        surplus = n - take;
    }
    // Without a carry buffer (its allocation failed at open) the surplus is dropped.
    if (surplus > 0 && uart_carry_buf != nullptr) {
        memcpy(uart_carry_buf, scratch + carry_from, static_cast<size_t>(surplus));
        uart_carry_len = surplus;
    } else {
        uart_carry_len = 0;
    }
    free(scratch);
    return 0;
}

// Pending input is the kernel's queue and the carry-over alike: bytes held from an earlier reply
// (one that lost a byte on the line, say) would otherwise be taken for the next reply's start.
int serial_flush(int fd, int queue) {
    if (queue == 0) uart_carry_len = 0;
    if (!line_closed(fd) && queue == 0) tcflush(fd, TCIFLUSH);
    if (!line_closed(fd) && queue == 1) tcflush(fd, TCOFLUSH);
    return static_cast<int>(sleep(kFlushPauseSeconds));
}
