// AW9110 register driver: shadowed read-modify-writes, the retrying write primitive and its
// 20-failure latch, and the pattern set-ups of the chips' toggle and sequence engines.
#include "aw9110_lib.h"

#include <android/log.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define LOG_TAG "virtualMCU"

static const char* const kDevicePath[AW9110_CHIPS] = {"/dev/aw9110_1_dev", "/dev/aw9110_2_dev"};
// Driver request issued once per chip before its first register write.
static const unsigned long kPrepareRequest = 0x6B80;
// Attempts per register write, back to back.
static const int kWriteTries = 2;
// Consecutive failed writes (either chip) after which the driver refuses every write.
static const int kLatchLimit = 20;

int g_fd[AW9110_CHIPS] = {-1, -1};
int err_cnt = 0;

#define SHADOW_INIT                                                                              \
    {0x00, 0, 0x01, 0, 0x02, 0, 0x03, 0, 0x04, 0, 0x05, 0, 0x06, 0, 0x07, 0, 0x11, 0, 0x12, 0,   \
     0x13, 0, 0x14, 0, 0x15, 0, 0x16, 0, 0x17, 0, 0x18, 0, 0x19, 0, 0x1A, 0, 0x1B, 0, 0x1C, 0,   \
     0x20, 0, 0x21, 0, 0x22, 0, 0x23, 0, 0x24, 0, 0x25, 0, 0x26, 0, 0x27, 0, 0x28, 0, 0x29, 0,   \
     0x7F, 0}
uint8_t g_reg_shadow[AW9110_CHIPS][AW9110_SHADOW_PAIRS * 2] = {SHADOW_INIT, SHADOW_INIT};

int aw9110_white_reg(int fd, const uint8_t* buf, int len, int tries) {
    if (fd == -1) return AW9110_NOT_OPEN;
    if (buf == NULL) return AW9110_BAD_ARG;
    if (err_cnt > kLatchLimit - 1) return AW9110_WRITE_FAILED;
    for (int i = 0; i < tries; ++i) {
        if (write(fd, buf, (size_t)len) == (ssize_t)len) {
            err_cnt = 0;
            return AW9110_OK;
        }
    }
    err_cnt += 1;
    if (err_cnt == kLatchLimit)
        __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG,
                            "aw9110_white_reg:err_cnt > %d, please check the device then restart the aw9110_lib\n",
                            kLatchLimit);
    return AW9110_WRITE_FAILED;
}

// Stores value into the shadow pair and writes (address, value) to the chip.
static int put_reg(int fd, uint8_t* shadow, int pair, uint8_t value) {
    shadow[pair * 2 + 1] = value;
    return aw9110_white_reg(fd, &shadow[pair * 2], 2, kWriteTries);
}

static uint8_t reg(const uint8_t* shadow, int pair) { return shadow[pair * 2 + 1]; }

static int chip_fd(int chip) { return g_fd[chip]; }

int aw9110_prepare(int fd) {
    if (fd == -1) return AW9110_NOT_OPEN;
    ioctl(fd, kPrepareRequest);
    return AW9110_OK;
}

int aw9110_chip_init(int fd, uint8_t* shadow) {
    if (fd == -1) return AW9110_NOT_OPEN;
    if (shadow == NULL) return AW9110_BAD_ARG;
    aw9110_prepare(fd);
    int r = put_reg(fd, shadow, AW_PAIR_CFG_LO, reg(shadow, AW_PAIR_CFG_LO) & 0xF0);
    if (r) return r;
    r = put_reg(fd, shadow, AW_PAIR_CFG_HI, reg(shadow, AW_PAIR_CFG_HI) & 0xC0);
    if (r) return r;
    r = put_reg(fd, shadow, AW_PAIR_MODE_LO, reg(shadow, AW_PAIR_MODE_LO) & 0xF0);
    if (r) return r;
    return put_reg(fd, shadow, AW_PAIR_MODE_HI, reg(shadow, AW_PAIR_MODE_HI) & 0xC0);
}

int aw9110_set_enable_mask(int fd, uint8_t* shadow, uint8_t mask, int on) {
    if (shadow == NULL) return AW9110_BAD_ARG;
    mask &= 0x3F;
    if (mask == 0) return AW9110_OK;
    uint8_t v = reg(shadow, AW_PAIR_ENABLE);
    v = on ? (uint8_t)(v | mask) : (uint8_t)(v & ~mask);
    return put_reg(fd, shadow, AW_PAIR_ENABLE, v);
}

int aw9110_set_level(int chip, int channel, uint8_t level) {
    if (chip < 0 || chip >= AW9110_CHIPS || channel < 0 || channel >= AW9110_CHANNELS) return AW9110_BAD_ARG;
    if (chip_fd(chip) == -1) return AW9110_NOT_OPEN;
    return put_reg(chip_fd(chip), g_reg_shadow[chip], AW_PAIR_LEVEL0 + channel, level);
}

static uint8_t apply_bits(uint8_t v, uint8_t bits, int clear) {
    return clear ? (uint8_t)(v & ~bits) : (uint8_t)(v | bits);
}

int aw9110_set_output_bits(int chip, int mask, int clear) {
    if (chip < 0 || chip >= AW9110_CHIPS || mask < 0 || mask > 0x3F || clear < 0 || clear > 1) return AW9110_BAD_ARG;
    int fd = chip_fd(chip);
    if (fd == -1) return AW9110_NOT_OPEN;
    uint8_t* sh = g_reg_shadow[chip];
    int r = AW9110_OK;
    const uint8_t lo = (uint8_t)(mask & 0x0F), hi = (uint8_t)((mask >> 4) & 0x03);
    if (lo) {
        r = put_reg(fd, sh, AW_PAIR_OUT_LO, apply_bits(reg(sh, AW_PAIR_OUT_LO), lo, clear));
        if (r) return r;
    }
    if (hi) r = put_reg(fd, sh, AW_PAIR_OUT_HI, apply_bits(reg(sh, AW_PAIR_OUT_HI), hi, clear));
    return r;
}

