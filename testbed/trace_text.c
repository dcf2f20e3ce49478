/* The fields of a device trace's event line: flag names, line settings, hex bytes, times. */
#define _GNU_SOURCE
#include "trace_text.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>

#define NS_PER_US 1000LL
#define US_PER_S 1000000LL
/* ioctl request numbers: direction in bits 30-31, argument size in bits 16-29. */
#define IOC_DIR_SHIFT 30
#define IOC_SIZE_SHIFT 16
#define IOC_SIZE_MASK 0x3fffu

static size_t put(char *out, size_t size, size_t at, const char *text) {
    size_t n = strlen(text);
    if (at + n >= size) n = at < size ? size - at - 1 : 0;
    memcpy(out + at, text, n);
    out[at + n] = '\0';
    return at + n;
}

size_t trace_open_flags(int flags, char *out, size_t size) {
    static const struct {
        int bit;
        const char *name;
    } named[] = {{O_CREAT, "O_CREAT"},   {O_EXCL, "O_EXCL"},         {O_NOCTTY, "O_NOCTTY"}, {O_TRUNC, "O_TRUNC"},
                 {O_APPEND, "O_APPEND"}, {O_NONBLOCK, "O_NONBLOCK"}, {O_SYNC, "O_SYNC"},     {O_CLOEXEC, "O_CLOEXEC"}};
    static const char *const modes[] = {"O_RDONLY", "O_WRONLY", "O_RDWR", "0x3"};
    unsigned rest = (unsigned)flags & ~(unsigned)O_ACCMODE;
    size_t at = put(out, size, 0, modes[flags & O_ACCMODE]), i;
    for (i = 0; i < sizeof named / sizeof *named; ++i) {
        if ((rest & (unsigned)named[i].bit) != (unsigned)named[i].bit) continue;
        at = put(out, size, at, "|");
        at = put(out, size, at, named[i].name);
        rest &= ~(unsigned)named[i].bit;
    }
    if (rest) {
        char hex[16];
        snprintf(hex, sizeof hex, "|0x%x", rest);
        at = put(out, size, at, hex);
    }
    return at;
}

static const struct {
    uint32_t code;
    unsigned baud;
} g_speeds[] = {
    {B0, 0},           {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},       {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
    {B500000, 500000}, {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
    {B4000000, 4000000},
};

int trace_speed_baud(uint32_t code, unsigned *baud) {
    size_t i;
    for (i = 0; i < sizeof g_speeds / sizeof *g_speeds; ++i)
        if (g_speeds[i].code == code) {
            *baud = g_speeds[i].baud;
            return 1;
        }
    return 0;
}

size_t trace_line_settings(uint32_t iflag, uint32_t oflag, uint32_t cflag, uint32_t lflag, char *out, size_t size) {
    /* Raw as cfmakeraw() leaves a line: none of these translations, echoes or signal keys. */
    const int raw = !(iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON)) && !(oflag & OPOST) &&
                    !(lflag & (ICANON | ECHONL | ECHO | ISIG | IEXTEN));
    const uint32_t code = cflag & CBAUD;
    char speed[16];
    unsigned baud;
    int n;
    if (trace_speed_baud(code, &baud))
        snprintf(speed, sizeof speed, "%u", baud);
    else
        snprintf(speed, sizeof speed, "0x%x", code);
    n = snprintf(out, size, "%s,%u,%c,%d,%s", speed, 5 + (cflag & CSIZE) / CS6,
                 !(cflag & PARENB) ? 'N' : (cflag & PARODD) ? 'O' : 'E', (cflag & CSTOPB) ? 2 : 1, raw ? "raw" : "cooked");
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

int trace_ioctl_takes_arg(uint32_t request) {
    return (request >> IOC_DIR_SHIFT) != 0 || ((request >> IOC_SIZE_SHIFT) & IOC_SIZE_MASK) != 0;
}

size_t trace_ioctl_arg(uint32_t request, uint32_t arg, char *out, size_t size) {
    int n = trace_ioctl_takes_arg(request) ? snprintf(out, size, "0x%x:0x%08x", request, arg)
                                           : snprintf(out, size, "0x%x:-", request);
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

size_t trace_seconds(int64_t ns, char *out, size_t size) {
    const int64_t us = (ns < 0 ? 0 : ns + NS_PER_US / 2) / NS_PER_US;
    int n = snprintf(out, size, "%lld.%06lld", (long long)(us / US_PER_S), (long long)(us % US_PER_S));
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

size_t trace_escape_word(const char *word, char *out, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    size_t at = 0;
    for (; *word && at + 4 <= size; ++word) {
        const unsigned char c = (unsigned char)*word;
        if (c > ' ' && c < 0x7f && c != '%') {
            out[at++] = (char)c;
        } else {
            out[at++] = '%';
            out[at++] = digits[c >> 4];
            out[at++] = digits[c & 15];
        }
    }
    if (size) out[at] = '\0';
    return at;
}

size_t trace_hex(const unsigned char *bytes, size_t n, char *out, size_t size) {
    static const char digits[] = "0123456789abcdef";
    size_t i;
    if (n == 0) return put(out, size, 0, "-");
    if (2 * n + 1 > size) n = size > 0 ? (size - 1) / 2 : 0;
    for (i = 0; i < n; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * n] = '\0';
    return 2 * n;
}

size_t trace_errno_name(int err, char *out, size_t size) {
    const char *name = strerrorname_np(err);
    if (name) return put(out, size, 0, name);
    {
        int n = snprintf(out, size, "%d", err);
        return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
    }
}
