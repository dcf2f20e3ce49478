// AW9110 register driver: the daemon's only path to the two LED driver chips.
// Every access is a 2-byte (register, value) write; values come from a shadow table per chip.
#pragma once

#include <stdint.h>

enum {
    AW9110_OK = 0,
    AW9110_ALREADY_OPEN = 1,
    AW9110_NOT_OPEN = 2,
    AW9110_OPEN_FAILED = 3,
    AW9110_WRITE_FAILED = 5,
    AW9110_BAD_ARG = 6,
};

#define AW9110_CHIPS 2
#define AW9110_CHANNELS 10
#define AW9110_SHADOW_PAIRS 31

// Pair positions in the shadow table (register addresses in the comments).
enum {
    AW_PAIR_OUT_HI = 2,    // 0x02: outputs of channels 4-5 (bits 0-1)
    AW_PAIR_OUT_LO = 3,    // 0x03: outputs of channels 0-3 (bits 0-3)
    AW_PAIR_CFG_HI = 4,    // 0x04
    AW_PAIR_CFG_LO = 5,    // 0x05
    AW_PAIR_SEQ_CTRL = 8,  // 0x11: bit 7 runs the chip-timed sequence
    AW_PAIR_MODE_HI = 9,   // 0x12
    AW_PAIR_MODE_LO = 10,  // 0x13
    AW_PAIR_ENABLE = 11,   // 0x14: channel enable, mask bits 0-5
    AW_PAIR_TIMING = 12,   // 0x15
    AW_PAIR_TIMING2 = 13,  // 0x16
    AW_PAIR_SEQ_CH0 = 14,  // 0x17-0x1C: per-channel sequence values 0-5
    AW_PAIR_LEVEL0 = 20,   // 0x20-0x29: channel levels 0-9
};

extern int g_fd[AW9110_CHIPS];
extern uint8_t g_reg_shadow[AW9110_CHIPS][AW9110_SHADOW_PAIRS * 2];
extern int err_cnt;

int aw9110_white_reg(int fd, const uint8_t* buf, int len, int tries);
int aw9110_prepare(int fd);
int aw9110_chip_init(int fd, uint8_t* shadow);
int aw9110_set_enable_mask(int fd, uint8_t* shadow, uint8_t mask, int on);
int aw9110_set_level(int chip, int channel, uint8_t level);
int aw9110_set_output_bits(int chip, int mask, int clear);
int aw9110_disable_all(int chip);
int aw9110_stop_sequence(int chip);
int aw9110_start_toggle(const uint8_t* block);
int aw9110_start_sequence(const uint8_t* block);
int aw9110_open_devices(void);
