// Programming loop over the bootloader frames, the device layer, the libc stand-ins and the
// controller model: row assignment, frame order, the entry request and its repeat, packet
// failures and the exit frame, the size limit.
#include <errno.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "stdout_capture.h"
#include "sys_shim.h"
#include "touch_btldr.h"
#include "touch_controller.h"
#include "touch_dev.h"
#include "touch_fixtures.h"
#include "touch_upgrade.h"

namespace {

using board::TouchController;
using Bytes = std::vector<uint8_t>;

std::string finish_line(int n) { return "BOOTLOADER_START: upgrade pkt " + std::to_string(n) + " finish......."; }

class Upgrade : public ::testing::Test {
protected:
    void SetUp() override { use(&model); }
    void TearDown() override { shim::attach(nullptr); }
    static void use(TouchController* touch) {
        shim::attach(touch);
        ASSERT_EQ(touch_init(), 0);
        shim::attach(touch);
        touch->set_rows(10, 200);
    }
    static int upgrade(const Bytes& img, Lines* lines) {
        StdoutCapture out;
        int r = touch_upgrade(shim::TOUCH_FD, img.data(), img.size());
        *lines = out.lines();
        return r;
    }

    TouchController model;
};

TEST_F(Upgrade, ThreePacketsGoToFirstRowsAndTheLastToLastRow) {
    Lines lines;
    EXPECT_EQ(upgrade(make_image(3), &lines), 0);
    EXPECT_EQ(lines, (Lines{finish_line(1), finish_line(2), finish_line(3)}));
    EXPECT_EQ(model.programmed_rows(), (std::vector<uint16_t>{10, 11, 200}));
    EXPECT_EQ(frame_trace(model), "EF" "ddddddPV" "ddddddPV" "ddddddPV" "X");
    EXPECT_EQ(model.entry_requests(), 1);
    EXPECT_EQ(btldr_fd, shim::TOUCH_FD);
    // The packets' last byte (0xA5) is carried by no frame.
    for (const auto& f : model.frames()) EXPECT_EQ(std::count(f.data.begin(), f.data.end(), 0xA5), 0);
}

// The request gets one repeat; one second after the accepted one comes Enter, then Get Flash
// Size and, with no packet in the image, Exit. The buffers start cleared: the request's fourth
// byte and the byte after the Enter frame are 0.
TEST_F(Upgrade, EntryRequestIsRepeatedOnceThenOneSecondBeforeEnter) {
    const std::string request_failed = "W4 P10 W4 P10 W4 P10 W4 P10 W4 P10";
    const std::string accepted = "W4 P1000 W8 P1 R4 R11 W9 P1 R4 R7 W8";
    const struct {
        int write_faults, ret;
        std::string trace;
    } cases[] = {
        {0, 0, accepted},
        {5, 0, request_failed + " " + accepted},
        {10, -2, request_failed + " " + request_failed},
    };
    for (const auto& c : cases) {
        TouchController touch;
        use(&touch);
        touch.fail_writes(c.write_faults, -EIO);
        memset(data_buf, 0xEE, sizeof data_buf);
        memset(frame_buf, 0xEE, sizeof frame_buf);
        Lines lines;
        EXPECT_EQ(upgrade(make_image(0, 10), &lines), c.ret) << c.write_faults;
        EXPECT_EQ(lines, Lines{}) << c.write_faults;
        EXPECT_EQ(shim::trace(), c.trace) << c.write_faults;
        const auto writes = touch.writes();
        EXPECT_EQ(writes[0].bytes, (Bytes{0x00, 0x09, 0x5A, 0x00}));
        if (c.ret == 0) {
            EXPECT_EQ(writes[c.write_faults + 1].bytes.back(), 0x00);  // after the Enter frame
        }
    }
}

// A failed packet ends the loop with the operation's line, then BOOTLOADER_START's, then the
// exit frame; the packet's code is the result, whatever the exit's. A failure before the loop
// sends no exit frame.
TEST_F(Upgrade, FailuresEndTheRunWithTheirCodeAndTheExitFrameAfterAPacket) {
    const std::string exit_failed = "[I2C_Exit_BTLDR-530]:ret = -2";
    const auto status = [](uint8_t cmd, int value, int occurrence) {
        return [=](TouchController& t) {
            TouchController::AnswerFault f;
            f.status = value;
            t.set_answer_fault(cmd, f, occurrence);
        };
    };
    const auto exit_fails = [](TouchController& t) { t.fail_frame_writes(TouchController::CMD_EXIT, -EIO); };
    const struct {
        const char* what;
        std::function<void(TouchController&)> fault, more;
        size_t packets;
        int ret;
        Lines lines;
        std::string frames;
    } cases[] = {
        {"Send Data status on packet 2", status(TouchController::CMD_SEND_DATA, 4, 8), nullptr, 3, -6,
         {finish_line(1), "[I2C_Frame_UnPacket-629]:cy_ret = 4", "[I2C_Send_DATA-399]:ret = -6",
          "BOOTLOADER_START: I2C_Send_DATA error"},
         "EF" "ddddddPV" "dd" "X"},
        {"row 11 outside the flash", [](TouchController& t) { t.set_rows(10, 10); }, nullptr, 3, -6,
         {finish_line(1), "[I2C_Frame_UnPacket-629]:cy_ret = 10", "BOOTLOADER_START: I2C_Flash_Program error"},
         "EF" "ddddddPV" "ddddddP" "X"},
        {"Verify Row status and exit write", status(TouchController::CMD_VERIFY_ROW, 7, 1), exit_fails, 1, -6,
         {"[I2C_Frame_UnPacket-629]:cy_ret = 7", "[I2C_Get_Row_CheckSum-499]:ret = -6",
          "BOOTLOADER_START: I2C_Get_Row_CheckSumerror", exit_failed},
         "EF" "ddddddPV"},
        {"exit write", exit_fails, nullptr, 1, -2, {finish_line(1), exit_failed}, "EF" "ddddddPV"},
        {"Get Flash Size status", status(TouchController::CMD_GET_FLASH_SIZE, 9, 1), nullptr, 1, -6,
         {"[I2C_Frame_UnPacket-629]:cy_ret = 9", "[I2C_GET_FLASH_SIZE-344]:ret = -6"}, "EF"},
    };
    for (const auto& c : cases) {
        TouchController touch;
        use(&touch);
        c.fault(touch);
        if (c.more) c.more(touch);
        Lines lines;
        EXPECT_EQ(upgrade(make_image(c.packets), &lines), c.ret) << c.what;
        EXPECT_EQ(lines, c.lines) << c.what;
        EXPECT_EQ(frame_trace(touch), c.frames) << c.what;
    }
}

// The count of finished packets is 16 bits wide: a larger image is refused before the bootloader.
TEST_F(Upgrade, ImageOfMoreThan65535PacketsIsRefusedUntouched) {
    Bytes img(65536u * 129u, 0x00);
    Lines lines;
    EXPECT_EQ(upgrade(img, &lines), -1);
    EXPECT_EQ(lines, Lines{"touch_upgrade: image of 65536 packets is more than the packet counter's 65535, not programmed"});
    EXPECT_EQ(shim::trace(), "");

    TouchController::AnswerFault st;
    st.status = 6;  // stop at Enter: only the size check is of interest
    model.set_answer_fault(TouchController::CMD_ENTER, st);
    img.resize(65535u * 129u + 128u);
    EXPECT_EQ(upgrade(img, &lines), -6);
    EXPECT_EQ(model.entry_requests(), 1);
}

}  // namespace
