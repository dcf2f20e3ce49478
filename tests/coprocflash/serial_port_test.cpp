// Serial layer over a real pty: configuration (tcsetattr recorded, failures injected), the write
// loop, and the exact-count reads with their carry-over and one-second waits (select scripted,
// read, write, malloc and calloc wrapped by the linker).
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "line_fakes.h"
#include "pty_pair.h"
#include "serial_port.h"
#include "stdout_capture.h"

namespace {
bool g_calloc_fail = false;
int g_zero_reads = 0;   // reads that consume what is there and report 0
size_t g_write_cap = 0;  // 0: write() takes everything it is given
}  // namespace

extern "C" {
void* __real_calloc(size_t n, size_t s);
void* __wrap_calloc(size_t n, size_t s) {
    if (!g_calloc_fail) return __real_calloc(n, s);
    g_calloc_fail = false;
    return nullptr;
}
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __wrap_read(int fd, void* buf, size_t n) {
    ssize_t r = __real_read(fd, buf, n);
    if (g_zero_reads == 0) return r;
    --g_zero_reads;
    return 0;
}
ssize_t __real_write(int fd, const void* buf, size_t n);
ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    return __real_write(fd, buf, fd != STDOUT_FILENO && g_write_cap != 0 && n > g_write_cap ? g_write_cap : n);
}
}

namespace {

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

std::string str(const uint8_t* b, size_t n) { return std::string(reinterpret_cast<const char*>(b), n); }

const std::string kTimeout = "[UART - _serial_read]: wait read timeout!";
const std::string kReadError = "[UART - serial_read]: read data error";

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        line_fakes::reset();
        // The scripted line: a character other than 'T' arrives on it, '0' as a read of 0.
        line_fakes::on_ready = [this](char c) {
            if (c == '0') g_zero_reads = 1;
            pty.send(std::string(1, c));
        };
        ASSERT_FALSE(pty.slave_path.empty());
        StdoutCapture quiet;
        fd = serial_open(pty.slave_path.c_str());
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        EXPECT_EQ(line_fakes::script, "") << "waits the line script expected did not come";
        g_write_cap = 0;
        // Also frees the carry-over of a line that a failed configuration closed.
        StdoutCapture quiet;
        serial_close(fd >= 0 && fd_open(fd) ? fd : -1);
    }
    // serial_read of count bytes: its result, the bytes, and its lines.
    int read_lines(size_t count, std::string* got, Lines* lines) {
        std::vector<uint8_t> buf(count + 1, 0xEE);
        StdoutCapture out;
        int r = serial_read(fd, buf.data(), static_cast<int>(count));
        *lines = out.lines();
        EXPECT_EQ(buf[count], 0xEE) << "written past count";
        *got = str(buf.data(), count);
        return r;
    }
    PtyPair pty;
    int fd = -1;
};

// ---- open / close ----

TEST(SerialOpen, MissingDeviceFailsWithItsLine) {
    StdoutCapture out;
    EXPECT_EQ(serial_open("/tmp/no-such-dir-for-coprocflash/ttyS1"), -1);
    EXPECT_EQ(out.lines(), Lines{"[UART - serial_open]: uart open error"});
}

TEST(SerialOpen, CarryBufferMissingStillOpensAndDropsSurplus) {
    PtyPair pty;
    line_fakes::malloc_fail_size = 100;
    int fd;
    {
        StdoutCapture out;
        fd = serial_open(pty.slave_path.c_str());
        EXPECT_EQ(out.lines(), Lines{"[UART - serial_open]: malloc read buffer error"});
    }
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK | O_APPEND | O_SYNC), O_RDWR);  // blocking
    StdoutCapture quiet;
    pty.send("0123456789ABCDE");
    uint8_t buf[10];
    ASSERT_EQ(serial_read(fd, buf, 10), 0);
    EXPECT_EQ(str(buf, 10), "0123456789");
    // The surplus had nowhere to go: the next read takes fresh bytes.
    pty.send("vwxyz");
    ASSERT_EQ(serial_read(fd, buf, 5), 0);
    EXPECT_EQ(str(buf, 5), "vwxyz");
    EXPECT_EQ(serial_close(fd), 0);
    EXPECT_FALSE(fd_open(fd));
}

// ---- speed ----

