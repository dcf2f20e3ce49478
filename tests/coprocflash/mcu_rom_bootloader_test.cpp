// The MCU model as any AN3155 host meets it over a pty: each command's exact answer bytes, the
// refusals (NACK) of bad complements, checksums, addresses and counts, what the commands do to
// flash and to the MCU's mode; the lines set through "out" and "value"; the board's faults (a
// power cut, a lost answer byte) and the state the part keeps.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

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

// The bytes and their XOR, as the protocol ends every address, block and page list.
Bytes with_xor(Bytes b) {
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    b.push_back(x);
    return b;
}
Bytes address(uint32_t a) { return with_xor({uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}); }
Bytes block(const Bytes& data) { return with_xor(Bytes{uint8_t(data.size() - 1)} + data); }
// An Extended Erase page list: N and each page as two bytes, high byte first.
Bytes ext_pages(const std::vector<uint16_t>& pages) {
    Bytes b = {0, uint8_t(pages.size() - 1)};
    for (uint16_t p : pages) b = b + Bytes{uint8_t(p >> 8), uint8_t(p)};
    return with_xor(b);
}
Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 13);
    return b;
}
const Bytes kRead = {0x11, 0xEE}, kGo = {0x21, 0xDE}, kWrite = {0x31, 0xCE}, kExtErase = {0x44, 0xBB};

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
}

TEST_F(RomBootloader, RefusesWrongComplementsAndCommandsThePartLacks) {
    EXPECT_EQ(ask({0x00, 0xFE}, 1), Bytes{N});
    EXPECT_EQ(ask({0x43, 0xBC}, 1), Bytes{N});  // this part erases with Extended Erase only
    EXPECT_EQ(ask({0x7F, 0x7F}, 1), Bytes{N});  // a second sync is a bad command
    mcu.set_legacy_bootloader(true);
    pid = McuModel::kLegacyProductId;
    EXPECT_EQ(ask(kExtErase, 1), Bytes{N});
    // The older part's Erase: one-byte page numbers, or 0xFF 0x00 for all.
    mcu.set_flash(0, Bytes(McuModel::kFlashSize, 0x00));
    EXPECT_EQ(ask(Bytes{0x43, 0xBC} + with_xor({1, 2, 200}), 2), (Bytes{A, A}));
    Bytes f = mcu.flash();
    EXPECT_EQ(std::count(f.begin(), f.end(), 0xFF), 2 * 2048);
    EXPECT_EQ(f[200 * 2048], 0xFF);
    EXPECT_EQ(ask({0x43, 0xBC, 0x00, 5, 4}, 2), (Bytes{A, N}));  // checksum
    EXPECT_EQ(ask({0x43, 0xBC, 0xFF, 0x01}, 2), (Bytes{A, N}));  // complement
    EXPECT_EQ(mcu.flash(), f);
    EXPECT_EQ(ask({0x43, 0xBC, 0xFF, 0x00}, 2), (Bytes{A, A}));
    EXPECT_EQ(mcu.flash(), Bytes(McuModel::kFlashSize, 0xFF));
}

TEST_F(RomBootloader, ReadMemoryGivesFlashAndRefusesBadAddressesAndCounts) {
    mcu.set_flash(0x7F00, pattern(0x100, 5));
    EXPECT_EQ(ask(kRead + address(kBase + 0x7F10) + Bytes{0x0F, 0xF0}, 19), Bytes({A, A, A}) + pattern(16, 5 + 0x10 * 13));
    const uint32_t end = kBase + McuModel::kFlashSize;
    EXPECT_EQ(ask(kRead + address(end), 2), (Bytes{A, N}));
    EXPECT_EQ(ask(kRead + address(0x20000000), 2), (Bytes{A, N}));  // no RAM in the model
    EXPECT_EQ(ask(kRead + address(kBase) + Bytes{0x0F, 0xF1}, 3), (Bytes{A, A, N}));  // complement
    EXPECT_EQ(ask(kRead + address(end - 8) + Bytes{0x0F, 0xF0}, 3), (Bytes{A, A, N}));  // past the end
    Bytes bad = address(kBase);
    bad[4] ^= 1;
    EXPECT_EQ(ask(kRead + bad, 2), (Bytes{A, N}));
}

