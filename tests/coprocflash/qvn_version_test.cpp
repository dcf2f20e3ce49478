// Version frames: version_analysis on its own, and both query paths (the update gate and the
// check after the restart) against the MCU model's application over a real pty.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "mcu_model.h"
#include "pty_pair.h"
#include "qvn_version.h"
#include "serial_port.h"
#include "stdout_capture.h"

using Lines = std::vector<std::string>;
using board::McuModel;

// The next calloc of a size in [fail_min, fail_max] fails (linker wrap of the code under test).
namespace {
size_t g_fail_min = 0, g_fail_max = 0;
}
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __wrap_calloc(size_t count, size_t size) {
    if (g_fail_max != 0 && count * size >= g_fail_min && count * size <= g_fail_max) {
        g_fail_max = 0;
        return nullptr;
    }
    return __real_calloc(count, size);
}

namespace {

const std::vector<uint8_t> kQuery = {0xAA, 0xAA, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x01, 0x4D};

Lines ver_lines(int a, int b, int c) {
    return {"[ORNMCU - version_analysis]: ver_num[0] = " + std::to_string(a),
            "[ORNMCU - version_analysis]: ver_num[1] = " + std::to_string(b),
            "[ORNMCU - version_analysis]: ver_num[2] = " + std::to_string(c)};
}

Lines cat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Lines without the serial layer's per-call trace, to compare what this layer says.
Lines own_lines(const Lines& all) {
    Lines out;
    for (const auto& l : all)
        if (l.rfind("[UART - ", 0) != 0) out.push_back(l);
    return out;
}

// ---- version_analysis ----

struct Parsed {
    int32_t n[4];  // n[3] is a guard that must never be written
};

Parsed parse(const char* text, int* result, Lines* lines) {
    Parsed p = {{0, 0, 0, 0x5A5A5A5A}};
    StdoutCapture out;
    *result = version_analysis(text, p.n);
    *lines = out.lines();
    return p;
}

TEST(VersionAnalysis, AcceptedTextsKeepTheirMeaning) {
    struct Case {
        const char* text;
        int a, b, c;
    } cases[] = {
        {"2.0.13", 2, 0, 13}, {"1.10.0", 1, 10, 0}, {"2.1", 2, 1, 0},     {"v2.1.3", 0, 1, 3},
        {"1..3", 1, 0, 3},    {"", 0, 0, 0},        {"7", 7, 0, 0},       {"123456789.1.2", 123456789, 1, 2},
        {" 4.-1.+5", 4, -1, 5}, {"2.0.", 2, 0, 0},
    };
    for (const auto& c : cases) {
        int r;
        Lines lines;
        Parsed p = parse(c.text, &r, &lines);
        EXPECT_EQ(r, 0) << c.text;
        EXPECT_EQ(p.n[0], c.a) << c.text;
        EXPECT_EQ(p.n[1], c.b) << c.text;
        EXPECT_EQ(p.n[2], c.c) << c.text;
        EXPECT_EQ(p.n[3], 0x5A5A5A5A) << c.text;
        EXPECT_EQ(lines, ver_lines(c.a, c.b, c.c)) << c.text;
    }
}

TEST(VersionAnalysis, TextsTheBuffersCannotHoldAreRefused) {
    for (const char* text : {"1234567890.1.1", "1.2.3.4", "1.2.3.", "1.12345678901234567890", "...."}) {
        int r;
        Lines lines;
        Parsed p = parse(text, &r, &lines);
        EXPECT_EQ(r, -1) << text;
        EXPECT_EQ(p.n[3], 0x5A5A5A5A) << text;
        EXPECT_EQ(lines, Lines{std::string("[ORNMCU - version_analysis]: version text not supported : ") + text});
        EXPECT_FALSE(qvn_version_valid(text)) << text;
    }
    EXPECT_TRUE(qvn_version_valid("2.1"));
    EXPECT_TRUE(qvn_version_valid("123456789.0.0"));
}

// ---- the two query paths ----

class QueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        StdoutCapture quiet;
        uart_fd = serial_open(pty.slave_path.c_str());
        ASSERT_GE(uart_fd, 0);
        ASSERT_EQ(serial_set_speed(uart_fd, 115200), 0);
    }
    void TearDown() override {
        StdoutCapture quiet;
        serial_close(uart_fd);
    }
    int check(const char* version, Lines* lines) {
        StdoutCapture out;
        int r = qvn_version_check(version);
        *lines = out.lines();
        return r;
    }
    PtyPair pty;
    McuModel mcu{pty.master};
};

