// GPIO line control with system() wrapped by the linker: the exact command texts, the
// refusal of unknown pins and states, and the process exit when no shell can be started.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "mcu_gpio.h"
#include "stdout_capture.h"

using Lines = std::vector<std::string>;

namespace {
std::vector<std::string> g_commands;
int g_system_result = 0;
}  // namespace

extern "C" int __wrap_system(const char* cmd) {
    g_commands.push_back(cmd);
    return g_system_result;
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

}  // namespace
