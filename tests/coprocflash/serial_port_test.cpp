// Serial layer over a real pty: configuration (with tcsetattr, malloc, calloc and read
// wrapped by the linker to see the character format and to inject failures), writes, and the
// exact-count reads with their carry-over and one-second waits.
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pty_pair.h"
#include "serial_port.h"
#include "stdout_capture.h"

using Lines = std::vector<std::string>;

// ---- linker wraps ----
namespace {
int g_tcsetattr_calls = 0;
struct termios g_tcsetattr_last;
bool g_tcsetattr_fail = false;
size_t g_malloc_fail_size = 0;  // 0: none
bool g_calloc_fail = false;
int g_zero_reads = 0;  // reads that consume what is there and report 0
}  // namespace

extern "C" {
int __real_tcsetattr(int fd, int act, const struct termios* t);
int __wrap_tcsetattr(int fd, int act, const struct termios* t) {
    ++g_tcsetattr_calls;
    g_tcsetattr_last = *t;
    if (g_tcsetattr_fail) {
        errno = EIO;
        return -1;
    }
    // A pty refuses parity (EINVAL here) where a UART takes it: the pty gets the rest.
    struct termios on_pty = *t;
    on_pty.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
    return __real_tcsetattr(fd, act, &on_pty);
}
void* __real_malloc(size_t n);
void* __wrap_malloc(size_t n) {
    if (g_malloc_fail_size != 0 && n == g_malloc_fail_size) {
        g_malloc_fail_size = 0;
        return nullptr;
    }
    return __real_malloc(n);
}
void* __real_calloc(size_t n, size_t s);
void* __wrap_calloc(size_t n, size_t s) {
    if (g_calloc_fail) {
        g_calloc_fail = false;
        return nullptr;
    }
    return __real_calloc(n, s);
}
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __wrap_read(int fd, void* buf, size_t n) {
    if (g_zero_reads > 0) {
        --g_zero_reads;
        __real_read(fd, buf, n);
        return 0;
    }
    return __real_read(fd, buf, n);
}
}

namespace {

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_tcsetattr_calls = 0;
        g_tcsetattr_fail = false;
        ASSERT_FALSE(pty.slave_path.empty());
        StdoutCapture quiet;
        fd = serial_open(pty.slave_path.c_str());
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        // Also frees the carry-over of a line that a failed configuration closed.
        StdoutCapture quiet;
        serial_close(fd >= 0 && fd_open(fd) ? fd : -1);
    }
    std::string drain_master() {
        std::string got;
        char buf[512];
        for (;;) {
            struct timeval tv = {0, 200000};
            fd_set set;
            FD_ZERO(&set);
            FD_SET(pty.master, &set);
            if (select(pty.master + 1, &set, nullptr, nullptr, &tv) <= 0) return got;
            ssize_t n = ::read(pty.master, buf, sizeof buf);
            if (n <= 0) return got;
            got.append(buf, static_cast<size_t>(n));
        }
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
    g_malloc_fail_size = 100;
    int fd;
    {
        StdoutCapture out;
        fd = serial_open(pty.slave_path.c_str());
        EXPECT_EQ(out.lines(), Lines{"[UART - serial_open]: malloc read buffer error"});
    }
    ASSERT_GE(fd, 0);
    StdoutCapture quiet;
    pty.send("0123456789ABCDE");
    uint8_t buf[16] = {};
    ASSERT_EQ(serial_read(fd, buf, 10), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 10), "0123456789");
    // The surplus had nowhere to go: the next read takes fresh bytes.
    pty.send("vwxyz");
    uint8_t next[6] = {};
    ASSERT_EQ(serial_read(fd, next, 5), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(next), 5), "vwxyz");
    serial_close(fd);
}

TEST_F(SerialTest, CloseReturnsCloseResultAndClosesTheLine) {
    EXPECT_EQ(serial_close(fd), 0);
    EXPECT_FALSE(fd_open(fd));
    fd = -1;
}

// ---- speed ----