Lines gate_lines(const std::string& cmdline, const std::string& mcu_text) {
    return {"[ORNMCU - qvn_version_check]: firmware version : " + cmdline,
            "[ORNMCU - qvn_version_check]: mcu version : " + mcu_text};
}

TEST_F(QueryTest, NewerCommandLineVersionGoesAhead) {
    mcu.set_version("1.9.9");
    Lines lines;
    EXPECT_EQ(check("1.10.0", &lines), 0);
    EXPECT_EQ(own_lines(lines), cat(cat(gate_lines("1.10.0", "1.9.9"), ver_lines(1, 10, 0)), ver_lines(1, 9, 9)));
    EXPECT_EQ(mcu.wire(), kQuery);
}

TEST_F(QueryTest, EqualOrOlderVersionIsRefused) {
    mcu.set_version("2.0.1");
    Lines lines;
    EXPECT_EQ(check("2.0.1", &lines), -1);
    EXPECT_EQ(own_lines(lines), cat(cat(gate_lines("2.0.1", "2.0.1"), ver_lines(2, 0, 1)), ver_lines(2, 0, 1)));
    EXPECT_EQ(check("2.0.0", &lines), -1);
    EXPECT_EQ(check("1.99.99", &lines), -1);
    EXPECT_EQ(check("2.0.2", &lines), 0);
    EXPECT_EQ(check("3.0.0", &lines), 0);
}

TEST_F(QueryTest, TwoComponentVersionHasPatchZero) {
    Lines lines;
    mcu.set_version("2.0.9");
    EXPECT_EQ(check("2.1", &lines), 0);
    mcu.set_version("2.1.0");
    EXPECT_EQ(check("2.1", &lines), -1);
    EXPECT_EQ(own_lines(lines), cat(cat(gate_lines("2.1", "2.1.0"), ver_lines(2, 1, 0)), ver_lines(2, 1, 0)));
}

TEST_F(QueryTest, ComponentsCompareUnsigned) {
    Lines lines;
    mcu.set_version("1.0.0");
    EXPECT_EQ(check("-1.0.0", &lines), 0);  // 0xFFFFFFFF is above 1
}

TEST_F(QueryTest, NonDigitVersionsConvertToZero) {
    Lines lines;
    mcu.set_version("1..3");
    EXPECT_EQ(check("v2", &lines), -1);  // 0.0.0 against 1.0.3
    EXPECT_EQ(own_lines(lines), cat(cat(gate_lines("v2", "1..3"), ver_lines(0, 0, 0)), ver_lines(1, 0, 3)));
}

TEST_F(QueryTest, SilentMcuLetsTheUpdateGoAhead) {
    mcu.set_app_silent(true);
    Lines lines;
    EXPECT_EQ(check("1.0.0", &lines), 0);
    EXPECT_EQ(lines, (Lines{"[UART - serial_write]: write ret = 11", "[UART - _serial_read]: wait read timeout!",
                            "[UART - _serial_read]: wait read timeout!", "[UART - _serial_read]: wait read timeout!",
                            "[UART - _serial_read]: wait read timeout!", "[UART - serial_read]: read data error",
                            "[ORNMCU - qvn_version_check]: cannot get mcu version"}));
}

TEST_F(QueryTest, WrongMessageCodeIsNoVersion) {
    mcu.set_reply_code(0x15);
    Lines lines;
    EXPECT_EQ(check("1.0.0", &lines), 0);
    EXPECT_EQ(own_lines(lines), (Lines{"[ORNMCU - qvn_get_version]: get version fail",
                                       "[ORNMCU - qvn_version_check]: cannot get mcu version"}));
}

TEST_F(QueryTest, EmptyBodyIsNoVersionAndItsReadEmptiesTheCarryOver) {
    mcu.set_reply_body({});
    mcu.set_reply_surplus({0x11, 0x22});  // arrives with the header
    Lines lines;
    EXPECT_EQ(check("1.0.0", &lines), 0);
    EXPECT_EQ(own_lines(lines), Lines{"[ORNMCU - qvn_version_check]: cannot get mcu version"});
    pty.send("\x33\x44");
    uint8_t next[2] = {0, 0};
    StdoutCapture quiet;
    ASSERT_EQ(serial_read(uart_fd, next, 2), 0);
    EXPECT_EQ(next[0], 0x33);  // not the surplus: the zero-byte body read dropped it
}

