// Bootloader frames over the device layer, the libc stand-ins and the controller model: frame
// bytes, the transfers and pauses of each exchange, unpacking order, every command's data and
// payload use, and their messages.
#include <errno.h>

#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "stdout_capture.h"
#include "sys_shim.h"
#include "touch_btldr.h"
#include "touch_controller.h"
#include "touch_dev.h"

namespace {

using board::TouchController;
using Bytes = std::vector<uint8_t>;
using Fault = TouchController::AnswerFault;

// The transfers of a command whose frame of n data bytes is taken at once and answered at the
// first poll with a payload of m bytes.
std::string exchange(int n, int m) {
    return "W" + std::to_string(n + 8) + " P1 R4 R" + std::to_string(m + 3);
}
// k polls that find no answer, each followed by 10 ms.
std::string empty_polls(int k) {
    std::string s;
    for (int i = 0; i < k; ++i) s += " R4 P10";
    return s;
}

// The controller model whose first reads of an answer's rest (offset 4) fail.
class FlakyRest : public TouchController {
public:
    int rest_faults = 0;
    long on_read(uint8_t* buf, size_t len) override {
        if (len == 0 || buf[0] != 4 || rest_faults == 0) return TouchController::on_read(buf, len);
        --rest_faults;
        return -EIO;
    }
};

class Btldr : public ::testing::Test {
protected:
    void SetUp() override {
        shim::attach(&model);
        ASSERT_EQ(touch_init(), 0);
        shim::attach(&model);
        model.clear_records();
        memset(frame_buf, 0, sizeof frame_buf);
        memset(data_buf, 0, sizeof data_buf);
        btldr_fd = shim::TOUCH_FD;
        model.set_rows(0, 0x0FFF);
    }
    void TearDown() override { shim::attach(nullptr); }
    // Application firmware hands over; the bootloader is opened; the records start afresh.
    void open_bootloader() {
        StdoutCapture out;
        ASSERT_EQ(I2C_Request_BTLDR(), 0);
        ASSERT_EQ(I2C_ENTER_BTLDR(), 0);
        ASSERT_EQ(out.lines(), Lines{});
        shim::attach(&model);
        model.clear_records();
    }
    Bytes last_write() const { return model.writes().back().bytes; }
    // Loads one row's first 126 bytes with Send Data; returns them.
    Bytes send_row_data(uint8_t seed) {
        Bytes row(126);
        for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(seed + i * 7);
        const uint8_t* cursor = row.data();
        EXPECT_EQ(I2C_Send_DATA(&cursor), 0);
        EXPECT_EQ(cursor, row.data() + 126);
        return row;
    }

