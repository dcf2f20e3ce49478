// End-to-end: SIGINT from the terminal at many moments of a run. The handler releases the
// lines, prints its line and ends with status 1, wherever it lands, and never inside a line.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "e2e_harness.h"

namespace e2e {
namespace {

// A whole line begins with one of the tool's openings and holds no other: a line that the
// handler's output was glued into carries the opening of a handler line after its start.
::testing::AssertionResult whole_line(const std::string& l) {
    static const char* const kGlued[] = {"[UART - ", "[MCU - ", "[ORNMCU - ", "close uart, exit success", "--------start", "--------end"};
    static const char* const kOther[] = {"read file", "will upgrade version", "mcu "};
    bool starts = false;
    for (const char* s : kGlued) {
        if (l.find(s, 1) != std::string::npos) return ::testing::AssertionFailure() << "glued line: " << l;
        starts = starts || l.rfind(s, 0) == 0;
    }
    for (const char* s : kOther) starts = starts || l.rfind(s, 0) == 0;
    if (starts) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "torn line: " << l;
}

// reset_high: the interrupt came while the reset pulse held the reset line high; the release
// then drives it low before it unexports it, and the MCU is not left held in reset.
void expect_interrupted_cleanly(Board& b, testbed::Process& p, bool reset_high = false) {
    // While a GPIO command's shell runs the tool ignores SIGINT (system() does): send again
    // until the tool ends.
    for (int i = 0; i < 200 && !p.exited(); ++i) {
        p.send_signal(SIGINT);
        testbed::wait_until([&] { return p.exited(); }, 100ms);
    }
    int status = p.wait_exit(10s);
    ASSERT_EQ(status, 1) << p.output();
    Lines lines = p.output_lines();
    EXPECT_EQ(count_of(lines, "--------end--------"), 0u);
    // The handler's release commands, then its line, last.
    Lines want = {"[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio13/direction",
                  "[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio119/direction",
                  "[MCU - mcu_gpio_config]: echo 119 > /sys/class/gpio/unexport",
                  "[MCU - mcu_gpio_config]: echo 13 > /sys/class/gpio/unexport",
                  "[MCU - mcu_gpio_config]: echo 117 > /sys/class/gpio/unexport", "close uart, exit success"};
    Lines want_writes = release_writes();
    if (reset_high) {
        want.insert(want.end() - 2, "[MCU - mcu_gpio_config]: echo low > /sys/class/gpio/gpio117/direction");
        want_writes.insert(want_writes.end() - 1, "gpio117/direction=low");
    }
    ASSERT_GE(lines.size(), want.size()) << p.output();
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(want.size()), lines.end()), want) << p.output();
    EXPECT_EQ(p.output().back(), '\n');
    for (const auto& l : lines) EXPECT_TRUE(whole_line(l));
    Lines writes = b.final_gpio_writes();
    ASSERT_GE(writes.size(), want_writes.size() + 3);
    EXPECT_EQ(Lines(writes.end() - static_cast<long>(want_writes.size()), writes.end()), want_writes);
    EXPECT_NE(b.mcu.mode(), board::McuModel::Mode::in_reset);
}

// The run's output in a log file, as an install script keeps it.
TEST(CoprocflashSignalE2E, InterruptDuringProgrammingReleasesAndEndsWithOne) {
    Board b{Board::Clock::real_time};
    b.stdout_to = testbed::RunOptions::Stdout::file;
    auto p = b.run({b.image("fw.bin", pattern(200 * 1024, 1)), "2.0.13"});
    ASSERT_TRUE(p);
    ASSERT_TRUE(testbed::wait_until(
        [&] { return count_of(p->output_lines(), "[MCU - mcu_update_programe]: write 256 byte") >= 10; }, kHappyRun))
        << p->output();
    expect_interrupted_cleanly(b, *p);
    EXPECT_GT(b.mcu.commands().size(), 8u);  // some frames were written before the interrupt
}

