// Links the register driver straight to two chip models: open(), write(), ioctl() and close()
// of the two AW9110 nodes are wrapped at link time, so unit tests need no device node.
#pragma once

#include <string>
#include <vector>

#include "aw9110_chip.h"

namespace fake_chips {

constexpr int kFd0 = 900, kFd1 = 901;  // descriptors the wrapped open() hands out

extern board::Aw9110Chip* chip[2];
extern std::vector<std::string> android_log;  // "<priority> <tag> <message>" per __android_log_print
extern std::vector<int> closed_fds;
extern bool fail_open[2];

// Fresh models, driver state as at program load, descriptors as after a successful open.
void reset(board::Aw9110Chip* c0, board::Aw9110Chip* c1);

}  // namespace fake_chips
