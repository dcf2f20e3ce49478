// Bootloader protocol over the real serial and version layers and a pty against the MCU model's
// AN3155 bootloader. The GPIO layer is a stand-in that records each call in a timeline (and feeds
// the model's reset and boot-select lines); sleeps and the serial line's close go in it too.
// "/dev/ttyS1" leads to the test's pty (open wrapped by the linker), never to the machine's.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "line_fakes.h"
#include "mcu_bloader.h"
#include "mcu_gpio.h"
#include "mcu_model.h"
#include "pty_pair.h"
#include "serial_port.h"
#include "stdout_capture.h"
#include "sysfs_gpio.h"

using Bytes = std::vector<uint8_t>;
using board::McuModel;
using Stage = McuModel::Stage;

namespace {
// The timeline: (pin, state) of each GPIO call, the state plus kFromSignal on the interrupt
// path; (kSleep, seconds) for a pause; (kClose, 0) when the serial line is closed.
constexpr int kSleep = 0;
constexpr int kClose = 1;
constexpr int kFromSignal = 0x100;
using Timeline = std::vector<std::pair<int, int>>;
Timeline g_timeline;
McuModel* g_mcu = nullptr;
std::string g_tty_path;  // where "/dev/ttyS1" leads; empty: it does not open

int record_gpio(int pin, int state, int flag) {
    g_timeline.emplace_back(pin, state | flag);
    const char* file = pin == MCU_PIN_RESET ? "gpio117/direction" : pin == MCU_PIN_BOOT ? "gpio119/direction" : nullptr;
    const char* value = state == GPIO_STATE_HIGH ? "high" : state == GPIO_STATE_LOW ? "low" : state == GPIO_STATE_IN ? "in" : nullptr;
    if (g_mcu != nullptr && file != nullptr && value != nullptr)
        g_mcu->on_gpio(board::GpioWrite{file, value, std::chrono::steady_clock::now()});
    return 0;
}
}  // namespace

int mcu_gpio_config(int pin, int state) { return record_gpio(pin, state, 0); }
int mcu_gpio_config_from_signal(int pin, int state) { return record_gpio(pin, state, kFromSignal); }

extern "C" {
int __real_open(const char* path, int flags, ...);
int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    // No device of the machine: "/dev/ttyS1" is the test's pty (or missing), any other but a
    // pty is missing.
    if (strncmp(path, "/dev/", 5) == 0 && strncmp(path, "/dev/pts/", 9) != 0) {
        if (strcmp(path, "/dev/ttyS1") != 0 || g_tty_path.empty()) {
            errno = ENOENT;
            return -1;
        }
        path = g_tty_path.c_str();
    }
    return __real_open(path, flags, mode);
}
int __real_close(int fd);
int __wrap_close(int fd) {
    if (fd >= 0 && fd == uart_fd) g_timeline.emplace_back(kClose, 0);
    return __real_close(fd);
}
}

namespace {

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Lines own_lines(const Lines& all) {
    Lines out;
    for (const auto& l : all)
        if (l.rfind("[UART - ", 0) != 0) out.push_back(l);
    return out;
}

Lines cat_lines(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

size_t count_of(const Lines& lines, const std::string& l) { return static_cast<size_t>(std::count(lines.begin(), lines.end(), l)); }

const std::string kAckLine = "[MCU - wait_ack]: mcu responed [79]";
const std::string kNackLine = "[MCU - wait_ack]: mcu responed [1f]";
const std::string kAckTimeout = "[MCU - wait_ack]: wait ack timeout!";
const std::string kEraseCmdLine = "[MCU - bloader_cmd_ex_erase_mem]: cmd - [00][0f][0f]";

Bytes write_head(uint32_t addr) {
    Bytes a = {uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr)};
    a.push_back(uint8_t(a[0] ^ a[1] ^ a[2] ^ a[3]));
    return cat({0x31, 0xCE}, a);
}

Bytes write_frame(uint32_t addr, const Bytes& data) {
    Bytes f = write_head(addr);
    uint8_t n = uint8_t(data.size() - 1);
    f.push_back(n);
    uint8_t s = n;
    for (uint8_t d : data) s ^= d;
    f = cat(f, data);
    f.push_back(s);
    return f;
}

Bytes erase_frame(int cell) {
    Bytes f = {0x44, 0xBB, 0x00, 0x0F};
    uint8_t s = 0x0F;
    for (int p = cell * 16; p < cell * 16 + 16; ++p) {
        f.push_back(0x00);
        f.push_back(uint8_t(p));
        s ^= uint8_t(p);
    }
    f.push_back(s);
    return f;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + (i >> 8));
    return b;
}

class BloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        line_fakes::reset();
        line_fakes::on_sleep = [](unsigned s) { g_timeline.emplace_back(kSleep, static_cast<int>(s)); };
        g_timeline.clear();
        g_mcu = &mcu;
        g_tty_path = pty.slave_path;
        StdoutCapture quiet;
        uart_fd = serial_open(pty.slave_path.c_str());
        ASSERT_GE(uart_fd, 0);
        ASSERT_EQ(serial_set_speed(uart_fd, 115200), 0);
    }
    void TearDown() override {
        EXPECT_EQ(line_fakes::script, "") << "silent seconds the test expected did not come";
        g_mcu = nullptr;
        StdoutCapture quiet;
        serial_close(uart_fd);
    }
    // Puts the model in its bootloader and synchronises, as mcu_bootloader would.
    void synced_bootloader() {
        mcu.reset_into(McuModel::Mode::bootloader);
        const uint8_t sync = 0x7F;
        StdoutCapture quiet;
        ASSERT_EQ(serial_write(uart_fd, &sync, 1), 0);
        ASSERT_EQ(wait_ack(), 0x79);
        base_ = mcu.wire().size();
    }
    // What the model received since base_, once it holds n bytes or more (a second at most):
    // bytes that drew no answer may still be on their way through the pty.
    Bytes sent(size_t n = 0) const {
        for (int i = 0; i < 1000 && mcu.wire().size() < base_ + n; ++i) poll(nullptr, 0, 1);
        Bytes w = mcu.wire();
        return Bytes(w.begin() + static_cast<long>(base_), w.end());
    }
    PtyPair pty;
    McuModel mcu{pty.master};
    size_t base_ = 0;
};

// ---- Write Memory ----

TEST_F(BloaderTest, WriteMemorySendsThreeStagesAndLandsInFlash) {
    synced_bootloader();
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 0xF8};
    StdoutCapture out;
    EXPECT_EQ(bloader_cmd_write_mem(0x08000100, data.data(), 8), 0);
    // The data stage is three writes: its length byte, the data, the checksum.
    EXPECT_EQ(out.lines(), (Lines{"[UART - serial_write]: write ret = 2", kAckLine, "[UART - serial_write]: write ret = 5", kAckLine,
                                  "[UART - serial_write]: write ret = 1", "[UART - serial_write]: write ret = 8",
                                  "[UART - serial_write]: write ret = 1", kAckLine}));
    EXPECT_EQ(sent(), (Bytes{0x31, 0xCE, 0x08, 0x00, 0x01, 0x00, 0x09, 0x07, 1, 2, 3, 4, 5, 6, 7, 0xF8, 0x07 ^ 1 ^ 2 ^ 3 ^ 4 ^ 5 ^ 6 ^ 7 ^ 0xF8}));
    Bytes flash = mcu.flash();
    EXPECT_EQ(Bytes(flash.begin() + 0xFF, flash.begin() + 0x109), cat(cat({0xFF}, data), {0xFF}));
}

TEST_F(BloaderTest, WriteMemoryLengthNotAMultipleOfFourSendsNothing) {
    synced_bootloader();
    const Bytes data(8, 0);
    StdoutCapture out;
    EXPECT_EQ(bloader_cmd_write_mem(0x08000000, data.data(), 6), -1);
    EXPECT_EQ(out.lines(), Lines{"[MCU - bloader_cmd_write_mem]: number of data error"});
    EXPECT_EQ(sent(), Bytes{});
}

