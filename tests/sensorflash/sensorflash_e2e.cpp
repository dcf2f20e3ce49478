// End-to-end runs of the real sensorflash binary against the touch controller model on the
// test bed: whole output, exit status, rows programmed, control requests and their timing.
#include <errno.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "bed.h"
#include "image.h"
#include "touch_controller.h"

namespace {

using board::TouchController;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

const unsigned long REQ_A0 = 0x40046BA0, REQ_A1 = 0x40046BA1, REQ_A3 = 0x40046BA3;
// Bound for one run: two one-second waits and a few hundred frame exchanges.
const milliseconds RUN_TIMEOUT{30000};
// The model refuses frames for this long after the entry request, as a restarting chip would;
// the tool's one-second wait must cover it.
const milliseconds HANDOVER{800};

std::string finish_line(int n) { return "BOOTLOADER_START: upgrade pkt " + std::to_string(n) + " finish......."; }
const char SUCCESS[] = "TOUCH PROGRAM UPDATE SUCCESSFULLY";

long ms_between(TouchController::Clock::time_point a, TouchController::Clock::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(b - a).count());
}

class Sensorflash : public ::testing::Test {
protected:
    struct Result {
        int status = -1;
        Lines lines;
        std::string errors;
    };

    void SetUp() override {
        touch.set_rows(10, 200);
        touch.set_version(11);
        touch.set_handover_time(HANDOVER);
        bed.add_char_device("morlan_touch", &touch);
    }

    std::string image_file(const Bytes& img) {
        return bed.make_file("images/touch.bin", std::string(img.begin(), img.end()));
    }

    Result run(std::vector<std::string> args) {
        args.insert(args.begin(), SENSORFLASH_BIN);
        Result r;
        auto proc = bed.start(args);
        if (!proc) return r;
        r.status = proc->wait_exit(RUN_TIMEOUT);
        r.lines = proc->output_lines();
        r.errors = proc->error_output();
        EXPECT_EQ(r.errors, "");  // sanitizer reports land here
        return r;
    }

    // Replaces the start-upgrade line's descriptor (whatever the bed's open gave) by "N".
    static Lines with_fd_masked(Lines lines) {
        static const std::regex start("start upgrade:dev_fd=([0-9]+), fileSize=([0-9]+)");
        for (auto& l : lines) {
            std::smatch m;
            if (std::regex_match(l, m, start) && std::stoi(m[1]) > 0) l = "start upgrade:dev_fd=N, fileSize=" + m[2].str();
        }
        return lines;
    }

    // The set-up requests after the open, then (when closed properly) the closing sequence
    // with one second between its two requests.
    void expect_requests(bool closing) {
        auto calls = touch.ioctls();
        ASSERT_EQ(calls.size(), closing ? 5u : 3u);
        EXPECT_EQ(calls[0].request, REQ_A0);
        EXPECT_EQ(calls[0].value, 0u);
        EXPECT_EQ(calls[1].request, REQ_A1);
        EXPECT_EQ(calls[1].value, 1u);
        EXPECT_EQ(calls[2].request, REQ_A3);
        EXPECT_EQ(calls[2].value, 0u);
        if (!closing) return;
        EXPECT_EQ(calls[3].request, REQ_A1);
        EXPECT_EQ(calls[3].value, 0u);
        EXPECT_EQ(calls[4].request, REQ_A1);
        EXPECT_EQ(calls[4].value, 1u);
        long gap = ms_between(calls[3].at, calls[4].at);
        EXPECT_GE(gap, 1000);
        EXPECT_LT(gap, 1500);
    }

    std::string frame_trace() const {
        std::string s;
        for (const auto& f : touch.frames()) {
            switch (f.cmd) {
            case TouchController::CMD_ENTER: s += "E"; break;
            case TouchController::CMD_GET_FLASH_SIZE: s += "F"; break;
            case TouchController::CMD_SEND_DATA: s += "d"; break;
            case TouchController::CMD_PROGRAM_ROW: s += "P"; break;
            case TouchController::CMD_VERIFY_ROW: s += "V"; break;
            case TouchController::CMD_EXIT: s += "X"; break;
            default: s += "?";
            }
        }
        return s;
    }

