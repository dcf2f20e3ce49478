// End-to-end: the real coprocflash binary updates the simulated MCU, and every refusal and
// failure path ends with its lines and exit status.
#include <errno.h>
#include <termios.h>
#include <unistd.h>

#include "e2e_harness.h"

namespace e2e {
namespace {

using board::McuModel;

void expect_flash_holds(const McuModel& mcu, const Bytes& image) {
    Bytes flash = mcu.flash();
    ASSERT_EQ(flash.size(), McuModel::kFlashSize);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "image not in flash";
    EXPECT_EQ(std::count(flash.begin() + static_cast<long>(image.size()), flash.begin() + 256 * 1024, 0xFF),
              static_cast<long>(256 * 1024 - image.size()));
}

std::vector<uint16_t> erased_pages(const McuModel& mcu) {
    std::vector<uint16_t> out;
    for (const auto& c : mcu.commands())
        if (c.code == 0x44) out.insert(out.end(), c.pages.begin(), c.pages.end());
    return out;
}

std::vector<uint16_t> pages_0_to_127() {
    std::vector<uint16_t> p;
    for (uint16_t i = 0; i < 128; ++i) p.push_back(i);
    return p;
}

TEST(CoprocflashE2E, UpdatesSixHundredBytesWithTheVersionGate) {
    Board b;
    b.mcu.set_version("2.0.9");
    b.mcu.set_version_after_update("2.0.13");
    b.mcu.set_flash(0, Bytes(300 * 1024, 0x00));  // the old firmware
    const Bytes image = pattern(600, 1);
    auto p = b.run({b.image("fw.bin", image), "2.0.13"});
    ASSERT_TRUE(p);
    ASSERT_EQ(p->wait_exit(kHappyRun), 0) << p->output();
    Lines lines = p->output_lines();
    EXPECT_TRUE(in_order(lines, {"--------start--------", "will upgrade version : 2.0.13", "read file : fm_size=600, ret_size=600",
                                 "[MCU - mcu_gpio_config]: echo 119 > /sys/class/gpio/export",
                                 "[ORNMCU - qvn_version_check]: firmware version : 2.0.13",
                                 "[ORNMCU - qvn_version_check]: mcu version : 2.0.9",
                                 "[MCU - mcu_bootloader]: enter mcu bootloader", "[MCU - mcu_erase_all]: erased mcu the [7] cell",
                                 "[MCU - mcu_update_programe]: write 256 byte", "[MCU - mcu_update_programe]: write 256 byte",
                                 "[MCU - mcu_update_programe]: write 88 byte", "[ORNMCU - qvn_mcu_check]: wait mcu run 3s...",
                                 "[ORNMCU - qvn_mcu_check]: mcu version : M2.0.13",
                                 "[MCU - mcu_gpio_config]: echo 117 > /sys/class/gpio/unexport", "--------end--------"}));
    EXPECT_EQ(lines.back(), "--------end--------");
    EXPECT_EQ(count_of(lines, "mcu upgrade error"), 0u);
    expect_flash_holds(b.mcu, image);
    EXPECT_EQ(erased_pages(b.mcu), pages_0_to_127());
    // Pages beyond the erased area keep the old firmware.
    EXPECT_EQ(b.mcu.flash()[256 * 1024], 0x00);
    EXPECT_EQ(b.final_gpio_writes(), concat({export_writes(), bootloader_entry_writes(), run_writes(), release_writes()}));
    // 115200 baud, 8 data bits, even parity, one stop bit at the tcsetattr call.
    Lines log = b.e2e_log();
    ASSERT_EQ(log.size(), 3u) << ::testing::PrintToString(log);
    unsigned cflag = 0, speed = 0;
    ASSERT_EQ(sscanf(log[1].c_str(), "tcsetattr cflag=%o ospeed=%o", &cflag, &speed), 2);
    EXPECT_EQ(cflag & CSIZE, static_cast<unsigned>(CS8));
    EXPECT_NE(cflag & PARENB, 0u);
    EXPECT_EQ(cflag & (PARODD | CSTOPB), 0u);
    EXPECT_EQ(speed, static_cast<unsigned>(B115200));
    EXPECT_EQ(log[2], "close tty");
    struct termios tio;
    ASSERT_EQ(tcgetattr(b.bed.tty_slave_fd("ttyS1"), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    // The reset pulse: each level held about one second.
    auto w = b.gpio.writes();
    for (size_t i = 0; i + 1 < w.size(); ++i)
        if (w[i].file == "gpio117/direction" && w[i + 1].file == "gpio117/direction") {
            EXPECT_GE(w[i + 1].when - w[i].when, 900ms);
        }
}

TEST(CoprocflashE2E, UpdatesSeventyKilobytesAndThreeWithPadding) {
    Board b;
    const Bytes image = pattern(70 * 1024 + 3, 2);
    auto p = b.run({b.image("fw.bin", image)});
    ASSERT_TRUE(p);
    ASSERT_EQ(p->wait_exit(kHappyRun), 0) << p->output();
    Lines lines = p->output_lines();
    EXPECT_EQ(count_of(lines, "[MCU - mcu_update_programe]: write 256 byte"), 280u);
    EXPECT_EQ(count_of(lines, "[MCU - mcu_update_programe]: write 3 byte"), 1u);
    EXPECT_EQ(count_of(lines, "will upgrade version : "), 0u);
    expect_flash_holds(b.mcu, image);
    auto cmds = b.mcu.commands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds.back().address, 0x08000000u + 280 * 256);
    EXPECT_EQ(cmds.back().data, (Bytes{image[71680], image[71681], image[71682], 0xFF}));
    EXPECT_EQ(erased_pages(b.mcu), pages_0_to_127());
}

TEST(CoprocflashE2E, LargestImageThatTheEraseCoversIsWritten) {
    Board b;
    const Bytes image = pattern(256 * 1024, 3);
    auto p = b.run({b.image("fw.bin", image)});
    ASSERT_TRUE(p);
    ASSERT_EQ(p->wait_exit(kHappyRun * 2), 0) << p->output();
    expect_flash_holds(b.mcu, image);
}

TEST(CoprocflashE2E, EqualVersionIsRefusedAndFlashUntouched) {
    Board b;
    b.mcu.set_version("2.0.13");
    const Bytes old = pattern(4096, 9);
    b.mcu.set_flash(0, old);
    auto p = b.run({b.image("fw.bin", pattern(600, 1)), "2.0.13"});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->wait_exit(kHappyRun), 255);
    Lines lines = p->output_lines();
    EXPECT_TRUE(in_order(lines, {"[ORNMCU - qvn_version_check]: mcu version : 2.0.13", "mcu already new version!",
                                 "[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio13/direction", "--------end--------"}));
    EXPECT_EQ(lines.back(), "--------end--------");
    EXPECT_TRUE(b.mcu.commands().empty());
    EXPECT_EQ(b.mcu.bootloader_entries(), 0);
    Bytes flash = b.mcu.flash();
    EXPECT_TRUE(std::equal(old.begin(), old.end(), flash.begin()));
    EXPECT_EQ(b.final_gpio_writes(), concat({export_writes(), release_writes()}));
}

TEST(CoprocflashE2E, NoArgumentsPrintsUsage) {
    Board b;
    auto p = b.run({});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->wait_exit(10s), 255);
    EXPECT_EQ(p->output_lines(), (Lines{"--------start--------", std::string("Usage : ") + COPROCFLASH_BIN + " [file_path]"}));
    EXPECT_TRUE(b.gpio.writes().empty());
}

TEST(CoprocflashE2E, MissingFileEndsBeforeTheMcu) {
    Board b;
    auto p = b.run({"/nonexistent/coprocflash-fw.bin"});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->wait_exit(10s), 255);
    EXPECT_EQ(p->output_lines(),
              (Lines{"--------start--------", "open file [/nonexistent/coprocflash-fw.bin] failed", "--------end--------"}));
    EXPECT_TRUE(b.gpio.writes().empty());
    EXPECT_TRUE(b.mcu.wire().empty());
}

