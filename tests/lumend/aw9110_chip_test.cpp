// The AW9110 chip model through its device side alone (the 2-byte register writes and request
// 0x6B80 its driver node passes on): channels 0 and 9, levels 0 and 255, the enable, output,
// mode and run bits at the ends of their registers. (The write faults at their bounds are in
// boardsim's whole-report comparisons.)
#include <errno.h>

#include <gtest/gtest.h>

#include "aw9110_chip.h"

namespace {

using board::Aw9110Chip;

long put(Aw9110Chip& chip, uint8_t reg, uint8_t value) {
    const uint8_t w[2] = {reg, value};
    return chip.on_write(w, 2);
}

TEST(Aw9110Chip, LevelsOfTheFirstAndLastChannelAtBothEnds) {
    Aw9110Chip chip;
    EXPECT_EQ(put(chip, 0x20, 255), 2);
    EXPECT_EQ(put(chip, 0x29, 1), 2);
    EXPECT_EQ(chip.channel(0).level, 255);
    EXPECT_EQ(chip.channel(9).level, 1);
    EXPECT_EQ(put(chip, 0x29, 0), 2);
    EXPECT_EQ(chip.channel(9).level, 0);
    EXPECT_EQ(put(chip, 0x2A, 200), 2);  // beyond the last level register: no channel 10
    for (int n : {-1, 10}) {
        const board::ChannelView v = chip.channel(n);
        EXPECT_EQ(v.level, 0) << n;
        EXPECT_FALSE(v.enabled || v.output_on || v.sequence) << n;
    }
    for (int n = 1; n < 9; ++n) EXPECT_EQ(chip.channel(n).level, 0) << n;
}

TEST(Aw9110Chip, EnableOutputAndModeBitsAtTheEndsOfTheirRegisters) {
    Aw9110Chip chip;
    put(chip, 0x14, 0x61);  // channels 0 and 5; bit 6 names no channel
    put(chip, 0x03, 0x09);  // outputs of channels 0 and 3
    put(chip, 0x02, 0x06);  // output of channel 5; bit 2 names no channel
    for (int n = 0; n < 10; ++n) {
        EXPECT_EQ(chip.channel(n).enabled, n == 0 || n == 5) << n;
        EXPECT_EQ(chip.channel(n).output_on, n == 0 || n == 3 || n == 5) << n;
    }
    // The chip-timed sequence: the run bit, the channel's mode bit and its enable bit together.
    put(chip, 0x05, 0x01);
    put(chip, 0x04, 0x02);
    EXPECT_FALSE(chip.channel(0).sequence);
    put(chip, 0x11, 0x80);
    EXPECT_TRUE(chip.sequence_running());
    EXPECT_TRUE(chip.channel(0).sequence);
    EXPECT_TRUE(chip.channel(5).sequence);
    EXPECT_FALSE(chip.channel(3).sequence);  // enabled output, not in sequence mode
    put(chip, 0x11, 0x7F);
    EXPECT_FALSE(chip.sequence_running());
    EXPECT_FALSE(chip.channel(0).sequence);
}

TEST(Aw9110Chip, TakesOnlyTwoByteWritesAndThePrepareRequest) {
    Aw9110Chip chip;
    const uint8_t three[3] = {0x20, 9, 9};
    EXPECT_EQ(chip.on_write(three, 1), -EINVAL);
    EXPECT_EQ(chip.on_write(three, 3), -EINVAL);
    EXPECT_EQ(chip.reg(0x20), 0);
    EXPECT_EQ(chip.write_calls(), 2u);
    EXPECT_TRUE(chip.accepted_pairs().empty());
    EXPECT_EQ(chip.on_ioctl(0x6B80, 0), 0);
    EXPECT_EQ(chip.on_ioctl(0x6B81, 0), -ENOTTY);
    EXPECT_EQ(chip.ioctls(), std::vector<unsigned long>({0x6B80, 0x6B81}));
}

}  // namespace