TEST_F(BloaderTest, AddressNackRestartsFromTheCommandUpToFiveAttempts) {
    synced_bootloader();
    const Bytes data = {9, 8, 7, 6};
    mcu.nack_next(Stage::write_address, 4);
    StdoutCapture out;
    EXPECT_EQ(bloader_cmd_write_mem(0x08000400, data.data(), 4), 0);
    Bytes expect;
    Lines lines;
    for (int i = 0; i < 4; ++i) {
        expect = cat(expect, write_head(0x08000400));
        lines.insert(lines.end(), {kAckLine, kNackLine});
    }
    EXPECT_EQ(sent(), cat(expect, write_frame(0x08000400, data)));
    EXPECT_EQ(own_lines(out.lines()), cat_lines(lines, {kAckLine, kAckLine, kAckLine}));
}

TEST_F(BloaderTest, FifthNackOfEachStageFailsWithItsMessage) {
    struct Case {
        Stage stage;
        const char* line;
    } cases[] = {{Stage::command, "[MCU - bloader_cmd_write_mem]: command error"},
                 {Stage::write_address, "[MCU - bloader_cmd_write_mem]: address error"},
                 {Stage::write_data, "[MCU - bloader_cmd_write_mem]: send data error"}};
    const Bytes data = {1, 2, 3, 4};
    for (const auto& c : cases) {
        synced_bootloader();
        mcu.nack_next(c.stage, 5);
        StdoutCapture out;
        EXPECT_EQ(bloader_cmd_write_mem(0x08000000, data.data(), 4), -1);
        Lines lines = own_lines(out.lines());
        EXPECT_EQ(count_of(lines, kNackLine), 5u);
        EXPECT_EQ(lines.back(), c.line);
        EXPECT_EQ(count_of(lines, c.line), 1u);
        Bytes s = sent();
        size_t commands = 0;
        for (size_t i = 0; i + 1 < s.size(); ++i) commands += s[i] == 0x31 && s[i + 1] == 0xCE;
        EXPECT_EQ(commands, 5u);
    }
}

// One count of attempts for the whole command: NACKs at different stages add up.
TEST(BloaderNacks, NacksAtAnyStageShareTheFiveAttempts) {
    line_fakes::reset();
    PtyPair pty;
    const int saved = uart_fd;
    {
        StdoutCapture quiet;
        uart_fd = serial_open(pty.slave_path.c_str());
    }
    // The answers, in the order they are read; the last three would let a sixth attempt through.
    pty.send("\x1F" "\x79\x1F" "\x79\x79\x1F" "\x1F" "\x79\x1F" "\x79\x79\x79");
    const Bytes data = {1, 2, 3, 4};
    StdoutCapture out;
    EXPECT_EQ(bloader_cmd_write_mem(0x08000000, data.data(), 4), -1);
    Lines lines = own_lines(out.lines());
    EXPECT_EQ(count_of(lines, kNackLine), 5u);
    EXPECT_EQ(lines.back(), "[MCU - bloader_cmd_write_mem]: address error");
    const Bytes s1 = {0x31, 0xCE}, s2 = {0x08, 0x00, 0x00, 0x00, 0x08}, s3 = {0x03, 1, 2, 3, 4, 0x03 ^ 1 ^ 2 ^ 3 ^ 4};
    const std::string wire = pty.drain();
    EXPECT_EQ(Bytes(wire.begin(), wire.end()), cat(cat(cat(s1, cat(s1, s2)), cat(s1, cat(s2, s3))), cat(s1, cat(s1, s2))));
    StdoutCapture quiet;
    serial_close(uart_fd);
    uart_fd = saved;
}

TEST_F(BloaderTest, SilenceAfterAWriteStageFailsIt) {
    synced_bootloader();
    mcu.drop_next(Stage::write_data, 1);
    line_fakes::script = "--TTTT";
    const Bytes data = {1, 2, 3, 4};
    StdoutCapture out;
    EXPECT_EQ(bloader_cmd_write_mem(0x08000000, data.data(), 4), -1);
    EXPECT_EQ(own_lines(out.lines()), (Lines{kAckLine, kAckLine, kAckTimeout, kAckTimeout, kAckTimeout, kAckTimeout}));
}