    FlakyRest model;
};

TEST(BtldrFrame, ChecksumIsTwosComplementOfTheSixteenBitByteSum) {
    const uint8_t enter[] = {0x01, 0x38, 0x00, 0x00};
    EXPECT_EQ(I2C_Frame_Checksum(enter, 4), 0xFFC7);
    Bytes many(300, 0xFF);  // 76500: the sum wraps at 16 bits
    EXPECT_EQ(I2C_Frame_Checksum(many.data(), many.size()), static_cast<uint16_t>(-(76500 % 65536)));
    EXPECT_EQ(I2C_Frame_Checksum(enter, 0), 0);
}

TEST(BtldrFrame, PacketLaysOutStartCommandLengthDataChecksumEnd) {
    uint8_t dst[300] = {0};
    const uint8_t data[3] = {0x00, 0x34, 0x12};
    I2C_Frame_Packet(0x3A, dst, data, 3);
    EXPECT_EQ(Bytes(dst, dst + 10), (Bytes{0x01, 0x3A, 0x03, 0x00, 0x00, 0x34, 0x12, 0x7C, 0xFF, 0x17}));
    const Bytes zeros(260, 0);  // both length bytes; the checksum of 01 37 04 01 alone
    I2C_Frame_Packet(0x37, dst, zeros.data(), 260);
    EXPECT_EQ(Bytes(dst, dst + 4), (Bytes{0x01, 0x37, 0x04, 0x01}));
    EXPECT_EQ(Bytes(dst + 264, dst + 267), (Bytes{0xC3, 0xFF, 0x17}));
}

TEST_F(Btldr, EntryRequestWritesFourBytesAndReadsNothing) {
    StdoutCapture out;
    EXPECT_EQ(I2C_Request_BTLDR(), 0);
    EXPECT_EQ(last_write(), (Bytes{0x00, 0x09, 0x5A, 0x00}));
    EXPECT_EQ(shim::trace(), "W4");
    EXPECT_EQ(out.lines(), Lines{});
    EXPECT_EQ(model.mode(), TouchController::Mode::bootloader);
}

TEST_F(Btldr, EnterAndExitFramesAreSevenBytesWrittenAsEight) {
    frame_buf[7] = 0xAB;  // the byte after the frame goes along as it is
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    ASSERT_EQ(I2C_ENTER_BTLDR(), 0);
    EXPECT_EQ(model.writes()[1].bytes, (Bytes{0x01, 0x38, 0x00, 0x00, 0xC7, 0xFF, 0x17, 0xAB}));
    EXPECT_EQ(model.mode(), TouchController::Mode::bootloader_open);
    // Default Enter answer of 8 bytes: 1 ms, the head polled at offset 0, the rest at offset 4.
    EXPECT_EQ(shim::trace(), "W4 " + exchange(0, 8));
    EXPECT_EQ(model.reads()[1].offset, 4);

    ASSERT_EQ(I2C_Exit_BTLDR(), 0);
    Bytes exit_frame = last_write();
    ASSERT_EQ(exit_frame.size(), 8u);
    EXPECT_EQ(Bytes(exit_frame.begin(), exit_frame.begin() + 7), (Bytes{0x01, 0x3B, 0x00, 0x00, 0xC4, 0xFF, 0x17}));
    EXPECT_EQ(model.exits(), 1);
    EXPECT_EQ(shim::trace(), "W4 " + exchange(0, 8) + " W8");  // Exit reads no answer
}

// The frame write, each poll and the read of the rest get five attempts each; a poll that
// fails all five is one more poll without the start byte.
TEST_F(Btldr, EachTransferGetsFiveAttemptsAndAFailedPollIsPolledAgain) {
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    shim::attach(&model);
    model.fail_writes(4, -EIO);
    model.fail_reads(5, -EIO);
    model.rest_faults = 4;
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), 0);
    EXPECT_EQ(out.lines(), Lines{"touch_read_reg error:cnt = 4, ret=-1"});
    EXPECT_EQ(shim::trace(), "W8 P10 W8 P10 W8 P10 W8 P10 W8 P1 R4 P10 R4 P10 R4 P10 R4 P10 R4 P10 P10 R4 "
                             "R11 P10 R11 P10 R11 P10 R11 P10 R11");
}

TEST_F(Btldr, StartByteOnTheHundredthPollIsStillRead) {
    Fault late;
    late.ready_poll = 100;
    model.set_answer_fault(TouchController::CMD_ENTER, late);
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    shim::attach(&model);
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), 0);
    EXPECT_EQ(out.lines(), Lines{});
    EXPECT_EQ(shim::trace(), "W8 P1" + empty_polls(99) + " R4 R11");
}

TEST_F(Btldr, NoStartByteWithinHundredPollsTimesOutAndTheCommandReportsIt) {
    Fault silent;
    silent.no_answer = true;
    model.set_answer_fault(TouchController::CMD_ENTER, silent);
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    shim::attach(&model);
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), -3);
    EXPECT_EQ(out.lines(), (Lines{"I2C_Rev: wait touch mcu timeout", "[I2C_ENTER_BTLDR-295]:ret = -3"}));
    EXPECT_EQ(shim::trace(), "W8 P1" + empty_polls(100));
}

