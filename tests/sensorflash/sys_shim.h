// Unit-test stand-in for the libc calls of the touch tool (linked with --wrap): open() of the
// touch device yields a fake descriptor served by a CharDevice model, pauses are recorded
// instead of slept, and the image load can be made to fail. Every other file opens only for
// reading, as from a read-only medium; other descriptors pass through.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "char_device.h"

namespace shim {

// Descriptor that open("/dev/morlan_touch") returns while a device is attached.
const int TOUCH_FD = 1000;

struct Event {
    enum Kind { open_dev, close_dev, write, read, ioctl, pause } kind;
    unsigned long a = 0;  // open: flags; write/read: length; ioctl: request; pause: microseconds
    unsigned long b = 0;  // ioctl: value
    long result = 0;
    long printed = -1;    // bytes on a captured standard output before the call
};

// Serves the touch device with dev from now on; clears the record and all knobs.
void attach(testbed::CharDevice* dev);
// open() of the touch device returns this instead (e.g. -1 or 0).
void set_open_result(int fd);
// Knobs of the image load: the next fstat() fails; the next malloc() fails; the next read()
// of a file other than the device returns count (having read that much).
void fail_next_fstat();
void fail_next_malloc();
void short_next_file_read(long count);

std::vector<Event> events();
// The record as words, e.g. "O I40046BA0=0 W8 P10 R4 C": O open, C close, W/R and the length,
// I request=value, P and the pause in milliseconds.
std::string trace();

}  // namespace shim