TEST_F(BloaderTest, OtherAnswerByteFailsAtOnce) {
    mcu.reset_into(McuModel::Mode::application);  // the application ignores the frame
    const Bytes data = {1, 2, 3, 4};
    pty.send("\x42");
    StdoutCapture out;
    EXPECT_EQ(bloader_cmd_write_mem(0x08000000, data.data(), 4), -1);
    EXPECT_EQ(own_lines(out.lines()), Lines{"[MCU - wait_ack]: mcu responed [42]"});
}

// ---- Extended Erase ----

TEST_F(BloaderTest, EraseCellThreeFrameAndEffect) {
    synced_bootloader();
    mcu.set_flash(47 * 2048, Bytes(2048 * 3, 0x00));  // pages 47-49
    StdoutCapture out;
    EXPECT_EQ(mcu_erase_2k(3), 0);
    EXPECT_EQ(out.lines(), (Lines{kEraseCmdLine, "[UART - serial_write]: write ret = 2", kAckLine, "[UART - serial_write]: write ret = 2",
                                  "[UART - serial_write]: write ret = 32", "[UART - serial_write]: write ret = 1", kAckLine}));
    EXPECT_EQ(sent(), erase_frame(3));
    Bytes flash = mcu.flash();
    EXPECT_EQ(flash[47 * 2048 + 2047], 0x00);
    EXPECT_EQ(flash[48 * 2048], 0xFF);
    EXPECT_EQ(flash[49 * 2048 + 100], 0xFF);
}

TEST_F(BloaderTest, EraseCmdLineIsTheSameForEveryCell) {
    for (int cell = 0; cell < 16; ++cell) {
        synced_bootloader();
        StdoutCapture out;
        EXPECT_EQ(mcu_erase_2k(cell), 0);
        EXPECT_EQ(own_lines(out.lines())[0], kEraseCmdLine);
        EXPECT_EQ(sent(), erase_frame(cell)) << cell;
    }
}

TEST_F(BloaderTest, CellAboveFifteenIsRefusedWithoutSending) {
    synced_bootloader();
    for (int cell : {16, 17, 255}) {
        StdoutCapture out;
        EXPECT_EQ(mcu_erase_2k(cell), -1);
        EXPECT_EQ(out.lines(), Lines{"[MCU - mcu_erase_2k]: this version cannot support the cell"});
    }
    EXPECT_EQ(sent(), Bytes{});
}

TEST_F(BloaderTest, EraseTakesSilenceAfterEitherStageForDone) {
    synced_bootloader();
    mcu.drop_next(Stage::any, 2);
    line_fakes::script = "TTTTTTTT";
    StdoutCapture out;
    EXPECT_EQ(mcu_erase_2k(0), 0);
    EXPECT_EQ(own_lines(out.lines()), cat_lines({kEraseCmdLine}, Lines(8, kAckTimeout)));
    EXPECT_EQ(sent(erase_frame(0).size()), erase_frame(0));
}

TEST_F(BloaderTest, EraseNacksRetryThenFailWithTheirMessages) {
    synced_bootloader();
    mcu.nack_next(Stage::erase_pages, 4);
    {
        StdoutCapture out;
        EXPECT_EQ(mcu_erase_2k(1), 0);
        Lines lines = {kEraseCmdLine};  // once, not per attempt
        for (int i = 0; i < 4; ++i) lines.insert(lines.end(), {kAckLine, kNackLine});
        EXPECT_EQ(own_lines(out.lines()), cat_lines(lines, {kAckLine, kAckLine}));
    }
    Bytes expect;
    for (int i = 0; i < 5; ++i) expect = cat(expect, erase_frame(1));
    EXPECT_EQ(sent(), expect);

    struct Case {
        Stage stage;
        const char* line;
    } cases[] = {{Stage::command, "[MCU - bloader_cmd_ex_erase_mem]: command error"},
                 {Stage::erase_pages, "[MCU - bloader_cmd_ex_erase_mem]: erase page error"}};
    for (const auto& c : cases) {
        synced_bootloader();
        mcu.nack_next(c.stage, 5);
        StdoutCapture out;
        EXPECT_EQ(mcu_erase_2k(2), -1);
        Lines lines = own_lines(out.lines());
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], c.line);
        EXPECT_EQ(lines.back(), "[MCU - mcu_erase_2k]: erase memory failed");
        EXPECT_EQ(count_of(lines, kNackLine), 5u);
        EXPECT_EQ(count_of(lines, kEraseCmdLine), 1u);
    }
}