TEST_F(QueryTest, BodyThatDoesNotFitTheBufferIsRefused) {
    mcu.set_version("10.20.300");  // 'M', 9 characters, NUL: 11 bytes
    Lines lines;
    EXPECT_EQ(check("1.0.0", &lines), 0);
    EXPECT_EQ(own_lines(lines), (Lines{"[ORNMCU - qvn_get_version]: version body too long : 11",
                                       "[ORNMCU - qvn_version_check]: cannot get mcu version"}));
    mcu.set_reply_body({0, '2', '.', '1', '0', '.', '1', '0', '0', '0'});  // ten bytes, no NUL in the text
    EXPECT_EQ(check("1.0.0", &lines), 0);
    EXPECT_EQ(own_lines(lines), (Lines{"[ORNMCU - qvn_get_version]: version body without end",
                                       "[ORNMCU - qvn_version_check]: cannot get mcu version"}));
}

TEST_F(QueryTest, BodiesThatFitTheBufferAreCompared) {
    mcu.set_version("2.10.100");  // 'M', 8 characters, NUL: the whole buffer
    Lines lines;
    EXPECT_EQ(check("2.10.100", &lines), -1);
    EXPECT_EQ(own_lines(lines), cat(cat(gate_lines("2.10.100", "2.10.100"), ver_lines(2, 10, 100)), ver_lines(2, 10, 100)));
    mcu.set_reply_body({'M', '2', '.', '0', '.', '1', '2', '3', '4'});  // nine bytes: the zeroed buffer ends them
    EXPECT_EQ(check("2.0.1234", &lines), -1);
    EXPECT_EQ(own_lines(lines), cat(cat(gate_lines("2.0.1234", "2.0.1234"), ver_lines(2, 0, 1234)), ver_lines(2, 0, 1234)));
}

TEST_F(QueryTest, ReplyInPiecesAndWithSurplus) {
    mcu.set_version("2.0.9");
    mcu.set_reply_pieces({3, 4, 5}, std::chrono::milliseconds(100));
    Lines lines;
    EXPECT_EQ(check("2.0.13", &lines), 0);
    EXPECT_EQ(own_lines(lines), cat(cat(gate_lines("2.0.13", "2.0.9"), ver_lines(2, 0, 13)), ver_lines(2, 0, 9)));
    // Header and body in one read: the body comes from the carry-over, without a read().
    mcu.set_reply_pieces({}, std::chrono::milliseconds(0));
    mcu.set_reply_surplus({0x11, 0x22});
    EXPECT_EQ(check("2.0.13", &lines), 0);
    EXPECT_EQ(lines[1], "[UART - _serial_read]: uart read data [19]");
    EXPECT_EQ(lines[2], "[UART - serial_read]: uart have data 19+0<10 ");
    EXPECT_EQ(lines[3], "[ORNMCU - qvn_version_check]: firmware version : 2.0.13");
}

TEST_F(QueryTest, McuCheckConfirmsARunningApplication) {
    mcu.set_version("2.0.13");
    StdoutCapture out;
    EXPECT_EQ(qvn_mcu_check(), 0);
    Lines lines = out.lines();
    // The body is printed from its first byte, 0x4D ('M') included.
    EXPECT_EQ(own_lines(lines), (Lines{"[ORNMCU - qvn_mcu_check]: wait mcu run 3s...",
                                       "[ORNMCU - qvn_mcu_check]: mcu version : M2.0.13"}));
    EXPECT_EQ(mcu.wire(), kQuery);
}

TEST_F(QueryTest, McuCheckDiscardsBytesThatCameBeforeTheQuery) {
    mcu.set_version("2.0.13");
    std::thread early([this] {
        usleep(1000000);
        pty.send(std::string("\xAA\xAA\x01\x00\x15\x00\x00\x00\x00\x00", 10));
    });
    StdoutCapture out;
    int r = qvn_mcu_check();
    early.join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(own_lines(out.lines()).back(), "[ORNMCU - qvn_mcu_check]: mcu version : M2.0.13");
}

