// GPIO line control with system() wrapped by the linker, and on the interrupt path vfork() made
// a fork() whose child reports what execve() was given instead of starting it: the exact
// command texts on both paths, the refusal of unknown pins and states, and the process exit
// when no shell can be started. No shell ever runs here.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "mcu_gpio.h"
#include "stdout_capture.h"

namespace {
std::vector<std::string> g_commands;
int g_system_result = 0;
bool g_vfork_fails = false;
std::vector<pid_t> g_children, g_waited;
int g_exec_pipe[2] = {-1, -1};  // the children's reports
}  // namespace

extern "C" {
void __real__exit(int status);
int __wrap_system(const char* cmd) {
    g_commands.push_back(cmd);
    return g_system_result;
}
pid_t __wrap_vfork(void) {
    if (g_vfork_fails) return -1;
    pid_t pid = fork();
    if (pid > 0) g_children.push_back(pid);
    return pid;
}
// In the child: the program, its arguments and whether it got the tool's environment.
int __wrap_execve(const char* path, char* const argv[], char* const envp[]) {
    std::string report = path;
    for (int i = 0; argv[i] != nullptr; ++i) report += std::string("|") + argv[i];
    report += envp == environ ? "|environ\n" : "|other environment\n";
    if (write(g_exec_pipe[1], report.data(), report.size()) < 0) {
    }
    __real__exit(0);
    return -1;
}
pid_t __real_waitpid(pid_t pid, int* status, int options);
pid_t __wrap_waitpid(pid_t pid, int* status, int options) {
    pid_t r = __real_waitpid(pid, status, options);
    if (r > 0 && std::count(g_children.begin(), g_children.end(), r) == 1) g_waited.push_back(r);
    return r;
}
}

namespace {

const char kLine[] = "[MCU - mcu_gpio_config]: ";

class GpioTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_commands.clear();
        g_children.clear();
        g_waited.clear();
        g_system_result = 0;
        ASSERT_EQ(pipe(g_exec_pipe), 0);
    }
    void TearDown() override {
        close(g_exec_pipe[0]);
        close(g_exec_pipe[1]);
    }
    // What the children of the interrupt path were started with, one line each.
    Lines exec_reports() {
        close(g_exec_pipe[1]);
        g_exec_pipe[1] = -1;
        std::string all;
        char buf[1024];
        ssize_t n;
        while ((n = read(g_exec_pipe[0], buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
        Lines out;
        for (size_t pos = 0, nl; (nl = all.find('\n', pos)) != std::string::npos; pos = nl + 1) out.push_back(all.substr(pos, nl - pos));
        return out;
    }
};

TEST_F(GpioTest, EveryPinAndStateRunsItsCommandOnBothPaths) {
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
    g_system_result = 256;  // the shell ran and exited with 1: not the tool's concern
    Lines commands, lines, reports;
    StdoutCapture out;
    for (const auto& c : cases) {
        EXPECT_EQ(mcu_gpio_config(c.pin, c.state), 0);
        EXPECT_EQ(mcu_gpio_config_from_signal(c.pin, c.state), 0);
        commands.push_back(c.cmd);
        lines.insert(lines.end(), 2, kLine + commands.back());
        reports.push_back(std::string("/bin/sh|sh|-c|") + c.cmd + "|environ");
    }
    EXPECT_EQ(out.lines(), lines);
    EXPECT_EQ(g_commands, commands);
    EXPECT_EQ(exec_reports(), reports);
    EXPECT_EQ(g_children.size(), 15u);
    EXPECT_EQ(g_waited, g_children);
}

TEST_F(GpioTest, UnknownPinIsRefusedBeforeTheStateThenUnknownState) {
    StdoutCapture out;
    for (int state : {static_cast<int>(GPIO_STATE_HIGH), 4, 99}) EXPECT_EQ(mcu_gpio_config(0x4000, state), -1);
    for (int state : {0, 4, 17, 33}) EXPECT_EQ(mcu_gpio_config(MCU_PIN_BOOT, state), -1);
    // The interrupt path refuses the same silently.
    EXPECT_EQ(mcu_gpio_config_from_signal(0x4000, GPIO_STATE_IN), -1);
    EXPECT_EQ(mcu_gpio_config_from_signal(MCU_PIN_AUX, 4), -1);
    const std::string pin = "[MCU - mcu_gpio_config]: no this pin", state = "[MCU - mcu_gpio_config]: no this state";
    EXPECT_EQ(out.lines(), (Lines{pin, pin, pin, state, state, state, state}));
    EXPECT_TRUE(g_commands.empty());
    EXPECT_TRUE(g_children.empty());
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

}  // namespace
