// The MCU model as any AN3155 host meets it over a pty: each command's exact answer bytes, the
// refusals (NACK) of bad complements, checksums, addresses and counts, what the commands do to
// flash and to the MCU's mode; the lines set through "out" and "value"; the board's faults (a
// power cut, a lost answer byte) and the state the part keeps.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "char_device.h"
#include "mcu_model.h"
#include "pty_pair.h"

namespace {

using board::McuModel;
using Bytes = std::vector<uint8_t>;
using Mode = McuModel::Mode;
constexpr uint8_t A = McuModel::kAck;
constexpr uint8_t N = McuModel::kNack;
constexpr uint32_t kBase = McuModel::kFlashBase;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An address stage: four bytes, most significant first, and their XOR.
Bytes address(uint32_t a) {
    Bytes b = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    b.push_back(uint8_t(b[0] ^ b[1] ^ b[2] ^ b[3]));
    return b;
}

// A Write Memory block: N, the bytes, the XOR of N and the bytes.
Bytes block(const Bytes& data) {
    Bytes b = {uint8_t(data.size() - 1)};
    b = b + data;
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    b.push_back(x);
    return b;
}

// An Extended Erase page list: N (two bytes), the pages (two bytes each), the XOR of all.
Bytes ext_pages(const std::vector<uint16_t>& pages) {
    const uint16_t n = uint16_t(pages.size() - 1);
    Bytes b = {uint8_t(n >> 8), uint8_t(n)};
    for (uint16_t p : pages) b = b + Bytes{uint8_t(p >> 8), uint8_t(p)};
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    b.push_back(x);
    return b;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 13);
    return b;
}

class RomBootloader : public ::testing::Test {
protected:
    PtyPair pty;
    McuModel mcu{pty.master};
    uint16_t pid = McuModel::kProductId;

    void SetUp() override { enter(); }
    // Nothing stray on the line: after a fresh entry the next answers are exactly these.
    void TearDown() override {
        enter();
        EXPECT_EQ(ask({0x02, 0xFD}, 5), (Bytes{A, 0x01, uint8_t(pid >> 8), uint8_t(pid), A}));
    }
    void enter() {
        mcu.reset_into(Mode::bootloader);
        ASSERT_EQ(ask({0x7F}, 1), Bytes{A});
    }
    // Sends from the host's end; returns the next n answer bytes (fewer on a 2 s silence).
    Bytes ask(const Bytes& out, size_t n) {
        if (!out.empty() && write(pty.slave, out.data(), out.size()) != static_cast<ssize_t>(out.size())) return {};
        Bytes got;
        uint8_t buf[512];
        struct pollfd p = {pty.slave, POLLIN, 0};
        while (got.size() < n && poll(&p, 1, 2000) == 1) {
            ssize_t r = read(pty.slave, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    Bytes flash_at(uint32_t off, size_t n) const {
        Bytes f = mcu.flash();
        return Bytes(f.begin() + off, f.begin() + off + n);
    }
};

TEST_F(RomBootloader, GetGetVersionAndGetIdAnswerForThePart) {
    EXPECT_EQ(ask({0x00, 0xFF}, 11), (Bytes{A, 7, 0x31, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x44, A}));
    EXPECT_EQ(ask({0x01, 0xFE}, 5), (Bytes{A, 0x31, 0x00, 0x00, A}));
    EXPECT_EQ(ask({0x02, 0xFD}, 5), (Bytes{A, 0x01, 0x04, 0x46, A}));
    mcu.set_legacy_bootloader(true);
    pid = McuModel::kLegacyProductId;
    EXPECT_EQ(ask({0x00, 0xFF}, 11), (Bytes{A, 7, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, A}));
    EXPECT_EQ(ask({0x02, 0xFD}, 5), (Bytes{A, 0x01, 0x04, 0x14, A}));
}

TEST_F(RomBootloader, CommandsWithAWrongComplementOrUnsupportedAreRefused) {
    EXPECT_EQ(ask({0x00, 0xFE}, 1), Bytes{N});
    EXPECT_EQ(ask({0x63, 0x9C}, 1), Bytes{N});  // Write Protect: not on this part
    EXPECT_EQ(ask({0x43, 0xBC}, 1), Bytes{N});  // this part erases with Extended Erase only
    EXPECT_EQ(ask({0x7F, 0x7F}, 1), Bytes{N});  // a second sync after the first is a bad command
    mcu.set_legacy_bootloader(true);
    pid = McuModel::kLegacyProductId;
    EXPECT_EQ(ask({0x44, 0xBB}, 1), Bytes{N});
    EXPECT_EQ(ask({0x43, 0xBC}, 1), Bytes{A});
    EXPECT_EQ(ask({0xFF, 0x00}, 1), Bytes{A});  // the older part's global erase
}

TEST_F(RomBootloader, ReadMemoryGivesFlashAndRefusesBadAddressesAndCounts) {
    mcu.set_flash(0x7F00, pattern(0x100, 5));
    EXPECT_EQ(ask(Bytes{0x11, 0xEE} + address(kBase + 0x7F10) + Bytes{0x0F, 0xF0}, 3 + 16), Bytes({A, A, A}) + pattern(16, 5 + 0x10 * 13));
    // the last byte of flash, then a start address one beyond it
    EXPECT_EQ(ask(Bytes{0x11, 0xEE} + address(kBase + McuModel::kFlashSize - 1) + Bytes{0x00, 0xFF}, 4), (Bytes{A, A, A, 0xFF}));
    EXPECT_EQ(ask(Bytes{0x11, 0xEE} + address(kBase + McuModel::kFlashSize), 2), (Bytes{A, N}));
    EXPECT_EQ(ask(Bytes{0x11, 0xEE} + address(0x20000000), 2), (Bytes{A, N}));  // no RAM in the model
    Bytes bad = address(kBase);
    bad[4] ^= 1;
    EXPECT_EQ(ask(Bytes{0x11, 0xEE} + bad, 2), (Bytes{A, N}));
    EXPECT_EQ(ask(Bytes{0x11, 0xEE} + address(kBase) + Bytes{0x0F, 0xF1}, 3), (Bytes{A, A, N}));  // complement
    // 16 bytes from 8 before the end would run past it
    EXPECT_EQ(ask(Bytes{0x11, 0xEE} + address(kBase + McuModel::kFlashSize - 8) + Bytes{0x0F, 0xF0}, 3), (Bytes{A, A, N}));
}

TEST_F(RomBootloader, WriteMemoryTakesWholeWordsIntoErasedFlashWithinIt) {
    const Bytes data = pattern(8, 1);
    EXPECT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase + 0x100) + block(data), 3), (Bytes{A, A, A}));
    EXPECT_EQ(flash_at(0x100, 8), data);
    EXPECT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase + 0x104) + block(pattern(4, 9)), 3), (Bytes{A, A, N}));  // not erased
    EXPECT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase + 0x200) + block(pattern(6, 1)), 3), (Bytes{A, A, N}));  // 6 bytes
    Bytes bad = block(pattern(4, 1));
    bad.back() ^= 1;
    EXPECT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase + 0x200) + bad, 3), (Bytes{A, A, N}));
    EXPECT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase + McuModel::kFlashSize - 4) + block(pattern(8, 1)), 3), (Bytes{A, A, N}));
    EXPECT_EQ(flash_at(0x200, 4), Bytes(4, 0xFF));
    ASSERT_EQ(mcu.commands().size(), 1u);
    EXPECT_EQ(mcu.commands()[0].address, kBase + 0x100);
}

