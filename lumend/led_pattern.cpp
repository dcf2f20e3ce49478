// LED pattern thread: the software running light, the chip-timed sequence, the alternating
// groups, and the off state, on chip 0.
#include "led_pattern.h"

#include <stdio.h>
#include <unistd.h>

#include "aw9110_lib.h"
#include "led_cmd.h"

static const int kChip = 0;
static const unsigned kRunningStepMs = 100;  // running light: one step per cycle
static const unsigned kSlowCycleMs = 1000;   // every other mode
static const uint8_t kHead = 255, kMid = 120, kTail = 10;
static const uint8_t kGroupA = 0x07;  // channels 0-2
static const uint8_t kGroupB = 0x38;  // channels 3-5

uint8_t g_ring_slots[LED_RING_SLOTS] = {kTail, kMid, kHead, 0, 0, 0, 0, 0, 0, 0};
const uint8_t g_ring_channel[LED_RING_SLOTS] = {1, 0, 2, 3, 4, 5, 6, 7, 8, 9};
// chip 0, channels 0-4, timing 0x08 / 0x18, per-channel values (channel 5 unused)
const uint8_t sequence_params[10] = {0x00, 0x1F, 0x08, 0x18, 0x01, 0x00, 0x02, 0x03, 0x04, 0x05};
// chip 0, channels 0-5, timing 0x12
const uint8_t toggle_params[3] = {0x00, 0x3F, 0x12};

void led_pattern_init(led_pattern_state* st) {
    st->sequence_on = false;
    st->toggle_on = false;
    st->toggle_phase = 0;
    st->delay_ms = kSlowCycleMs;
    st->head_slot = 0;
    st->mid_slot = 0;
    st->tail_slot = 0;
}

static void stop_patterns(led_pattern_state* st) {
    if (st->sequence_on) aw9110_stop_sequence(kChip);
    if (st->toggle_on) aw9110_disable_all(kChip);
}

static void running_light_frame(led_pattern_state* st) {
    stop_patterns(st);
    // Only slots 1-4 are wired to visible channels (0, 2, 3, 4).
    for (uint8_t s = 1; s <= 4; ++s) {
        uint8_t c = g_ring_channel[s], v = g_ring_slots[s];
        if (v == kHead) {
            aw9110_set_level(kChip, c, kHead);
            st->head_slot = s;
        } else if (v == kMid) {
            aw9110_set_level(kChip, c, kMid);
            st->mid_slot = s;
        } else if (v == kTail) {
            aw9110_set_level(kChip, c, kTail);
            g_ring_slots[s] = 0;
            st->tail_slot = s;
        } else {
            aw9110_set_level(kChip, c, 0);
        }
    }
    g_ring_slots[(st->head_slot + 1) % LED_RING_SLOTS] = kHead;
    g_ring_slots[(st->mid_slot + 1) % LED_RING_SLOTS] = kMid;
    g_ring_slots[(st->tail_slot + 1) % LED_RING_SLOTS] = kTail;
    st->sequence_on = false;
    st->toggle_on = false;
    st->delay_ms = kRunningStepMs;
}

unsigned led_pattern_cycle(led_pattern_state* st, uint8_t cmd) {
    switch (cmd) {
    case LED_CMD_RUNNING:
        running_light_frame(st);
        break;
    case LED_CMD_SEQUENCE:
        if (!st->sequence_on) {
            for (int n = 5; n <= 9; ++n) aw9110_set_level(kChip, n, 0);
            aw9110_start_sequence(sequence_params);
            st->sequence_on = true;
            st->delay_ms = kSlowCycleMs;
        }
        break;
    case LED_CMD_TOGGLE:
        if (!st->toggle_on) {
            for (int n = 6; n <= 9; ++n) aw9110_set_level(kChip, n, 0);
            aw9110_start_toggle(toggle_params);
        }
        aw9110_set_output_bits(kChip, kGroupA, st->toggle_phase);
        st->toggle_phase ^= 1;
        aw9110_set_output_bits(kChip, kGroupB, st->toggle_phase);
        st->toggle_on = true;
        st->delay_ms = kSlowCycleMs;
        break;
    default:
        puts("kavo : close led");
        stop_patterns(st);
        st->sequence_on = false;
        st->toggle_on = false;
        break;
    }
    return st->delay_ms;
}

void* led_pattern_thread(void*) {
    led_pattern_state st;
    led_pattern_init(&st);
    for (;;) {
        unsigned ms = led_pattern_cycle(&st, led_cmd_load());
        usleep(ms * 1000);
    }
    return NULL;
}
