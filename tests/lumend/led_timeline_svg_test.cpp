// The LED timeline picture, read back by its coordinates: no mark line crosses a chip's label,
// and the daemon's start line stands at its first register write over the channel rows.
#include <gtest/gtest.h>

#include <regex>

#include "led_timeline_svg.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFontSize = 12;  // the picture's font size: a label spans this far above its baseline

struct VLine {
    double x;
    int y1, y2;
    bool dashed;  // the daemon's start and end, not a command
};

std::vector<VLine> vertical_lines(const std::string& svg) {
    std::vector<VLine> out;
    const std::regex line(R"re(<line x1="([0-9.]+)" y1="([0-9]+)" x2="([0-9.]+)" y2="([0-9]+)"([^>]*)>)re");
    for (std::sregex_iterator it(svg.begin(), svg.end(), line), end; it != end; ++it)
        if ((*it)[1] == (*it)[3]) out.push_back({std::stod((*it)[1]), std::stoi((*it)[2]), std::stoi((*it)[4]),
                           (*it)[5].str().find("dasharray") != std::string::npos});
    return out;
}

TEST(LedTimelineSvg, NoMarkLineCrossesAChipLabel) {
    const Clock::time_point t0 = Clock::now();
    const board::RegWrite first{t0, {0x20, 200}, true, 2};
    const std::vector<board::TimelineChip> chips = {{"/dev/aw9110_1_dev", true, {first}},
                                                    {"/dev/aw9110_2_dev", false, {}}};
    const std::vector<board::TimelineMark> marks = {{t0, "daemon starts", true},
                                                    {t0, "1", false},
                                                    {t0 + std::chrono::seconds(2), "daemon ends", true}};
    const std::string svg = board::led_timeline_svg(chips, t0, t0 + std::chrono::seconds(3), marks);
    const std::regex label(R"re(<text x="[0-9.]+" y="([0-9]+)" font-weight="bold">([^<]*)</text>)re");
    std::vector<int> baselines;
    for (std::sregex_iterator it(svg.begin(), svg.end(), label), end; it != end; ++it)
        baselines.push_back(std::stoi((*it)[1]));
    ASSERT_EQ(baselines.size(), 2u) << svg;
    const std::vector<VLine> lines = vertical_lines(svg);
    // Whatever the width the font gives a label, a line crosses it only by passing its height.
    for (const VLine& l : lines)
        for (int base : baselines)
            EXPECT_TRUE(l.y2 <= base - kFontSize || l.y1 >= base + 3)
                << "line at x " << l.x << " from y " << l.y1 << " to " << l.y2 << " crosses the label at " << base;
    // The start line (at the left edge of the time axis) still covers the first chip's channels.
    const double start_x = 140;  // the axis's time 0
    int covered = 0;
    for (const VLine& l : lines)
        if (l.dashed && l.x == start_x && l.y1 <= baselines[0] + 4 && l.y2 >= baselines[0] + 4 + 10 * 22) ++covered;
    EXPECT_EQ(covered, 1) << svg;
}

}  // namespace