TEST_F(RomBootloader, ExtendedEraseOfPagesBanksAndAllWithItsRefusals) {
    mcu.set_flash(0, Bytes(McuModel::kFlashSize, 0x00));
    EXPECT_EQ(ask(Bytes{0x44, 0xBB} + ext_pages({3, 255}), 2), (Bytes{A, A}));
    Bytes f = mcu.flash();
    EXPECT_EQ(std::count(f.begin(), f.end(), 0xFF), 2 * 2048);
    EXPECT_EQ(f[3 * 2048], 0xFF);
    EXPECT_EQ(f[255 * 2048 + 2047], 0xFF);
    EXPECT_EQ(f[4 * 2048], 0x00);
    EXPECT_EQ(ask(Bytes{0x44, 0xBB} + ext_pages({256}), 2), (Bytes{A, N}));
    Bytes bad = ext_pages({7});
    bad.back() ^= 1;
    EXPECT_EQ(ask(Bytes{0x44, 0xBB} + bad, 2), (Bytes{A, N}));
    EXPECT_EQ(ask({0x44, 0xBB, 0xFF, 0xFC, 0x03}, 2), (Bytes{A, N}));  // a reserved code
    EXPECT_EQ(mcu.flash(), f);
    EXPECT_EQ(ask({0x44, 0xBB, 0xFF, 0xFD, 0x02}, 2), (Bytes{A, A}));  // bank 2: pages 128-255
    f = mcu.flash();
    EXPECT_EQ(f[128 * 2048 - 1], 0x00);
    EXPECT_EQ(std::count(f.begin() + 128 * 2048, f.end(), 0xFF), 128 * 2048);
    EXPECT_EQ(ask({0x44, 0xBB, 0xFF, 0xFE, 0x01}, 2), (Bytes{A, A}));  // bank 1
    f = mcu.flash();
    EXPECT_EQ(std::count(f.begin(), f.end(), 0x00), 0);
    mcu.set_flash(0, Bytes(16, 0x00));
    EXPECT_EQ(ask({0x44, 0xBB, 0xFF, 0xFF, 0x00}, 2), (Bytes{A, A}));  // mass erase
    EXPECT_EQ(flash_at(0, 16), Bytes(16, 0xFF));
    EXPECT_EQ(mcu.commands().back().pages.size(), McuModel::kPages);
}

