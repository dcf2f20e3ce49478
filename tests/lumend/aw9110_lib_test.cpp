// Register driver against the chip model: result codes, write order, shadow, retries, latch.
#include <gtest/gtest.h>

#include <functional>

#include "aw9110_lib.h"
#include "fake_chips.h"
#include "stdout_capture.h"

using Pairs = std::vector<std::pair<uint8_t, uint8_t>>;

class Aw9110Lib : public ::testing::Test {
protected:
    void SetUp() override { fake_chips::reset(&c0, &c1); }
    void fill_shadow1(uint8_t v) {
        for (int p = 0; p < AW9110_SHADOW_PAIRS; ++p) g_reg_shadow[1][p * 2 + 1] = v;
    }
    board::Aw9110Chip c0, c1;
};

TEST_F(Aw9110Lib, ClosedChipAndBadArgumentsTouchNoDevice) {
    g_fd[0] = -1;
    uint8_t blk[10] = {0, 0x1F};
    EXPECT_EQ(aw9110_set_level(0, 1, 5), 2);
    EXPECT_EQ(aw9110_set_output_bits(0, 0x07, 0), 2);
    EXPECT_EQ(aw9110_disable_all(0), 2);
    EXPECT_EQ(aw9110_stop_sequence(0), 2);
    EXPECT_EQ(aw9110_start_toggle(blk), 2);
    EXPECT_EQ(aw9110_start_sequence(blk), 2);
    EXPECT_EQ(aw9110_chip_init(-1, g_reg_shadow[0]), 2);
    EXPECT_EQ(aw9110_prepare(-1), 2);
    uint8_t w[2] = {0x20, 1};
    EXPECT_EQ(aw9110_white_reg(-1, w, 2, 2), 2);
    // argument checks come before the descriptor check
    EXPECT_EQ(aw9110_set_level(0, 10, 5), 6);
    EXPECT_EQ(aw9110_set_level(2, 0, 5), 6);
    EXPECT_EQ(aw9110_set_output_bits(1, 0x40, 0), 6);
    EXPECT_EQ(aw9110_set_output_bits(1, 0x107, 0), 6);  // not cut to its low byte 0x07
    EXPECT_EQ(aw9110_set_output_bits(1, 0x01, 2), 6);
    EXPECT_EQ(aw9110_start_toggle(nullptr), 6);
    uint8_t bad_chip[10] = {2, 0x01}, bad_mask[10] = {1, 0x40};
    EXPECT_EQ(aw9110_start_sequence(bad_chip), 6);
    EXPECT_EQ(aw9110_start_sequence(bad_mask), 6);
    EXPECT_EQ(aw9110_start_toggle(bad_mask), 6);
    EXPECT_EQ(aw9110_white_reg(fake_chips::kFd1, nullptr, 2, 2), 6);
    EXPECT_EQ(aw9110_chip_init(fake_chips::kFd1, nullptr), 6);
    EXPECT_EQ(aw9110_set_enable_mask(fake_chips::kFd1, nullptr, 0x01, 1), 6);
    // nothing left in bits 0-5: no write
    EXPECT_EQ(aw9110_set_enable_mask(fake_chips::kFd1, g_reg_shadow[1], 0x40, 1), 0);
    EXPECT_EQ(c0.write_calls() + c1.write_calls(), 0u);
    EXPECT_TRUE(c0.ioctls().empty() && c1.ioctls().empty());
    EXPECT_EQ(err_cnt, 0);
}

TEST_F(Aw9110Lib, OutputBitsAndEnableMaskFromTheShadow) {
    EXPECT_EQ(aw9110_set_output_bits(1, 0x3F, 0), 0);
    EXPECT_EQ(aw9110_set_output_bits(1, 0x38, 1), 0);
    EXPECT_EQ(aw9110_set_output_bits(1, 0x07, 1), 0);
    EXPECT_EQ(aw9110_set_output_bits(1, 0x00, 0), 0);
    EXPECT_EQ(c1.accepted_pairs(), (Pairs{{0x03, 0x0F}, {0x02, 0x03}, {0x03, 0x07}, {0x02, 0x00}, {0x03, 0x00}}));
    EXPECT_EQ(aw9110_set_enable_mask(fake_chips::kFd1, g_reg_shadow[1], 0xFF, 1), 0);
    EXPECT_EQ(aw9110_set_enable_mask(fake_chips::kFd1, g_reg_shadow[1], 0x05, 0), 0);
    EXPECT_EQ(c1.reg(0x14), 0x3A);
    EXPECT_EQ(c0.write_calls(), 0u);
}

// The daemon only ever sets these up from a zero shadow and never with channel 5 in a
// sequence: here every other bit is set, so only the bits the mask names may change.
TEST_F(Aw9110Lib, InitAndSetUpsChangeOnlyTheirOwnBits) {
    fill_shadow1(0x5A);
    EXPECT_EQ(aw9110_chip_init(fake_chips::kFd1, g_reg_shadow[1]), 0);
    fill_shadow1(0x5A);
    const uint8_t seq[10] = {1, 0x3F, 0x08, 0x18, 1, 2, 3, 4, 5, 6}, tog[3] = {1, 0x21, 0x12};
    EXPECT_EQ(aw9110_start_sequence(seq), 0);
    EXPECT_EQ(aw9110_stop_sequence(1), 0);
    fill_shadow1(0xFF);
    EXPECT_EQ(aw9110_start_toggle(tog), 0);
    EXPECT_EQ(c1.accepted_pairs(),
              (Pairs{{0x05, 0x50}, {0x04, 0x40}, {0x13, 0x50}, {0x12, 0x40},  // init
                     {0x14, 0x40}, {0x13, 0x50}, {0x05, 0x5F}, {0x12, 0x58}, {0x04, 0x5B}, {0x15, 0x08}, {0x16, 0x18},
                     {0x17, 1}, {0x18, 2}, {0x19, 3}, {0x1A, 4}, {0x1B, 5}, {0x1C, 6}, {0x14, 0x7F}, {0x11, 0xDA},
                     {0x11, 0x5A}, {0x14, 0x40},  // stop
                     {0x14, 0xDE}, {0x13, 0xFE}, {0x05, 0xFE}, {0x12, 0xFD}, {0x04, 0xFD}, {0x15, 0x12},
                     {0x03, 0xFE}, {0x02, 0xFD}, {0x14, 0xFF}}));
    EXPECT_EQ(c1.ioctls(), (std::vector<unsigned long>{0x6B80}));
}

