// Replayed devices: requests matched as a byte stream or call by call, the recorded answers, the
// one line on the first difference, and silence after it or past the recording's end.
#include <errno.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "trace_replay.h"

namespace board {
namespace {

using boardsim::Trace;

const char* const kTty = "/dev/ttyS1";
const char* const kNode = "/dev/morlan_touch";

Trace trace_of(const std::string& events) {
    Trace t;
    std::string error;
    EXPECT_TRUE(boardsim::parse_trace("boardsim-trace 1 mcu coprocflash\n" + events, &t, &error)) << error;
    return t;
}

// A serial replay whose answers are collected.
struct Serial {
    explicit Serial(const std::string& events)
        : trace(trace_of(events)),
          replay(kTty, events_on(trace, kTty), session, [this](const std::vector<uint8_t>& b) {
              sent.insert(sent.end(), b.begin(), b.end());
          }) {}
    void write(const std::vector<uint8_t>& bytes) { replay.on_bytes(bytes.data(), bytes.size()); }
    Trace trace;
    ReplaySession session;
    std::vector<uint8_t> sent;
    SerialReplay replay;
};

const char* const kBootloaderEntry =
    "0.1 7 coprocflash /dev/ttyS1 3 write 1 1 7f\n"
    "0.2 7 coprocflash /dev/ttyS1 3 read 1 1 79\n"
    "0.3 7 coprocflash /dev/ttyS1 3 write 2 2 21de\n"
    "0.4 7 coprocflash /dev/ttyS1 3 read 1 1 79\n"
    "0.4 7 coprocflash /dev/ttyS1 3 read 4 4 08000000\n";

TEST(SerialReplay, AnswersOnlyOnceTheWritesBeforeTheReadAreMatchedWhateverTheSplit) {
    Serial s(kBootloaderEntry);
    s.write({0x7f});
    EXPECT_EQ(s.sent, std::vector<uint8_t>({0x79}));
    s.write({0x21});
    EXPECT_EQ(s.sent.size(), 1u);  // half a command: no answer yet
    s.write({0xde});
    EXPECT_EQ(s.sent, std::vector<uint8_t>({0x79, 0x79, 0x08, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.session.matched_on(kTty), 2u);
    EXPECT_EQ(s.session.recorded_on(kTty), 2u);
    EXPECT_EQ(s.session.difference(), "");
}

TEST(SerialReplay, TheFirstDifferingByteEndsTheReplayAndTheLineFallsSilent) {
    Serial s(kBootloaderEntry);
    s.write({0x7f});
    s.write({0x31, 0xce});
    EXPECT_EQ(s.session.difference(), "request 2 on /dev/ttyS1: wrote 31ce, recorded 21de");
    EXPECT_TRUE(s.session.ended());
    s.write({0x21, 0xde});  // the recorded request now gets no answer
    EXPECT_EQ(s.sent, std::vector<uint8_t>({0x79}));
    EXPECT_EQ(s.session.matched_on(kTty), 1u);
}

TEST(SerialReplay, AWriteMemoryDifferenceNamesTheAddressAndTheByte) {
    Serial s("0.1 7 coprocflash /dev/ttyS1 3 write 2 2 31ce\n"
             "0.1 7 coprocflash /dev/ttyS1 3 read 1 1 79\n"
             "0.2 7 coprocflash /dev/ttyS1 3 write 5 5 0800010009\n"
             "0.2 7 coprocflash /dev/ttyS1 3 read 1 1 79\n"
             "0.3 7 coprocflash /dev/ttyS1 3 write 1 1 03\n"
             "0.3 7 coprocflash /dev/ttyS1 3 write 4 4 0a0b0c0d\n"
             "0.3 7 coprocflash /dev/ttyS1 3 write 1 1 07\n"
             "0.4 7 coprocflash /dev/ttyS1 3 read 1 1 79\n");
    s.write({0x31, 0xce});
    s.write({0x08, 0x00, 0x01, 0x00, 0x09});
    s.write({0x03, 0x0a, 0x0b});
    s.write({0x0d, 0x0d});
    EXPECT_EQ(s.session.difference(), "Write Memory at 0x08000100, 4 bytes: byte 2 is 0x0d, recorded 0x0c");
    EXPECT_EQ(s.sent, std::vector<uint8_t>({0x79, 0x79}));
}

TEST(SerialReplay, BytesPastTheRecordingAreADifferenceAndGetNoAnswer) {
    Serial s("0.1 7 coprocflash /dev/ttyS1 3 write 1 1 7f\n");
    s.write({0x7f, 0x7f});
    EXPECT_EQ(s.session.difference(), "request 2 on /dev/ttyS1: wrote 7f, the recording has no more requests");
    EXPECT_TRUE(s.sent.empty());
}

TEST(SerialReplay, LineSettingsAreRequestsInOrder) {
    Serial s("0.0 7 coprocflash /dev/ttyS1 3 tcsetattr 115200,8,E,1,raw 0 -\n"
             "0.1 7 coprocflash /dev/ttyS1 3 write 1 1 7f\n");
    testbed::LineSettings even;
    even.cflag = B115200 | CS8 | PARENB;
    s.replay.on_settings({even});
    s.write({0x7f});
    EXPECT_EQ(s.session.matched_on(kTty), 2u);
    EXPECT_EQ(s.session.difference(), "");

    Serial odd("0.0 7 coprocflash /dev/ttyS1 3 tcsetattr 115200,8,E,1,raw 0 -\n");
    testbed::LineSettings o = even;
    o.cflag |= PARODD;
    odd.replay.on_settings({o});
    EXPECT_EQ(odd.session.difference(),
              "request 1 on /dev/ttyS1: line setting 115200,8,O,1,raw, recorded the line setting 115200,8,E,1,raw");
}

TEST(SerialReplay, AnAnswerWaitsItsRecordedPauseAfterTheWrite) {
    Serial s("0.10 7 coprocflash /dev/ttyS1 3 write 1 1 7f\n"
             "0.15 7 coprocflash /dev/ttyS1 3 read 1 1 79\n");
    const auto start = testbed::board_now();
    s.write({0x7f});
    EXPECT_GE(testbed::board_now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(s.sent.size(), 1u);
}

TEST(CharReplay, EachCallGetsTheRecordedResult) {
    const Trace t = trace_of("0.1 7 sensorflash /dev/morlan_touch 3 ioctl 0x6b80:- 0 -\n"
                             "0.2 7 sensorflash /dev/morlan_touch 3 ioctl 0x40046ba0:0x00000001 0 -\n"
                             "0.3 7 sensorflash /dev/morlan_touch 3 write 2 2 a1b2\n"
                             "0.4 7 sensorflash /dev/morlan_touch 3 read 3 2 0c0d\n"
                             "0.5 7 sensorflash /dev/morlan_touch 3 write 1 EIO 00\n");
    ReplaySession session;
    CharReplay dev(kNode, events_on(t, kNode), session);
    EXPECT_EQ(dev.on_ioctl(0x6b80, 12345), 0);  // no argument: the register's value does not count
    EXPECT_EQ(dev.on_ioctl(0x40046ba0, 1), 0);
    const uint8_t frame[] = {0xa1, 0xb2};
    EXPECT_EQ(dev.on_write(frame, 2), 2);
    uint8_t buf[3] = {};
    EXPECT_EQ(dev.on_read(buf, 3), 2);
    EXPECT_EQ(buf[0], 0x0c);
    EXPECT_EQ(buf[1], 0x0d);
    const uint8_t zero = 0;
    EXPECT_EQ(dev.on_write(&zero, 1), -EIO);
    EXPECT_EQ(session.matched_on(kNode), 5u);
    EXPECT_EQ(session.difference(), "");
}

TEST(CharReplay, ADifferingCallEndsTheReplayAndEveryCallFailsAfterIt) {
    const Trace t = trace_of("0.1 7 lumend /dev/aw9110_1_dev 3 ioctl 0x40046ba0:0x00000001 0 -\n"
                             "0.2 7 lumend /dev/aw9110_1_dev 3 write 2 2 1200\n");
    ReplaySession session;
    CharReplay dev("/dev/aw9110_1_dev", events_on(t, "/dev/aw9110_1_dev"), session);
    EXPECT_EQ(dev.on_ioctl(0x40046ba0, 2), -EIO);
    EXPECT_EQ(session.difference(),
              "request 1 on /dev/aw9110_1_dev: ioctl 0x40046ba0:0x00000002, recorded ioctl 0x40046ba0:0x00000001");
    const uint8_t regs[] = {0x12, 0x00};
    EXPECT_EQ(dev.on_write(regs, 2), -EIO);
    EXPECT_EQ(session.matched_on("/dev/aw9110_1_dev"), 0u);
}

// A frame of the recorded length with another byte: the byte, and the messages it makes.
TEST(CharReplay, AFrameWithAnotherByteIsNamedAsTheChipReadsIt) {
    const Trace t = trace_of("0.1 7 lumend /dev/aw9110_1_dev 3 write 2 2 1200\n"
                             "0.2 7 lumend /dev/aw9110_1_dev 3 write 2 2 1201\n");
    ReplaySession session;
    CharReplay dev("/dev/aw9110_1_dev", events_on(t, "/dev/aw9110_1_dev"), session);
    const uint8_t first[] = {0x12, 0x00}, other[] = {0x25, 0x01};
    EXPECT_EQ(dev.on_write(first, 2), 2);
    EXPECT_EQ(dev.on_write(other, 2), -EIO);
    EXPECT_EQ(session.difference(), "request 2 on /dev/aw9110_1_dev: wrote 2 bytes, byte 0 is 0x25, recorded 0x12: "
                                    "LEVEL5 (0x25) = 0x01, recorded MODE_HI (0x12) = 0x01");
}

TEST(GpioReplay, LinesWrittenAreMatchedInOrderWithoutTheirNewline) {
    const Trace t = trace_of("0.1 8 sh /sys/class/gpio/export 1 write 4 4 3131390a\n"
                             "0.2 9 sh /sys/class/gpio/gpio117/direction 1 write 5 5 686967680a\n"
                             "0.3 10 sh /sys/class/gpio/gpio117/direction 1 write 4 4 6c6f770a\n");
    ReplaySession session;
    GpioReplay gpio(t, session);
    gpio.on_write("export", "119");
    gpio.on_write("gpio117/direction", "high");
    EXPECT_EQ(session.matched_on("/sys/class/gpio"), 2u);
    gpio.on_write("gpio117/direction", "high");
    EXPECT_EQ(session.difference(),
              "request 3 on /sys/class/gpio: wrote gpio117/direction=high, recorded gpio117/direction=low");
}

TEST(TraceReplay, ANodeNeverOpenedInTheRecordingIsAbsent) {
    const Trace t = trace_of("0.1 7 lumend /dev/aw9110_2_dev -1 open O_RDWR ENOENT -\n");
    int err = 0;
    EXPECT_TRUE(node_absent(events_on(t, "/dev/aw9110_2_dev"), &err));
    EXPECT_EQ(err, ENOENT);
    const Trace opened = trace_of("0.1 7 lumend /dev/aw9110_2_dev -1 open O_RDWR ENOENT -\n"
                                  "0.2 7 lumend /dev/aw9110_2_dev 3 open O_RDWR 3 -\n");
    EXPECT_FALSE(node_absent(events_on(opened, "/dev/aw9110_2_dev"), &err));
    EXPECT_TRUE(node_absent(events_on(opened, "/dev/aw9110_1_dev"), &err));  // never opened: no node
    EXPECT_EQ(err, ENOENT);
}

}  // namespace
}  // namespace board
