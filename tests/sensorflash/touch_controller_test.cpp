// The simulated touch controller through its device side alone (the write, read and ioctl calls
// a driver passes on): the bootloader's frame checks and status codes and the row range at both
// ends, which no run of the tool reaches. (Whole updates, the version byte, late answers and
// the fault counts are in boardsim's whole-report comparisons.)
#include <gtest/gtest.h>

#include "touch_controller.h"

namespace {

using board::TouchController;
using Bytes = std::vector<uint8_t>;

const Bytes ENTER = {0x01, 0x38, 0x00, 0x00, 0xC7, 0xFF, 0x17};  // the host's Enter, as on the bus
const Bytes REQUEST = {0x00, 0x09, 0x5A, 0x00};                  // the application's bootloader request
constexpr uint8_t OK = 0x00, ERR_LENGTH = 0x03, ERR_DATA = 0x04, ERR_CMD = 0x05, ERR_CHECKSUM = 0x08,
                  ERR_ARRAY = 0x09, ERR_ROW = 0x0A;

// A host frame: start, command, length LE, data, two's complement of the byte sum LE, end.
Bytes frame(uint8_t cmd, const Bytes& data) {
    Bytes f = {0x01, cmd, static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8)};
    for (uint8_t b : data) f.push_back(b);  // (insert trips GCC 12's -Warray-bounds at -O3)
    unsigned sum = 0;
    for (uint8_t b : f) sum += b;
    const unsigned c = (0x10000 - (sum & 0xFFFF)) & 0xFFFF;
    f.insert(f.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), 0x17});
    return f;
}
Bytes row_data(uint16_t row) { return {0x00, static_cast<uint8_t>(row), static_cast<uint8_t>(row >> 8)}; }

class Controller : public ::testing::Test {
protected:
    long send(Bytes f) {
        f.push_back(0);  // the host writes one byte beyond the frame
        return touch.on_write(f.data(), f.size());
    }
    // Polls at offset 0 for the head, then reads the rest at offset 4, as the host does.
    Bytes answer() {
        Bytes head(4, 0);
        EXPECT_EQ(touch.on_read(head.data(), head.size()), 4);
        if (head[0] != 0x01) return {};
        Bytes rest(head[2] + 3u, 0);
        rest[0] = 4;
        EXPECT_EQ(touch.on_read(rest.data(), rest.size()), static_cast<long>(rest.size()));
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    }
    uint8_t status_of(const Bytes& f) {
        send(f);
        const Bytes a = answer();
        return a.size() >= 7 ? a[1] : 0xEE;
    }
    void open_bootloader() {
        ASSERT_EQ(touch.on_write(REQUEST.data(), REQUEST.size()), 4);
        ASSERT_EQ(status_of(ENTER), OK);
    }
    uint8_t program(uint16_t row, uint8_t fill, size_t bytes = 128) {
        for (size_t done = 0; done + 21 <= 126 && done + 21 <= bytes; done += 21)
            if (status_of(frame(0x37, Bytes(21, fill))) != OK) return 0xEE;
        Bytes d = row_data(row);
        d.insert(d.end(), bytes - std::min<size_t>(bytes, 126), fill);
        return status_of(frame(0x39, d));
    }
    TouchController touch;
};

TEST_F(Controller, ChecksTheFrameInTheBootloadersOrder) {
    ASSERT_EQ(touch.on_write(REQUEST.data(), REQUEST.size()), 4);
    EXPECT_EQ(status_of(frame(0x32, {0x00})), ERR_DATA);  // no command before Enter
    EXPECT_EQ(status_of(frame(0x3C, {})), ERR_CMD);
    ASSERT_EQ(status_of(ENTER), OK);
    Bytes bad_sum = ENTER, bad_end = ENTER, both = ENTER, long_len = ENTER;
    bad_sum[4] ^= 1;
    bad_end[6] = 0x00;
    both[4] ^= 1;
    both[6] = 0x00;
    long_len[2] = 2;  // two data bytes announced, none sent
    EXPECT_EQ(status_of(bad_sum), ERR_CHECKSUM);
    EXPECT_EQ(status_of(bad_end), ERR_DATA);
    EXPECT_EQ(status_of(both), ERR_DATA);  // the end byte before the checksum
    EXPECT_EQ(status_of(long_len), ERR_LENGTH);
    EXPECT_EQ(status_of({0x02, 0x38, 0x00, 0x00, 0xC6, 0xFF, 0x17}), ERR_DATA);  // no start byte
    EXPECT_EQ(status_of({0x01, 0x38}), ERR_DATA);                               // shorter than a frame
    EXPECT_EQ(status_of(frame(0x38, {0x00})), ERR_DATA);                        // Enter carries no data
    for (uint8_t code : Bytes{0x00, 0x31, 0x33, 0x34, 0x35, 0x36, 0x3C, 0xFF})
        EXPECT_EQ(status_of(frame(code, {})), ERR_CMD) << int(code);
}

TEST_F(Controller, OffersAndTakesExactlyItsRowRange) {
    touch.set_rows(10, 0xFFFF);
    open_bootloader();
    send(frame(0x32, {0x00}));
    EXPECT_EQ(answer(), Bytes({0x01, OK, 0x04, 0x00, 0x0A, 0x00, 0xFF, 0xFF, 0xF3, 0xFD, 0x17}));
    EXPECT_EQ(status_of(frame(0x32, {0x01})), ERR_ARRAY);
    EXPECT_EQ(program(9, 0x11), ERR_ROW);
    EXPECT_EQ(program(10, 0x11), OK);
    EXPECT_EQ(program(0xFFFF, 0x22), OK);
    EXPECT_EQ(touch.programmed_rows(), std::vector<uint16_t>({10, 0xFFFF}));
    EXPECT_EQ(status_of(frame(0x3A, row_data(9))), ERR_ROW);
    touch.set_rows(0, 127);
    EXPECT_EQ(program(128, 0x11), ERR_ROW);
    EXPECT_EQ(program(127, 0x11), OK);
    EXPECT_EQ(program(0, 0x11), OK);
}

TEST_F(Controller, ProgramsWholeRowsAndAnswersTheirChecksum) {
    touch.set_rows(0, 127);
    touch.set_wrong_row_checksum(127);
    open_bootloader();
    EXPECT_EQ(program(5, 0x11, 127), ERR_LENGTH);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(status_of(frame(0x37, Bytes(21, 0x11))), OK);
    EXPECT_EQ(status_of(frame(0x39, {0x01, 0x05, 0x00, 0x11, 0x11})), ERR_ARRAY);
    EXPECT_EQ(status_of(frame(0x39, {0x00, 0x05, 0x00, 0x11, 0x11})), ERR_LENGTH);  // the array error dropped the row
    EXPECT_EQ(status_of(frame(0x3A, {0x00, 0x05})), ERR_LENGTH);
    ASSERT_EQ(program(0, 0x03), OK);
    send(frame(0x3A, row_data(0)));
    Bytes a = answer();
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(a[4], static_cast<uint8_t>(0 - 128 * 3));
    ASSERT_EQ(program(127, 0x03), OK);
    send(frame(0x3A, row_data(127)));
    a = answer();
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(a[4], static_cast<uint8_t>(0 - 128 * 3 + 1));  // reads back one off
    EXPECT_EQ(touch.damaged_rows(), std::vector<uint16_t>({127}));
    EXPECT_EQ(touch.fault_counts().wrong_row_checksums.at(127), 1);
}

}  // namespace