TEST_F(RomBootloader, LegacyEraseOfPagesAndAll) {
    mcu.set_legacy_bootloader(true);
    pid = McuModel::kLegacyProductId;
    mcu.set_flash(0, Bytes(McuModel::kFlashSize, 0x00));
    EXPECT_EQ(ask({0x43, 0xBC, 0x01, 2, 200, 0x01 ^ 2 ^ 200}, 2), (Bytes{A, A}));
    Bytes f = mcu.flash();
    EXPECT_EQ(std::count(f.begin(), f.end(), 0xFF), 2 * 2048);
    EXPECT_EQ(f[200 * 2048], 0xFF);
    EXPECT_EQ(ask({0x43, 0xBC, 0x00, 5, 4}, 2), (Bytes{A, N}));   // checksum
    EXPECT_EQ(ask({0x43, 0xBC, 0xFF, 0x01}, 2), (Bytes{A, N}));   // global erase, wrong complement
    EXPECT_EQ(mcu.flash(), f);
    EXPECT_EQ(ask({0x43, 0xBC, 0xFF, 0x00}, 2), (Bytes{A, A}));
    f = mcu.flash();
    EXPECT_EQ(std::count(f.begin(), f.end(), 0xFF), static_cast<long>(McuModel::kFlashSize));
    EXPECT_EQ(mcu.commands().back().code, 0x43);
}

TEST_F(RomBootloader, GoStartsTheApplicationAtTheFlashBase) {
    mcu.set_version("2.0.9");
    mcu.set_version_after_update("2.0.13");
    EXPECT_EQ(ask(Bytes{0x21, 0xDE} + address(0x20000000), 2), (Bytes{A, N}));
    EXPECT_EQ(mcu.mode(), Mode::bootloader);
    ASSERT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase) + block(pattern(4, 3)), 3), (Bytes{A, A, A}));
    const int starts = mcu.app_starts();
    EXPECT_EQ(ask(Bytes{0x21, 0xDE} + address(kBase), 2), (Bytes{A, A}));
    EXPECT_EQ(mcu.mode(), Mode::application);
    EXPECT_EQ(mcu.app_starts(), starts + 1);
    std::string v;
    EXPECT_TRUE(mcu.answers_version(&v));
    EXPECT_EQ(v, "2.0.13");  // the written application runs
    enter();
    EXPECT_EQ(ask(Bytes{0x21, 0xDE} + address(kBase + 0x800), 2), (Bytes{A, A}));
    EXPECT_EQ(mcu.mode(), Mode::application);
    EXPECT_FALSE(mcu.answers_version(nullptr));  // no vector table there: nothing that answers
}

// Lines set as a host that drives "value" sets them; a line set to input falls to low.
TEST_F(RomBootloader, LinesFollowOutAndValueWritesAndInputFallsLow) {
    auto gpio = [&](const std::string& file, const std::string& value) {
        mcu.on_gpio(board::GpioWrite{file, value, std::chrono::steady_clock::now()});
    };
    mcu.reset_into(Mode::application);
    gpio("gpio119/direction", "out");
    gpio("gpio119/value", "1");
    gpio("gpio117/direction", "out");  // low: no edge
    EXPECT_EQ(mcu.mode(), Mode::application);
    gpio("gpio117/value", "1");
    EXPECT_EQ(mcu.mode(), Mode::in_reset);
    gpio("gpio117/value", "0");
    EXPECT_EQ(mcu.mode(), Mode::bootloader);
    gpio("gpio119/direction", "in");  // boot-select released: low
    gpio("gpio117/direction", "high");
    gpio("gpio119/value", "1");  // an input takes no value
    gpio("gpio117/direction", "in");
    EXPECT_EQ(mcu.mode(), Mode::application);
    EXPECT_EQ(mcu.bootloader_entries(), 2);  // the fixture's entry and the one above
}