TEST_F(BloaderTest, EraseAllErasesPagesZeroTo127) {
    synced_bootloader();
    mcu.set_flash(0, Bytes(McuModel::kFlashSize, 0x00));
    StdoutCapture out;
    EXPECT_EQ(mcu_erase_all(), 0);
    Lines lines = own_lines(out.lines());
    for (int cell = 0; cell < 8; ++cell)
        EXPECT_EQ(count_of(lines, "[MCU - mcu_erase_all]: erased mcu the [" + std::to_string(cell) + "] cell"), 1u);
    Bytes flash = mcu.flash();
    EXPECT_EQ(std::count(flash.begin(), flash.begin() + 256 * 1024, 0xFF), 256 * 1024);
    EXPECT_EQ(std::count(flash.begin() + 256 * 1024, flash.end(), 0x00), 256 * 1024);
    Bytes expect;
    for (int cell = 0; cell < 8; ++cell) expect = cat(expect, erase_frame(cell));
    EXPECT_EQ(sent(), expect);
}

TEST_F(BloaderTest, EraseAllTriesEveryCellAndReportsAFailure) {
    synced_bootloader();
    mcu.nack_next(Stage::erase_pages, 5);  // cell 0 fails, the rest succeed
    StdoutCapture out;
    EXPECT_EQ(mcu_erase_all(), -1);
    Lines lines = own_lines(out.lines());
    EXPECT_EQ(count_of(lines, "[MCU - mcu_erase_2k]: erase memory failed"), 1u);
    for (int cell = 0; cell < 8; ++cell)
        EXPECT_EQ(count_of(lines, "[MCU - mcu_erase_all]: erased mcu the [" + std::to_string(cell) + "] cell"), 1u);
    EXPECT_EQ(lines.back(), "[MCU - mcu_erase_all]: erased mcu the [7] cell");
}

// ---- image programming ----

struct Written {
    uint32_t address;
    Bytes data;
};

std::vector<Written> writes_of(const McuModel& mcu) {
    std::vector<Written> out;
    for (const auto& c : mcu.commands())
        if (c.code == 0x31) out.push_back({c.address, c.data});
    return out;
}

Lines write_lines(const Lines& lines) {
    Lines out;
    for (const auto& l : lines)
        if (l.rfind("[MCU - mcu_update_programe]", 0) == 0) out.push_back(l);
    return out;
}

TEST_F(BloaderTest, SixHundredBytesGoOutAsTwoFullFramesAndEightyEight) {
    synced_bootloader();
    const Bytes image = pattern(600, 3);
    StdoutCapture out;
    EXPECT_EQ(mcu_update_programe(image.data(), 600, MCU_PROGRAM_WHOLE), 0);
    EXPECT_EQ(write_lines(out.lines()), (Lines{"[MCU - mcu_update_programe]: write 256 byte", "[MCU - mcu_update_programe]: write 256 byte",
                                               "[MCU - mcu_update_programe]: write 88 byte"}));
    auto w = writes_of(mcu);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].address, 0x08000000u);
    EXPECT_EQ(w[1].address, 0x08000100u);
    EXPECT_EQ(w[2].address, 0x08000200u);
    EXPECT_EQ(w[2].data.size(), 88u);
    Bytes flash = mcu.flash();
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 600), image);
    EXPECT_EQ(flash[600], 0xFF);
}

