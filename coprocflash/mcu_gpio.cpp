// sysfs GPIO control of the MCU lines: pin and state tables, the command texts, and running
// them through the platform shell (system(), or vfork/execve on the interrupt path).
#include "mcu_gpio.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <errno.h>

#include "console_line.h"

extern char** environ;

namespace {

#ifdef __ANDROID__
const char kShell[] = "/system/bin/sh";
#else
const char kShell[] = "/bin/sh";
#endif

// The longest command (state 1, GPIO 119) is 45 characters.
constexpr size_t kCommandSize = 100;

int gpio_number(int pin) {
    switch (pin) {
    case MCU_PIN_AUX: return 13;
    case MCU_PIN_RESET: return 117;
    case MCU_PIN_BOOT: return 119;
    default: return -1;
    }
}

// A command is prefix, GPIO number, suffix.
struct CommandText {
    const char* prefix;
    const char* suffix;
};

bool command_text(int state, CommandText* out) {
    switch (state) {
    case GPIO_STATE_HIGH: *out = {"echo high > /sys/class/gpio/gpio", "/direction"}; return true;
    case GPIO_STATE_LOW: *out = {"echo low > /sys/class/gpio/gpio", "/direction"}; return true;
    case GPIO_STATE_IN: *out = {"echo in > /sys/class/gpio/gpio", "/direction"}; return true;
    case GPIO_STATE_EXPORT: *out = {"echo ", " > /sys/class/gpio/export"}; return true;
    case GPIO_STATE_UNEXPORT: *out = {"echo ", " > /sys/class/gpio/unexport"}; return true;
    default: return false;
    }
}

// A line built without stdio or the heap, for the interrupt path.
struct SafeLine {
    char buf[200];
    size_t len = 0;
    void add(const char* s) {
        while (*s && len < sizeof buf - 1) buf[len++] = *s++;
        buf[len] = '\0';
    }
    void add(int v) {
        char digits[12];
        int n = 0;
        unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (v < 0) digits[n++] = '-';
        while (n > 0 && len < sizeof buf - 1) buf[len++] = digits[--n];
        buf[len] = '\0';
    }
    void emit() const {
        size_t off = 0;
        while (off < len) {
            ssize_t n = write(STDOUT_FILENO, buf + off, len - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }
};

}  // namespace

int mcu_gpio_config(int pin, int state) {
    int gpio = gpio_number(pin);
    if (gpio < 0) {
        con_printf("[MCU - %s]: no this pin\n", __func__);
        return -1;
    }
    CommandText text;
    if (!command_text(state, &text)) {
        con_printf("[MCU - %s]: no this state\n", __func__);
        return -1;
    }
    char cmd[kCommandSize];
    snprintf(cmd, sizeof cmd, "%s%d%s", text.prefix, gpio, text.suffix);
    con_printf("[MCU - %s]: %s\n", __func__, cmd);
    int r = system(cmd);
    if (r < 0) {
        con_printf("set pin[%d] state[%d] fail\n", gpio, state);
        exit(r);
    }
    return 0;
}

int mcu_gpio_config_from_signal(int pin, int state) {
    int gpio = gpio_number(pin);
    CommandText text;
    if (gpio < 0 || !command_text(state, &text)) return -1;
    SafeLine cmd;
    cmd.add(text.prefix);
    cmd.add(gpio);
    cmd.add(text.suffix);
    SafeLine line;
    line.add("[MCU - mcu_gpio_config]: ");
    line.add(cmd.buf);
    line.add("\n");
    line.emit();

    // Built before vfork(): nothing held in registers is used once the child has run.
    SafeLine fail;
    fail.add("set pin[");
    fail.add(gpio);
    fail.add("] state[");
    fail.add(state);
    fail.add("] fail\n");

    char arg0[] = "sh";
    char arg1[] = "-c";
    char* argv[] = {arg0, arg1, cmd.buf, nullptr};
    pid_t pid = vfork();
    if (pid == 0) {
        execve(kShell, argv, environ);
        _exit(127);
    }
    if (pid < 0) {
        // As on the normal path, a shell that cannot be started ends the process at once with
        // the -1 that system() reports for it.
        fail.emit();
        _exit(-1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}