// Until the MCU set-up is done SIGINT keeps its default effect: an interrupt while the image
// loads ends the tool at once, before the line or the MCU is touched. The image is a FIFO, so
// the tool waits in its open until the test opens the other end (after the interrupt).
TEST(CoprocflashSignalE2E, InterruptBeforeTheMcuSetUpHasItsDefaultEffect) {
    Board b{Board::Clock::real_time};
    b.stdout_to = testbed::RunOptions::Stdout::pipe;
    const std::string fifo = b.bed.data_dir() + "/fw.bin";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto p = b.run({fifo, "2.0.13"});
    ASSERT_TRUE(p);
    ASSERT_TRUE(p->wait_output("will upgrade version : 2.0.13\n", 10s)) << p->output();
    p->send_signal(SIGINT);
    // An open that the preloads run with signals held back takes the interrupt when it returns.
    int writer = -1;
    EXPECT_TRUE(testbed::wait_until([&] {
        writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        return writer >= 0 || p->exited();
    }, 10s));
    EXPECT_EQ(p->wait_exit(10s), 128 + SIGINT) << p->output();
    if (writer >= 0) close(writer);
    EXPECT_EQ(p->output(), "--------start--------\nwill upgrade version : 2.0.13\n");
    EXPECT_TRUE(b.gpio.write_texts().empty());
    EXPECT_TRUE(b.mcu.wire().empty());
}

// Moments after the handler is installed, each reached by an event of the board, never by a
// time: the version query, the reset pulse of the bootloader entry, the bootloader's start, the
// erase, the restart pause, and the confirmation the restarted MCU is slow to answer.
struct Moment {
    const char* name;
    bool (*reached)(Board&, testbed::Process&);
    bool reset_high;  // the reset line is driven high at that moment
};
bool has_write(Board& b, const std::string& w) {
    auto t = b.gpio.write_texts();
    return std::find(t.begin(), t.end(), w) != t.end();
}
bool has_command(Board& b, uint8_t code) {
    for (const auto& c : b.mcu.commands())
        if (c.code == code) return true;
    return false;
}
const Moment kMoments[] = {
    {"version query", [](Board&, testbed::Process& p) { return p.output().find("[ORNMCU - qvn_version_check]") != std::string::npos; }, false},
    {"reset pulse", [](Board& b, testbed::Process&) { return has_write(b, "gpio117/direction=high"); }, true},
    {"bootloader start", [](Board& b, testbed::Process&) { return b.mcu.bootloader_entries() > 0; }, false},
    {"erase", [](Board& b, testbed::Process&) { return has_command(b, 0x44); }, false},
    {"restart pause", [](Board&, testbed::Process& p) { return p.output().find("wait mcu run 3s...") != std::string::npos; }, false},
    {"confirmation", [](Board& b, testbed::Process&) { return b.mcu.version_queries() > 1; }, false},
};

class InterruptAt : public ::testing::TestWithParam<size_t> {};

TEST_P(InterruptAt, ReleasesAndEndsWithOne) {
    const Moment& m = kMoments[GetParam()];
    SCOPED_TRACE(m.name);
    Board b{Board::Clock::real_time};
    b.mcu.set_version("2.0.9");
    b.mcu.set_app_silent_starts(1);  // the restarted MCU keeps the confirmation waiting
    auto p = b.run({b.image("fw.bin", pattern(64 * 1024, 2)), "2.0.13"});
    ASSERT_TRUE(p);
    ASSERT_TRUE(testbed::wait_until([&] { return m.reached(b, *p); }, kHappyRun)) << p->output();
    ASSERT_FALSE(p->exited()) << "the run ended before the interrupt:\n" << p->output();
    expect_interrupted_cleanly(b, *p, m.reset_high);
}

INSTANTIATE_TEST_SUITE_P(Moments, InterruptAt, ::testing::Range<size_t>(0, sizeof kMoments / sizeof kMoments[0]));

}  // namespace
}  // namespace e2e
