// GPIO line control with system() (and the interrupt path's vfork, execve and waitpid)
// wrapped by the linker: the exact command texts, the refusal of unknown pins and states, and
// the process exit when no shell can be started. No real shell ever runs here.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "mcu_gpio.h"
#include "stdout_capture.h"

using Lines = std::vector<std::string>;

namespace {
std::vector<std::string> g_commands;
int g_system_result = 0;
}  // namespace

namespace {
constexpr pid_t kFakeChild = 424242;  // the parent's view of a shell that never really starts
bool g_vfork_fails = false;
int g_vforks = 0;
int g_waits = 0;
}  // namespace

extern "C" {
int __wrap_system(const char* cmd) {
    g_commands.push_back(cmd);
    return g_system_result;
}
pid_t __wrap_vfork(void) {
    ++g_vforks;
    return g_vfork_fails ? -1 : kFakeChild;
}
int __wrap_execve(const char*, char* const[], char* const[]) { return -1; }
pid_t __real_waitpid(pid_t pid, int* status, int options);
pid_t __wrap_waitpid(pid_t pid, int* status, int options) {
    if (pid != kFakeChild) return __real_waitpid(pid, status, options);  // GoogleTest's own children
    ++g_waits;
    *status = 0;
    return pid;
}
}

namespace {

class GpioTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_commands.clear();
        g_system_result = 0;
    }
};

TEST_F(GpioTest, EveryPinAndStateRunsItsCommand) {
    struct Case {
        int pin, state;
        const char* cmd;
    } cases[] = {
        {MCU_PIN_AUX, GPIO_STATE_HIGH, "echo high > /sys/class/gpio/gpio13/direction"},
        {MCU_PIN_AUX, GPIO_STATE_LOW, "echo low > /sys/class/gpio/gpio13/direction"},
        {MCU_PIN_AUX, GPIO_STATE_IN, "echo in > /sys/class/gpio/gpio13/direction"},
        {MCU_PIN_AUX, GPIO_STATE_EXPORT, "echo 13 > /sys/class/gpio/export"},
        {MCU_PIN_AUX, GPIO_STATE_UNEXPORT, "echo 13 > /sys/class/gpio/unexport"},
        {MCU_PIN_RESET, GPIO_STATE_HIGH, "echo high > /sys/class/gpio/gpio117/direction"},
        {MCU_PIN_RESET, GPIO_STATE_LOW, "echo low > /sys/class/gpio/gpio117/direction"},
        {MCU_PIN_RESET, GPIO_STATE_IN, "echo in > /sys/class/gpio/gpio117/direction"},
        {MCU_PIN_RESET, GPIO_STATE_EXPORT, "echo 117 > /sys/class/gpio/export"},
        {MCU_PIN_RESET, GPIO_STATE_UNEXPORT, "echo 117 > /sys/class/gpio/unexport"},
        {MCU_PIN_BOOT, GPIO_STATE_HIGH, "echo high > /sys/class/gpio/gpio119/direction"},
        {MCU_PIN_BOOT, GPIO_STATE_LOW, "echo low > /sys/class/gpio/gpio119/direction"},
        {MCU_PIN_BOOT, GPIO_STATE_IN, "echo in > /sys/class/gpio/gpio119/direction"},
        {MCU_PIN_BOOT, GPIO_STATE_EXPORT, "echo 119 > /sys/class/gpio/export"},
        {MCU_PIN_BOOT, GPIO_STATE_UNEXPORT, "echo 119 > /sys/class/gpio/unexport"},
    };
    for (const auto& c : cases) {
        g_commands.clear();
        StdoutCapture out;
        EXPECT_EQ(mcu_gpio_config(c.pin, c.state), 0);
        EXPECT_EQ(out.lines(), Lines{std::string("[MCU - mcu_gpio_config]: ") + c.cmd});
        EXPECT_EQ(g_commands, Lines{c.cmd});
    }
}

