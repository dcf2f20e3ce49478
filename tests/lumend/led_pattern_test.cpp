// Pattern thread cycles against the chip model: frames, set-ups, flips, the mode table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "aw9110_lib.h"
#include "fake_chips.h"
#include "led_pattern.h"
#include "stdout_capture.h"

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
    // One cycle; what it printed is left in out.
    unsigned cycle(uint8_t cmd) {
        StdoutCapture cap;
        unsigned ms = led_pattern_cycle(&st, cmd);
        out = cap.text();
        return ms;
    }
    board::Aw9110Chip c0, c1;
    led_pattern_state st;
    size_t seen = 0;
    std::string out;
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
    // an off value held right after: the line every cycle, no write, the 100 ms pause stays
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cycle(0), 100u);
        EXPECT_EQ(out, "kavo : close led\n");
    }
    EXPECT_TRUE(take().empty());
}

TEST_F(LedPattern, SequenceStartsOnceThenTheChipRunsIt) {
    EXPECT_EQ(cycle(2), 1000u);
    EXPECT_EQ(take(), (Pairs{{0x25, 0}, {0x26, 0}, {0x27, 0}, {0x28, 0}, {0x29, 0},
                             {0x14, 0x00}, {0x13, 0x00}, {0x05, 0x0F}, {0x12, 0x00}, {0x04, 0x01}, {0x15, 0x08}, {0x16, 0x18},
                             {0x17, 1}, {0x18, 0}, {0x19, 2}, {0x1A, 3}, {0x1B, 4}, {0x14, 0x1F}, {0x11, 0x80}}));
    EXPECT_EQ(cycle(2), 1000u);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(out, "");
    // off: stops the sequence once, then only the line
    cycle(7);
    EXPECT_EQ(out, "kavo : close led\n");
    EXPECT_EQ(take(), (Pairs{{0x11, 0x00}, {0x14, 0x00}}));
    EXPECT_EQ(cycle(0xFF), 1000u);
    EXPECT_EQ(out, "kavo : close led\n");
    EXPECT_TRUE(take().empty());
}

// 2, then 3 three times, 2, 1, 3: the toggle set-up runs without stopping the sequence, the
// return to 2 writes nothing, 1 stops both, and the groups go on from the phase they reached.
TEST_F(LedPattern, ToggleGroupsAlternateAndKeepTheirPhaseAcrossModes) {
    const Pairs setup{{0x26, 0}, {0x27, 0}, {0x28, 0}, {0x29, 0}, {0x14, 0x00}, {0x13, 0x00}, {0x05, 0x00},
                      {0x12, 0x00}, {0x04, 0x00}, {0x15, 0x12}, {0x03, 0x00}, {0x02, 0x00}, {0x14, 0x3F}};
    const Pairs first_on{{0x03, 0x07}, {0x03, 0x07}, {0x02, 0x00}}, second_on{{0x03, 0x00}, {0x03, 0x08}, {0x02, 0x03}};
    cycle(2);
    take();
    EXPECT_EQ(cycle(3), 1000u);
    Pairs want = setup;
    want.insert(want.end(), first_on.begin(), first_on.end());
    EXPECT_EQ(take(), want);
    cycle(3);
    EXPECT_EQ(take(), second_on);
    for (int ch = 0; ch < 6; ++ch) EXPECT_EQ(c0.channel(ch).output_on, ch >= 3) << ch;
    cycle(3);
    EXPECT_EQ(take(), (Pairs{{0x03, 0x0F}, {0x03, 0x07}, {0x02, 0x00}}));
    EXPECT_EQ(cycle(2), 1000u);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(cycle(1), 100u);
    EXPECT_EQ(take(), (Pairs{{0x11, 0x00}, {0x14, 0x00}, {0x14, 0x00}, {0x20, 120}, {0x22, 255}, {0x23, 0}, {0x24, 0}}));
    EXPECT_EQ(cycle(3), 1000u);
    want = setup;
    want.insert(want.end(), second_on.begin(), second_on.end());
    EXPECT_EQ(take(), want);
}

// What a cycle did, read from its register writes and output: C "close led" printed, S the
// sequence stopped, D all channels disabled, Q the sequence started, T the toggle set up,
// F the groups flipped, L a running-light frame.
std::string actions(const Pairs& w, const std::string& out) {
    auto count = [&](uint8_t reg) { return std::count_if(w.begin(), w.end(), [&](const std::pair<uint8_t, uint8_t>& p) { return p.first == reg; }); };
    auto has = [&](uint8_t reg, bool (*ok)(uint8_t)) {
        return std::any_of(w.begin(), w.end(), [&](const std::pair<uint8_t, uint8_t>& p) { return p.first == reg && ok(p.second); });
    };
    const bool stop = has(0x11, [](uint8_t v) { return v < 0x80; }), start = has(0x11, [](uint8_t v) { return v >= 0x80; });
    const bool toggle = has(0x15, [](uint8_t v) { return v == 0x12; });
    // The stop and each set-up write the enable register themselves; what is left disabled all.
    const long disables = count(0x14) - (stop ? 1 : 0) - (start || toggle ? 2 : 0);
    std::string a = out == "kavo : close led\n" ? "C" : "";
    if (stop) a += 'S';
    if (disables > 0) a += 'D';
    if (start) a += 'Q';
    if (toggle) a += 'T';
    if (count(0x03) + count(0x02) >= 3) a += 'F';  // the set-up clears 0x03 and 0x02 once each
    if (count(0x20) > 0) a += 'L';
    return a;
}

// Every sequence of three commands out of 1, 2, 3 and an off value, from a fresh start: each
// cycle does what the mode table gives for the flags the commands before it left, and leaves
// the flags and the pause the table says.
TEST_F(LedPattern, CommandSequencesFollowTheModeTable) {
    const uint8_t cmds[] = {1, 2, 3, 0};
    for (uint8_t a : cmds)
        for (uint8_t b : cmds)
            for (uint8_t c : cmds) {
                SetUp();
                take();
                bool seq = false, tog = false;
                unsigned delay = 1000;
                for (uint8_t cmd : {a, b, c}) {
                    SCOPED_TRACE(std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + " at " + std::to_string(cmd));
                    std::string want;
                    if (cmd == 1 || cmd == 0) {
                        want = std::string(cmd == 0 ? "C" : "") + (seq ? "S" : "") + (tog ? "D" : "") + (cmd == 1 ? "L" : "");
                        seq = tog = false;
                        if (cmd == 1) delay = 100;
                    } else if (cmd == 2) {
                        want = seq ? "" : "Q";
                        seq = true;
                        delay = 1000;
                    } else {
                        want = std::string(tog ? "" : "T") + "F";
                        tog = true;
                        delay = 1000;
                    }
                    EXPECT_EQ(cycle(cmd), delay);
                    EXPECT_EQ(actions(take(), out), want);
                    EXPECT_EQ(st.sequence_on, seq);
                    EXPECT_EQ(st.toggle_on, tog);
                }
            }
}

TEST_F(LedPattern, FailedSetUpsAreNotRetried) {
    c0.fail_writes(1, 100000);
    cycle(2);
    cycle(3);
    const unsigned calls = c0.write_calls();
    cycle(2);
    EXPECT_EQ(cycle(3), 1000u);
    EXPECT_EQ(c0.write_calls() - calls, 4u);  // the two group writes of the flip, two attempts each
}
