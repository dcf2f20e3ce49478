// Draws what chip 0's ten channels showed over a run, from the chip model's write log, as an SVG.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "aw9110_chip.h"

namespace board {

std::string led_timeline_svg(const std::vector<RegWrite>& writes, std::chrono::steady_clock::time_point start,
                             std::chrono::steady_clock::time_point end);

}  // namespace board