TEST_F(BloaderTest, LastShortFrameIsPaddedToFourBytes) {
    synced_bootloader();
    const Bytes image = pattern(513, 9);
    StdoutCapture out;
    EXPECT_EQ(mcu_update_programe(image.data(), 513, MCU_PROGRAM_WHOLE), 0);
    EXPECT_EQ(write_lines(out.lines()).back(), "[MCU - mcu_update_programe]: write 1 byte");
    auto w = writes_of(mcu);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[2].address, 0x08000200u);
    EXPECT_EQ(w[2].data, (Bytes{image[512], 0xFF, 0xFF, 0xFF}));
}

TEST_F(BloaderTest, WholeFramesOnlyAndEmptyImage) {
    synced_bootloader();
    const Bytes image = pattern(512, 1);
    {
        StdoutCapture out;
        EXPECT_EQ(mcu_update_programe(image.data(), 512, MCU_PROGRAM_WHOLE), 0);
        EXPECT_EQ(write_lines(out.lines()), (Lines{"[MCU - mcu_update_programe]: write 256 byte", "[MCU - mcu_update_programe]: write 256 byte"}));
    }
    base_ = mcu.wire().size();
    StdoutCapture out;
    EXPECT_EQ(mcu_update_programe(image.data(), 0, MCU_PROGRAM_WHOLE), 0);
    EXPECT_EQ(out.lines(), Lines{});
    EXPECT_EQ(sent(), Bytes{});
}

TEST_F(BloaderTest, SinglePageModeWritesAtThatPageAndRefusesMoreThanAPage) {
    synced_bootloader();
    const Bytes image = pattern(2049, 5);
    {
        StdoutCapture out;
        EXPECT_EQ(mcu_update_programe(image.data(), 100, 3), 0);
    }
    auto w = writes_of(mcu);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].address, 0x08001800u);
    base_ = mcu.wire().size();
    StdoutCapture out;
    EXPECT_EQ(mcu_update_programe(image.data(), 2049, 4), -1);
    EXPECT_EQ(out.lines(), Lines{"[MCU - mcu_update_programe]: image too large for one page : 2049"});
    EXPECT_EQ(sent(), Bytes{});
}

TEST_F(BloaderTest, FailedFrameStopsTheImage) {
    synced_bootloader();
    const Bytes image = pattern(1024, 2);
    mcu.set_flash(0x100, {0});  // the second frame hits programmed flash
    StdoutCapture out;
    EXPECT_EQ(mcu_update_programe(image.data(), 1024, MCU_PROGRAM_WHOLE), -1);
    EXPECT_EQ(write_lines(out.lines()), (Lines{"[MCU - mcu_update_programe]: write 256 byte", "[MCU - mcu_update_programe]: write 256 byte"}));
    EXPECT_EQ(writes_of(mcu).size(), 1u);
}

TEST_F(BloaderTest, FrameBufferMissingFailsTheImage) {
    synced_bootloader();
    const Bytes image = pattern(600, 4);
    line_fakes::malloc_fail_size = 256;
    StdoutCapture out;
    EXPECT_EQ(mcu_update_programe(image.data(), 600, MCU_PROGRAM_WHOLE), -1);
    line_fakes::malloc_fail_size = 0;
    EXPECT_EQ(out.lines(), Lines{"[MCU - mcu_update_programe]: malloc mempry error"});
    EXPECT_EQ(sent(), Bytes{});
}

// ---- line sequences ----

const Timeline kResetPulse = {{MCU_PIN_RESET, GPIO_STATE_LOW}, {kSleep, 1}, {MCU_PIN_RESET, GPIO_STATE_HIGH}, {kSleep, 1},
                              {MCU_PIN_RESET, GPIO_STATE_LOW}};