TEST_F(RomBootloader, WriteMemoryTakesWholeWordsIntoErasedFlashWithinIt) {
    EXPECT_EQ(ask(kWrite + address(kBase + 0x100) + block(pattern(8, 1)), 3), (Bytes{A, A, A}));
    EXPECT_EQ(flash_at(0x100, 8), pattern(8, 1));
    EXPECT_EQ(ask(kWrite + address(kBase + 0x104) + block(pattern(4, 9)), 3), (Bytes{A, A, N}));  // not erased
    EXPECT_EQ(ask(kWrite + address(kBase + 0x200) + block(pattern(6, 1)), 3), (Bytes{A, A, N}));  // 6 bytes
    Bytes bad = block(pattern(4, 1));
    bad.back() ^= 1;
    EXPECT_EQ(ask(kWrite + address(kBase + 0x200) + bad, 3), (Bytes{A, A, N}));
    EXPECT_EQ(ask(kWrite + address(kBase + McuModel::kFlashSize - 4) + block(pattern(8, 1)), 3), (Bytes{A, A, N}));
    EXPECT_EQ(mcu.commands().size(), 1u);
}

TEST_F(RomBootloader, ExtendedEraseOfPagesBanksAndAllWithItsRefusals) {
    mcu.set_flash(0, Bytes(McuModel::kFlashSize, 0x00));
    EXPECT_EQ(ask(kExtErase + ext_pages({3, 255}), 2), (Bytes{A, A}));
    Bytes f = mcu.flash();
    EXPECT_EQ(std::count(f.begin(), f.end(), 0xFF), 2 * 2048);
    EXPECT_EQ(f[3 * 2048] & f[255 * 2048 + 2047], 0xFF);
    EXPECT_EQ(ask(kExtErase + ext_pages({256}), 2), (Bytes{A, N}));
    EXPECT_EQ(ask(kExtErase + Bytes{0, 0, 0, 7, 6}, 2), (Bytes{A, N}));  // checksum
    EXPECT_EQ(ask(kExtErase + with_xor({0xFF, 0xFC}), 2), (Bytes{A, N}));  // a reserved code
    EXPECT_EQ(mcu.flash(), f);
    EXPECT_EQ(ask(kExtErase + with_xor({0xFF, 0xFD}), 2), (Bytes{A, A}));  // bank 2: pages 128-255
    f = mcu.flash();
    EXPECT_EQ(std::count(f.begin() + 128 * 2048, f.end(), 0xFF), 128 * 2048);
    EXPECT_EQ(f[128 * 2048 - 1], 0x00);
    EXPECT_EQ(ask(kExtErase + with_xor({0xFF, 0xFE}), 2), (Bytes{A, A}));  // bank 1
    EXPECT_EQ(mcu.flash(), Bytes(McuModel::kFlashSize, 0xFF));
    mcu.set_flash(0, Bytes(McuModel::kFlashSize, 0x00));
    EXPECT_EQ(ask(kExtErase + with_xor({0xFF, 0xFF}), 2), (Bytes{A, A}));  // mass erase
    EXPECT_EQ(mcu.flash(), Bytes(McuModel::kFlashSize, 0xFF));
}