TEST_F(SerialTest, SpeedAppliesRawModeAtTheRate) {
    StdoutCapture out;
    EXPECT_EQ(serial_set_speed(fd, 115200), 0);
    EXPECT_EQ(out.lines(), Lines{});
    struct termios tio;
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST_F(SerialTest, EveryListedRateIsAcceptedAndMapped) {
    const std::pair<int, speed_t> rates[] = {
        {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300}, {600, B600},
        {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
        {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
        {500000, B500000}, {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000}};
    StdoutCapture out;
    for (const auto& r : rates) {
        ASSERT_EQ(serial_set_speed(fd, r.first), 0) << r.first;
        EXPECT_EQ(cfgetospeed(&g_tcsetattr_last), r.second) << r.first;
        EXPECT_EQ(cfgetispeed(&g_tcsetattr_last), r.second) << r.first;
    }
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(SerialTest, UnlistedRatesAreRefusedAndLeaveTheLineOpen) {
    for (int baud : {0, 14400, 115201, -9600}) {
        StdoutCapture out;
        EXPECT_EQ(serial_set_speed(fd, baud), -1);
        EXPECT_EQ(out.lines(), Lines{"[UART - serial_set_speed]: baudrate wrong"}) << baud;
        EXPECT_TRUE(fd_open(fd));
    }
    EXPECT_EQ(g_tcsetattr_calls, 0);
}

TEST(SerialConfigFailures, GetAttrFailureClosesTheDescriptor) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    {
        StdoutCapture out;
        EXPECT_EQ(serial_set_speed(p[0], 115200), -1);
        EXPECT_EQ(out.lines(), Lines{"[UART - serial_set_speed]: get attr fail"});
        EXPECT_FALSE(fd_open(p[0]));
    }
    {
        StdoutCapture out;
        EXPECT_EQ(serial_set_parity(p[1], 8, 1, 'E'), -1);
        EXPECT_EQ(out.lines(), Lines{"[UART - serial_set_parity]: get attr fail"});
        EXPECT_FALSE(fd_open(p[1]));
    }
}

TEST_F(SerialTest, SetAttrFailureOfSpeedClosesOfParityKeepsOpen) {
    g_tcsetattr_fail = true;
    {
        StdoutCapture out;
        EXPECT_EQ(serial_set_parity(fd, 8, 1, 'E'), -1);
        EXPECT_EQ(out.lines(), Lines{"[UART - serial_set_parity]: setup serial error"});
        EXPECT_TRUE(fd_open(fd));
    }
    {
        StdoutCapture out;
        EXPECT_EQ(serial_set_speed(fd, 115200), -1);
        EXPECT_EQ(out.lines(), Lines{"[UART - serial_set_speed]: set attr failed"});
        EXPECT_FALSE(fd_open(fd));
    }
    g_tcsetattr_fail = false;
    // The closed number comes back from another open: the serial layer leaves it alone.
    ASSERT_EQ(dup2(pty.slave, fd), fd);
    {
        StdoutCapture out;
        const uint8_t z = 'z';
        EXPECT_EQ(serial_write(fd, &z, 1), -1);
        uint8_t b;
        EXPECT_EQ(serial_read(fd, &b, 1), -1);
        EXPECT_EQ(serial_close(fd), -1);
        EXPECT_EQ(out.lines(), (Lines{"[UART - serial_write]: write ret = -1", "[UART - serial_write]: write error",
                                      "[UART - serial_read]: read data error"}));
    }
    EXPECT_TRUE(fd_open(fd));
    EXPECT_EQ(drain_master(), "");
    close(fd);
    fd = -1;
}

// ---- character format ----

TEST_F(SerialTest, EightEvenOneIsWhatTcsetattrIsGiven) {
    StdoutCapture quiet;
    ASSERT_EQ(serial_set_speed(fd, 115200), 0);
    struct termios actual;
    ASSERT_EQ(tcgetattr(fd, &actual), 0);
    const tcflag_t before = actual.c_cflag;  // what serial_set_parity starts from
    ASSERT_EQ(serial_set_parity(fd, 8, 1, 'E'), 0);
    quiet.text();
    const tcflag_t c = g_tcsetattr_last.c_cflag;
    EXPECT_EQ(c & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(c & PARENB, 0u);
    EXPECT_EQ(c & PARODD, 0u);
    EXPECT_EQ(c & CSTOPB, 0u);
    // Nothing else of the control flags changes.
    const tcflag_t mask = CSIZE | CSTOPB | PARENB | PARODD;
    EXPECT_EQ(c & ~mask, before & ~mask);
    EXPECT_EQ(cfgetospeed(&g_tcsetattr_last), static_cast<speed_t>(B115200));
}

TEST_F(SerialTest, OtherFormatsSetTheirBits) {
    StdoutCapture quiet;
    ASSERT_EQ(serial_set_parity(fd, 7, 2, 'O'), 0);
    EXPECT_EQ(g_tcsetattr_last.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_NE(g_tcsetattr_last.c_cflag & CSTOPB, 0u);
    EXPECT_NE(g_tcsetattr_last.c_cflag & PARENB, 0u);
    EXPECT_NE(g_tcsetattr_last.c_cflag & PARODD, 0u);
    struct termios now;
    ASSERT_EQ(tcgetattr(fd, &now), 0);
    ASSERT_EQ(serial_set_parity(fd, 8, 1, 'N'), 0);
    EXPECT_EQ(g_tcsetattr_last.c_cflag & PARENB, 0u);
    EXPECT_EQ(g_tcsetattr_last.c_cflag & PARODD, now.c_cflag & PARODD);  // N leaves PARODD as it was
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
    {
        StdoutCapture quiet;
        ASSERT_EQ(serial_set_speed(fd, 115200), 0);
    }
    pty.send("keep");
    usleep(50000);
    g_tcsetattr_calls = 0;
    for (const auto& c : cases) {
        StdoutCapture out;
        EXPECT_EQ(serial_set_parity(fd, c.data, c.stop, c.parity), -1);
        EXPECT_EQ(out.lines(), Lines{c.line});
        EXPECT_TRUE(fd_open(fd));
    }
    EXPECT_EQ(g_tcsetattr_calls, 0);
    // Input was not flushed: the four waiting bytes are still there.
    StdoutCapture quiet;
    uint8_t buf[4];
    ASSERT_EQ(serial_read(fd, buf, 4), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "keep");
}

TEST_F(SerialTest, ValidFormatFlushesWaitingInput) {
    {
        StdoutCapture quiet;
        ASSERT_EQ(serial_set_speed(fd, 115200), 0);
    }
    pty.send("stale");
    usleep(50000);
    StdoutCapture quiet;
    ASSERT_EQ(serial_set_parity(fd, 8, 1, 'E'), 0);
    pty.send("F");
    uint8_t b = 0;
    int r = serial_read(fd, &b, 1);
    quiet.text();
    ASSERT_EQ(r, 0);
    EXPECT_EQ(b, 'F');
}

// ---- write ----

TEST_F(SerialTest, WriteSendsAllBytesWithOneLinePerWriteCall) {
    {
        StdoutCapture quiet;
        ASSERT_EQ(serial_set_speed(fd, 115200), 0);
    }
    const uint8_t frame[] = {0x31, 0xCE, 0x00, 0x7F, 0x0A};
    StdoutCapture out;
    EXPECT_EQ(serial_write(fd, frame, 5), 0);
    EXPECT_EQ(out.lines(), Lines{"[UART - serial_write]: write ret = 5"});
    EXPECT_EQ(drain_master(), std::string("\x31\xCE\x00\x7F\x0A", 5));
}

TEST_F(SerialTest, WriteOfNothingCallsNoWrite) {
    StdoutCapture out;
    const uint8_t none[1] = {0};
    EXPECT_EQ(serial_write(fd, none, 0), 0);
    EXPECT_EQ(out.lines(), Lines{});
    EXPECT_EQ(drain_master(), "");
}

TEST(SerialWrite, WriteErrorIsReported) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[1]);
    const uint8_t b = 0x7F;
    StdoutCapture out;
    EXPECT_EQ(serial_write(p[0], &b, 1), -1);  // the read end cannot be written
    EXPECT_EQ(out.lines(), (Lines{"[UART - serial_write]: write ret = -1", "[UART - serial_write]: write error"}));
    close(p[0]);
}

// ---- read and carry-over ----

TEST_F(SerialTest, SurplusOfOneReadIsCarriedToTheNext) {
    pty.send("ABCDEFGHIJKLMNO");
    usleep(50000);
    uint8_t buf[16] = {};
    {
        StdoutCapture out;
        ASSERT_EQ(serial_read(fd, buf, 10), 0);
        EXPECT_EQ(out.lines(),
                  (Lines{"[UART - _serial_read]: uart read data [15]", "[UART - serial_read]: uart have data 15+0<10 "}));
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 10), "ABCDEFGHIJ");
    uint8_t rest[6] = {};
    StdoutCapture out;
    ASSERT_EQ(serial_read(fd, rest, 5), 0);
    EXPECT_EQ(out.lines(), Lines{});  // no select, no read, no line
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 5), "KLMNO");
}