TEST(CoprocflashE2E, ShortReadNeverEndsWithZero) {
    struct Case {
        int limit;
        int status;
    } cases[] = {{512, 255}, {300, 300 & 0xFF}};
    for (const auto& c : cases) {
        Board b;
        std::string path = b.image("fw.bin", pattern(1000, 4));
        auto p = b.run({path}, {"COPROC_SHORT_READ_FILE=" + path, "COPROC_SHORT_READ_MAX=" + std::to_string(c.limit)});
        ASSERT_TRUE(p);
        EXPECT_EQ(p->wait_exit(10s), c.status);
        std::string counts = "fm_size=1000, ret_size=" + std::to_string(c.limit);
        EXPECT_EQ(p->output_lines(), (Lines{"--------start--------", "read file : " + counts, "read file fail : " + counts,
                                            "--------end--------"}));
        EXPECT_TRUE(b.gpio.writes().empty());
    }
}

TEST(CoprocflashE2E, EmptyAndOversizedImagesAreRefusedBeforeTheMcu) {
    {
        Board b;
        auto p = b.run({b.image("empty.bin", {})});
        ASSERT_TRUE(p);
        EXPECT_EQ(p->wait_exit(10s), 255);
        EXPECT_EQ(p->output_lines(), (Lines{"--------start--------", "read file : fm_size=0, ret_size=0",
                                            "image file is empty, nothing to program", "--------end--------"}));
        EXPECT_TRUE(b.gpio.writes().empty());
    }
    // Refused before the image is read: one byte beyond the erase, and beyond a 32-bit size.
    for (long long size : {256 * 1024 + 1LL, 0x80000000LL}) {
        Board b;
        std::string path = b.image("big.bin", {});
        ASSERT_EQ(truncate(path.c_str(), size), 0);  // sparse: no disk space used
        auto p = b.run({path});
        ASSERT_TRUE(p);
        EXPECT_EQ(p->wait_exit(10s), 255);
        EXPECT_EQ(p->output_lines(), (Lines{"--------start--------",
                                            "image file too large : " + std::to_string(size) + " bytes, the update erases 262144",
                                            "--------end--------"}));
        EXPECT_TRUE(b.gpio.writes().empty());
    }
}