// The ends of flash for every command that names an address: the first and last byte it may
// touch, and one past; Read Memory's count N means N + 1 bytes (0 and 255 at their limits).
// What was carried out is counted by kind, refusals not.
TEST_F(RomBootloader, AddressesAndCountsAtTheEndsOfFlash) {
    const uint32_t end = kBase + McuModel::kFlashSize;
    const Bytes last = pattern(256, 9);
    mcu.set_flash(McuModel::kFlashSize - 256, last);
    EXPECT_EQ(ask(kRead + address(end - 1) + Bytes{0x00, 0xFF}, 4), (Bytes{A, A, A, last.back()}));
    EXPECT_EQ(ask(kRead + address(end - 256) + Bytes{0xFF, 0x00}, 259), Bytes({A, A, A}) + last);
    EXPECT_EQ(ask(kRead + address(end - 255) + Bytes{0xFF, 0x00}, 3), (Bytes{A, A, N}));
    EXPECT_EQ(ask(kRead + address(kBase - 1), 2), (Bytes{A, N}));
    EXPECT_EQ(ask(kExtErase + with_xor({0xFF, 0xF0}), 2), (Bytes{A, N}));  // the first reserved code
    EXPECT_EQ(flash_at(McuModel::kFlashSize - 4, 4), Bytes(last.end() - 4, last.end()));
    EXPECT_EQ(ask(kExtErase + ext_pages({255}), 2), (Bytes{A, A}));  // the last page
    EXPECT_EQ(flash_at(McuModel::kFlashSize - 256, 256), Bytes(256, 0xFF));
    EXPECT_EQ(ask(kWrite + address(end - 4) + block(Bytes(4, 0x11)), 3), (Bytes{A, A, A}));
    EXPECT_EQ(ask(kWrite + address(end - 8) + block(Bytes(8, 0x11)), 3), (Bytes{A, A, N}));  // ends past
    EXPECT_EQ(ask(kWrite + address(kBase + 0x1000) + block(pattern(256, 1)), 3), (Bytes{A, A, A}));
    EXPECT_EQ(flash_at(McuModel::kFlashSize - 8, 8), Bytes(4, 0xFF) + Bytes(4, 0x11));
    EXPECT_EQ(ask(kGo + address(kBase - 1), 2), (Bytes{A, N}));
    EXPECT_EQ(ask(kGo + address(end), 2), (Bytes{A, N}));
    EXPECT_EQ(ask(kGo + address(end - 1), 2), (Bytes{A, A}));
    EXPECT_EQ(mcu.mode(), Mode::application);
    enter();
    ask({0x00, 0xFF}, 11);
    ask({0x01, 0xFE}, 5);
    ask({0x01, 0xFF}, 1);  // refused: not counted
    const McuModel::CommandCounts c = mcu.command_counts();
    EXPECT_EQ((std::vector<int>{c.get, c.get_version, c.get_id, c.read_memory, c.go, c.write_memory, c.erase}),
              (std::vector<int>{1, 1, 0, 2, 1, 2, 1}));  // the fixture's Get ID comes after
    EXPECT_EQ(c.read_bytes, 257u);
}

// Fault knobs of different stages stand side by side, each spent at its own stage, and each
// effect is counted.
TEST_F(RomBootloader, RefusalsAndDropsOfSeveralStagesEachTakeEffect) {
    mcu.nack_next(McuModel::Stage::erase_pages, 1);
    mcu.nack_next(McuModel::Stage::write_data, 2);
    mcu.drop_next(McuModel::Stage::read_address, 1);
    EXPECT_EQ(ask(kExtErase + ext_pages({4}), 2), (Bytes{A, N}));
    EXPECT_EQ(ask(kExtErase + ext_pages({4}), 2), (Bytes{A, A}));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(ask(kWrite + address(kBase) + block(Bytes(4, 0x22)), 3), (Bytes{A, A, N}));
    EXPECT_EQ(ask(kWrite + address(kBase) + block(Bytes(4, 0x22)), 3), (Bytes{A, A, A}));
    EXPECT_EQ(ask(kRead + address(kBase), 2), (Bytes{A}));  // the address's ACK is lost
    EXPECT_EQ(ask(Bytes{0x03, 0xFC}, 5), (Bytes{A, 0x22, 0x22, 0x22, 0x22}));
    const McuModel::FaultCounts f = mcu.fault_counts();
    EXPECT_EQ(f.nacks, (std::map<McuModel::Stage, int>{{McuModel::Stage::erase_pages, 1}, {McuModel::Stage::write_data, 2}}));
    EXPECT_EQ(f.drops, (std::map<McuModel::Stage, int>{{McuModel::Stage::read_address, 1}}));
}

TEST_F(RomBootloader, GoStartsTheApplicationAtTheFlashBase) {
    mcu.set_version_after_update("2.0.13");
    EXPECT_EQ(ask(kGo + address(0x20000000), 2), (Bytes{A, N}));
    EXPECT_EQ(mcu.mode(), Mode::bootloader);
    ASSERT_EQ(ask(kWrite + address(kBase) + block(pattern(4, 3)), 3), (Bytes{A, A, A}));
    EXPECT_EQ(ask(kGo + address(kBase), 2), (Bytes{A, A}));
    EXPECT_EQ(mcu.app_starts(), 1);
    std::string v;
    EXPECT_TRUE(mcu.answers_version(&v));
    EXPECT_EQ(v, "2.0.13");  // the application just written
    enter();
    EXPECT_EQ(ask(kGo + address(kBase + 0x800), 2), (Bytes{A, A}));
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
    gpio("gpio117/value", "1");
    EXPECT_EQ(mcu.mode(), Mode::in_reset);
    gpio("gpio117/value", "0");
    EXPECT_EQ(mcu.mode(), Mode::bootloader);
    gpio("gpio119/direction", "in");
    gpio("gpio117/direction", "high");
    gpio("gpio117/direction", "in");
    EXPECT_EQ(mcu.mode(), Mode::application);
    EXPECT_EQ(mcu.bootloader_entries(), 2);  // the fixture's entry and the one above
}