TEST_F(SerialTest, CarryOverLargerThanRequestDeliversCountAndEmpties) {
    pty.send("0123456789ABCDE");
    usleep(50000);
    uint8_t two[2];
    {
        StdoutCapture quiet;
        ASSERT_EQ(serial_read(fd, two, 2), 0);  // 13 bytes carried
    }
    uint8_t three[8];
    memset(three, 0xEE, sizeof three);
    {
        StdoutCapture out;
        ASSERT_EQ(serial_read(fd, three, 3), 0);
        EXPECT_EQ(out.lines(), Lines{});
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(three), 3), "234");
    EXPECT_EQ(three[3], 0xEE);  // nothing written past count
    // The rest of the carry-over was dropped: the next byte comes from the line.
    pty.send("Z");
    uint8_t z = 0;
    StdoutCapture quiet;
    ASSERT_EQ(serial_read(fd, &z, 1), 0);
    EXPECT_EQ(z, 'Z');
}

TEST_F(SerialTest, ReadGathersPiecesUntilCountArrives) {
    std::thread peer([this] {
        pty.send("abc");
        usleep(300000);
        pty.send("defg");
    });
    uint8_t buf[7];
    StdoutCapture out;
    ASSERT_EQ(serial_read(fd, buf, 7), 0);
    peer.join();
    EXPECT_EQ(out.lines(), (Lines{"[UART - _serial_read]: uart read data [3]", "[UART - serial_read]: uart have data 3+0<7 ",
                                  "[UART - _serial_read]: uart read data [4]", "[UART - serial_read]: uart have data 4+3<7 "}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 7), "abcdefg");
}