int aw9110_disable_all(int chip) {
    if (chip < 0 || chip >= AW9110_CHIPS) return AW9110_BAD_ARG;
    if (chip_fd(chip) == -1) return AW9110_NOT_OPEN;
    return aw9110_set_enable_mask(chip_fd(chip), g_reg_shadow[chip], 0x3F, 0);
}

int aw9110_stop_sequence(int chip) {
    if (chip < 0 || chip >= AW9110_CHIPS) return AW9110_BAD_ARG;
    int fd = chip_fd(chip);
    if (fd == -1) return AW9110_NOT_OPEN;
    uint8_t* sh = g_reg_shadow[chip];
    int r = put_reg(fd, sh, AW_PAIR_SEQ_CTRL, reg(sh, AW_PAIR_SEQ_CTRL) & 0x7F);
    if (r) return r;
    return aw9110_set_enable_mask(fd, sh, 0x3F, 0);
}

// Steps shared by both set-ups: channels off, mode bits cleared, config bits cleared (toggle)
// or set (sequence), then the timing register.
static int pattern_prologue(int fd, uint8_t* sh, uint8_t mask, uint8_t timing, int set_cfg) {
    int r = aw9110_set_enable_mask(fd, sh, mask, 0);
    if (r) return r;
    uint8_t lo = mask & 0x0F, hi = (mask >> 4) & 0x03;
    if (lo) {
        if ((r = put_reg(fd, sh, AW_PAIR_MODE_LO, reg(sh, AW_PAIR_MODE_LO) & ~lo))) return r;
        if ((r = put_reg(fd, sh, AW_PAIR_CFG_LO, apply_bits(reg(sh, AW_PAIR_CFG_LO), lo, !set_cfg)))) return r;
    }
    if (hi) {
        if ((r = put_reg(fd, sh, AW_PAIR_MODE_HI, reg(sh, AW_PAIR_MODE_HI) & ~hi))) return r;
        if ((r = put_reg(fd, sh, AW_PAIR_CFG_HI, apply_bits(reg(sh, AW_PAIR_CFG_HI), hi, !set_cfg)))) return r;
    }
    return put_reg(fd, sh, AW_PAIR_TIMING, timing);
}

int aw9110_start_toggle(const uint8_t* block) {
    if (block == NULL || block[0] >= AW9110_CHIPS || block[1] > 0x3F) return AW9110_BAD_ARG;
    int fd = chip_fd(block[0]);
    if (fd == -1) return AW9110_NOT_OPEN;
    uint8_t* sh = g_reg_shadow[block[0]];
    uint8_t mask = block[1], lo = mask & 0x0F, hi = (mask >> 4) & 0x03;
    int r = pattern_prologue(fd, sh, mask, block[2], 0);
    if (r) return r;
    if (lo && (r = put_reg(fd, sh, AW_PAIR_OUT_LO, reg(sh, AW_PAIR_OUT_LO) & ~lo))) return r;
    if (hi && (r = put_reg(fd, sh, AW_PAIR_OUT_HI, reg(sh, AW_PAIR_OUT_HI) & ~hi))) return r;
    return aw9110_set_enable_mask(fd, sh, mask, 1);
}

int aw9110_start_sequence(const uint8_t* block) {
    if (block == NULL || block[0] >= AW9110_CHIPS || block[1] > 0x3F) return AW9110_BAD_ARG;
    int fd = chip_fd(block[0]);
    if (fd == -1) return AW9110_NOT_OPEN;
    uint8_t* sh = g_reg_shadow[block[0]];
    uint8_t mask = block[1];
    int r = pattern_prologue(fd, sh, mask, block[2], 1);
    if (r) return r;
    if ((r = put_reg(fd, sh, AW_PAIR_TIMING2, block[3]))) return r;
    for (int i = 0; i < 6; ++i)
        if ((mask & (1u << i)) && (r = put_reg(fd, sh, AW_PAIR_SEQ_CH0 + i, block[4 + i]))) return r;
    if ((r = aw9110_set_enable_mask(fd, sh, mask, 1))) return r;
    return put_reg(fd, sh, AW_PAIR_SEQ_CTRL, reg(sh, AW_PAIR_SEQ_CTRL) | 0x80);
}

int aw9110_open_devices(void) {
    if (g_fd[0] != -1 || g_fd[1] != -1) {
        printf("g_fd[0] =%d, g_fd[1] =%d\n", g_fd[0], g_fd[1]);
        return AW9110_ALREADY_OPEN;
    }
    g_fd[0] = open(kDevicePath[0], O_RDWR);
    if (g_fd[0] < 0) {
        __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "open aw9110_1_dev error");
        g_fd[0] = -1;
        return AW9110_OPEN_FAILED;
    }
    g_fd[1] = open(kDevicePath[1], O_RDWR);
    if (g_fd[1] < 0) {
        __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "open aw9110_2_dev error");
        close(g_fd[0]);  // the daemon ends now; leave no descriptor behind
        g_fd[0] = -1;
        g_fd[1] = -1;
        return AW9110_OPEN_FAILED;
    }
    aw9110_chip_init(g_fd[0], g_reg_shadow[0]);
    aw9110_chip_init(g_fd[1], g_reg_shadow[1]);
    return AW9110_OK;
}