// Each rate reaches the line's driver as the C library itself converts the plain number
// (cfsetspeed takes one as well); the line's other user reads the MCU's rate and raw mode back.
// (Rates above 460800 are compared at the driver call only: qemu-arm's termios translation
// does not carry them through to the pty.)
TEST_F(SerialTest, EveryListedRateReachesTheLineInRawMode) {
    const int rates[] = {50,     75,     110,    134,     150,     200,     300,     600,     1200,    1800,
                         2400,   4800,   9600,   19200,   38400,   57600,   115200,  230400,  460800,  500000,
                         576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
    StdoutCapture out;
    struct termios line;
    for (int rate : rates) {
        ASSERT_EQ(serial_set_speed(fd, rate), 0) << rate;
        struct termios want;
        ASSERT_EQ(cfsetspeed(&want, static_cast<speed_t>(rate)), 0) << rate;
        EXPECT_EQ(cfgetospeed(&line_fakes::tcsetattr_last), cfgetospeed(&want)) << rate;
        EXPECT_EQ(cfgetispeed(&line_fakes::tcsetattr_last), cfgetospeed(&want)) << rate;
    }
    ASSERT_EQ(serial_set_speed(fd, 115200), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(out.lines(), Lines{});
    EXPECT_EQ(line.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
}

TEST_F(SerialTest, UnlistedRatesAreRefusedAndLeaveTheLineOpen) {
    for (int baud : {0, 14400, 115201, -9600}) {
        StdoutCapture out;
        EXPECT_EQ(serial_set_speed(fd, baud), -1);
        EXPECT_EQ(out.lines(), Lines{"[UART - serial_set_speed]: baudrate wrong"}) << baud;
        EXPECT_TRUE(fd_open(fd));
    }
    EXPECT_EQ(line_fakes::tcsetattr_calls, 0);
}

TEST(SerialConfigFailures, GetAttrFailureClosesTheDescriptor) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    StdoutCapture out;
    EXPECT_EQ(serial_set_speed(p[0], 115200), -1);
    EXPECT_EQ(serial_set_parity(p[1], 8, 1, 'E'), -1);
    EXPECT_FALSE(fd_open(p[0]));
    EXPECT_FALSE(fd_open(p[1]));
    EXPECT_EQ(out.lines(), (Lines{"[UART - serial_set_speed]: get attr fail", "[UART - serial_set_parity]: get attr fail"}));
}

TEST_F(SerialTest, SetAttrFailureOfSpeedClosesOfParityKeepsOpen) {
    line_fakes::tcsetattr_fails = true;
    {
        StdoutCapture out;
        EXPECT_EQ(serial_set_parity(fd, 8, 1, 'E'), -1);
        EXPECT_TRUE(fd_open(fd));
        EXPECT_EQ(serial_set_speed(fd, 115200), -1);
        EXPECT_FALSE(fd_open(fd));
        EXPECT_EQ(out.lines(), (Lines{"[UART - serial_set_parity]: setup serial error", "[UART - serial_set_speed]: set attr failed"}));
    }
    line_fakes::tcsetattr_fails = false;
    // The closed number comes back from another open: the serial layer leaves it alone.
    ASSERT_EQ(dup2(pty.slave, fd), fd);
    {
        StdoutCapture out;
        const uint8_t z = 'z';
        EXPECT_EQ(serial_write(fd, &z, 1), -1);
        uint8_t b;
        EXPECT_EQ(serial_read(fd, &b, 1), -1);
        EXPECT_EQ(serial_close(fd), -1);
        EXPECT_EQ(out.lines(), (Lines{"[UART - serial_write]: write ret = -1", "[UART - serial_write]: write error", kReadError}));
    }
    EXPECT_TRUE(fd_open(fd));
    EXPECT_EQ(pty.drain(), "");
    close(fd);
    fd = -1;
}

// ---- character format ----

TEST_F(SerialTest, FormatSetsItsFourBitsFromWhatTheLineHadAndFlushesInput) {
    // Each step starts from what the step before left on the line (the pty keeps PARODD).
    struct Step {
        int data, stop, parity;
        tcflag_t bits;
    } steps[] = {
        {7, 2, 'O', CS7 | CSTOPB | PARENB | PARODD},
        {8, 1, 'N', CS8 | PARODD},  // N leaves PARODD as it was
        {8, 1, 'E', CS8 | PARENB},
        {8, 2, 'N', CS8 | CSTOPB},
    };
    const tcflag_t mask = CSIZE | CSTOPB | PARENB | PARODD;
    StdoutCapture out;
    for (const auto& s : steps) {
        pty.send("stale");
        struct termios before;
        ASSERT_EQ(tcgetattr(fd, &before), 0);
        ASSERT_EQ(serial_set_parity(fd, s.data, s.stop, s.parity), 0);
        EXPECT_EQ(line_fakes::tcsetattr_last.c_cflag & mask, s.bits) << char(s.parity);
        EXPECT_EQ(line_fakes::tcsetattr_last.c_cflag & ~mask, before.c_cflag & ~mask) << char(s.parity);
        EXPECT_EQ(pty.queued(), 0) << "waiting input not flushed";
    }
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(SerialTest, InvalidFormatIsRefusedWithoutApplyingOrFlushing) {
    struct Case {
        int data, stop, parity;
        const char* line;
    } cases[] = {
        {8, 1, 'e', "[UART - serial_set_parity]: parity wrong"},
        {8, 1, 'X', "[UART - serial_set_parity]: parity wrong"},
        {9, 1, 'E', "[UART - serial_set_parity]: data bit wrong"},
        {6, 1, 'E', "[UART - serial_set_parity]: data bit wrong"},
        {8, 3, 'E', "[UART - serial_set_parity]: stop bit wrong"},
        {8, 0, 'E', "[UART - serial_set_parity]: stop bit wrong"},
    };
    pty.send("keep");
    for (const auto& c : cases) {
        StdoutCapture out;
        EXPECT_EQ(serial_set_parity(fd, c.data, c.stop, c.parity), -1);
        EXPECT_EQ(out.lines(), Lines{c.line});
        EXPECT_TRUE(fd_open(fd));
    }
    EXPECT_EQ(line_fakes::tcsetattr_calls, 0);
    EXPECT_EQ(pty.queued(), 4);
}

// ---- write ----

TEST_F(SerialTest, WriteLoopSendsEverythingWithOneLinePerWriteCall) {
    const uint8_t frame[] = {0x31, 0xCE, 0x00, 0x7F, 0x0A};
    g_write_cap = 2;  // the driver takes two bytes at a time
    {
        StdoutCapture out;
        EXPECT_EQ(serial_write(fd, frame, 5), 0);
        EXPECT_EQ(serial_write(fd, frame, 0), 0);  // nothing to send: no write() at all
        EXPECT_EQ(out.lines(), (Lines{"[UART - serial_write]: write ret = 2", "[UART - serial_write]: write ret = 2",
                                      "[UART - serial_write]: write ret = 1"}));
    }
    EXPECT_EQ(pty.drain(), str(frame, 5));
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    StdoutCapture out;
    EXPECT_EQ(serial_write(p[0], frame, 1), -1);  // the read end cannot be written
    EXPECT_EQ(out.lines(), (Lines{"[UART - serial_write]: write ret = -1", "[UART - serial_write]: write error"}));
    close(p[0]);
    close(p[1]);
}

// ---- read and carry-over ----

TEST_F(SerialTest, SurplusIsCarriedAndACarryOverServesWithoutTheLine) {
    std::string sent;
    for (int i = 0; i < 150; ++i) sent += static_cast<char>('!' + i % 90);
    pty.send(sent);
    std::string got;
    Lines lines;
    ASSERT_EQ(read_lines(120, &got, &lines), 0);  // one read() takes 100 bytes at most
    EXPECT_EQ(got, sent.substr(0, 120));
    EXPECT_EQ(lines, (Lines{"[UART - _serial_read]: uart read data [100]", "[UART - serial_read]: uart have data 100+0<120 ",
                            "[UART - _serial_read]: uart read data [50]", "[UART - serial_read]: uart have data 50+100<120 "}));
    // Thirty carried: two delivered without select, read or line; the others are dropped.
    ASSERT_EQ(read_lines(2, &got, &lines), 0);
    EXPECT_EQ(got, sent.substr(120, 2));
    EXPECT_EQ(lines, Lines{});
    pty.send("Z");
    ASSERT_EQ(read_lines(1, &got, &lines), 0);
    EXPECT_EQ(got, "Z");
    // A carry-over of fewer bytes than asked for comes first, the line adds the rest.
    pty.send("0123");
    ASSERT_EQ(read_lines(1, &got, &lines), 0);
    pty.send("45");
    ASSERT_EQ(read_lines(5, &got, &lines), 0);
    EXPECT_EQ(got, "12345");
    EXPECT_EQ(lines, (Lines{"[UART - _serial_read]: uart read data [2]", "[UART - serial_read]: uart have data 2+3<5 "}));
    // The most a read can leave over, 99 of a full read of 100, is carried whole; the 101st
    // byte stays on the line.
    sent = sent.substr(0, 101);
    pty.send(sent);
    ASSERT_EQ(read_lines(1, &got, &lines), 0);
    ASSERT_EQ(read_lines(100, &got, &lines), 0);
    EXPECT_EQ(got, sent.substr(1, 100));
    EXPECT_EQ(lines, (Lines{"[UART - _serial_read]: uart read data [1]", "[UART - serial_read]: uart have data 1+99<100 "}));
}

TEST_F(SerialTest, FourSilentSecondsFailTheReadAndKeepTheCarryOver) {
    pty.send("0123");
    std::string got;
    Lines lines;
    ASSERT_EQ(read_lines(1, &got, &lines), 0);  // "123" carried
    line_fakes::script = "TTTT";
    EXPECT_EQ(read_lines(10, &got, &lines), -1);
    EXPECT_EQ(lines, (Lines{kTimeout, kTimeout, kTimeout, kTimeout, kReadError}));
    ASSERT_EQ(read_lines(3, &got, &lines), 0);
    EXPECT_EQ(got, "123");
}

TEST_F(SerialTest, WaitsStartAfreshAfterDataAndAfterAReadOfNothing) {
    // Six silent seconds, never four in a row without a read between them; four reads of
    // nothing, never four in a row without a byte between them.
    line_fakes::script = "TT0TTa000TTb";
    std::string got;
    Lines lines;
    ASSERT_EQ(read_lines(2, &got, &lines), 0);
    EXPECT_EQ(got, "ab");
    const std::string empty = "[UART - _serial_read]: uart read data [0]";
    EXPECT_EQ(lines, (Lines{kTimeout, kTimeout, empty, kTimeout, kTimeout, "[UART - _serial_read]: uart read data [1]",
                            "[UART - serial_read]: uart have data 1+0<2 ", empty, empty, empty, kTimeout, kTimeout,
                            "[UART - _serial_read]: uart read data [1]", "[UART - serial_read]: uart have data 1+1<2 "}));
}

TEST_F(SerialTest, HungUpLineFailsAtTheFourthEmptyReadInARow) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "ab", 2), 2);
    close(p[1]);  // the far end hangs up: readable, and every read() gives 0
    uint8_t buf[4];
    StdoutCapture out;
    EXPECT_EQ(serial_read(p[0], buf, 4), -1);
    close(p[0]);
    const std::string empty = "[UART - _serial_read]: uart read data [0]";
    EXPECT_EQ(out.lines(), (Lines{"[UART - _serial_read]: uart read data [2]", "[UART - serial_read]: uart have data 2+0<4 ",
                                  empty, empty, empty, empty, kReadError}));
}