// The end byte is not looked at; the checksum is tested before the status.
TEST_F(Btldr, AnswerIsJudgedByChecksumThenStatus) {
    struct Case {
        bool bad_end, bad_checksum;
        int status;
        int ret;
        Lines lines;
    } cases[] = {
        {true, false, -1, 0, {}},
        {false, false, 5, -6, {"[I2C_Frame_UnPacket-629]:cy_ret = 5", "[I2C_ENTER_BTLDR-302]:ret = -6"}},
        // answer 01 05 00 00, checksum 0xFFFA sent as 0xFFFB
        {false, true, 5, -4,
         {"[I2C_Frame_UnPacket-620]:PKT_Checksum = 65531, Checksum = 65530", "[I2C_ENTER_BTLDR-302]:ret = -4"}},
    };
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    for (const auto& c : cases) {
        Fault f;
        f.bad_end = c.bad_end;
        f.bad_checksum = c.bad_checksum;
        f.status = c.status;
        f.replace_payload = true;
        model.set_answer_fault(TouchController::CMD_ENTER, f);
        StdoutCapture out;
        EXPECT_EQ(I2C_ENTER_BTLDR(), c.ret) << c.status;
        EXPECT_EQ(out.lines(), c.lines) << c.status;
    }
}

TEST_F(Btldr, GetFlashSizeSendsArrayIdAndReadsBothRows) {
    open_bootloader();
    model.set_rows(0, 255);
    uint16_t first = 1, last = 1;
    EXPECT_EQ(I2C_GET_FLASH_SIZE(0, &first, &last), 0);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 255);
    EXPECT_EQ(Bytes(data_buf, data_buf + 4), (Bytes{0x00, 0x00, 0xFF, 0x00}));
    Bytes frame = last_write();
    ASSERT_EQ(frame.size(), 9u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 8), (Bytes{0x01, 0x32, 0x01, 0x00, 0x00, 0xCC, 0xFF, 0x17}));
    EXPECT_EQ(shim::trace(), exchange(1, 4));

    model.set_rows(0x1234, 0xBEEF);
    EXPECT_EQ(I2C_GET_FLASH_SIZE(0, &first, &last), 0);
    EXPECT_EQ(first, 0x1234);
    EXPECT_EQ(last, 0xBEEF);
}

// Each command names itself and the failed step: its write, the wait for its answer, or the
// unpack (Program Row leaves that to the unpack's own line).
TEST_F(Btldr, EveryCommandReportsItsSendReceiveAndUnpackSites) {
    struct Case {
        const char* name;
        uint8_t cmd;
        int send_site, rev_site, unpack_site;
        std::function<int()> call;
    };
    static const Bytes row(129, 0x33);
    static const uint8_t tail[2] = {0, 0};
    uint16_t first = 0, last = 0;
    const Case cases[] = {
        {"I2C_ENTER_BTLDR", TouchController::CMD_ENTER, 288, 295, 302, [] { return I2C_ENTER_BTLDR(); }},
        {"I2C_GET_FLASH_SIZE", TouchController::CMD_GET_FLASH_SIZE, 330, 337, 344,
         [&] { return I2C_GET_FLASH_SIZE(0, &first, &last); }},
        {"I2C_Send_DATA", TouchController::CMD_SEND_DATA, 383, 392, 399,
         [] {
             const uint8_t* cursor = row.data();
             return I2C_Send_DATA(&cursor);
         }},
        {"I2C_Flash_Program", TouchController::CMD_PROGRAM_ROW, 443, 452, 0,
         [] { return I2C_Flash_Program(0, 1, tail); }},
        {"I2C_Get_Row_CheckSum", TouchController::CMD_VERIFY_ROW, 485, 492, 499,
         [] { return I2C_Get_Row_CheckSum(0, 1); }},
    };
    open_bootloader();
    const auto site = [](const Case& c, int n, int code) {
        return "[" + std::string(c.name) + "-" + std::to_string(n) + "]:ret = " + std::to_string(code);
    };
    for (const auto& c : cases) {
        model.fail_writes(5, -EIO);
        {
            StdoutCapture out;
            EXPECT_EQ(c.call(), -2) << c.name;
            EXPECT_EQ(out.lines(), Lines{site(c, c.send_site, -2)});
        }
        Fault silent;
        silent.no_answer = true;
        model.set_answer_fault(c.cmd, silent);
        {
            StdoutCapture out;
            EXPECT_EQ(c.call(), -3) << c.name;
            EXPECT_EQ(out.lines(), (Lines{"I2C_Rev: wait touch mcu timeout", site(c, c.rev_site, -3)}));
        }
        Fault st;
        st.status = 9;
        model.set_answer_fault(c.cmd, st);
        StdoutCapture out;
        EXPECT_EQ(c.call(), -6) << c.name;
        Lines expect{"[I2C_Frame_UnPacket-629]:cy_ret = 9"};
        if (c.unpack_site) expect.push_back(site(c, c.unpack_site, -6));
        EXPECT_EQ(out.lines(), expect);
    }
}