    TouchController touch;  // outlives the bed, which serves it
    testbed::Bed bed;
};

TEST_F(Sensorflash, ThreePacketsLandInRows10And11And200) {
    Bytes img = make_image(3);
    std::string path = image_file(img);
    Result r = run({path, "4.7.12"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(with_fd_masked(r.lines), (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=387",
                                              finish_line(1), finish_line(2), finish_line(3), SUCCESS}));
    ASSERT_EQ(touch.programmed_rows(), (std::vector<uint16_t>{10, 11, 200}));
    auto flash = touch.flash();
    EXPECT_EQ(flash.size(), 3u);
    const uint16_t rows[] = {10, 11, 200};
    for (size_t k = 0; k < 3; ++k)
        EXPECT_EQ(Bytes(flash[rows[k]].begin(), flash[rows[k]].end()), image_row(img, k)) << "row " << rows[k];
    EXPECT_EQ(frame_trace(), "EF" "ddddddPV" "ddddddPV" "ddddddPV" "X");
    expect_requests(true);

    // Frame sizes on the wire: each frame plus one byte.
    for (const auto& f : touch.frames()) EXPECT_EQ(f.written, f.data.size() + 8) << int(f.cmd);
    // One second between the entry request and Enter.
    auto writes = touch.writes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, (Bytes{0x00, 0x09, 0x5A, 0x00}));
    EXPECT_GE(ms_between(writes[0].at, writes[1].at), 1000);
    EXPECT_EQ(touch.exits(), 1);
    EXPECT_EQ(touch.mode(), TouchController::Mode::application);
}

// Version gate: the image is skipped when the controller is as new or newer; the image file
// is then never opened, so a missing one goes unnoticed.
class SensorflashSkip : public Sensorflash {
protected:
    void expect_skip(const char* version, int new_ver, int controller) {
        touch.set_version(static_cast<uint8_t>(controller));
        Result r = run({bed.root_dir() + "/no/such/touch.bin", version});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.lines, (Lines{std::string("version:") + version,
                                  "ver=" + std::to_string(controller) + ", new_ver=" + std::to_string(new_ver), SUCCESS}));
        EXPECT_EQ(touch.entry_requests(), 0);
        EXPECT_TRUE(touch.frames().empty());
        expect_requests(true);
    }
};

TEST_F(SensorflashSkip, SameVersionIsSkipped) { expect_skip("4.7.12", 12, 12); }
TEST_F(SensorflashSkip, OlderImageIsSkipped) { expect_skip("4.7.12", 12, 13); }
TEST_F(SensorflashSkip, OnlyTheThirdNumberCounts) { expect_skip("9.9.3", 3, 5); }

