// LED pattern thread: animates chip 0 according to the current command, one cycle at a time.
#pragma once

#include <stdint.h>

struct led_pattern_state {
    bool sequence_on;
    bool toggle_on;
    uint8_t toggle_phase;
    unsigned delay_ms;
    uint8_t head_slot;
    uint8_t mid_slot;
    uint8_t tail_slot;
};

#define LED_RING_SLOTS 10
extern uint8_t g_ring_slots[LED_RING_SLOTS];
extern const uint8_t g_ring_channel[LED_RING_SLOTS];
extern const uint8_t sequence_params[10];
extern const uint8_t toggle_params[3];

void led_pattern_init(led_pattern_state* st);
// One cycle for command cmd, without the pause; returns the pause in milliseconds.
unsigned led_pattern_cycle(led_pattern_state* st, uint8_t cmd);
void* led_pattern_thread(void* arg);
