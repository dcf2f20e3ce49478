/* The fields of a device trace's event line (docs/traces.md) as the trace preload writes them:
 * plain C without allocation, as the preload runs them inside the programs' own calls (signal
 * handlers included). Each writes a NUL-ended text into out (size bytes) and returns its length. */
#ifndef TESTBED_TRACE_TEXT_H
#define TESTBED_TRACE_TEXT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* open()'s flags by name: "O_RDWR|O_NONBLOCK", other bits as one hex value. */
size_t trace_open_flags(int flags, char *out, size_t size);
/* A termios speed code's baud rate: 1 with *baud set, or 0 for a code without one. */
int trace_speed_baud(uint32_t code, unsigned *baud);
/* Line settings from termios flags: "115200,8,E,1,raw". */
size_t trace_line_settings(uint32_t iflag, uint32_t oflag, uint32_t cflag, uint32_t lflag, char *out, size_t size);
/* Whether an ioctl request's number encodes a transfer (a direction or a size): 0 for one that
 * takes no argument. */
int trace_ioctl_takes_arg(uint32_t request);
/* An ioctl's request and argument, 32 bits each: "0x40046ba0:0x00000001", or "0x6b80:-" for a
 * request whose number encodes no transfer. */
size_t trace_ioctl_arg(uint32_t request, uint32_t arg, char *out, size_t size);
/* Nanoseconds as seconds with six decimals, to the nearest microsecond: "0.012345". */
size_t trace_seconds(int64_t ns, char *out, size_t size);
/* A word with its bytes outside printable ASCII, space and '%' as %XX. */
size_t trace_escape_word(const char *word, char *out, size_t size);
/* Bytes as two lowercase hex digits each; "-" when n is 0. size must be at least 2 * n + 2. */
size_t trace_hex(const unsigned char *bytes, size_t n, char *out, size_t size);
/* An errno value's name ("EIO"), or its number when it has none. */
size_t trace_errno_name(int err, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
