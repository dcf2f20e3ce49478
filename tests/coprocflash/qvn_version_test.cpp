// Version frames: version_analysis on its own, and both query paths (the update gate and the
// check after the restart) over a real pty on which the test plays the MCU application.
// Sleeps are recorded, silent seconds scripted, calloc wrapped by the linker.
#include <gtest/gtest.h>

#include <algorithm>

#include "line_fakes.h"
#include "pty_pair.h"
#include "qvn_version.h"
#include "serial_port.h"
#include "stdout_capture.h"

// The next calloc of exactly this many bytes fails.
namespace {
size_t g_calloc_fail_size = 0;
}
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __wrap_calloc(size_t count, size_t size) {
    if (g_calloc_fail_size == 0 || count * size != g_calloc_fail_size) return __real_calloc(count, size);
    g_calloc_fail_size = 0;
    return nullptr;
}

namespace {

const std::string kQuery("\xAA\xAA\x01\x00\x06\x00\x00\x00\x00\x01\x4D", 11);

// A reply frame: header with the message code and the body length (that of body unless given).
std::string reply(const std::string& body, char code = 0x06, int length = -1) {
    const size_t len = length < 0 ? body.size() : static_cast<size_t>(length);
    return std::string{'\xAA', '\xAA', 1, 0, code, 0, 0, 0, static_cast<char>(len >> 8), static_cast<char>(len)} + body;
}
// The application's version body: one leading byte, the text, its NUL.
std::string v(const std::string& text) { return "M" + text + std::string(1, '\0'); }

Lines ver_lines(const int32_t n[3]) {
    Lines out;
    for (int i = 0; i < 3; ++i)
        out.push_back("[ORNMCU - version_analysis]: ver_num[" + std::to_string(i) + "] = " + std::to_string(n[i]));
    return out;
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
        int32_t n[3];
    } cases[] = {
        {"2.0.13", {2, 0, 13}}, {"1.10.0", {1, 10, 0}}, {"2.1", {2, 1, 0}}, {"v2.1.3", {0, 1, 3}},
        {"1..3", {1, 0, 3}},    {"", {0, 0, 0}},        {"7", {7, 0, 0}},   {"123456789.1.2", {123456789, 1, 2}},
        {" 4.-1.+5", {4, -1, 5}}, {"2.0.", {2, 0, 0}},
    };
    for (const auto& c : cases) {
        int r;
        Lines lines;
        Parsed p = parse(c.text, &r, &lines);
        EXPECT_EQ(r, 0) << c.text;
        EXPECT_EQ(std::vector<int32_t>(p.n, p.n + 4), (std::vector<int32_t>{c.n[0], c.n[1], c.n[2], 0x5A5A5A5A})) << c.text;
        EXPECT_EQ(lines, ver_lines(c.n)) << c.text;
        EXPECT_TRUE(qvn_version_valid(c.text)) << c.text;
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
}

// ---- the two query paths ----

class QueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        line_fakes::reset();
        StdoutCapture quiet;
        uart_fd = serial_open(pty.slave_path.c_str());
        ASSERT_GE(uart_fd, 0);
        ASSERT_EQ(serial_set_speed(uart_fd, 115200), 0);
    }
    void TearDown() override {
        EXPECT_EQ(line_fakes::script, "") << "silent seconds the test expected did not come";
        StdoutCapture quiet;
        serial_close(uart_fd);
    }
    // A line without the carry-over that a case before left behind.
    void fresh_line() {
        StdoutCapture quiet;
        serial_close(uart_fd);
        uart_fd = serial_open(pty.slave_path.c_str());
    }
    int check(const char* version, Lines* lines) {
        StdoutCapture out;
        int r = qvn_version_check(version);
        *lines = out.lines();
        return r;
    }
    PtyPair pty;
};

TEST_F(QueryTest, GateGoesAheadOnlyForAStrictlyNewerVersion) {
    struct Case {
        const char* cmdline;
        std::string body;
        int32_t want[3], mcu[3];
        int result;
    } cases[] = {
        {"1.10.0", v("1.9.9"), {1, 10, 0}, {1, 9, 9}, 0},
        {"2.0.13", v("2.0.9"), {2, 0, 13}, {2, 0, 9}, 0},
        {"2.0.1", v("2.0.1"), {2, 0, 1}, {2, 0, 1}, -1},
        {"2.0.0", v("2.0.1"), {2, 0, 0}, {2, 0, 1}, -1},
        {"2.0.2", v("2.0.1"), {2, 0, 2}, {2, 0, 1}, 0},
        {"1.99.99", v("2.0.1"), {1, 99, 99}, {2, 0, 1}, -1},
        {"3.0.0", v("2.9.9"), {3, 0, 0}, {2, 9, 9}, 0},
        {"2.1", v("2.0.9"), {2, 1, 0}, {2, 0, 9}, 0},
        {"2.1", v("2.1.0"), {2, 1, 0}, {2, 1, 0}, -1},
        {"v2", v("1..3"), {0, 0, 0}, {1, 0, 3}, -1},
        // Compared unsigned: -1 is the greatest component.
        {"-1.0.0", v("1.0.0"), {-1, 0, 0}, {1, 0, 0}, 0},
        {"1.0.0", v("-1.0.0"), {1, 0, 0}, {-1, 0, 0}, -1},
        // A body that fills the buffer with its NUL, and one of nine bytes that the zeroed buffer ends.
        {"2.10.100", v("2.10.100"), {2, 10, 100}, {2, 10, 100}, -1},
        {"2.0.1235", "M2.0.1234", {2, 0, 1235}, {2, 0, 1234}, 0},
    };
    for (const auto& c : cases) {
        fresh_line();
        pty.send(reply(c.body));
        Lines lines;
        EXPECT_EQ(check(c.cmdline, &lines), c.result) << c.cmdline << " against " << c.body;
        const std::string mcu_text = c.body.substr(1, c.body.find('\0') - 1);
        EXPECT_EQ(own_lines(lines), cat(cat({"[ORNMCU - qvn_version_check]: firmware version : " + std::string(c.cmdline),
                                             "[ORNMCU - qvn_version_check]: mcu version : " + mcu_text},
                                            ver_lines(c.want)),
                                        ver_lines(c.mcu)));
        EXPECT_EQ(pty.drain(), kQuery);
    }
}

