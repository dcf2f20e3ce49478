// Bootloader frames over a fake device layer and the controller model: frame bytes, the
// answer wait, unpacking order, every command's data and payload use, and their messages.
#include <errno.h>

#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "stdout_capture.h"
#include "fake_touch_dev.h"
#include "sys_shim.h"
#include "touch_btldr.h"
#include "touch_controller.h"
#include "touch_dev.h"

namespace {

using board::TouchController;
using Bytes = std::vector<uint8_t>;
using Fault = TouchController::AnswerFault;

class Btldr : public ::testing::Test {
protected:
    void SetUp() override {
        fake_dev::attach(&model);
        shim::attach(nullptr);  // only the pauses are recorded
        memset(frame_buf, 0, sizeof frame_buf);
        memset(data_buf, 0, sizeof data_buf);
        btldr_fd = 7;
        model.set_rows(0, 0x0FFF);
    }
    // Application firmware hands over; the bootloader is opened; the records start afresh.
    void open_bootloader() {
        StdoutCapture out;
        ASSERT_EQ(I2C_Request_BTLDR(), 0);
        ASSERT_EQ(I2C_ENTER_BTLDR(), 0);
        ASSERT_EQ(out.lines(), Lines{});
        fake_dev::attach(&model);
        shim::attach(nullptr);
        model.clear_records();
    }
    Bytes last_write() const { return model.writes().back().bytes; }
    static std::vector<fake_dev::Call> calls_of(bool write) {
        std::vector<fake_dev::Call> out;
        for (const auto& c : fake_dev::calls())
            if (c.write == write) out.push_back(c);
        return out;
    }
    // Loads one row's first 126 bytes with Send Data; returns them.
    Bytes send_row_data(uint8_t seed) {
        Bytes row(126);
        for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(seed + i * 7);
        const uint8_t* cursor = row.data();
        EXPECT_EQ(I2C_Send_DATA(&cursor), 0);
        EXPECT_EQ(cursor, row.data() + 126);
        return row;
    }