// A cut after 256 bytes: the first frame is kept, the second gets no answer and leaves nothing;
// the MCU is deaf until a reset, and the damaged application runs again only once rewritten.
// A cut after one page stops a frame at the first byte bound for the next page.
TEST_F(RomBootloader, PowerCutsKeepWhatWasProgrammedAndSilenceTheMcuUntilReset) {
    mcu.set_version_after_update("2.0.13");
    const Bytes image = pattern(512, 7);
    auto write_image = [&](size_t answers) {
        ask(kWrite + address(kBase) + block(Bytes(image.begin(), image.begin() + 256)), 3);
        return ask(kWrite + address(kBase + 256) + block(Bytes(image.begin() + 256, image.end())), answers);
    };
    mcu.power_cut_after_bytes(256);
    EXPECT_EQ(write_image(2), (Bytes{A, A}));
    EXPECT_TRUE(testbed::wait_until([&] { return mcu.mode() == Mode::unpowered; }, std::chrono::seconds(2)));
    EXPECT_EQ(flash_at(0, 512), Bytes(image.begin(), image.begin() + 256) + Bytes(256, 0xFF));
    EXPECT_EQ(ask({0x7F}, 1), Bytes{});
    mcu.reset_into(Mode::application);
    EXPECT_FALSE(mcu.answers_version(nullptr));
    enter();
    ASSERT_EQ(ask(kExtErase + ext_pages({0}), 2), (Bytes{A, A}));
    EXPECT_EQ(write_image(3), (Bytes{A, A, A}));  // the cut came once
    mcu.reset_into(Mode::application);
    std::string v;
    EXPECT_TRUE(mcu.answers_version(&v));
    EXPECT_EQ(v, "2.0.13");
    EXPECT_TRUE(mcu.flash_holds(image));

    enter();
    mcu.power_cut_after_pages(1);
    ASSERT_EQ(ask(kWrite + address(kBase + 2048 - 16) + block(pattern(8, 1)), 3), (Bytes{A, A, A}));
    EXPECT_EQ(ask(kWrite + address(kBase + 2048 - 4) + block(pattern(8, 2)), 2), (Bytes{A, A}));
    EXPECT_TRUE(testbed::wait_until([&] { return mcu.mode() == Mode::unpowered; }, std::chrono::seconds(2)));
    EXPECT_EQ(flash_at(2048 - 4, 8), pattern(4, 2) + Bytes(4, 0xFF));
}

TEST_F(RomBootloader, TheLineLosesTheNthAnswerByteOnce) {
    mcu.drop_answer_byte(2);
    EXPECT_EQ(ask({0x01, 0xFE}, 4), (Bytes{A, 0x00, 0x00, A}));  // the version byte is lost
    EXPECT_EQ(ask({0x01, 0xFE}, 5), (Bytes{A, 0x31, 0x00, 0x00, A}));
}

TEST_F(RomBootloader, FlashHoldsAnImageExactlyAndTheStateRoundTrips) {
    const Bytes image = pattern(2050, 3);
    mcu.set_flash(0, image);
    mcu.set_flash(3 * 2048, Bytes(8, 0x00));  // a later page is not looked at
    EXPECT_TRUE(mcu.flash_holds(image));
    EXPECT_FALSE(mcu.flash_holds(Bytes(image.begin(), image.end() - 1)));  // its last byte not erased
    Bytes other = image;
    other[1000] ^= 0x40;
    EXPECT_FALSE(mcu.flash_holds(other));
    mcu.set_flash(2048 + 2047, Bytes{0x00});
    EXPECT_FALSE(mcu.flash_holds(image));  // a stray byte at the end of the image's last page

    mcu.set_version("2.0.9");
    McuModel::LastingState s = mcu.lasting_state();
    PtyPair other_line;
    McuModel restored(other_line.master);
    EXPECT_FALSE(restored.restore(McuModel::LastingState{Bytes(100), "9.9.9", false}));
    EXPECT_EQ(restored.application_version(), "1.0.0");
    s.application_damaged = true;
    ASSERT_TRUE(restored.restore(s));
    EXPECT_EQ(restored.flash(), mcu.flash());
    EXPECT_EQ(restored.lasting_state().version, "2.0.9");
    EXPECT_FALSE(restored.answers_version(nullptr));  // damaged
}

}  // namespace