TEST(CoprocflashE2E, VersionTheParserCannotHoldIsRefusedBeforeTheMcu) {
    for (std::string v : {"1.2.3.4", "1234567890.0.0"}) {
        Board b;
        auto p = b.run({b.image("fw.bin", pattern(600, 1)), v});
        ASSERT_TRUE(p);
        EXPECT_EQ(p->wait_exit(10s), 255);
        EXPECT_EQ(p->output_lines(), (Lines{"--------start--------", "will upgrade version : " + v,
                                            "version text not supported : " + v, "--------end--------"}));
        EXPECT_TRUE(b.gpio.writes().empty());
    }
}

TEST(CoprocflashE2E, SerialLineThatDoesNotOpenFailsInit) {
    Board b;
    b.bed.fail_open("/dev/ttyS1", ENOENT);
    auto p = b.run({b.image("fw.bin", pattern(600, 1)), "2.0.13"});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->wait_exit(10s), 255);
    Lines lines = p->output_lines();
    EXPECT_TRUE(in_order(lines, {"read file : fm_size=600, ret_size=600", "[UART - serial_open]: uart open error",
                                 "[MCU - mcu_init]: serial open error", "mcu init fail",
                                 "[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio13/direction",
                                 "[MCU - mcu_gpio_config]: echo 117 > /sys/class/gpio/unexport", "--------end--------"}));
    EXPECT_EQ(lines.back(), "--------end--------");
    EXPECT_EQ(b.final_gpio_writes(), release_writes());
}

TEST(CoprocflashE2E, HandlerThatCannotBeInstalledEndsAfterReleasingTheLines) {
    Board b;
    auto p = b.run({b.image("fw.bin", pattern(600, 1)), "2.0.13"}, {"COPROC_FAIL_SIGINT_HANDLER=1"});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->wait_exit(10s), 255);
    Lines lines = p->output_lines();
    EXPECT_TRUE(in_order(lines, {"[MCU - mcu_gpio_config]: echo 117 > /sys/class/gpio/export", "cannot catch SIGNIT",
                                 "[MCU - mcu_gpio_config]: echo in > /sys/class/gpio/gpio13/direction",
                                 "[MCU - mcu_gpio_config]: echo 117 > /sys/class/gpio/unexport", "--------end--------"}));
    EXPECT_EQ(lines.back(), "--------end--------");
    EXPECT_EQ(b.mcu.version_queries(), 0);
    EXPECT_EQ(b.final_gpio_writes(), concat({export_writes(), release_writes()}));
}

TEST(CoprocflashE2E, ThreeArgumentsSkipTheVersionGate) {
    Board b;
    b.mcu.set_version("9.9.9");
    const Bytes image = pattern(1000, 6);
    auto p = b.run({b.image("fw.bin", image), "1.0.0", "extra"});
    ASSERT_TRUE(p);
    ASSERT_EQ(p->wait_exit(kHappyRun), 0) << p->output();
    Lines lines = p->output_lines();
    EXPECT_EQ(count_of(lines, "will upgrade version : 1.0.0"), 0u);
    EXPECT_EQ(b.mcu.version_queries(), 1);  // only the confirmation after the restart
    expect_flash_holds(b.mcu, image);
}

TEST(CoprocflashE2E, SilentApplicationBeforeTheUpdateLetsItGoAhead) {
    Board b;
    b.mcu.set_app_silent_until_reset(true);
    const Bytes image = pattern(600, 7);
    auto p = b.run({b.image("fw.bin", image), "2.0.13"});
    ASSERT_TRUE(p);
    ASSERT_EQ(p->wait_exit(kHappyRun), 0) << p->output();
    EXPECT_TRUE(in_order(p->output_lines(), {"[ORNMCU - qvn_version_check]: cannot get mcu version",
                                             "[MCU - mcu_bootloader]: enter mcu bootloader", "--------end--------"}));
    expect_flash_holds(b.mcu, image);
}