TEST_F(QueryTest, McuCheckFailsOnWrongCode) {
    mcu.set_reply_code(0x15);
    StdoutCapture out;
    EXPECT_EQ(qvn_mcu_check(), -1);
    EXPECT_EQ(own_lines(out.lines()), (Lines{"[ORNMCU - qvn_mcu_check]: wait mcu run 3s...",
                                             "[ORNMCU - qvn_mcu_check]: quorvane mcu run fail"}));
}

TEST_F(QueryTest, McuCheckFailsOnSilenceWithTheSerialResult) {
    mcu.set_app_silent(true);
    StdoutCapture out;
    EXPECT_EQ(qvn_mcu_check(), -1);
    EXPECT_EQ(own_lines(out.lines()), (Lines{"[ORNMCU - qvn_mcu_check]: wait mcu run 3s..."}));
}

TEST_F(QueryTest, McuCheckAcceptsAnEmptyBody) {
    mcu.set_reply_body({});
    StdoutCapture out;
    EXPECT_EQ(qvn_mcu_check(), 0);
    EXPECT_EQ(own_lines(out.lines()), (Lines{"[ORNMCU - qvn_mcu_check]: wait mcu run 3s...",
                                             "[ORNMCU - qvn_mcu_check]: mcu version : "}));
}

TEST_F(QueryTest, McuCheckReadsALongBody) {
    mcu.set_version("2.0.13-build.20261208-long-version-text");
    StdoutCapture out;
    EXPECT_EQ(qvn_mcu_check(), 0);
    EXPECT_EQ(own_lines(out.lines()).back(),
              "[ORNMCU - qvn_mcu_check]: mcu version : M2.0.13-build.20261208-long-version-text");
}

// A descriptor that cannot be written: the read end of a pipe.
struct UnwritableLine {
    int p[2];
    int saved;
    UnwritableLine() : saved(uart_fd) {
        if (pipe(p) != 0) p[0] = p[1] = -1;
        uart_fd = p[0];
    }
    ~UnwritableLine() {
        uart_fd = saved;
        close(p[0]);
        close(p[1]);
    }
};

TEST_F(QueryTest, QueryThatCannotBeWrittenIsNoVersionForTheGate) {
    UnwritableLine line;
    Lines lines;
    EXPECT_EQ(check("1.0.0", &lines), 0);
    EXPECT_EQ(lines, (Lines{"[UART - serial_write]: write ret = -1", "[UART - serial_write]: write error",
                            "[ORNMCU - qvn_version_check]: cannot get mcu version"}));
}

TEST_F(QueryTest, QueryThatCannotBeWrittenFailsTheMcuCheckWithoutItsOwnLine) {
    UnwritableLine line;
    StdoutCapture out;
    EXPECT_EQ(qvn_mcu_check(), -1);
    EXPECT_EQ(own_lines(out.lines()), Lines{"[ORNMCU - qvn_mcu_check]: wait mcu run 3s..."});
}

TEST_F(QueryTest, BodyThatNeverComesIsNoVersion) {
    mcu.set_version("2.0");  // 5 body bytes, 8 announced
    mcu.set_length_field(8);
    Lines lines;
    EXPECT_EQ(check("1.0.0", &lines), 0);
    EXPECT_EQ(own_lines(lines), Lines{"[ORNMCU - qvn_version_check]: cannot get mcu version"});
    EXPECT_EQ(lines[lines.size() - 2], "[UART - serial_read]: read data error");
}

TEST_F(QueryTest, BodyThatNeverComesFailsTheMcuCheck) {
    mcu.set_version("2.0");
    mcu.set_length_field(8);
    StdoutCapture out;
    EXPECT_EQ(qvn_mcu_check(), -1);
    EXPECT_EQ(own_lines(out.lines()), Lines{"[ORNMCU - qvn_mcu_check]: wait mcu run 3s..."});
}

TEST_F(QueryTest, McuCheckBodyBufferMissing) {
    mcu.set_version("2.0.13");  // 8 body bytes
    g_fail_min = 8;
    g_fail_max = 9;
    StdoutCapture out;
    EXPECT_EQ(qvn_mcu_check(), -1);
    g_fail_max = 0;
    EXPECT_EQ(own_lines(out.lines()), (Lines{"[ORNMCU - qvn_mcu_check]: wait mcu run 3s...",
                                             "[ORNMCU - qvn_mcu_check]: malloc mem failed"}));
}

}  // namespace