TEST_F(SerialTest, ScratchBlockOrDescriptorFailureFailsTheRead) {
    pty.send("x");
    uint8_t b;
    g_calloc_fail = true;
    StdoutCapture out;
    EXPECT_EQ(serial_read(fd, &b, 1), -1);
    EXPECT_EQ(serial_read(-1, &b, 1), -1);
    EXPECT_EQ(out.lines(), (Lines{"[UART - serial_read]: malloc mem failed", kReadError}));
}

TEST_F(SerialTest, DescriptorBeyondTheSelectSetIsRefused) {
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_max < 1300) GTEST_SKIP() << "descriptor limit too low";
    rl.rlim_cur = 1300;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    int high = dup2(fd, 1200);
    ASSERT_EQ(high, 1200);
    pty.send("x");
    uint8_t b;
    {
        StdoutCapture out;
        EXPECT_EQ(serial_read(high, &b, 1), -1);
        EXPECT_EQ(out.lines(), Lines{kReadError});
    }
    EXPECT_EQ(serial_wait_readable(high, 1), -1);
    close(high);
}

// ---- flush ----

TEST_F(SerialTest, FlushDiscardsPendingInputOnlyForQueueZeroAndAlwaysPausesOneSecond) {
    for (int queue : {0, 1, 2}) {
        line_fakes::sleeps.clear();
        pty.send("old");
        StdoutCapture out;
        EXPECT_EQ(serial_flush(fd, queue), 0);
        EXPECT_EQ(out.lines(), Lines{});
        EXPECT_EQ(pty.queued(), queue == 0 ? 0 : 3) << queue;
        EXPECT_EQ(line_fakes::sleeps, std::vector<unsigned>{1}) << queue;
        tcflush(pty.slave, TCIFLUSH);
    }
}

// Bytes carried over from an earlier reply are pending input too: flushing queue 0 drops them,
// so the next read takes only what the line brings afterwards; queues 1 and 2 keep them.
TEST_F(SerialTest, FlushOfPendingInputAlsoEmptiesTheCarryOver) {
    for (int queue : {0, 1, 2}) {
        std::string got;
        Lines lines;
        pty.send("abc");
        ASSERT_EQ(read_lines(1, &got, &lines), 0);  // "bc" carried
        {
            StdoutCapture quiet;
            EXPECT_EQ(serial_flush(fd, queue), 0);
        }
        pty.send("XY");
        ASSERT_EQ(read_lines(2, &got, &lines), 0);
        EXPECT_EQ(got, queue == 0 ? "XY" : "bc") << queue;
        if (queue != 0) {
            ASSERT_EQ(read_lines(2, &got, &lines), 0);  // the line's "XY"
        }
    }
}

}  // namespace
