// The three GPIO lines to the MCU (boot-select, reset, auxiliary), steered through sysfs GPIO
// by one-line shell commands.
#pragma once

// Pin identifiers accepted by mcu_gpio_config.
enum {
    MCU_PIN_AUX = 0x1000,    // GPIO 13
    MCU_PIN_RESET = 0x2000,  // GPIO 117
    MCU_PIN_BOOT = 0x3000,   // GPIO 119
};

// State codes accepted by mcu_gpio_config.
enum {
    GPIO_STATE_HIGH = 1,
    GPIO_STATE_LOW = 2,
    GPIO_STATE_IN = 3,
    GPIO_STATE_EXPORT = 16,
    GPIO_STATE_UNEXPORT = 32,
};

// Runs the command for (pin, state) through system(): 0, or -1 for an unknown pin or state.
// Ends the process when system() itself fails.
int mcu_gpio_config(int pin, int state);

// The same command and line, run from the interrupt handler with async-signal-safe means only
// (write, vfork, execve, waitpid). A shell that cannot be started ends the process, as there.
int mcu_gpio_config_from_signal(int pin, int state);
