// Programming loop over the real bootloader frames, a fake device layer and the controller
// model: row assignment, frame order, packet failures and the exit frame, the size limit.
// (The entry repeat, short images and the row checksum failure run end to end.)
#include <errno.h>

#include <gtest/gtest.h>

#include "stdout_capture.h"
#include "fake_touch_dev.h"
#include "image.h"
#include "sys_shim.h"
#include "touch_btldr.h"
#include "touch_controller.h"
#include "touch_upgrade.h"

namespace {

using board::TouchController;
using Bytes = std::vector<uint8_t>;

std::string finish_line(int n) { return "BOOTLOADER_START: upgrade pkt " + std::to_string(n) + " finish......."; }

class Upgrade : public ::testing::Test {
protected:
    void SetUp() override {
        fake_dev::attach(&model);
        shim::attach(nullptr);
        model.set_rows(10, 200);
    }
    // Command codes of the frames the controller took in, in order, as a string of names.
    std::string frame_trace() const {
        std::string s;
        for (const auto& f : model.frames()) {
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
    int upgrade(const Bytes& img, Lines* lines) {
        StdoutCapture out;
        int r = touch_upgrade(7, img.data(), img.size());
        *lines = out.lines();
        return r;
    }

    TouchController model;
};

TEST_F(Upgrade, ThreePacketsGoToFirstRowsAndTheLastToLastRow) {
    Bytes img = make_image(3);
    Lines lines;
    EXPECT_EQ(upgrade(img, &lines), 0);
    EXPECT_EQ(lines, (Lines{finish_line(1), finish_line(2), finish_line(3)}));
    EXPECT_EQ(model.programmed_rows(), (std::vector<uint16_t>{10, 11, 200}));
    auto flash = model.flash();
    const uint16_t rows[] = {10, 11, 200};
    for (size_t k = 0; k < 3; ++k) EXPECT_EQ(Bytes(flash[rows[k]].begin(), flash[rows[k]].end()), image_row(img, k));
    EXPECT_EQ(frame_trace(), "EF" "ddddddPV" "ddddddPV" "ddddddPV" "X");
    EXPECT_EQ(model.entry_requests(), 1);
    EXPECT_EQ(model.exits(), 1);
    EXPECT_EQ(btldr_fd, 7);
    // The packets' last byte (0xA5) is carried by no frame.
    for (const auto& f : model.frames()) {
        if (f.cmd == TouchController::CMD_SEND_DATA || f.cmd == TouchController::CMD_PROGRAM_ROW) {
            EXPECT_EQ(std::count(f.data.begin(), f.data.end(), 0xA5), 0);
        }
    }
}

TEST_F(Upgrade, OneSecondPassesBetweenEntryRequestAndEnter) {
    Lines lines;
    ASSERT_EQ(upgrade(make_image(0, 10), &lines), 0);
    auto pauses = shim::pauses_us();
    ASSERT_FALSE(pauses.empty());
    EXPECT_EQ(pauses[0], 1000000u);
    auto calls = fake_dev::calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].len, 4u);  // the entry request, then the Enter frame
    EXPECT_EQ(calls[1].len, 8u);
}

TEST_F(Upgrade, SendDataFailureIsNamedAndExitStillSent) {
    TouchController::AnswerFault st;
    st.status = 4;
    model.set_answer_fault(TouchController::CMD_SEND_DATA, st, 8);  // second chunk of packet 2
    Lines lines;
    EXPECT_EQ(upgrade(make_image(3), &lines), -6);
    EXPECT_EQ(lines, (Lines{finish_line(1), "[I2C_Frame_UnPacket-629]:cy_ret = 4", "[I2C_Send_DATA-399]:ret = -6",
                            "BOOTLOADER_START: I2C_Send_DATA error"}));
    EXPECT_EQ(frame_trace(), "EF" "ddddddPV" "dd" "X");
}

TEST_F(Upgrade, ProgramRowFailureIsNamedAndExitStillSent) {
    model.set_rows(10, 10);  // packet 2 lands in row 11, outside the flash
    Lines lines;
    EXPECT_EQ(upgrade(make_image(3), &lines), -6);
    EXPECT_EQ(lines, (Lines{finish_line(1), "[I2C_Frame_UnPacket-629]:cy_ret = 10", "BOOTLOADER_START: I2C_Flash_Program error"}));
    EXPECT_EQ(frame_trace(), "EF" "ddddddPV" "ddddddP" "X");
}

TEST_F(Upgrade, FailedExitAfterAFailedPacketKeepsThePacketCode) {
    model.set_wrong_row_checksum(200);
    model.fail_frame_writes(TouchController::CMD_EXIT, -EIO);
    Lines lines;
    EXPECT_EQ(upgrade(make_image(1), &lines), -5);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "BOOTLOADER_START: I2C_Get_Row_CheckSumerror");
    EXPECT_EQ(lines[2], "[I2C_Exit_BTLDR-530]:ret = -2");
}