// 3 x (2 s + 6 x 4 s) of waiting: run on a fast clock where libfaketime is there.
TEST(CoprocflashE2E, SilentBootloaderFailsThreePasses) {
    Board b;
    b.mcu.set_bootloader_silent(true);
    auto p = b.run({b.image("fw.bin", pattern(600, 1))}, {}, true);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->wait_exit(kSilentRun), 255);
    Lines lines = p->output_lines();
    EXPECT_EQ(count_of(lines, "mcu enter bootloader fail"), 3u);
    EXPECT_EQ(count_of(lines, "[MCU - mcu_bootloader]: enter mcu bootloader fail"), 3u);
    EXPECT_EQ(count_of(lines, "[MCU - wait_ack]: wait ack timeout!"), 3u * 6 * 4);
    EXPECT_TRUE(in_order(lines, {"mcu enter bootloader fail", "mcu enter bootloader fail", "mcu enter bootloader fail",
                                 "mcu upgrade error", "--------end--------"}));
    EXPECT_EQ(lines.back(), "--------end--------");
    EXPECT_EQ(b.mcu.bootloader_entries(), 3);
    EXPECT_EQ(b.mcu.wire(), Bytes(18, 0x7F));
}

TEST(CoprocflashE2E, SilentApplicationAfterTheFirstRestartSucceedsInPassTwo) {
    Board b;
    b.mcu.set_app_silent_starts(1);
    const Bytes image = pattern(2000, 8);
    auto p = b.run({b.image("fw.bin", image)}, {}, true);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->wait_exit(kHappyRun * 2), 0) << p->output();
    Lines lines = p->output_lines();
    EXPECT_EQ(count_of(lines, "mcu run fail"), 1u);
    EXPECT_EQ(count_of(lines, "[MCU - mcu_run]: mcu ack fail"), 1u);
    EXPECT_EQ(count_of(lines, "mcu upgrade error"), 0u);
    EXPECT_EQ(b.mcu.bootloader_entries(), 2);
    expect_flash_holds(b.mcu, image);
    EXPECT_EQ(b.final_gpio_writes(), concat({export_writes(), bootloader_entry_writes(), run_writes(), bootloader_entry_writes(),
                                            run_writes(), release_writes()}));
}

TEST(CoprocflashE2E, SilentBootloaderInPassOneSucceedsInPassTwo) {
    Board b;
    b.mcu.set_bootloader_silent_entries(1);
    const Bytes image = pattern(3000, 12);
    auto p = b.run({b.image("fw.bin", image)}, {}, true);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->wait_exit(kSilentRun), 0) << p->output();
    Lines lines = p->output_lines();
    EXPECT_EQ(count_of(lines, "mcu enter bootloader fail"), 1u);
    EXPECT_EQ(count_of(lines, "mcu upgrade error"), 0u);
    EXPECT_EQ(b.mcu.bootloader_entries(), 2);
    expect_flash_holds(b.mcu, image);
}

TEST(CoprocflashE2E, EraseRefusedInPassOneSucceedsInPassTwo) {
    Board b;
    b.mcu.nack_next(McuModel::Stage::erase_pages, 5);
    const Bytes image = pattern(600, 10);
    auto p = b.run({b.image("fw.bin", image)});
    ASSERT_TRUE(p);
    ASSERT_EQ(p->wait_exit(kHappyRun * 2), 0) << p->output();
    Lines lines = p->output_lines();
    EXPECT_EQ(count_of(lines, "mcu erase all memory fail"), 1u);
    EXPECT_EQ(count_of(lines, "[MCU - mcu_erase_all]: erased mcu the [7] cell"), 2u);
    EXPECT_EQ(count_of(lines, "mcu upgrade error"), 0u);
    expect_flash_holds(b.mcu, image);
}

TEST(CoprocflashE2E, WriteRefusedInEveryPassEndsWithUpgradeError) {
    Board b;
    b.mcu.nack_next(McuModel::Stage::write_data, 15);  // five NACKs per pass, three passes
    auto p = b.run({b.image("fw.bin", pattern(600, 11))});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->wait_exit(kHappyRun * 2), 255) << p->output();
    Lines lines = p->output_lines();
    EXPECT_EQ(count_of(lines, "mcu update programe fail"), 3u);
    EXPECT_EQ(count_of(lines, "[MCU - bloader_cmd_write_mem]: send data error"), 3u);
    EXPECT_TRUE(in_order(lines, {"mcu update programe fail", "mcu upgrade error", "--------end--------"}));
}

}  // namespace
}  // namespace e2e