    TouchController model;
};

TEST(BtldrFrame, ChecksumIsTwosComplementOfTheSixteenBitByteSum) {
    const uint8_t enter[] = {0x01, 0x38, 0x00, 0x00};
    EXPECT_EQ(I2C_Frame_Checksum(enter, 4), 0xFFC7);
    Bytes many(300, 0xFF);  // 76500: the sum wraps at 16 bits
    EXPECT_EQ(I2C_Frame_Checksum(many.data(), many.size()), static_cast<uint16_t>(-(76500 % 65536)));
    EXPECT_EQ(I2C_Frame_Checksum(enter, 0), 0);
}

TEST(BtldrFrame, PacketLaysOutStartCommandLengthDataChecksumEnd) {
    uint8_t dst[40] = {0};
    const uint8_t data[3] = {0x00, 0x34, 0x12};
    I2C_Frame_Packet(0x3A, dst, data, 3);
    const Bytes expect = {0x01, 0x3A, 0x03, 0x00, 0x00, 0x34, 0x12, 0x7C, 0xFF, 0x17};
    EXPECT_EQ(Bytes(dst, dst + 10), expect);
}

TEST_F(Btldr, EntryRequestWritesFourBytesAndReadsNothing) {
    data_buf[3] = 0;
    StdoutCapture out;
    EXPECT_EQ(I2C_Request_BTLDR(), 0);
    EXPECT_EQ(last_write(), (Bytes{0x00, 0x09, 0x5A, 0x00}));
    ASSERT_EQ(fake_dev::calls().size(), 1u);
    EXPECT_EQ(fake_dev::calls()[0].tries, 5);
    EXPECT_EQ(out.lines(), Lines{});
    EXPECT_EQ(model.mode(), TouchController::Mode::bootloader);
}

TEST_F(Btldr, EnterAndExitFramesAreSevenBytesWrittenAsEight) {
    frame_buf[7] = 0xAB;  // the byte after the frame goes along as it is
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    ASSERT_EQ(I2C_ENTER_BTLDR(), 0);
    auto frames = model.writes();
    EXPECT_EQ(frames[1].bytes, (Bytes{0x01, 0x38, 0x00, 0x00, 0xC7, 0xFF, 0x17, 0xAB}));
    EXPECT_EQ(model.mode(), TouchController::Mode::bootloader_open);

    ASSERT_EQ(I2C_Exit_BTLDR(), 0);
    Bytes exit_frame = last_write();
    ASSERT_EQ(exit_frame.size(), 8u);
    EXPECT_EQ(Bytes(exit_frame.begin(), exit_frame.begin() + 7), (Bytes{0x01, 0x3B, 0x00, 0x00, 0xC4, 0xFF, 0x17}));
    EXPECT_EQ(model.exits(), 1);
    EXPECT_TRUE(fake_dev::calls().back().write);  // Exit reads no answer
}

TEST_F(Btldr, AnswerWaitPausesThenPollsHeadThenReadsTheRestAtOffsetFour) {
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    shim::attach(nullptr);
    ASSERT_EQ(I2C_ENTER_BTLDR(), 0);
    auto calls = fake_dev::calls();
    ASSERT_EQ(calls.size(), 4u);  // request, frame, head poll, rest
    EXPECT_TRUE(calls[1].write);
    EXPECT_EQ(calls[1].len, 8u);
    EXPECT_EQ(calls[1].tries, 5);
    EXPECT_FALSE(calls[2].write);
    EXPECT_EQ(calls[2].len, 4u);
    EXPECT_EQ(calls[2].tries, 5);
    EXPECT_FALSE(calls[3].write);
    EXPECT_EQ(calls[3].len, 8u + 3u);  // default Enter payload of 8 bytes, checksum, end byte
    EXPECT_EQ(calls[3].tries, 5);
    auto reads = model.reads();
    EXPECT_EQ(reads[0].offset, 0);
    EXPECT_EQ(reads[1].offset, 4);
    EXPECT_EQ(shim::pauses_us(), std::vector<unsigned long>{1000});
}

TEST_F(Btldr, StartByteOnTheHundredthPollIsStillRead) {
    Fault late;
    late.ready_poll = 100;
    model.set_answer_fault(TouchController::CMD_ENTER, late);
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), 0);
    EXPECT_EQ(out.lines(), Lines{});
    auto pauses = shim::pauses_us();
    ASSERT_EQ(pauses.size(), 100u);  // 1 ms, then 10 ms after each of the 99 empty polls
    EXPECT_EQ(pauses[0], 1000u);
    EXPECT_EQ(std::count(pauses.begin() + 1, pauses.end(), 10000u), 99);
    auto reads = model.reads();
    ASSERT_EQ(reads.size(), 101u);
    EXPECT_EQ(reads.back().offset, 4);
}

TEST_F(Btldr, NoStartByteWithinHundredPollsTimesOutAndTheCommandReportsIt) {
    Fault silent;
    silent.no_answer = true;
    model.set_answer_fault(TouchController::CMD_ENTER, silent);
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), -3);
    EXPECT_EQ(out.lines(), (Lines{"I2C_Rev: wait touch mcu timeout", "[I2C_ENTER_BTLDR-295]:ret = -3"}));
    EXPECT_EQ(calls_of(false).size(), 100u);
    for (const auto& r : model.reads()) EXPECT_EQ(r.offset, 0);  // nothing read beyond the head
    auto pauses = shim::pauses_us();
    EXPECT_EQ(pauses.size(), 101u);
}

