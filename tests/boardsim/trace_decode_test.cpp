// Decoding and comparing device traces: the hand-written traces of traces/ (an MCU update
// over the ROM bootloader with the version frames and GPIO lines, a touch update, the LED
// chips and the daemon's pipe) decode to exactly the approved lines; compare ignores what
// differs between identical runs and names the first difference.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "trace_compare.h"
#include "trace_decode.h"

namespace boardsim {
namespace {

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Trace load(const std::string& name) {
    Trace t;
    std::string error;
    EXPECT_TRUE(load_trace(std::string(TRACES_DIR) + "/" + name + ".trace", &t, &error)) << error;
    return t;
}

std::string report_of(const Trace& golden, const Trace& fresh, bool* same, CompareOptions o = {}) {
    std::string report;
    *same = compare_traces(golden, fresh, o, &report);
    return report;
}

TEST(TraceDecode, EachDeviceKindDecodesToTheApprovedLines) {
    for (const char* name : {"mcu-update", "touch-update", "leds"}) {
        std::string lines;
        for (const TraceMessage& m : decode_trace(load(name))) lines += format_message(m) + "\n";
        EXPECT_EQ(lines, file_text(std::string(TRACES_DIR) + "/" + name + ".decoded")) << name;
    }
}

// A capture's reads come in other sizes, and a host may write a frame in pieces (an erase's
// count, its pages and its checksum apart): the serial line's frames are the same messages.
TEST(TraceDecode, SerialFramesSplitIntoOneByteCallsAreTheSameMessages) {
    const Trace golden = load("mcu-update");
    Trace split = golden;
    split.events.clear();
    for (const TraceEvent& e : golden.events) {
        if (e.device != "/dev/ttyS1" || (e.call != "read" && e.call != "write")) {
            split.events.push_back(e);
            continue;
        }
        for (uint8_t b : e.data) {
            TraceEvent one = e;
            one.arg = one.result = "1";
            one.data = {b};
            split.events.push_back(one);
        }
    }
    bool same = false;
    const std::string report = report_of(golden, split, &same);
    EXPECT_TRUE(same) << report;
}

// A refused command: the host starts over with a command, not with the refused one's frames.
TEST(TraceDecode, ANackedCommandIsFollowedByACommand) {
    Trace t;
    std::string error;
    ASSERT_TRUE(parse_trace("boardsim-trace 1 mcu coprocflash\n"
                            "0.1 7 coprocflash /dev/ttyS1 3 write 2 2 44bb\n"
                            "0.2 7 coprocflash /dev/ttyS1 3 read 1 1 1f\n"
                            "0.3 7 coprocflash /dev/ttyS1 3 write 2 2 44bb\n"
                            "0.4 7 coprocflash /dev/ttyS1 3 read 1 1 79\n"
                            "0.5 7 coprocflash /dev/ttyS1 3 write 3 3 ffff00\n",
                            &t, &error))
        << error;
    std::string texts;
    for (const TraceMessage& m : decode_trace(t)) texts += m.dir + " " + m.text + "\n";
    EXPECT_EQ(texts, "-> Extended Erase (0x44 0xbb)\n<- NACK 0x1f\n-> Extended Erase (0x44 0xbb)\n<- ACK 0x79\n"
                     "-> Extended Erase mass erase (0xffff, checksum 0x00)\n");
}

TEST(TraceCompare, PidsDescriptorsProgramNamesAndTimesDoNotCount) {
    const Trace golden = load("mcu-update");
    Trace fresh = golden;
    for (TraceEvent& e : fresh.events) {
        e.pid += 1000;
        e.fd += 2;
        e.program = "qemu-arm";
        e.time += 0.5;
    }
    bool same = false;
    const std::string report = report_of(golden, fresh, &same);
    EXPECT_TRUE(same);
    EXPECT_EQ(report.substr(report.rfind('\n', report.size() - 2) + 1), "the traces are the same\n");
}

TEST(TraceCompare, NamesTheFirstDifferentWriteMemoryByteWithContext) {
    const Trace golden = load("mcu-update");
    Trace fresh = golden;
    for (TraceEvent& e : fresh.events)
        if (e.call == "write" && e.data.size() == 6 && e.data[0] == 0x03) {
            e.data[3] = 0x3d;  // image byte 2: 0x33 -> 0x3d
            e.data[5] = static_cast<uint8_t>(e.data[5] ^ 0x33 ^ 0x3d);  // the frame's XOR follows
        }
    bool same = true;
    const std::string report = report_of(golden, fresh, &same);
    EXPECT_FALSE(same);
    EXPECT_NE(report.find("/dev/ttyS1: first difference at message 23\n"
                          "          0.003100 <- ACK 0x79\n"
                          "          0.003200 -> Write Memory address 0x08000100 (checksum 0x09)\n"
                          "          0.003300 <- ACK 0x79\n"
                          "  new:    0.003400 -> Write Memory at 0x08000100, 4 bytes: byte 2 is 0x3d, golden 0x33\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("/dev/ttyS1: 57 messages, golden 57, different from message 23\n"), std::string::npos) << report;
    EXPECT_NE(report.find("/sys/class/gpio/export: 3 messages, golden 3, the same\n"), std::string::npos) << report;
    EXPECT_EQ(report.substr(report.size() - 18), "the traces differ\n");
}

TEST(TraceCompare, AnotherOpenFlagOrAMissingMessageIsADifference) {
    const Trace golden = load("touch-update");
    Trace fresh = golden;
    fresh.events[0].arg = "O_RDWR|O_NONBLOCK";
    bool same = true;
    std::string report = report_of(golden, fresh, &same);
    EXPECT_FALSE(same);
    EXPECT_NE(report.find("  new:    0.001000 open O_RDWR|O_NONBLOCK\n  golden: 0.001000 open O_RDWR\n"), std::string::npos)
        << report;
    fresh = golden;
    fresh.events.pop_back();  // the close
    report = report_of(golden, fresh, &same);
    EXPECT_FALSE(same);
    EXPECT_NE(report.find("  new:    (ends here)\n  golden: 0.026000 close\n"), std::string::npos) << report;
}

TEST(TraceCompare, TimingComparesEachPauseWithinTheToleranceAtItsBound) {
    const Trace golden = load("leds");
    Trace fresh = golden;
    fresh.events.back().time += 0.0005;  // the pause before the pipe's last command
    CompareOptions o;
    bool same = false;
    report_of(golden, fresh, &same, o);
    EXPECT_TRUE(same) << "without --timing pauses do not count";
    o.timing = true;
    ASSERT_TRUE(parse_tolerance("0.0005", &o.tolerance_us));
    report_of(golden, fresh, &same, o);
    EXPECT_TRUE(same) << "a pause just at the tolerance";
    ASSERT_TRUE(parse_tolerance("0.000499", &o.tolerance_us));
    const std::string report = report_of(golden, fresh, &same, o);
    EXPECT_FALSE(same);
    EXPECT_NE(report.find("  new:    0.011500 <- command 255 (end the daemon): pause 0.001500 s, golden 0.001000 s, "
                          "more than 0.000499 s apart\n"),
              std::string::npos)
        << report;
}

TEST(TraceCompare, ToleranceIsSecondsFromZeroToADay) {
    long long us = -1;
    EXPECT_TRUE(parse_tolerance("0", &us));
    EXPECT_EQ(us, 0);
    EXPECT_TRUE(parse_tolerance("86400", &us));
    EXPECT_EQ(us, 86400000000LL);
    for (const char* bad : {"", "-1", "1e3", "0x10", "86400.5", "1s", "nan", ".", "1..2"})
        EXPECT_FALSE(parse_tolerance(bad, &us)) << bad;
}

}  // namespace
}  // namespace boardsim
