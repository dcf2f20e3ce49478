// The current LED command: one byte written by the pipe reader, read by the pattern thread
// once per cycle. Relaxed atomic loads and stores (the compiler's builtins, no C++ library)
// keep that plain one-byte store/load without a data race.
#pragma once

#include <stdint.h>

enum {
    LED_CMD_RUNNING = 1,
    LED_CMD_SEQUENCE = 2,
    LED_CMD_TOGGLE = 3,
    LED_CMD_EXIT = 0xFF,
};

extern uint8_t g_led_cmd;

inline uint8_t led_cmd_load() { return __atomic_load_n(&g_led_cmd, __ATOMIC_RELAXED); }
inline void led_cmd_store(uint8_t v) { __atomic_store_n(&g_led_cmd, v, __ATOMIC_RELAXED); }
