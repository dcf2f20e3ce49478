// Draws what the two AW9110 chips' channels showed over a run, from the chip models' write
// logs, as an SVG: failed writes, and marks on the time axis (the daemon's start and end, the
// commands it read).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "aw9110_chip.h"

namespace board {

struct TimelineChip {
    std::string node;  // "/dev/aw9110_1_dev"
    bool present;      // false: no such chip on the board
    std::vector<RegWrite> writes;
};

struct TimelineMark {
    std::chrono::steady_clock::time_point when;
    std::string label;  // short
    bool event;         // true: a line over the whole picture, labelled on top (start, end);
                        // false: a command, labelled under the time axis
};

std::string led_timeline_svg(const std::vector<TimelineChip>& chips, std::chrono::steady_clock::time_point start,
                             std::chrono::steady_clock::time_point end, const std::vector<TimelineMark>& marks = {});

}  // namespace board
