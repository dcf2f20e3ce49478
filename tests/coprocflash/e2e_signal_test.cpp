// End-to-end: SIGINT from the terminal at many moments of a run. The handler releases the
// lines, prints its line and ends with status 1, wherever it lands, and never inside a line.
#include <signal.h>

#include <thread>

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

void expect_interrupted_cleanly(Board& b, testbed::Process& p) {
    // While a GPIO command's shell runs the tool ignores SIGINT (system() does): send again
    // until the tool ends.
    for (int i = 0; i < 200 && !p.exited(); ++i) {
        p.send_signal(SIGINT);
        testbed::wait_until([&] { return p.exited(); }, 100ms);
    }
    int status = p.wait_exit(10s);
    ASSERT_EQ(status, 1) << p.output();
    Lines lines = p.output_lines();
    ASSERT_GE(lines.size(), 6u) << p.output();
    EXPECT_EQ(count_of(lines, "--------end--------"), 0u);
    // The handler's release commands, then its line, last.
    EXPECT_EQ(Lines(lines.end() - 6, lines.end()),
              (Lines{"[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio13/direction",
                     "[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio119/direction",
                     "[MCU - mcu_gpio_config]: echo 119 > /sys/class/gpio/unexport",
                     "[MCU - mcu_gpio_config]: echo 13 > /sys/class/gpio/unexport",
                     "[MCU - mcu_gpio_config]: echo 117 > /sys/class/gpio/unexport", "close uart, exit success"}))
        << p.output();
    EXPECT_EQ(p.output().back(), '\n');
    for (const auto& l : lines) EXPECT_TRUE(whole_line(l));
    Lines writes = b.final_gpio_writes();
    ASSERT_GE(writes.size(), 8u);
    EXPECT_EQ(Lines(writes.end() - 5, writes.end()), release_writes());
}

TEST(CoprocflashSignalE2E, InterruptDuringProgrammingReleasesAndEndsWithOne) {
    Board b;
    auto p = b.run({b.image("fw.bin", pattern(200 * 1024, 1)), "2.0.13"});
    ASSERT_TRUE(p);
    ASSERT_TRUE(testbed::wait_until(
        [&] { return count_of(p->output_lines(), "[MCU - mcu_update_programe]: write 256 byte") >= 10; }, kHappyRun))
        << p->output();
    expect_interrupted_cleanly(b, *p);
    EXPECT_GT(b.mcu.commands().size(), 8u);  // some frames were written before the interrupt
}

// Moments after the handler is installed (the last export is done): during the bootloader
// entry's reset pulse, the sync and erase, the restart pause, the confirmation.
class InterruptAt : public ::testing::TestWithParam<int> {};

TEST_P(InterruptAt, ReleasesAndEndsWithOne) {
    Board b;
    b.mcu.set_version("2.0.9");
    auto p = b.run({b.image("fw.bin", pattern(64 * 1024, 2)), "2.0.13"});
    ASSERT_TRUE(p);
    ASSERT_TRUE(p->wait_output("[ORNMCU - qvn_version_check]", kHappyRun)) << p->output();
    std::this_thread::sleep_for(std::chrono::milliseconds(GetParam()));
    if (p->exited()) GTEST_SKIP() << "the run ended before this moment";
    expect_interrupted_cleanly(b, *p);
}

INSTANTIATE_TEST_SUITE_P(Moments, InterruptAt, ::testing::Values(0, 1100, 2300, 2900, 4600, 7900));

}  // namespace
}  // namespace e2e