TEST_F(QueryTest, GateGoesAheadWhenNoVersionCanBeRead) {
    struct Case {
        std::string on_line;
        std::string silence;
        Lines lines;  // before "cannot get mcu version"
    } cases[] = {
        {"", "TTTT", {}},
        {reply("", 0x15), "", {"[ORNMCU - qvn_get_version]: get version fail"}},
        {reply(""), "", {}},
        {reply(v("2.0"), 0x06, 8), "-TTTT", {}},  // the header comes, three body bytes never
        {reply(v("10.20.300")), "", {"[ORNMCU - qvn_get_version]: version body too long : 11"}},
        // ten bytes whose only NUL comes before the text
        {reply(std::string(1, '\0') + "2.10.1000"), "", {"[ORNMCU - qvn_get_version]: version body without end"}},
    };
    for (const auto& c : cases) {
        fresh_line();
        pty.send(c.on_line);
        line_fakes::script = c.silence;
        Lines lines;
        EXPECT_EQ(check("1.0.0", &lines), 0);
        EXPECT_EQ(own_lines(lines), cat(c.lines, {"[ORNMCU - qvn_version_check]: cannot get mcu version"})) << c.on_line.size();
        // Only a silent line ends in a serial failure; nothing else waits for it.
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "[UART - serial_read]: read data error"), c.silence.empty() ? 0 : 1)
            << ::testing::PrintToString(lines);
        EXPECT_EQ(pty.drain(), kQuery);
    }
}

TEST_F(QueryTest, EmptyBodyIsReadAndSoEmptiesTheCarryOver) {
    pty.send(reply("") + "\x11\x22");  // the surplus arrives with the header
    Lines lines;
    EXPECT_EQ(check("1.0.0", &lines), 0);
    pty.send("\x33\x44");
    uint8_t next[2] = {0, 0};
    StdoutCapture quiet;
    ASSERT_EQ(serial_read(uart_fd, next, 2), 0);
    EXPECT_EQ(next[0], 0x33);
}

TEST_F(QueryTest, QueryThatCannotBeWrittenIsNoVersionForTheGateAndFailsTheCheck) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int saved = uart_fd;
    uart_fd = p[0];  // the read end of a pipe cannot be written
    Lines lines;
    EXPECT_EQ(check("1.0.0", &lines), 0);
    EXPECT_EQ(lines, (Lines{"[UART - serial_write]: write ret = -1", "[UART - serial_write]: write error",
                            "[ORNMCU - qvn_version_check]: cannot get mcu version"}));
    StdoutCapture out;
    EXPECT_EQ(qvn_mcu_check(), -1);
    EXPECT_EQ(own_lines(out.lines()), Lines{"[ORNMCU - qvn_mcu_check]: wait mcu run 3s..."});
    uart_fd = saved;
    close(p[0]);
    close(p[1]);
}

TEST_F(QueryTest, McuCheckWaitsFlushesStaleInputAndAsks) {
    const std::string long_text(297, '7');
    struct Case {
        std::string on_line;  // the application's answer, after the flush
        std::string silence;
        size_t calloc_fails;
        int result;
        Lines lines;  // after the wait line
    } cases[] = {
        {reply(v("2.0.13")), "", 0, 0, {"[ORNMCU - qvn_mcu_check]: mcu version : M2.0.13"}},
        {reply(""), "", 0, 0, {"[ORNMCU - qvn_mcu_check]: mcu version : "}},
        {reply(v(long_text)), "", 0, 0, {"[ORNMCU - qvn_mcu_check]: mcu version : M" + long_text}},
        {reply("", 0x15), "", 0, -1, {"[ORNMCU - qvn_mcu_check]: quorvane mcu run fail"}},
        {"", "TTTT", 0, -1, {}},
        {reply(v("2.0"), 0x06, 8), "-TTTT", 0, -1, {}},
        {reply(v("2.0.13")), "", 9, -1, {"[ORNMCU - qvn_mcu_check]: malloc mem failed"}},
    };
    for (const auto& c : cases) {
        fresh_line();
        line_fakes::sleeps.clear();
        line_fakes::on_sleep = [&](unsigned s) {
            // A frame from before the restart lands during the start-up wait; the answer comes
            // only after the flush.
            pty.send(s == 3 ? reply("", 0x15) : c.on_line);
        };
        line_fakes::script = c.silence;
        g_calloc_fail_size = c.calloc_fails;
        StdoutCapture out;
        EXPECT_EQ(qvn_mcu_check(), c.result) << c.on_line.size();
        EXPECT_EQ(own_lines(out.lines()), cat({"[ORNMCU - qvn_mcu_check]: wait mcu run 3s..."}, c.lines));
        EXPECT_EQ(line_fakes::sleeps, (std::vector<unsigned>{3, 1}));
        EXPECT_EQ(pty.drain(), kQuery);
    }
}

}  // namespace