TEST_F(Aw9110Lib, MultiWriteOperationsStopAtTheirFirstFailedWrite) {
    const uint8_t seq[10] = {1, 0x3F, 0x08, 0x18, 1, 2, 3, 4, 5, 6}, tog[3] = {1, 0x3F, 0x12};
    const std::function<int()> ops[] = {
        [&] { return aw9110_start_sequence(seq); }, [&] { return aw9110_start_toggle(tog); },
        [] { return aw9110_chip_init(fake_chips::kFd1, g_reg_shadow[1]); }, [] { return aw9110_stop_sequence(1); },
        [] { return aw9110_set_output_bits(1, 0x3F, 0); }};
    for (const auto& op : ops) {
        board::Aw9110Chip whole;
        fake_chips::reset(&c0, &whole);
        ASSERT_EQ(op(), 0);
        const Pairs all = whole.accepted_pairs();
        for (unsigned k = 1; k <= all.size(); ++k) {
            board::Aw9110Chip c;
            fake_chips::reset(&c0, &c);
            c.fail_writes(k, k + 1);  // both attempts at the k-th register write fail
            EXPECT_EQ(op(), 5) << k;
            EXPECT_EQ(c.write_calls(), k + 1) << k;
            EXPECT_EQ(c.accepted_pairs(), Pairs(all.begin(), all.begin() + k - 1)) << k;
        }
    }
}

TEST_F(Aw9110Lib, ShortWriteIsSentWholeAgainAndFailedValueStaysInTheShadow) {
    c0.short_writes(1, 1);
    EXPECT_EQ(aw9110_set_level(0, 3, 77), 0);
    ASSERT_EQ(c0.write_calls(), 2u);
    EXPECT_EQ(c0.writes()[1].bytes, (std::vector<uint8_t>{0x23, 77}));
    c0.fail_writes(3, 4);
    EXPECT_EQ(aw9110_set_level(0, 4, 9), 5);
    EXPECT_EQ(err_cnt, 1);
    EXPECT_EQ(g_reg_shadow[0][(AW_PAIR_LEVEL0 + 4) * 2 + 1], 9);
}

TEST_F(Aw9110Lib, LatchAfterTwentyFailedCallsInARow) {
    c0.fail_writes(1, 1000);
    for (int i = 0; i < 19; ++i) EXPECT_EQ(aw9110_set_level(0, 0, 1), 5);
    // a success before the twentieth failure resets the count
    c0.fail_writes(0, 0);
    EXPECT_EQ(aw9110_set_level(0, 0, 1), 0);
    EXPECT_EQ(err_cnt, 0);
    c0.fail_writes(1, 1000);
    for (int i = 0; i < 19; ++i) aw9110_set_level(0, 0, 1);
    EXPECT_TRUE(fake_chips::android_log.empty());
    const unsigned before = c0.write_calls();
    // failures on either chip count together
    c1.fail_writes(1, 1000);
    EXPECT_EQ(aw9110_set_level(1, 0, 1), 5);
    EXPECT_EQ(c1.write_calls(), 2u);
    // latched: no device access, no more log lines, even when the chip would take the write
    c0.fail_writes(0, 0);
    EXPECT_EQ(aw9110_set_level(0, 0, 2), 5);
    EXPECT_EQ(aw9110_disable_all(0), 5);
    EXPECT_EQ(c0.write_calls(), before);
    EXPECT_EQ(fake_chips::android_log,
              (std::vector<std::string>{
                  "3 virtualMCU aw9110_white_reg:err_cnt > 20, please check the device then restart the aw9110_lib\n"}));
    EXPECT_EQ(g_reg_shadow[0][AW_PAIR_LEVEL0 * 2 + 1], 2);
}

TEST_F(Aw9110Lib, OpenDevices) {
    g_fd[0] = g_fd[1] = -1;
    fake_chips::fail_open[1] = true;
    EXPECT_EQ(aw9110_open_devices(), 3);
    EXPECT_EQ(fake_chips::closed_fds, (std::vector<int>{fake_chips::kFd0}));
    EXPECT_EQ(g_fd[0], -1);
    EXPECT_EQ(g_fd[1], -1);
    fake_chips::fail_open[1] = false;
    fake_chips::fail_open[0] = true;
    EXPECT_EQ(aw9110_open_devices(), 3);
    fake_chips::fail_open[0] = false;
    EXPECT_EQ(aw9110_open_devices(), 0);
    StdoutCapture out;
    EXPECT_EQ(aw9110_open_devices(), 1);
    EXPECT_EQ(out.text(), "g_fd[0] =900, g_fd[1] =901\n");
    EXPECT_EQ(c0.ioctls().size(), 1u);
    EXPECT_EQ(c1.accepted_pairs().size(), 4u);
}