Timeline then(Timeline a, const Timeline& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(BloaderTest, BootloaderEntryRaisesLinesPulsesResetAndSyncs) {
    StdoutCapture out;
    EXPECT_EQ(mcu_bootloader(), 0);
    EXPECT_EQ(own_lines(out.lines()), (Lines{kAckLine, "[MCU - mcu_bootloader]: enter mcu bootloader"}));
    EXPECT_EQ(g_timeline, then({{MCU_PIN_AUX, GPIO_STATE_HIGH}, {MCU_PIN_BOOT, GPIO_STATE_HIGH}}, kResetPulse));
    EXPECT_EQ(mcu.mode(), McuModel::Mode::bootloader);
    EXPECT_EQ(mcu.wire(), Bytes{0x7F});
}

TEST_F(BloaderTest, BootloaderGetsSixSyncBytes) {
    for (int nacks : {5, 6}) {
        mcu.nack_next(Stage::sync, nacks);
        base_ = mcu.wire().size();
        StdoutCapture out;
        EXPECT_EQ(mcu_bootloader(), nacks == 6 ? -1 : 0);
        Lines lines = own_lines(out.lines());
        EXPECT_EQ(count_of(lines, kNackLine), static_cast<size_t>(nacks));
        EXPECT_EQ(lines.back(), nacks == 6 ? "[MCU - mcu_bootloader]: enter mcu bootloader fail" : "[MCU - mcu_bootloader]: enter mcu bootloader");
        EXPECT_EQ(sent(), Bytes(6, 0x7F));
    }
}

TEST_F(BloaderTest, RunLowersBootPulsesResetWaitsAndConfirms) {
    mcu.reset_into(McuModel::Mode::bootloader);
    mcu.set_version("2.0.13");
    StdoutCapture out;
    EXPECT_EQ(mcu_run(), 0);
    EXPECT_EQ(g_timeline, then(then({{MCU_PIN_BOOT, GPIO_STATE_LOW}}, kResetPulse), {{kSleep, 3}, {kSleep, 1}}));
    EXPECT_EQ(mcu.mode(), McuModel::Mode::application);
    EXPECT_EQ(own_lines(out.lines()).back(), "[ORNMCU - qvn_mcu_check]: mcu version : M2.0.13");
}

TEST_F(BloaderTest, RunFailsWhenTheApplicationStaysSilent) {
    mcu.set_app_silent_starts(1);
    line_fakes::script = "TTTT";
    StdoutCapture out;
    EXPECT_EQ(mcu_run(), -1);
    EXPECT_EQ(own_lines(out.lines()).back(), "[MCU - mcu_run]: mcu ack fail");
}

TEST_F(BloaderTest, InitConfiguresAndExportsDeinitReleasesAroundTheClose) {
    {
        StdoutCapture quiet;
        serial_close(uart_fd);  // mcu_init opens its own
    }
    const Timeline exports = {{MCU_PIN_BOOT, GPIO_STATE_EXPORT}, {MCU_PIN_AUX, GPIO_STATE_EXPORT}, {MCU_PIN_RESET, GPIO_STATE_EXPORT}};
    auto release = [](int flag, bool close) {
        Timeline t = {{MCU_PIN_AUX, GPIO_STATE_IN | flag}, {MCU_PIN_BOOT, GPIO_STATE_IN | flag}};
        if (close) t.emplace_back(kClose, 0);
        return then(t, {{MCU_PIN_BOOT, GPIO_STATE_UNEXPORT | flag}, {MCU_PIN_AUX, GPIO_STATE_UNEXPORT | flag},
                        {MCU_PIN_RESET, GPIO_STATE_UNEXPORT | flag}});
    };
    StdoutCapture out;
    for (int flag : {0, kFromSignal}) {
        g_timeline.clear();
        line_fakes::tcsetattr_calls = 0;
        ASSERT_EQ(mcu_init(), 0);
        // 115200 baud, then 8 data bits, even parity, one stop bit over the raw mode.
        EXPECT_EQ(line_fakes::tcsetattr_calls, 2);
        EXPECT_EQ(line_fakes::tcsetattr_last.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), static_cast<tcflag_t>(CS8 | PARENB));
        EXPECT_EQ(cfgetospeed(&line_fakes::tcsetattr_last), static_cast<speed_t>(B115200));
        EXPECT_EQ(flag == 0 ? mcu_deinit() : mcu_deinit_from_signal(), 0);
        EXPECT_EQ(g_timeline, then(exports, release(flag, true)));
    }
    // A line that is not open is not closed again, nor one that never opened.
    g_timeline.clear();
    EXPECT_EQ(mcu_deinit(), 0);
    g_tty_path.clear();
    EXPECT_EQ(mcu_init(), -1);
    EXPECT_EQ(mcu_deinit(), 0);
    EXPECT_EQ(g_timeline, then(release(0, false), release(0, false)));
    EXPECT_EQ(out.lines(), (Lines{"[UART - serial_open]: uart open error", "[MCU - mcu_init]: serial open error"}));
    uart_fd = -1;
}

