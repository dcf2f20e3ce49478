// Touch device layer against the controller model through the libc stand-ins: the open and
// its control requests, attempts and pauses, the two 20-failure latches, the closing sequence.
// The failure counters live for the whole run: each test starts one with touch_init.
#include <errno.h>
#include <fcntl.h>

#include <gtest/gtest.h>

#include "stdout_capture.h"
#include "sys_shim.h"
#include "touch_controller.h"
#include "touch_dev.h"

namespace {

using board::TouchController;
using Bytes = std::vector<uint8_t>;

const char READ4_FAILED[] = "touch_read_reg error:cnt = 4, ret=-1";

// n times the word w, space-separated, as in shim::trace().
std::string times(int n, const std::string& w) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? " " : "") + w;
    return s;
}

class TouchDev : public ::testing::Test {
protected:
    void SetUp() override {
        shim::attach(&model);
        ASSERT_EQ(touch_init(), 0);
        model.clear_records();
        shim::attach(&model);
        model.set_version(0x2A);
    }
    void TearDown() override { shim::attach(nullptr); }

    // One operation of 4 bytes with 5 tries in one direction.
    static int op(bool write) {
        uint8_t buf[4] = {1, 2, 3, 4};
        return write ? touch_write_reg(shim::TOUCH_FD, buf, 4, 5) : touch_read_reg(shim::TOUCH_FD, buf, 4, 5);
    }
    // ops failed operations; returns what they printed.
    Lines fail(bool write, int ops) {
        if (write) model.fail_writes(1000000, -EIO);
        else model.fail_reads(1000000, -EIO);
        StdoutCapture out;
        for (int i = 0; i < ops; ++i) EXPECT_EQ(op(write), write ? -2 : -3);
        return out.lines();
    }

    TouchController model;
};

TEST_F(TouchDev, InitOpensReadWriteAndIssuesTheThreeRequestsInOrder) {
    shim::attach(&model);
    StdoutCapture out;
    ASSERT_EQ(touch_init(), 0);
    EXPECT_EQ(dev_fd, shim::TOUCH_FD);
    EXPECT_EQ(shim::trace(), "O I40046BA0=0 I40046BA1=1 I40046BA3=0");
    EXPECT_EQ(shim::events()[0].a & O_ACCMODE, static_cast<unsigned long>(O_RDWR));
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(TouchDev, InitFailsWhenOpenFailsOrYieldsDescriptorZero) {
    for (int fd : {-1, 0}) {
        shim::attach(&model);
        shim::set_open_result(fd);
        StdoutCapture out;
        EXPECT_EQ(touch_init(), -1) << fd;
        EXPECT_EQ(out.lines(), Lines{"open /dev/morlan_touch device error!"}) << fd;
        EXPECT_EQ(shim::trace(), "O") << fd;
    }
}

TEST_F(TouchDev, ClosingSequenceHoldsRequestA1AtZeroForOneSecond) {
    touch_close();
    EXPECT_EQ(shim::trace(), "I40046BA1=0 P1000 I40046BA1=1 C");
}

TEST_F(TouchDev, NullBufferIsRefusedWithoutTransfer) {
    EXPECT_EQ(touch_write_reg(shim::TOUCH_FD, nullptr, 4, 5), -1);
    EXPECT_EQ(touch_read_reg(shim::TOUCH_FD, nullptr, 4, 5), -1);
    EXPECT_EQ(shim::trace(), "");
}

TEST_F(TouchDev, WriteIsSentWholeUntilTakenWithTenMillisecondsAfterEachFailure) {
    const Bytes buf = {1, 2, 3, 4, 5};
    model.fail_writes(2, 3);  // two writes of which the driver took only 3 bytes
    StdoutCapture out;
    EXPECT_EQ(touch_write_reg(shim::TOUCH_FD, buf.data(), 5, 5), 0);
    EXPECT_EQ(shim::trace(), "W5 P10 W5 P10 W5");
    for (const auto& w : model.writes()) EXPECT_EQ(w.bytes, buf);
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(TouchDev, WriteFailingEveryAttemptPausesAfterEachAndReturnsMinus2Silently) {
    EXPECT_EQ(fail(true, 1), Lines{});
    EXPECT_EQ(shim::trace(), times(5, "W4 P10"));
    shim::attach(&model);
    const uint8_t b = 0;
    EXPECT_EQ(touch_write_reg(shim::TOUCH_FD, &b, 1, 0), -2);  // tries below 1: one attempt
    EXPECT_EQ(shim::trace(), "W1 P10");
}

TEST_F(TouchDev, ReadFailingEveryAttemptReportsLengthAndLastResult) {
    EXPECT_EQ(fail(false, 1), Lines{READ4_FAILED});
    EXPECT_EQ(shim::trace(), times(5, "R4 P10"));
    shim::attach(&model);
    model.fail_reads(1, 2);  // the driver delivered 2 of 5 bytes
    StdoutCapture out;
    uint8_t buf[6] = {0};
    EXPECT_EQ(touch_read_reg(shim::TOUCH_FD, buf, 5, 1), -3);
    EXPECT_EQ(shim::trace(), "R5 P10");
    EXPECT_EQ(out.lines(), Lines{"touch_read_reg error:cnt = 5, ret=2"});
}

TEST_F(TouchDev, ReadStartsAtTheOffsetInTheFirstByte) {
    uint8_t buf[6] = {0};
    EXPECT_EQ(touch_read_reg(shim::TOUCH_FD, buf, 5, 1), 0);
    EXPECT_EQ(buf[4], 0x2A);
    EXPECT_EQ(shim::trace(), "R5");
    EXPECT_EQ(model.reads()[0].offset, 0);
}

// Twenty failed operations in a row shut a direction for the run; a success in between starts
// the count again; the other direction stays open.
TEST_F(TouchDev, EachDirectionShutsAtItsTwentiethFailedOperationInARow) {
    for (bool write : {true, false}) {
        const std::string latch = std::string(write ? "touch_write_reg" : "touch_read_reg") +
                                  ":err_cnt > 20, please check the device then retry";
        const Lines each = write ? Lines{} : Lines{READ4_FAILED};
        ASSERT_EQ(touch_init(), 0);
        EXPECT_EQ(fail(write, 19).size(), 19 * each.size()) << write;
        model.fail_writes(0, 0);
        model.fail_reads(0, 0);
        EXPECT_EQ(op(write), 0) << write;
        EXPECT_EQ(fail(write, 19).size(), 19 * each.size()) << write;  // no latch yet
        Lines twentieth = fail(write, 1);
        Lines expect{latch};
        expect.insert(expect.end(), each.begin(), each.end());
        EXPECT_EQ(twentieth, expect) << write;
        model.fail_writes(0, 0);
        model.fail_reads(0, 0);
        shim::attach(&model);
        StdoutCapture out;
        EXPECT_EQ(op(write), write ? -2 : -3) << write;  // shut, though the device works again
        EXPECT_EQ(op(!write), 0) << write;
        EXPECT_EQ(shim::trace(), write ? "R4" : "W4") << write;
        EXPECT_EQ(out.lines(), Lines{}) << write;
    }
}

}  // namespace
