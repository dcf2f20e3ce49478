// strace's line forms, read as a trace: the events the board's devices saw, in order, and a
// clear refusal (with the line) of what cannot be read exactly.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "trace_file.h"
#include "trace_strace.h"

namespace boardsim {
namespace {

std::string imported(const std::string& capture) {
    Trace t;
    std::string error;
    EXPECT_TRUE(import_capture(capture, &t, &error)) << error;
    return format_trace(t);
}

std::string refusal(const std::string& capture) {
    Trace t;
    std::string error;
    EXPECT_FALSE(import_capture(capture, &t, &error)) << capture;
    return error;
}

TEST(TraceStrace, EachLineFormOfTheSerialLine) {
    const std::string capture =
        "700 23:59:59.500000 execve(\"/system/bin/coprocflash\", [\"coprocflash\", \"img\", \"2.0.13\"], 0x7e /* 9 vars */) = 0\n"
        "700 23:59:59.600000 openat(AT_FDCWD, \"/system/lib/libc.so\", O_RDONLY|O_CLOEXEC) = 3\n"
        "700 23:59:59.600100 read(3, \"\\177ELF\"..., 512) = 512\n"
        "700 23:59:59.600200 close(3)          = 0\n"
        "700 23:59:59.700000 openat(AT_FDCWD, \"/dev/ttyS1\", O_RDWR|O_NOCTTY|O_LARGEFILE) = 3\n"
        "700 23:59:59.700001 ioctl(3, TCGETS, {c_iflag=ICRNL, c_oflag=OPOST, c_cflag=B9600|CS8, c_lflag=ICANON, ...}) = 0\n"
        "700 23:59:59.700002 ioctl(3, SNDCTL_TMR_START or TCSETS, {c_iflag=, c_oflag=NL0, c_cflag=B115200|CS8|CREAD|PARENB, c_lflag=ECHOE, ...}) = 0\n"
        "700 23:59:59.700003 ioctl(3, TCFLSH, TCIOFLUSH) = 0\n"
        "700 23:59:59.800000 write(3, \"\\x7f\", 1) = 1\n"
        "700 23:59:59.900000 _newselect(4, [3], NULL, NULL, {tv_sec=1, tv_usec=0}) = 0 (Timeout)\n"
        "700 00:00:00.100000 read(3,  <unfinished ...>\n"
        "701 00:00:00.150000 write(1, \"hi\\n\", 3) = 3\n"
        "700 00:00:00.200000 <... read resumed>\"y\\0\\377\\n\\t\", 10) = 5\n"
        "700 00:00:00.300000 read(3, 0x7ebe, 10) = -1 EAGAIN (Resource temporarily unavailable)\n"
        "700 00:00:00.350000 --- SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED, si_pid=701} ---\n"
        "701 00:00:00.360000 +++ exited with 0 +++\n"
        "700 00:00:00.400000 write(3, \"\\x79\\x00\", 2 <unfinished ...>\n"
        "700 00:00:00.400100 +++ killed by SIGTERM +++\n";
    EXPECT_EQ(imported(capture),
              "boardsim-trace 1 mcu coprocflash img 2.0.13\n"
              "0.200000 700 coprocflash /dev/ttyS1 3 open O_RDWR|O_NOCTTY 3 -\n"
              "0.200002 700 coprocflash /dev/ttyS1 3 tcsetattr 115200,8,E,1,raw 0 -\n"
              "0.200003 700 coprocflash /dev/ttyS1 3 tcflush TCIOFLUSH 0 -\n"
              "0.300000 700 coprocflash /dev/ttyS1 3 write 1 1 7f\n"
              "0.400000 700 coprocflash /dev/ttyS1 3 wait select:1000 timeout -\n"
              "0.700000 700 coprocflash /dev/ttyS1 3 read 10 5 7900ff0a09\n"
              "0.800000 700 coprocflash /dev/ttyS1 3 read 10 EAGAIN -\n");
}

TEST(TraceStrace, LedChipsWithoutPidColumnOnEpochTimes) {
    const std::string capture =
        "1700000000.000000 open(\"/dev/aw9110_1_dev\", O_RDWR) = 4\n"
        "1700000000.250000 ioctl(4, _IOC(_IOC_NONE, 0x6b, 0x80, 0), 0xbefff) = 0\n"
        "1700000000.500000 ioctl(4, _IOC(_IOC_WRITE, 0x6b, 0xa1, 0x4), 0x1) = 0\n"
        "1700000000.750000 ioctl(4, 0x40046ba3, 0) = -1 ENOTTY (Inappropriate ioctl for device)\n"
        "1700000001.000000 poll([{fd=4, events=POLLIN}], 1, 250) = 0 (Timeout)\n"
        "1700000001.500000 close(4) = 0\n"
        "1700000002.000000 open(\"/dev/aw9110_2_dev\", O_WRONLY|O_CLOEXEC) = -1 ENOENT (No such file or directory)\n";
    EXPECT_EQ(imported(capture),
              "boardsim-trace 1 leds\n"
              "0.000000 0 ? /dev/aw9110_1_dev 4 open O_RDWR 4 -\n"
              "0.250000 0 ? /dev/aw9110_1_dev 4 ioctl 0x6b80:- 0 -\n"
              "0.500000 0 ? /dev/aw9110_1_dev 4 ioctl 0x40046ba1:0x00000001 0 -\n"
              "0.750000 0 ? /dev/aw9110_1_dev 4 ioctl 0x40046ba3:0x00000000 ENOTTY -\n"
              "1.000000 0 ? /dev/aw9110_1_dev 4 wait poll:250 timeout -\n"
              "1.500000 0 ? /dev/aw9110_1_dev 4 close - 0 -\n"
              "2.000000 0 ? /dev/aw9110_2_dev -1 open O_WRONLY|O_CLOEXEC ENOENT -\n");
}

// A shell's "echo 13 > /sys/class/gpio/export": dash moves descriptor 3 onto 1 with dup2.
TEST(TraceStrace, ShellRedirectionFollowedWithAndWithoutDup2) {
    const std::string open = "9 10:00:00.000000 openat(AT_FDCWD, \"/sys/class/gpio/export\", O_WRONLY|O_CREAT|O_TRUNC, 0666) = 3\n";
    const std::string expected_open = "0.000000 9 ? /sys/class/gpio/export 3 open O_WRONLY|O_CREAT|O_TRUNC 3 -\n";
    EXPECT_EQ(imported(open + "9 10:00:00.100000 close(1) = 0\n9 10:00:00.200000 close(3) = 0\n"
                              "9 10:00:00.300000 write(1, \"13\\n\", 3) = 3\n9 10:00:00.400000 write(1, \"x\", 1) = 1\n"),
              "boardsim-trace 1 mcu\n" + expected_open + "0.200000 9 ? /sys/class/gpio/export 3 close - 0 -\n" +
                  "0.300000 9 ? /sys/class/gpio/export 1 write 3 3 31330a\n");
    EXPECT_EQ(imported(open + "9 10:00:00.100000 fcntl(1, F_DUPFD, 10) = 11\n9 10:00:00.150000 dup2(3, 1) = 1\n"
                              "9 10:00:00.200000 close(3) = 0\n9 10:00:00.300000 write(1, \"13\\n\", 3) = 3\n"
                              "9 10:00:00.350000 dup2(11, 1) = 1\n9 10:00:00.400000 write(1, \"x\", 1) = 1\n"),
              "boardsim-trace 1 mcu\n" + expected_open + "0.200000 9 ? /sys/class/gpio/export 3 close - 0 -\n" +
                  "0.300000 9 ? /sys/class/gpio/export 1 write 3 3 31330a\n");
}

TEST(TraceStrace, ChildrenTakeTheirParentsDescriptorsAndNames) {
    const std::string capture =
        "5 12:00:00.000000 execve(\"/system/bin/lumend\", [\"lumend\"], 0x1 /* 3 vars */) = 0\n"
        "5 12:00:00.100000 openat(AT_FDCWD, \"/data/led_pipe\", O_RDONLY) = 3\n"
        "5 12:00:00.200000 clone(child_stack=0x1, flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_THREAD) = 6\n"
        "5 12:00:00.300000 vfork( <unfinished ...>\n"
        "7 12:00:00.310000 execve(\"/system/bin/sh\", [\"sh\", \"-c\", \"x\"], 0x1 /* 3 vars */) = 0\n"
        "5 12:00:00.320000 <... vfork resumed>) = 7\n"
        "5 12:00:00.400000 openat(AT_FDCWD, \"/dev/aw9110_1_dev\", O_RDWR) = 4\n"
        "6 12:00:00.500000 write(4, \"\\x01\", 1) = 1\n"
        "7 12:00:00.600000 read(3, \"\\x01\", 1) = 1\n"
        "7 12:00:00.700000 write(4, \"\\x02\", 1) = 1\n";
    EXPECT_EQ(imported(capture),
              "boardsim-trace 1 leds lumend\n"
              "0.100000 5 lumend /data/led_pipe 3 open O_RDONLY 3 -\n"
              "0.400000 5 lumend /dev/aw9110_1_dev 4 open O_RDWR 4 -\n"
              "0.500000 6 lumend /dev/aw9110_1_dev 4 write 1 1 01\n"
              "0.600000 7 sh /data/led_pipe 3 read 1 1 01\n");
}

TEST(TraceStrace, RefusesWhatItCannotReadExactly) {
    const std::string open = "1 10:00:00.000000 open(\"/dev/ttyS1\", O_RDWR) = 3\n";
    EXPECT_EQ(refusal(open + "1 10:00:00.1 write(3, \"\\x79\\x00\"..., 300) = 300\n"),
              "line 2: write on /dev/ttyS1 shows 2 of its 300 bytes: capture with strace -s 300 or more");
    EXPECT_EQ(refusal(open + "1 10:00:00.1 read(3, \"ab\"..., 4096) = 40\n"),
              "line 2: read on /dev/ttyS1 shows 2 of its 40 bytes: capture with strace -s 40 or more");
    EXPECT_EQ(refusal(open + "1 10:00:00.1 <... read resumed>\"\", 1) = 0\n"),
              "line 2: \"<... read resumed>\" without its unfinished start");
    EXPECT_EQ(refusal("1 0.000012 open(\"/dev/ttyS1\", O_RDWR) = 3\n"),
              "line 1: relative time stamps (-r) are not read: capture with strace -tt (or -ttt)");
    EXPECT_EQ(refusal("1 open(\"/dev/ttyS1\", O_RDWR) = 3\n"), "line 1: no time stamp: capture with strace -tt (or -ttt)");
    EXPECT_EQ(refusal(open + "1 10:00:00.1 ioctl(3, TIOCFOO, 0) = 0\n"),
              "line 2: ioctl request \"TIOCFOO\" has no number known here");
    EXPECT_EQ(refusal(open + "1 10:00:00.1 ioctl(3, _IOC(_IOC_WRITE, 0x6b, 0xa0, 0x4), [1]) = 0\n"),
              "line 2: ioctl _IOC(_IOC_WRITE, 0x6b, 0xa0, 0x4): the argument \"[1]\" was decoded by strace, its value is not in the capture");
    EXPECT_EQ(refusal(open + "1 10:00:00.1 write(3, \"a\", 1\n"), "line 2: write(...: no closing parenthesis");
    EXPECT_EQ(refusal(open + "1 10:00:00.1 hello world\n"), "line 2: not an strace line: \"hello world\"");
}

TEST(TraceStrace, EveryReaderTakesACaptureAndNamesItsLine) {
    char path[] = "/tmp/trace_strace_test.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = "3 10:00:00.000000 open(\"/dev/morlan_touch\", O_RDWR) = 5\n3 10:00:00.5 bad\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    Trace t;
    std::string error;
    EXPECT_FALSE(load_trace(path, &t, &error));
    EXPECT_EQ(error, std::string(path) + ": line 2: not an strace line: \"bad\"");
    EXPECT_TRUE(looks_like_strace(text));
    EXPECT_FALSE(looks_like_strace("boardsim-trace 1 touch\n"));
    unlink(path);
}

}  // namespace
}  // namespace boardsim