TEST_F(Btldr, WrongEndByteIsAccepted) {
    Fault end;
    end.bad_end = true;
    model.set_answer_fault(TouchController::CMD_ENTER, end);
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), 0);
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(Btldr, NonZeroStatusGivesMinus6WithTheStatusShown) {
    Fault st;
    st.status = 5;
    model.set_answer_fault(TouchController::CMD_ENTER, st);
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), -6);
    EXPECT_EQ(out.lines(), (Lines{"[I2C_Frame_UnPacket-629]:cy_ret = 5", "[I2C_ENTER_BTLDR-302]:ret = -6"}));
}

TEST_F(Btldr, BadChecksumGivesMinus4EvenWithANonZeroStatus) {
    Fault bad;
    bad.bad_checksum = true;
    bad.status = 5;
    bad.replace_payload = true;  // answer 01 05 00 00, checksum 0xFFFA sent as 0xFFFB
    model.set_answer_fault(TouchController::CMD_ENTER, bad);
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), -4);
    EXPECT_EQ(out.lines(),
              (Lines{"[I2C_Frame_UnPacket-620]:PKT_Checksum = 65531, Checksum = 65530", "[I2C_ENTER_BTLDR-302]:ret = -4"}));
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

    model.set_rows(0x1234, 0xBEEF);
    EXPECT_EQ(I2C_GET_FLASH_SIZE(0, &first, &last), 0);
    EXPECT_EQ(first, 0x1234);
    EXPECT_EQ(last, 0xBEEF);
}

TEST_F(Btldr, CommandFailuresNameTheCommandAndTheStep) {
    open_bootloader();
    uint16_t first = 0, last = 0;
    model.fail_writes(1, -EIO);
    {
        StdoutCapture out;
        EXPECT_EQ(I2C_GET_FLASH_SIZE(0, &first, &last), -2);
        EXPECT_EQ(out.lines(), Lines{"[I2C_GET_FLASH_SIZE-330]:ret = -2"});
    }
    // The refused write never reached the controller: the next frame is its first Get Flash Size.
    Fault silent;
    silent.no_answer = true;
    model.set_answer_fault(TouchController::CMD_GET_FLASH_SIZE, silent, 1);
    {
        StdoutCapture out;
        EXPECT_EQ(I2C_GET_FLASH_SIZE(0, &first, &last), -3);
        EXPECT_EQ(out.lines(), (Lines{"I2C_Rev: wait touch mcu timeout", "[I2C_GET_FLASH_SIZE-337]:ret = -3"}));
    }
    Fault st;
    st.status = 9;
    model.set_answer_fault(TouchController::CMD_GET_FLASH_SIZE, st, 2);
    {
        StdoutCapture out;
        EXPECT_EQ(I2C_GET_FLASH_SIZE(0, &first, &last), -6);
        EXPECT_EQ(out.lines(), (Lines{"[I2C_Frame_UnPacket-629]:cy_ret = 9", "[I2C_GET_FLASH_SIZE-344]:ret = -6"}));
    }
    model.fail_writes(1, -EIO);
    {
        StdoutCapture out;
        EXPECT_EQ(I2C_Exit_BTLDR(), -2);
        EXPECT_EQ(out.lines(), Lines{"[I2C_Exit_BTLDR-530]:ret = -2"});
    }
}

