// The current LED command: one byte written by the pipe reader, read by the pattern thread
// once per cycle. A relaxed atomic byte keeps that plain store/load without a data race.
#pragma once

#include <atomic>
#include <stdint.h>

enum {
    LED_CMD_RUNNING = 1,
    LED_CMD_SEQUENCE = 2,
    LED_CMD_TOGGLE = 3,
    LED_CMD_EXIT = 0xFF,
};

extern std::atomic<uint8_t> g_led_cmd;

inline uint8_t led_cmd_load() { return g_led_cmd.load(std::memory_order_relaxed); }
inline void led_cmd_store(uint8_t v) { g_led_cmd.store(v, std::memory_order_relaxed); }
