// End-to-end: SIGINT from the terminal at many moments of a run. The handler releases the
// lines, closes the serial line, prints its line and ends with status 1, wherever it lands.
#include <signal.h>

#include <thread>

#include "e2e_harness.h"

namespace e2e {
namespace {

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
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "close uart, exit success") << p.output();
    EXPECT_EQ(count_of(lines, "--------end--------"), 0u);
    // The handler's release commands come right before its line.
    Lines tail(lines.end() - 6, lines.end() - 1);
    EXPECT_EQ(tail, (Lines{"[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio13/direction",
                           "[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio119/direction",
                           "[MCU - mcu_gpio_config]: echo 119 > /sys/class/gpio/unexport",
                           "[MCU - mcu_gpio_config]: echo 13 > /sys/class/gpio/unexport",
                           "[MCU - mcu_gpio_config]: echo 117 > /sys/class/gpio/unexport"}))
        << p.output();
    // Every output line is whole: nothing the handler printed cut into another line.
    for (const auto& l : lines)
        EXPECT_TRUE(l.rfind("[", 0) == 0 || l.rfind("--------", 0) == 0 || l.rfind("read file", 0) == 0 ||
                    l.rfind("will upgrade", 0) == 0 || l == "close uart, exit success" || l.rfind("mcu ", 0) == 0)
            << "torn line: " << l;
    Lines writes = b.final_gpio_writes();
    ASSERT_GE(writes.size(), 8u);
    Lines last(writes.end() - 5, writes.end());
    EXPECT_EQ(last, release_writes());
    Lines log = b.e2e_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "close tty");
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

// Moments after the handler is installed (the last export is done): during the version
// query, the reset pulse, the sync, the erase, the frames, the restart pause, the confirmation.
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

INSTANTIATE_TEST_SUITE_P(Moments, InterruptAt, ::testing::Values(0, 30, 300, 1100, 2050, 2300, 2600, 2900, 3400, 4600, 6000, 7900));

}  // namespace
}  // namespace e2e
