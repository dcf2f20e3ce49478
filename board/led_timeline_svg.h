// Draws what chip 0's ten channels showed over a run, from the chip model's write log, as an SVG,
// with marks on the time axis (the commands the daemon read, for example).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "aw9110_chip.h"

namespace board {

struct TimelineMark {
    std::chrono::steady_clock::time_point when;
    std::string label;  // short: drawn under the time axis
};

std::string led_timeline_svg(const std::vector<RegWrite>& writes, std::chrono::steady_clock::time_point start,
                             std::chrono::steady_clock::time_point end, const std::vector<TimelineMark>& marks = {});

}  // namespace board