// Every frame carries the row's own bytes, even when the controller answers Send Data with a
// payload (which lands in the frame buffer).
TEST_F(Btldr, SendDataSendsSixFramesOfTwentyOneBytesAndSumsTheRow) {
    open_bootloader();
    Fault payload;
    payload.replace_payload = true;
    payload.payload = Bytes(100, 0xEE);  // as far as the fifth frame's bytes
    model.set_answer_fault(TouchController::CMD_SEND_DATA, payload);
    Bytes row = send_row_data(3);
    auto frames = model.frames();
    ASSERT_EQ(frames.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(frames[i].cmd, 0x37);
        EXPECT_EQ(frames[i].data, Bytes(row.begin() + 21 * i, row.begin() + 21 * (i + 1)));
    }
    std::string six;
    for (int i = 0; i < 6; ++i) six += (i ? " " : "") + exchange(21, 100);
    EXPECT_EQ(shim::trace(), six);
    EXPECT_EQ(My_Row_Chcksum, static_cast<uint8_t>(std::accumulate(row.begin(), row.end(), 0u)));
}

TEST_F(Btldr, SendDataStopsAtTheFirstFailedChunkButMovesTheCursorWholly) {
    open_bootloader();
    Fault st;
    st.status = 4;
    model.set_answer_fault(TouchController::CMD_SEND_DATA, st, 3);
    Bytes row(129, 0x11);
    const uint8_t* cursor = row.data();
    StdoutCapture out;
    EXPECT_EQ(I2C_Send_DATA(&cursor), -6);
    EXPECT_EQ(out.lines(), (Lines{"[I2C_Frame_UnPacket-629]:cy_ret = 4", "[I2C_Send_DATA-399]:ret = -6"}));
    EXPECT_EQ(cursor, row.data() + 126);
    EXPECT_EQ(model.frames().size(), 3u);
}

TEST_F(Btldr, ProgramRowCarriesRowAndLastTwoBytesAndCompletesTheChecksum) {
    open_bootloader();
    Bytes row = send_row_data(0x40);
    const uint8_t tail[2] = {0xEE, 0x77};
    shim::attach(&model);
    EXPECT_EQ(I2C_Flash_Program(0, 0x0102, tail), 0);
    EXPECT_EQ(model.frames().back().data, (Bytes{0x00, 0x02, 0x01, 0xEE, 0x77}));
    unsigned sum = std::accumulate(row.begin(), row.end(), 0u) + 0xEE + 0x77;
    EXPECT_EQ(My_Row_Chcksum, static_cast<uint8_t>(0 - sum));
    EXPECT_EQ(shim::trace(), "W13 P5 P1 R4 R3");  // programming time after the write, then the answer delay
    ASSERT_EQ(model.programmed_rows(), std::vector<uint16_t>{0x0102});
    auto flash = model.flash();
    row.push_back(0xEE);
    row.push_back(0x77);
    EXPECT_EQ(Bytes(flash[0x0102].begin(), flash[0x0102].end()), row);
}

TEST_F(Btldr, VerifyRowMatchesOrReportsBothChecksumsAsTwoLowerCaseHexDigits) {
    open_bootloader();
    send_row_data(9);
    const uint8_t tail[2] = {1, 2};
    ASSERT_EQ(I2C_Flash_Program(0, 0x0114, tail), 0);
    shim::attach(&model);
    {
        StdoutCapture out;
        EXPECT_EQ(I2C_Get_Row_CheckSum(0, 0x0114), 0);
        EXPECT_EQ(out.lines(), Lines{});
        EXPECT_EQ(model.frames().back().data, (Bytes{0x00, 0x14, 0x01}));
        EXPECT_EQ(shim::trace(), exchange(3, 1));
    }
    My_Row_Chcksum = 0x0A;
    Fault f;
    f.replace_payload = true;
    f.payload = {0xB0};
    model.set_answer_fault(TouchController::CMD_VERIFY_ROW, f);
    StdoutCapture out;
    EXPECT_EQ(I2C_Get_Row_CheckSum(0, 1), -5);
    EXPECT_EQ(out.lines(), Lines{"[I2C_Get_Row_CheckSum-506]:My_Row_Chcksum = 0a, temp_checksum = b0"});
}