TEST_F(SerialTest, SilenceGivesFourTimeoutsThenFailure) {
    StdoutCapture out;
    uint8_t buf[4];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(serial_read(fd, buf, 4), -1);
    const auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(out.lines(), (Lines{"[UART - _serial_read]: wait read timeout!", "[UART - _serial_read]: wait read timeout!",
                                  "[UART - _serial_read]: wait read timeout!", "[UART - _serial_read]: wait read timeout!",
                                  "[UART - serial_read]: read data error"}));
    EXPECT_GT(secs, 3.8);
    EXPECT_LT(secs, 5.5);
}

TEST_F(SerialTest, FailedReadKeepsTheCarryOver) {
    pty.send("0123");
    usleep(50000);
    uint8_t one;
    StdoutCapture quiet;
    ASSERT_EQ(serial_read(fd, &one, 1), 0);  // "123" carried
    uint8_t many[10];
    EXPECT_EQ(serial_read(fd, many, 10), -1);  // 3 carried, then silence
    uint8_t three[3];
    ASSERT_EQ(serial_read(fd, three, 3), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(three), 3), "123");
}

TEST_F(SerialTest, ZeroByteReadStartsAFreshAllowanceOfWaits) {
    // 2 time-outs, a read of 0 at 2.5 s, then 2 more time-outs before the byte at 5 s:
    // four waits in a row would have failed at 4.5 s.
    std::thread peer([this] {
        usleep(2500000);
        g_zero_reads = 1;
        pty.send("j");
        usleep(2500000);
        pty.send("k");
    });
    uint8_t b = 0;
    StdoutCapture out;
    int r = serial_read(fd, &b, 1);
    peer.join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(b, 'k');
    EXPECT_EQ(out.lines(), (Lines{"[UART - _serial_read]: wait read timeout!", "[UART - _serial_read]: wait read timeout!",
                                  "[UART - _serial_read]: uart read data [0]", "[UART - _serial_read]: wait read timeout!",
                                  "[UART - _serial_read]: wait read timeout!", "[UART - _serial_read]: uart read data [1]",
                                  "[UART - serial_read]: uart have data 1+0<1 "}));
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
                                  empty, empty, empty, empty, "[UART - serial_read]: read data error"}));
}

TEST_F(SerialTest, ScratchBlockMissingFailsTheRead) {
    pty.send("x");
    uint8_t b;
    g_calloc_fail = true;
    StdoutCapture out;
    EXPECT_EQ(serial_read(fd, &b, 1), -1);
    EXPECT_EQ(out.lines(), Lines{"[UART - serial_read]: malloc mem failed"});
}

TEST_F(SerialTest, ReadFailureOfTheDescriptorIsReported) {
    uint8_t b;
    StdoutCapture out;
    EXPECT_EQ(serial_read(-1, &b, 1), -1);
    EXPECT_EQ(out.lines(), Lines{"[UART - serial_read]: read data error"});
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
        EXPECT_EQ(out.lines(), Lines{"[UART - serial_read]: read data error"});
    }
    EXPECT_EQ(serial_wait_readable(high, 1), -1);
    close(high);
}

// ---- flush ----

TEST_F(SerialTest, FlushOfInputDiscardsWaitingBytesAndPauses) {
    pty.send("old");
    usleep(50000);
    StdoutCapture out;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(serial_flush(fd, 0), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(950));
    EXPECT_EQ(serial_wait_readable(fd, 0), 0);
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(SerialTest, FlushOfUnknownQueueOnlyPauses) {
    pty.send("kept");
    usleep(50000);
    StdoutCapture quiet;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(serial_flush(fd, 2), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(950));
    uint8_t buf[4];
    ASSERT_EQ(serial_read(fd, buf, 4), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "kept");
}

}  // namespace