// An interrupt in either second of the reset pulse: the release of the lines drives the reset
// line low before it unexports it only when the pulse left it high (the MCU held in reset).
TEST_F(BloaderTest, ReleaseInsideTheResetPulseLowersAResetLineLeftHigh) {
    for (int at_sleep : {1, 2}) {
        g_timeline.clear();
        line_fakes::sleeps.clear();
        Timeline released;
        McuModel::Mode mode_after = McuModel::Mode::bootloader;
        line_fakes::on_sleep = [&](unsigned) {
            if (line_fakes::sleeps.size() != static_cast<size_t>(at_sleep)) return;
            g_timeline.clear();
            mcu_deinit_from_signal();
            for (const auto& e : g_timeline)
                if (e.first != kClose) released.push_back(e);
            mode_after = mcu.mode();
        };
        StdoutCapture quiet;
        mcu_reset();
        const int flag = kFromSignal;
        Timeline want = {{MCU_PIN_AUX, GPIO_STATE_IN | flag}, {MCU_PIN_BOOT, GPIO_STATE_IN | flag},
                         {MCU_PIN_BOOT, GPIO_STATE_UNEXPORT | flag}, {MCU_PIN_AUX, GPIO_STATE_UNEXPORT | flag}};
        if (at_sleep == 2) want.emplace_back(MCU_PIN_RESET, GPIO_STATE_LOW | flag);
        want.emplace_back(MCU_PIN_RESET, GPIO_STATE_UNEXPORT | flag);
        EXPECT_EQ(released, want) << at_sleep;
        EXPECT_EQ(mode_after, McuModel::Mode::application) << at_sleep;  // not held in reset
        // Once the pulse has ended low, a release adds nothing.
        g_timeline.clear();
        mcu_deinit();
        EXPECT_EQ(g_timeline.size(), 5u) << at_sleep;
    }
}

TEST_F(BloaderTest, WaitAckOnAFailingDescriptorIsNoAnswerWithoutALine) {
    const int saved = uart_fd;
    uart_fd = -1;
    StdoutCapture out;
    EXPECT_EQ(wait_ack(), 0xFF);
    uart_fd = saved;
    EXPECT_EQ(out.lines(), Lines{});
}

// A line that cannot be written: every command fails at once, with no line of its own.
TEST_F(BloaderTest, WriteFailuresFailEachCommandAtOnce) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int saved = uart_fd;
    uart_fd = p[0];
    const Bytes data = {1, 2, 3, 4};
    {
        StdoutCapture out;
        EXPECT_EQ(bloader_cmd_write_mem(0x08000000, data.data(), 4), -1);
        EXPECT_EQ(own_lines(out.lines()), Lines{});
    }
    {
        StdoutCapture out;
        EXPECT_EQ(mcu_erase_2k(0), -1);
        EXPECT_EQ(own_lines(out.lines()), (Lines{kEraseCmdLine, "[MCU - mcu_erase_2k]: erase memory failed"}));
    }
    {
        StdoutCapture out;
        EXPECT_EQ(mcu_bootloader(), -1);  // the 0x7F write fails: no further attempts
        Lines lines = out.lines();
        EXPECT_EQ(count_of(lines, "[UART - serial_write]: write error"), 1u);
        EXPECT_EQ(own_lines(lines), Lines{"[MCU - mcu_bootloader]: enter mcu bootloader fail"});
    }
    uart_fd = saved;
    close(p[0]);
    close(p[1]);
}

}  // namespace