// Each command names itself and the failed step: its write, or the wait for its answer.
TEST_F(Btldr, EveryCommandReportsItsSendAndReceiveSites) {
    struct Case {
        const char* name;
        uint8_t cmd;
        int send_site, rev_site;
        std::function<int()> call;
    };
    static const Bytes row(129, 0x33);
    static const uint8_t tail[2] = {0, 0};
    uint16_t first = 0, last = 0;
    const Case cases[] = {
        {"I2C_ENTER_BTLDR", TouchController::CMD_ENTER, 288, 295, [] { return I2C_ENTER_BTLDR(); }},
        {"I2C_GET_FLASH_SIZE", TouchController::CMD_GET_FLASH_SIZE, 330, 337,
         [&] { return I2C_GET_FLASH_SIZE(0, &first, &last); }},
        {"I2C_Send_DATA", TouchController::CMD_SEND_DATA, 383, 392,
         [] {
             const uint8_t* cursor = row.data();
             return I2C_Send_DATA(&cursor);
         }},
        {"I2C_Flash_Program", TouchController::CMD_PROGRAM_ROW, 443, 452, [] { return I2C_Flash_Program(0, 1, tail); }},
        {"I2C_Get_Row_CheckSum", TouchController::CMD_VERIFY_ROW, 485, 492, [] { return I2C_Get_Row_CheckSum(0, 1); }},
    };
    open_bootloader();
    for (const auto& c : cases) {
        model.fail_writes(1, -EIO);
        {
            StdoutCapture out;
            EXPECT_EQ(c.call(), -2) << c.name;
            EXPECT_EQ(out.lines(), Lines{"[" + std::string(c.name) + "-" + std::to_string(c.send_site) + "]:ret = -2"});
        }
        Fault silent;
        silent.no_answer = true;
        model.set_answer_fault(c.cmd, silent);
        StdoutCapture out;
        EXPECT_EQ(c.call(), -3) << c.name;
        EXPECT_EQ(out.lines(), (Lines{"I2C_Rev: wait touch mcu timeout",
                                      "[" + std::string(c.name) + "-" + std::to_string(c.rev_site) + "]:ret = -3"}));
    }
}

TEST_F(Btldr, SendDataSendsSixFramesOfTwentyOneBytesAndSumsTheRow) {
    open_bootloader();
    Bytes row = send_row_data(3);
    auto frames = model.frames();
    ASSERT_EQ(frames.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(frames[i].cmd, 0x37);
        EXPECT_EQ(frames[i].written, 29u);
        EXPECT_EQ(frames[i].data, Bytes(row.begin() + 21 * i, row.begin() + 21 * (i + 1)));
    }
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
    shim::attach(nullptr);
    EXPECT_EQ(I2C_Flash_Program(0, 0x0102, tail), 0);
    Bytes frame = model.frames().back().data;
    EXPECT_EQ(frame, (Bytes{0x00, 0x02, 0x01, 0xEE, 0x77}));
    EXPECT_EQ(model.frames().back().written, 13u);
    unsigned sum = std::accumulate(row.begin(), row.end(), 0u) + 0xEE + 0x77;
    EXPECT_EQ(My_Row_Chcksum, static_cast<uint8_t>(0 - sum));
    EXPECT_EQ(shim::pauses_us(), (std::vector<unsigned long>{5000, 1000}));  // programming time, answer delay
    ASSERT_EQ(model.programmed_rows(), std::vector<uint16_t>{0x0102});
    auto flash = model.flash();
    Bytes flashed(flash[0x0102].begin(), flash[0x0102].end());
    row.push_back(0xEE);
    row.push_back(0x77);
    EXPECT_EQ(flashed, row);
}

TEST_F(Btldr, ProgramRowFailureHasNoMessageOfItsOwn) {
    open_bootloader();
    send_row_data(1);
    Fault st;
    st.status = 10;
    model.set_answer_fault(TouchController::CMD_PROGRAM_ROW, st);
    const uint8_t tail[2] = {0, 0};
    {
        StdoutCapture out;
        EXPECT_EQ(I2C_Flash_Program(0, 3, tail), -6);
        EXPECT_EQ(out.lines(), Lines{"[I2C_Frame_UnPacket-629]:cy_ret = 10"});
    }
    model.fail_writes(1, -EIO);
    StdoutCapture out;
    EXPECT_EQ(I2C_Flash_Program(0, 3, tail), -2);
    EXPECT_EQ(out.lines(), Lines{"[I2C_Flash_Program-443]:ret = -2"});
}