TEST_F(Sensorflash, ThirdNumberAbove255AlwaysPrograms) {
    touch.set_version(255);
    Result r = run({image_file(make_image(1)), "1.0.256"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(with_fd_masked(r.lines), (Lines{"version:1.0.256", "ver=255, new_ver=256",
                                              "start upgrade:dev_fd=N, fileSize=129", finish_line(1), SUCCESS}));
    EXPECT_EQ(touch.programmed_rows(), std::vector<uint16_t>{200});
}

TEST_F(Sensorflash, FailedVersionReadLeadsToProgramming) {
    touch.set_version(200);
    touch.fail_reads(1, -EIO);
    Result r = run({image_file(make_image(1)), "0.0.0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(with_fd_masked(r.lines),
              (Lines{"version:0.0.0", "touch_read_reg error:cnt = 5, ret=-1", "get version fail, continue upgrade, new version=0",
                     "start upgrade:dev_fd=N, fileSize=129", finish_line(1), SUCCESS}));
    auto reads = touch.reads();
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads[0].len, 5u);
    EXPECT_EQ(reads[0].result, -EIO);
    EXPECT_EQ(reads[1].len, 4u);  // the next read is already a bootloader poll: one version attempt
    EXPECT_EQ(touch.programmed_rows(), std::vector<uint16_t>{200});
}

TEST_F(Sensorflash, WrongArgumentCountShowsUsageWithoutOpeningTheDevice) {
    const std::string usage = std::string("Usage: ") + SENSORFLASH_BIN + " touch_bin_file version(xx.xx.xx)";
    Result one = run({"touch.bin"});
    EXPECT_EQ(one.status, 255);
    EXPECT_EQ(one.lines, Lines{usage});
    Result three = run({"touch.bin", "4.7.12", "extra"});
    EXPECT_EQ(three.status, 255);
    EXPECT_EQ(three.lines, Lines{usage});
    EXPECT_TRUE(touch.ioctls().empty());
}

TEST_F(Sensorflash, VersionTextNotOfThreeNumbersShowsUsageWithoutOpeningTheDevice) {
    const std::string usage = std::string("Usage: ") + SENSORFLASH_BIN + " touch_bin_file version(xx.xx.xx)";
    for (const char* text : {"4.7", "v4.7.12", "4.7.x"}) {
        Result r = run({"touch.bin", text});
        EXPECT_EQ(r.status, 255) << text;
        EXPECT_EQ(r.lines, Lines{usage}) << text;
    }
    EXPECT_TRUE(touch.ioctls().empty());
}

TEST_F(Sensorflash, DeviceThatCannotBeOpenedEndsWithoutClosingSequence) {
    bed.fail_open("/dev/morlan_touch", EACCES);
    Result r = run({"touch.bin", "4.7.12"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.lines, (Lines{"open /dev/morlan_touch device error!", "touch init error:-1"}));
    EXPECT_TRUE(touch.ioctls().empty());
}

TEST_F(Sensorflash, MissingImageWithNewerVersionClosesPlainly) {
    const std::string path = bed.root_dir() + "/no/such/touch.bin";
    Result r = run({path, "4.7.12"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.lines, (Lines{"version:4.7.12", "ver=11, new_ver=12", "open file [" + path + "]failed"}));
    expect_requests(false);
    EXPECT_EQ(touch.entry_requests(), 0);
}

TEST_F(Sensorflash, TenByteImageOnlyEntersAndLeavesTheBootloader) {
    Result r = run({image_file(make_image(0, 10)), "4.7.12"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(with_fd_masked(r.lines),
              (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=10", SUCCESS}));
    EXPECT_EQ(touch.entry_requests(), 1);
    EXPECT_EQ(frame_trace(), "EFX");
    EXPECT_TRUE(touch.programmed_rows().empty());
    expect_requests(true);
}

TEST_F(Sensorflash, TailOfFiveBytesIsIgnored) {
    Bytes img = make_image(2, 5);
    Result r = run({image_file(img), "4.7.12"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(with_fd_masked(r.lines), (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=263",
                                              finish_line(1), finish_line(2), SUCCESS}));
    ASSERT_EQ(touch.programmed_rows(), (std::vector<uint16_t>{10, 200}));
    auto flash = touch.flash();
    EXPECT_EQ(Bytes(flash[200].begin(), flash[200].end()), image_row(img, 1));
}

TEST_F(Sensorflash, RowChecksumFailureOnSecondOfThreePackets) {
    touch.set_wrong_row_checksum(11);
    Bytes img = make_image(3);
    unsigned sum = 0;
    for (uint8_t b : image_row(img, 1)) sum += b;
    const uint8_t mine = static_cast<uint8_t>(0 - sum);
    char mismatch[100];
    snprintf(mismatch, sizeof mismatch, "[I2C_Get_Row_CheckSum-506]:My_Row_Chcksum = %02x, temp_checksum = %02x", mine,
             static_cast<uint8_t>(mine + 1));
    Result r = run({image_file(img), "4.7.12"});
    EXPECT_EQ(r.status, 251);
    EXPECT_EQ(with_fd_masked(r.lines),
              (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=387", finish_line(1), mismatch,
                     "BOOTLOADER_START: I2C_Get_Row_CheckSumerror", "TOUCH UPDATE FAIL:ret=-5"}));
    EXPECT_EQ(frame_trace(), "EF" "ddddddPV" "ddddddPV" "X");
    EXPECT_EQ(touch.exits(), 1);
    expect_requests(true);
}

TEST_F(Sensorflash, EnterAnswerWithBadChecksumFailsWithMinus4) {
    TouchController::AnswerFault bad;
    bad.bad_checksum = true;
    bad.replace_payload = true;  // answer 01 00 00 00 with checksum 0xFFFF sent as 0x0000
    touch.set_answer_fault(TouchController::CMD_ENTER, bad);
    Result r = run({image_file(make_image(3)), "4.7.12"});
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(with_fd_masked(r.lines), (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=387",
                                              "[I2C_Frame_UnPacket-620]:PKT_Checksum = 65280, Checksum = 65535",
                                              "[I2C_ENTER_BTLDR-302]:ret = -4", "TOUCH UPDATE FAIL:ret=-4"}));
    EXPECT_EQ(frame_trace(), "E");
    expect_requests(true);
}

TEST_F(Sensorflash, BootloaderStatusDuringProgrammingFailsWithMinus6) {
    TouchController::AnswerFault st;
    st.status = 0x0A;
    touch.set_answer_fault(TouchController::CMD_PROGRAM_ROW, st, 1);
    Result r = run({image_file(make_image(3)), "4.7.12"});
    EXPECT_EQ(r.status, 250);
    EXPECT_EQ(with_fd_masked(r.lines), (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=387",
                                              "[I2C_Frame_UnPacket-629]:cy_ret = 10", "BOOTLOADER_START: I2C_Flash_Program error",
                                              "TOUCH UPDATE FAIL:ret=-6"}));
    EXPECT_EQ(frame_trace(), "EF" "ddddddP" "X");
}

TEST_F(Sensorflash, SilentBootloaderTimesOutAfterHundredPolls) {
    TouchController::AnswerFault silent;
    silent.no_answer = true;
    touch.set_answer_fault(TouchController::CMD_GET_FLASH_SIZE, silent);
    Result r = run({image_file(make_image(1)), "4.7.12"});
    EXPECT_EQ(r.status, 253);
    EXPECT_EQ(with_fd_masked(r.lines), (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=129",
                                              "I2C_Rev: wait touch mcu timeout", "[I2C_GET_FLASH_SIZE-337]:ret = -3",
                                              "TOUCH UPDATE FAIL:ret=-3"}));
    auto reads = touch.reads();
    auto polls = std::count_if(reads.begin(), reads.end(), [](const TouchController::ReadCall& c) {
        return c.offset == 0 && c.len == 4;
    });
    EXPECT_EQ(polls, 1 + 100);  // Enter's answer at the first poll, then 100 for Get Flash Size
    EXPECT_EQ(touch.exits(), 0);
}

TEST_F(Sensorflash, FirstEntryRequestFailsAndTheRepeatSucceeds) {
    touch.fail_writes(5, -EIO);  // all five attempts of the first request
    Result r = run({image_file(make_image(1)), "4.7.12"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.lines.back(), SUCCESS);
    auto writes = touch.writes();
    ASSERT_GE(writes.size(), 6u);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(writes[i].bytes, (Bytes{0x00, 0x09, 0x5A, 0x00})) << i;
    EXPECT_EQ(writes[5].result, 4);
    EXPECT_EQ(touch.entry_requests(), 1);
    EXPECT_EQ(touch.programmed_rows(), std::vector<uint16_t>{200});
}

TEST_F(Sensorflash, BothEntryRequestsFailWithMinus2AndNoFrame) {
    touch.fail_writes(10, -EIO);
    Result r = run({image_file(make_image(1)), "4.7.12"});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(with_fd_masked(r.lines), (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=129",
                                              "TOUCH UPDATE FAIL:ret=-2"}));
    EXPECT_EQ(touch.writes().size(), 10u);
    EXPECT_TRUE(touch.frames().empty());
    EXPECT_EQ(touch.entry_requests(), 0);
    expect_requests(true);
}

TEST_F(Sensorflash, ImageOfMoreThan65535PacketsIsRefusedBeforeTheBootloader) {
    Bytes img(65536u * 129u, 0x00);
    Result r = run({image_file(img), "4.7.12"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(with_fd_masked(r.lines),
              (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=8454144",
                     "touch_upgrade: image of 65536 packets is more than the packet counter's 65535, not programmed",
                     "TOUCH UPDATE FAIL:ret=-1"}));
    EXPECT_EQ(touch.entry_requests(), 0);
    EXPECT_TRUE(touch.writes().empty());
    expect_requests(true);
}

}  // namespace
