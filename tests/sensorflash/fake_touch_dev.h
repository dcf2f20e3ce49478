// Fake of the touch device layer for tests of the layers above it: each call is one transfer
// on a CharDevice model, and the call (direction, length, tries) is recorded.
#pragma once

#include <cstddef>
#include <vector>

#include "char_device.h"

namespace fake_dev {

struct Call {
    bool write;
    size_t len;
    int tries;
    int result;
};

// Serves touch_write_reg/touch_read_reg with dev from now on and clears the record.
void attach(testbed::CharDevice* dev);
std::vector<Call> calls();

}  // namespace fake_dev
