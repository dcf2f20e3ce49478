// The trace format: what is read back is what was written, and text that is no trace is
// refused with the line that is wrong.
#include <gtest/gtest.h>

#include "trace_file.h"

namespace boardsim {
namespace {

TEST(TraceFile, RoundTripKeepsEveryField) {
    Trace t;
    t.board = "mcu";
    t.command = {"coprocflash", "my image.bin", "100%"};
    TraceEvent e;
    e.time = 1.5;
    e.pid = 4711;
    e.program = "sh x";
    e.device = "/dev/ttyS1";
    e.fd = 3;
    e.call = "write";
    e.arg = "2";
    e.result = "2";
    e.data = {0x7f, 0x0a};
    t.events.push_back(e);
    const std::string text = format_trace(t);
    EXPECT_EQ(text,
              "boardsim-trace 1 mcu coprocflash my%20image.bin 100%25\n"
              "1.500000 4711 sh%20x /dev/ttyS1 3 write 2 2 7f0a\n");
    Trace back;
    std::string error;
    ASSERT_TRUE(parse_trace(text, &back, &error)) << error;
    EXPECT_EQ(back.command, t.command);
    ASSERT_EQ(back.events.size(), 1u);
    EXPECT_EQ(format_event(back.events[0]), format_event(e));
    EXPECT_EQ(back.events[0].program, "sh x");
    EXPECT_EQ(back.events[0].line, 2);
}

TEST(TraceFile, RefusesWhatIsNoTraceAtTheLineThatIsWrong) {
    Trace t;
    std::string error;
    const std::string head = "boardsim-trace 1 leds lumend 2\n";
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"", "empty file: no trace header"},
        {"hello\n", "line 1: no trace: it does not start with \"boardsim-trace\""},
        {"boardsim-trace 2 leds x\n", "line 1: trace format version 2, this boardsim reads version 1"},
        {"boardsim-trace 1 radio x\n", "line 1: unknown board \"radio\""},
        {head + "0.1 1 lumend /dev/aw9110_1_dev 3 write 2 2\n", "line 2: 8 fields, an event has 9"},
        {head + "-0.1 1 lumend /dev/aw9110_1_dev 3 write 2 2 0102\n", "line 2: bad time \"-0.1\""},
        {head + "0.1 1 lumend /dev/aw9110_1_dev 3 seek 2 2 0102\n", "line 2: unknown call \"seek\""},
        {head + "# c\n0.1 1 lumend /dev/aw9110_1_dev 3 write 2 2 010\n", "line 3: bad bytes \"010\""},
        {head + "0.1 1 lu%2 /dev/aw9110_1_dev 3 write 2 2 0102\n", "line 2: bad program name \"lu%2\""},
        {head + "0.1 1 lumend dev 3 write 2 2 0102\n", "line 2: bad device \"dev\""},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(parse_trace(c.text, &t, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

}  // namespace
}  // namespace boardsim