TEST_F(RomBootloader, PowerCutKeepsWhatWasProgrammedAndSilencesUntilReset) {
    mcu.set_version("2.0.9");
    mcu.set_version_after_update("2.0.13");
    mcu.power_cut_after_bytes(256);
    const Bytes image = pattern(512, 7);
    ASSERT_EQ(ask(Bytes{0x44, 0xBB} + ext_pages({0}), 2), (Bytes{A, A}));
    ASSERT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase) + block(Bytes(image.begin(), image.begin() + 256)), 3), (Bytes{A, A, A}));
    EXPECT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase + 256) + block(Bytes(image.begin() + 256, image.end())), 2), (Bytes{A, A}));
    EXPECT_TRUE(testbed::wait_until([&] { return mcu.mode() == Mode::unpowered; }, std::chrono::seconds(2)));
    EXPECT_EQ(flash_at(0, 256), Bytes(image.begin(), image.begin() + 256));
    EXPECT_EQ(flash_at(256, 256), Bytes(256, 0xFF));
    EXPECT_EQ(ask({0x7F}, 1), Bytes{});  // unpowered: deaf and mute
    EXPECT_TRUE(mcu.lasting_state().application_damaged);
    mcu.reset_into(Mode::application);
    EXPECT_FALSE(mcu.answers_version(nullptr));  // a half-written image does not run
    // The next full write brings the application back with its new version; the cut was once.
    enter();
    ASSERT_EQ(ask(Bytes{0x44, 0xBB} + ext_pages({0}), 2), (Bytes{A, A}));
    ASSERT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase) + block(Bytes(image.begin(), image.begin() + 256)), 3), (Bytes{A, A, A}));
    ASSERT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase + 256) + block(Bytes(image.begin() + 256, image.end())), 3), (Bytes{A, A, A}));
    mcu.reset_into(Mode::application);
    std::string v;
    EXPECT_TRUE(mcu.answers_version(&v));
    EXPECT_EQ(v, "2.0.13");
    EXPECT_TRUE(mcu.flash_holds(image));
}

TEST_F(RomBootloader, PowerCutAfterPagesStopsAtTheFirstByteOfTheNextPage) {
    mcu.power_cut_after_pages(1);
    ASSERT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase + 2048 - 16) + block(pattern(8, 1)), 3), (Bytes{A, A, A}));
    EXPECT_EQ(ask(Bytes{0x31, 0xCE} + address(kBase + 2048 - 4) + block(pattern(8, 2)), 2), (Bytes{A, A}));
    EXPECT_TRUE(testbed::wait_until([&] { return mcu.mode() == Mode::unpowered; }, std::chrono::seconds(2)));
    EXPECT_EQ(flash_at(2048 - 16, 8), pattern(8, 1));
    EXPECT_EQ(flash_at(2048 - 4, 8), pattern(4, 2) + Bytes(4, 0xFF));  // page 0's part only
}

TEST_F(RomBootloader, TheLineLosesTheNthAnswerByte) {
    mcu.drop_answer_byte(3);
    EXPECT_EQ(ask({0x01, 0xFE}, 4), (Bytes{A, 0x31, 0x00, A}));  // the second option byte is lost
    EXPECT_EQ(ask({0x01, 0xFE}, 5), (Bytes{A, 0x31, 0x00, 0x00, A}));  // once
}

TEST_F(RomBootloader, FlashHoldsAnImageByteForByteWithTheRestOfItsPageErased) {
    const Bytes image = pattern(2050, 3);
    mcu.set_flash(0, image);
    mcu.set_flash(3 * 2048, Bytes(8, 0x00));  // a later page is not looked at
    EXPECT_TRUE(mcu.flash_holds(image));
    EXPECT_FALSE(mcu.flash_holds(Bytes(image.begin(), image.end() - 1)));  // last byte not erased
    Bytes other = image;
    other[1000] ^= 0x40;
    EXPECT_FALSE(mcu.flash_holds(other));
    mcu.set_flash(2048 + 2047, Bytes{0x00});
    EXPECT_FALSE(mcu.flash_holds(image));  // a stray byte at the end of the image's last page
}

TEST_F(RomBootloader, LastingStateRoundTrips) {
    mcu.set_version("2.0.9");
    mcu.set_flash(0, pattern(64, 1));
    McuModel::LastingState s = mcu.lasting_state();
    EXPECT_EQ(s.version, "2.0.9");
    EXPECT_FALSE(s.application_damaged);
    PtyPair other_line;
    McuModel other(other_line.master);
    EXPECT_FALSE(other.restore(McuModel::LastingState{Bytes(100), "9.9.9", false}));
    EXPECT_EQ(other.application_version(), "1.0.0");
    s.application_damaged = true;
    ASSERT_TRUE(other.restore(s));
    EXPECT_EQ(other.flash(), mcu.flash());
    EXPECT_EQ(other.application_version(), "2.0.9");
    EXPECT_TRUE(other.lasting_state().application_damaged);
    EXPECT_FALSE(other.answers_version(nullptr));
}

}  // namespace
