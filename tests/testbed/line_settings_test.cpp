// A serial line's recorded settings in a UART's terms: speeds at both ends of the table and
// unknown ones, each character size, parity and stop bits, and each flag that is not raw.
#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "line_settings.h"

namespace {

using testbed::describe_line;
using testbed::LineSettings;

LineSettings line(uint32_t cflag, uint32_t ospeed, uint32_t ispeed, uint32_t iflag = 0, uint32_t oflag = 0, uint32_t lflag = 0) {
    LineSettings s;
    s.iflag = iflag;
    s.oflag = oflag;
    s.cflag = cflag | CREAD | CLOCAL;
    s.lflag = lflag;
    s.ispeed = ispeed;
    s.ospeed = ospeed;
    return s;
}

TEST(LineSettings, FormatSpeedsAndFlags) {
    EXPECT_EQ(describe_line(line(CS8 | PARENB, B115200, B115200)), "115200 baud, 8 data bits, even parity, 1 stop bit, raw");
    EXPECT_EQ(describe_line(line(CS5 | PARENB | PARODD | CSTOPB, B50, B0)), "50 baud, 5 data bits, odd parity, 2 stop bits, raw");
    EXPECT_EQ(describe_line(line(CS6, B4000000, B1200)),
              "4000000 baud (input 1200 baud), 6 data bits, no parity, 1 stop bit, raw");
    EXPECT_EQ(describe_line(line(CS7 | PARODD, 0x1234, 0x1234)), "speed code 0x1234, 7 data bits, no parity, 1 stop bit, raw");
    EXPECT_EQ(describe_line(line(CS8, B38400, B38400, ICRNL, OPOST, ICANON | ECHO | ISIG)),
              "38400 baud, 8 data bits, no parity, 1 stop bit, not raw (input translation, output processing, "
              "canonical input, echo, signal characters)");
    EXPECT_EQ(describe_line(line(CS8, B0, B0, 0, 0, IEXTEN)), "0 baud, 8 data bits, no parity, 1 stop bit, not raw (signal characters)");
}

TEST(LineSettings, RecordsReadOldestFirst) {
    const std::string path = "/tmp/line-settings." + std::to_string(getpid());
    std::ofstream(path) << "0 0 8f0 0 1002 1002\n500 5 4bf 8a3b f f\n";
    const auto records = testbed::read_line_settings(path);
    unlink(path.c_str());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(describe_line(records[0]), "115200 baud, 8 data bits, no parity, 2 stop bits, raw");
    EXPECT_EQ(records[1].iflag, 0x500u);
    EXPECT_EQ(records[1].oflag, 5u);
    EXPECT_EQ(records[1].cflag, 0x4bfu);
    EXPECT_EQ(records[1].lflag, 0x8a3bu);
    EXPECT_EQ(records[1].ispeed, static_cast<uint32_t>(B38400));
}

}  // namespace