// An answer longer than frame_buf can hold is refused before anything is read past it; the
// longest that fits is taken whole.
TEST_F(Btldr, OverlongAnswerIsRefusedBeforeTheRestIsRead) {
    struct Case {
        int payload_len;
        int announce;
        const char* line;
    };
    const Case cases[] = {
        {123, -1, "I2C_Rev: answer too long, len = 123"},
        {5, 0x0105, "I2C_Rev: answer too long, len = 261"},
    };
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    for (const auto& c : cases) {
        Fault f;
        f.replace_payload = true;
        f.payload = Bytes(static_cast<size_t>(c.payload_len), 0x5A);
        f.announce_len = c.announce;
        model.set_answer_fault(TouchController::CMD_ENTER, f);
        shim::attach(&model);
        StdoutCapture out;
        EXPECT_EQ(I2C_ENTER_BTLDR(), -7) << c.line;
        EXPECT_EQ(out.lines(), (Lines{c.line, "[I2C_ENTER_BTLDR-295]:ret = -7"}));
        EXPECT_EQ(shim::trace(), "W8 P1 R4") << c.line;
    }
    Bytes payload(122);
    std::iota(payload.begin(), payload.end(), 1);
    model.set_answer_fault(TouchController::CMD_ENTER, Fault());
    model.set_enter_payload(payload);
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), 0);
    EXPECT_EQ(out.lines(), Lines{});
    EXPECT_EQ(Bytes(data_buf, data_buf + 122), payload);
    EXPECT_EQ(frame_buf[128], 0x17);
}

TEST_F(Btldr, UnpackRefusesAnOversizeLengthWithoutReadingPastTheBuffer) {
    // Exactly the size of frame_buf on the heap: a read past it is caught by AddressSanitizer.
    for (uint16_t len : {uint16_t{123}, uint16_t{0xFFFF}}) {
        std::unique_ptr<uint8_t[]> src(new uint8_t[129]());
        src[0] = 0x01;
        src[2] = static_cast<uint8_t>(len & 0xFF);
        src[3] = static_cast<uint8_t>(len >> 8);
        uint8_t dst[129];
        uint16_t out_len = 7;
        StdoutCapture out;
        EXPECT_EQ(I2C_Frame_UnPacket(src.get(), dst, &out_len), -7);
        EXPECT_EQ(out_len, 7);
        EXPECT_EQ(out.lines(), Lines{"I2C_Frame_UnPacket: answer too long, len = " + std::to_string(len)});
    }
}

TEST_F(Btldr, AnswersTooShortForTheirUseAreRefused) {
    open_bootloader();
    Fault f;
    f.replace_payload = true;
    f.payload = {0x00, 0x00};
    model.set_answer_fault(TouchController::CMD_GET_FLASH_SIZE, f);
    uint16_t first = 9, last = 9;
    {
        StdoutCapture out;
        EXPECT_EQ(I2C_GET_FLASH_SIZE(0, &first, &last), -7);
        EXPECT_EQ(out.lines(), Lines{"[I2C_GET_FLASH_SIZE-344]:ret = -7"});
        EXPECT_EQ(first, 9);
    }
    Fault none;
    none.replace_payload = true;
    model.set_answer_fault(TouchController::CMD_VERIFY_ROW, none);
    StdoutCapture out;
    EXPECT_EQ(I2C_Get_Row_CheckSum(0, 1), -7);
    EXPECT_EQ(out.lines(), Lines{"[I2C_Get_Row_CheckSum-499]:ret = -7"});
}

}  // namespace