TEST_F(GpioTest, UnknownPinIsRefusedBeforeTheStateIsLookedAt) {
    for (int state : {static_cast<int>(GPIO_STATE_HIGH), 4, 99}) {
        StdoutCapture out;
        EXPECT_EQ(mcu_gpio_config(0x4000, state), -1);
        EXPECT_EQ(out.lines(), Lines{"[MCU - mcu_gpio_config]: no this pin"});
    }
    EXPECT_TRUE(g_commands.empty());
}

TEST_F(GpioTest, UnknownStateIsRefused) {
    for (int state : {0, 4, 17, 33}) {
        StdoutCapture out;
        EXPECT_EQ(mcu_gpio_config(MCU_PIN_BOOT, state), -1);
        EXPECT_EQ(out.lines(), Lines{"[MCU - mcu_gpio_config]: no this state"});
    }
    EXPECT_TRUE(g_commands.empty());
}

TEST_F(GpioTest, FailingCommandStillCountsAsDone) {
    g_system_result = 256;  // the shell ran and exited 1
    StdoutCapture quiet;
    EXPECT_EQ(mcu_gpio_config(MCU_PIN_AUX, GPIO_STATE_UNEXPORT), 0);
}

TEST_F(GpioTest, NoShellEndsTheProcessWithTheSystemResult) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            g_system_result = -1;
            mcu_gpio_config(MCU_PIN_RESET, GPIO_STATE_HIGH);
            fprintf(stderr, "returned\n");
            _exit(0);
        },
        ::testing::ExitedWithCode(255),
        "\\[MCU - mcu_gpio_config\\]: echo high > /sys/class/gpio/gpio117/direction\nset pin\\[117\\] state\\[1\\] fail\n$");
}

TEST_F(GpioTest, InterruptPathPrintsTheSameLinesAndWaitsForItsShell) {
    g_vforks = g_waits = 0;
    g_vfork_fails = false;
    const std::pair<int, int> calls[] = {{MCU_PIN_AUX, GPIO_STATE_IN}, {MCU_PIN_BOOT, GPIO_STATE_IN},
                                         {MCU_PIN_BOOT, GPIO_STATE_UNEXPORT}, {MCU_PIN_AUX, GPIO_STATE_UNEXPORT},
                                         {MCU_PIN_RESET, GPIO_STATE_UNEXPORT}, {MCU_PIN_RESET, GPIO_STATE_HIGH}};
    StdoutCapture out;
    for (const auto& c : calls) EXPECT_EQ(mcu_gpio_config_from_signal(c.first, c.second), 0);
    EXPECT_EQ(out.lines(), (Lines{"[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio13/direction",
                                  "[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio119/direction",
                                  "[MCU - mcu_gpio_config]: echo 119 > /sys/class/gpio/unexport",
                                  "[MCU - mcu_gpio_config]: echo 13 > /sys/class/gpio/unexport",
                                  "[MCU - mcu_gpio_config]: echo 117 > /sys/class/gpio/unexport",
                                  "[MCU - mcu_gpio_config]: echo high > /sys/class/gpio/gpio117/direction"}));
    EXPECT_EQ(g_vforks, 6);
    EXPECT_EQ(g_waits, 6);
    EXPECT_TRUE(g_commands.empty());  // system() is not used on this path
}

TEST_F(GpioTest, InterruptPathEndsTheProcessWhenItsShellCannotStart) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            g_vfork_fails = true;
            mcu_gpio_config_from_signal(MCU_PIN_BOOT, GPIO_STATE_UNEXPORT);
            fprintf(stderr, "returned\n");
            _exit(0);
        },
        ::testing::ExitedWithCode(255),
        "\\[MCU - mcu_gpio_config\\]: echo 119 > /sys/class/gpio/unexport\nset pin\\[119\\] state\\[32\\] fail\n$");
}

TEST_F(GpioTest, InterruptPathRefusesUnknownPinsAndStatesSilently) {
    g_vforks = 0;
    StdoutCapture out;
    EXPECT_EQ(mcu_gpio_config_from_signal(0x4000, GPIO_STATE_IN), -1);
    EXPECT_EQ(mcu_gpio_config_from_signal(MCU_PIN_AUX, 4), -1);
    EXPECT_EQ(out.lines(), Lines{});
    EXPECT_EQ(g_vforks, 0);
}

}  // namespace