TEST_F(Btldr, VerifyRowMatchesOrReportsBothChecksumsInLowerCaseHex) {
    open_bootloader();
    send_row_data(9);
    const uint8_t tail[2] = {1, 2};
    ASSERT_EQ(I2C_Flash_Program(0, 20, tail), 0);
    {
        StdoutCapture out;
        EXPECT_EQ(I2C_Get_Row_CheckSum(0, 20), 0);
        EXPECT_EQ(out.lines(), Lines{});
        EXPECT_EQ(model.frames().back().data, (Bytes{0x00, 20, 0x00}));
        EXPECT_EQ(model.frames().back().written, 11u);
    }
    model.set_wrong_row_checksum(20);
    char expect[80];
    snprintf(expect, sizeof expect, "[I2C_Get_Row_CheckSum-506]:My_Row_Chcksum = %02x, temp_checksum = %02x",
             My_Row_Chcksum, static_cast<uint8_t>(My_Row_Chcksum + 1));
    StdoutCapture out;
    EXPECT_EQ(I2C_Get_Row_CheckSum(0, 20), -5);
    EXPECT_EQ(out.lines(), Lines{expect});
}

TEST_F(Btldr, VerifyRowChecksumIsPrintedAsTwoHexDigits) {
    open_bootloader();
    My_Row_Chcksum = 0x0A;
    Fault f;
    f.replace_payload = true;
    f.payload = {0xB0};
    model.set_answer_fault(TouchController::CMD_VERIFY_ROW, f);
    StdoutCapture out;
    EXPECT_EQ(I2C_Get_Row_CheckSum(0, 1), -5);
    EXPECT_EQ(out.lines(), Lines{"[I2C_Get_Row_CheckSum-506]:My_Row_Chcksum = 0a, temp_checksum = b0"});
}

// An answer longer than frame_buf can hold is refused before anything is read past it.
TEST_F(Btldr, OverlongAnswerIsRefusedBeforeTheRestIsRead) {
    struct Case {
        int payload_len;
        int announce;
        const char* line;
    };
    const Case cases[] = {
        {123, -1, "I2C_Rev: answer too long, len = 123"},
        {0, 0x0100, "I2C_Rev: answer too long, len = 256"},
        {5, 0x0105, "I2C_Rev: answer too long, len = 261"},
        {200, -1, "I2C_Rev: answer too long, len = 200"},
    };
    for (const auto& c : cases) {
        TouchController m;
        fake_dev::attach(&m);
        Fault f;
        f.replace_payload = true;
        f.payload = Bytes(static_cast<size_t>(c.payload_len), 0x5A);
        f.announce_len = c.announce;
        m.set_answer_fault(TouchController::CMD_ENTER, f);
        ASSERT_EQ(I2C_Request_BTLDR(), 0);
        StdoutCapture out;
        EXPECT_EQ(I2C_ENTER_BTLDR(), -7) << c.line;
        EXPECT_EQ(out.lines(), (Lines{c.line, "[I2C_ENTER_BTLDR-295]:ret = -7"}));
        for (const auto& r : m.reads()) EXPECT_EQ(r.offset, 0) << c.line;
    }
}

TEST_F(Btldr, LargestAnswerThatFitsIsAccepted) {
    Bytes payload(122);
    std::iota(payload.begin(), payload.end(), 1);
    model.set_enter_payload(payload);
    ASSERT_EQ(I2C_Request_BTLDR(), 0);
    StdoutCapture out;
    EXPECT_EQ(I2C_ENTER_BTLDR(), 0);
    EXPECT_EQ(out.lines(), Lines{});
    EXPECT_EQ(Bytes(data_buf, data_buf + 122), payload);
    EXPECT_EQ(frame_buf[128], 0x17);
}

TEST_F(Btldr, UnpackRefusesAnOversizeLengthWithoutReadingPastTheBuffer) {
    // Exactly the size of frame_buf on the heap: a read past it is caught by AddressSanitizer.
    for (uint16_t len : {uint16_t{123}, uint16_t{0x0100}, uint16_t{0xFFFF}}) {
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
