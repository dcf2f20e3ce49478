// The trace preload's field texts: open flags, line settings, ioctl arguments, times, words.
#include "trace_text.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string flags(int f) {
    char out[128];
    trace_open_flags(f, out, sizeof out);
    return out;
}

std::string line(uint32_t iflag, uint32_t oflag, uint32_t cflag, uint32_t lflag) {
    char out[64];
    trace_line_settings(iflag, oflag, cflag, lflag, out, sizeof out);
    return out;
}

std::string ioctl_arg(uint32_t request, uint32_t arg) {
    char out[48];
    trace_ioctl_arg(request, arg, out, sizeof out);
    return out;
}

TEST(TraceText, OpenFlagsAccessModeFirstThenTheNamedOnesInOrder) {
    EXPECT_EQ(flags(O_RDONLY), "O_RDONLY");
    EXPECT_EQ(flags(O_WRONLY | O_NONBLOCK), "O_WRONLY|O_NONBLOCK");
    EXPECT_EQ(flags(O_CLOEXEC | O_TRUNC | O_CREAT | O_WRONLY), "O_WRONLY|O_CREAT|O_TRUNC|O_CLOEXEC");
    EXPECT_EQ(flags(O_RDWR | O_NOCTTY | O_EXCL | O_APPEND | O_SYNC), "O_RDWR|O_EXCL|O_NOCTTY|O_APPEND|O_SYNC");
}

TEST(TraceText, OpenFlagsWithoutANameAsOneHexValue) {
    EXPECT_EQ(flags(O_RDWR | O_NONBLOCK | O_DIRECTORY), "O_RDWR|O_NONBLOCK|0x" + [] {
        char hex[16];
        snprintf(hex, sizeof hex, "%x", O_DIRECTORY);
        return std::string(hex);
    }());
}

TEST(TraceText, LineSettingsOfARawEvenParityLine) {
    EXPECT_EQ(line(0, 0, B115200 | CS8 | PARENB | CREAD | CLOCAL, 0), "115200,8,E,1,raw");
    EXPECT_EQ(line(0, 0, B9600 | CS7 | PARENB | PARODD | CSTOPB, 0), "9600,7,O,2,raw");
    EXPECT_EQ(line(0, 0, B57600 | CS5, 0), "57600,5,N,1,raw");
}

TEST(TraceText, LineSettingsCookedWhenAnyTranslationIsLeft) {
    EXPECT_EQ(line(ICRNL, 0, B115200 | CS8, 0), "115200,8,N,1,cooked");
    EXPECT_EQ(line(0, OPOST, B115200 | CS8, 0), "115200,8,N,1,cooked");
    EXPECT_EQ(line(0, 0, B115200 | CS8, ECHO), "115200,8,N,1,cooked");
    EXPECT_EQ(line(0, 0, B115200 | CS8, ISIG), "115200,8,N,1,cooked");
}

TEST(TraceText, IoctlArgumentOnlyWhereTheRequestTransfersOne) {
    EXPECT_EQ(ioctl_arg(0x40046ba0u, 1), "0x40046ba0:0x00000001");
    EXPECT_EQ(ioctl_arg(0x6b80u, 0xdeadbeefu), "0x6b80:-");
    EXPECT_EQ(ioctl_arg(0x00046b81u, 7), "0x46b81:0x00000007");  // size without a direction
}

TEST(TraceText, SecondsToTheNearestMicrosecond) {
    char out[32];
    trace_seconds(12345678, out, sizeof out);
    EXPECT_STREQ(out, "0.012346");
    trace_seconds(80000000000LL, out, sizeof out);
    EXPECT_STREQ(out, "80.000000");
    trace_seconds(-5, out, sizeof out);
    EXPECT_STREQ(out, "0.000000");
}

TEST(TraceText, WordsHexAndErrnoNames) {
    char out[64];
    trace_escape_word("my prog%\x01", out, sizeof out);
    EXPECT_STREQ(out, "my%20prog%25%01");
    const unsigned char bytes[] = {0x7f, 0x00, 0xab};
    trace_hex(bytes, sizeof bytes, out, sizeof out);
    EXPECT_STREQ(out, "7f00ab");
    trace_hex(bytes, 0, out, sizeof out);
    EXPECT_STREQ(out, "-");
    trace_errno_name(EIO, out, sizeof out);
    EXPECT_STREQ(out, "EIO");
    trace_errno_name(EAGAIN, out, sizeof out);
    EXPECT_STREQ(out, "EAGAIN");
}

}  // namespace
