/* The bed's own device-call protocol, for programs whose word size differs from the bed's
 * (a 32-bit ARM program under qemu-arm beside the x86-64 bed): one Unix stream socket per
 * emulated character device, fixed-width little-endian fields, no pointers. */
#ifndef TESTBED_DEVICE_WIRE_H
#define TESTBED_DEVICE_WIRE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum testbed_wire_op { TESTBED_WIRE_WRITE = 1, TESTBED_WIRE_READ = 2, TESTBED_WIRE_IOCTL = 3 };

/* The most bytes one call carries; a longer read or write is served in part, as a driver may. */
#define TESTBED_WIRE_MAX_BYTES 65536u

/* A call, followed by len bytes: the written data, or the caller's buffer as it stood when
 * read() was called (a driver that takes an offset in buf[0] sees it). */
struct testbed_wire_call {
    uint32_t op;
    uint32_t len;
    uint64_t request; /* ioctl request */
    uint64_t arg;     /* ioctl argument value, zero-extended from the caller's unsigned long */
};

/* The answer, followed by len bytes that a read fills into the caller's buffer. */
struct testbed_wire_reply {
    int64_t result; /* a count or ioctl result, or -errno */
    uint32_t len;
    uint32_t reserved;
};

#ifdef __cplusplus
static_assert(sizeof(testbed_wire_call) == 24 && sizeof(testbed_wire_reply) == 16, "wire layout");
}
#else
_Static_assert(sizeof(struct testbed_wire_call) == 24 && sizeof(struct testbed_wire_reply) == 16, "wire layout");
#endif

#endif