TEST_F(Upgrade, FailedExitAloneIsTheResult) {
    model.fail_frame_writes(TouchController::CMD_EXIT, -EIO);
    Lines lines;
    EXPECT_EQ(upgrade(make_image(1), &lines), -2);
    EXPECT_EQ(lines, (Lines{finish_line(1), "[I2C_Exit_BTLDR-530]:ret = -2"}));
}

TEST_F(Upgrade, EnterOrFlashSizeFailureReturnsWithoutExitFrame) {
    TouchController::AnswerFault bad;
    bad.bad_checksum = true;
    model.set_answer_fault(TouchController::CMD_ENTER, bad);
    Lines lines;
    EXPECT_EQ(upgrade(make_image(1), &lines), -4);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "[I2C_ENTER_BTLDR-302]:ret = -4");
    EXPECT_EQ(frame_trace(), "E");

    TouchController other;
    fake_dev::attach(&other);
    TouchController::AnswerFault st;
    st.status = 9;
    other.set_answer_fault(TouchController::CMD_GET_FLASH_SIZE, st);
    EXPECT_EQ(upgrade(make_image(1), &lines), -6);
    EXPECT_EQ(lines, (Lines{"[I2C_Frame_UnPacket-629]:cy_ret = 9", "[I2C_GET_FLASH_SIZE-344]:ret = -6"}));
    EXPECT_EQ(other.exits(), 0);
}

TEST_F(Upgrade, BuffersAreClearedBeforeTheFirstCommand) {
    memset(data_buf, 0xEE, sizeof data_buf);
    memset(frame_buf, 0xEE, sizeof frame_buf);
    Lines lines;
    ASSERT_EQ(upgrade(make_image(0), &lines), 0);
    EXPECT_EQ(model.writes()[0].bytes, (Bytes{0x00, 0x09, 0x5A, 0x00}));  // data_buf[3] was cleared
    EXPECT_EQ(model.writes()[1].bytes.back(), 0x00);                      // so was frame_buf[7]
}

// The count of finished packets is 16 bits wide: a larger image is refused before the bootloader.
TEST_F(Upgrade, ImageOfMoreThan65535PacketsIsRefusedUntouched) {
    Bytes img(65536u * 129u, 0x00);
    Lines lines;
    EXPECT_EQ(upgrade(img, &lines), -1);
    EXPECT_EQ(lines, Lines{"touch_upgrade: image of 65536 packets is more than the packet counter's 65535, not programmed"});
    EXPECT_TRUE(model.writes().empty());
}

TEST_F(Upgrade, ImageOf65535PacketsIsAccepted) {
    TouchController::AnswerFault st;
    st.status = 6;  // stop at Enter: only the size check is of interest
    model.set_answer_fault(TouchController::CMD_ENTER, st);
    Bytes img(65535u * 129u + 128u, 0x00);
    Lines lines;
    EXPECT_EQ(upgrade(img, &lines), -6);
    EXPECT_EQ(model.entry_requests(), 1);
}

}  // namespace
