// A stand-in for the GPIO layer in unit tests of the layers above it: records each call and
// hands it to a hook (the MCU model's line input), runs no shell.
#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace fake_gpio {
extern std::vector<std::pair<int, int>> calls;             // (pin, state), in order
extern std::function<void(int pin, int state)> on_call;   // optional
}  // namespace fake_gpio
