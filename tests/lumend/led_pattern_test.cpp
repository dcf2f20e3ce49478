// Pattern thread cycles against the chip model: frames, set-ups, flips, the mode table.
#include <gtest/gtest.h>

#include <cstring>

#include "aw9110_lib.h"
#include "fake_chips.h"
#include "led_pattern.h"

using Pairs = std::vector<std::pair<uint8_t, uint8_t>>;

class LedPattern : public ::testing::Test {
protected:
    void SetUp() override {
        fake_chips::reset(&c0, &c1);
        const uint8_t ring[LED_RING_SLOTS] = {10, 120, 255, 0, 0, 0, 0, 0, 0, 0};
        memcpy(g_ring_slots, ring, sizeof ring);
        led_pattern_init(&st);
    }
    // Register writes made to chip 0 since the last call.
    Pairs take() {
        Pairs all = c0.accepted_pairs();
        Pairs fresh(all.begin() + static_cast<long>(seen), all.end());
        seen = all.size();
        return fresh;
    }
    unsigned cycle(uint8_t cmd, std::string* out = nullptr) {
        testing::internal::CaptureStdout();
        unsigned ms = led_pattern_cycle(&st, cmd);
        std::string s = testing::internal::GetCapturedStdout();
        if (out) *out = s;
        return ms;
    }
    board::Aw9110Chip c0, c1;
    led_pattern_state st;
    size_t seen = 0;
};

TEST_F(LedPattern, RunningLightCrossesTheVisibleSlotsOnce) {
    const Pairs frames[] = {
        {{0x20, 120}, {0x22, 255}, {0x23, 0}, {0x24, 0}},
        {{0x20, 10}, {0x22, 120}, {0x23, 255}, {0x24, 0}},
        {{0x20, 0}, {0x22, 10}, {0x23, 120}, {0x24, 255}},
        {{0x20, 0}, {0x22, 0}, {0x23, 10}, {0x24, 120}},
        {{0x20, 0}, {0x22, 0}, {0x23, 0}, {0x24, 10}},
        {{0x20, 0}, {0x22, 0}, {0x23, 0}, {0x24, 0}},
    };
    for (const auto& f : frames) {
        EXPECT_EQ(cycle(1), 100u);
        EXPECT_EQ(take(), f);
    }
    EXPECT_EQ(c1.write_calls(), 0u);
    // an off value right after: the line every cycle, no write, the 100 ms pause stays
    std::string out;
    EXPECT_EQ(cycle(0, &out), 100u);
    EXPECT_EQ(out, "kavo : close led\n");
    EXPECT_TRUE(take().empty());
}

TEST_F(LedPattern, SequenceStartsOnceThenTheChipRunsIt) {
    EXPECT_EQ(cycle(2), 1000u);
    Pairs w = take();
    ASSERT_EQ(w.size(), 19u);
    EXPECT_EQ(Pairs(w.begin(), w.begin() + 5), (Pairs{{0x25, 0}, {0x26, 0}, {0x27, 0}, {0x28, 0}, {0x29, 0}}));
    EXPECT_EQ(w.back(), (std::pair<uint8_t, uint8_t>{0x11, 0x80}));
    EXPECT_TRUE(c0.channel(0).sequence && c0.channel(4).sequence && !c0.channel(5).sequence);
    EXPECT_EQ(cycle(2), 1000u);
    EXPECT_TRUE(take().empty());
    // off: stops the sequence once, then only the line
    std::string out;
    cycle(7, &out);
    EXPECT_EQ(out, "kavo : close led\n");
    EXPECT_EQ(take(), (Pairs{{0x11, 0x00}, {0x14, 0x00}}));
    cycle(0xFF, &out);
    EXPECT_EQ(out, "kavo : close led\n");
    EXPECT_TRUE(take().empty());
    EXPECT_FALSE(c0.sequence_running());
}

TEST_F(LedPattern, ToggleGroupsAlternate) {
    EXPECT_EQ(cycle(3), 1000u);
    Pairs w = take();
    ASSERT_GE(w.size(), 6u);
    EXPECT_EQ(Pairs(w.begin(), w.begin() + 4), (Pairs{{0x26, 0}, {0x27, 0}, {0x28, 0}, {0x29, 0}}));
    // phase 0: channels 0-2 set, channels 3-5 cleared
    EXPECT_EQ(Pairs(w.end() - 3, w.end()), (Pairs{{0x03, 0x07}, {0x03, 0x07}, {0x02, 0x00}}));
    for (int ch = 0; ch < 6; ++ch) EXPECT_EQ(c0.channel(ch).output_on, ch < 3) << ch;
    cycle(3);
    EXPECT_EQ(take(), (Pairs{{0x03, 0x00}, {0x03, 0x08}, {0x02, 0x03}}));
    for (int ch = 0; ch < 6; ++ch) EXPECT_EQ(c0.channel(ch).output_on, ch >= 3) << ch;
    // off, then 3 again: the set-up runs again and the phase carries on
    cycle(0);
    EXPECT_EQ(take(), (Pairs{{0x14, 0x00}}));
    cycle(3);
    w = take();
    EXPECT_EQ(Pairs(w.begin(), w.begin() + 4), (Pairs{{0x26, 0}, {0x27, 0}, {0x28, 0}, {0x29, 0}}));
    EXPECT_EQ(Pairs(w.end() - 3, w.end()), (Pairs{{0x03, 0x07}, {0x03, 0x07}, {0x02, 0x00}}));
}

TEST_F(LedPattern, SequenceThenToggleThenSequence) {
    cycle(2);
    take();
    cycle(3);
    Pairs w = take();
    EXPECT_EQ(w.front(), (std::pair<uint8_t, uint8_t>{0x26, 0}));  // toggle set-up, no stop
    for (const auto& p : w) EXPECT_NE(p.first, 0x11);
    cycle(3);
    EXPECT_EQ(take().size(), 3u);
    EXPECT_EQ(cycle(2), 1000u);
    EXPECT_TRUE(take().empty());
    // command 1 now stops both patterns before its frame
    cycle(1);
    w = take();
    EXPECT_EQ(Pairs(w.begin(), w.begin() + 3), (Pairs{{0x11, 0x00}, {0x14, 0x00}, {0x14, 0x00}}));
    EXPECT_EQ(w.size(), 7u);
}

TEST_F(LedPattern, LatchedDriverStillCycles) {
    c0.fail_writes(1, 100000);
    for (int i = 0; i < 12; ++i) cycle(1);
    unsigned calls = c0.write_calls();
    EXPECT_EQ(calls, 40u);
    std::string out;
    EXPECT_EQ(cycle(2, &out), 1000u);
    EXPECT_EQ(cycle(9, &out), 1000u);
    EXPECT_EQ(out, "kavo : close led\n");
    EXPECT_EQ(c0.write_calls(), calls);
}
