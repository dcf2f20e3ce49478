// The three simulated boards that boardsim runs COMMAND on. Each sets up its hardware from the
// options, runs COMMAND, reports what the hardware saw and returns COMMAND's exit status.
#pragma once

#include "boardsim_options.h"

namespace boardsim {

int run_leds(const Options& options, bool private_mounts);
int run_touch(const Options& options, bool private_mounts);
int run_mcu(const Options& options, bool private_mounts);

}  // namespace boardsim
