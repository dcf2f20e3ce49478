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
using shim::Event;

const unsigned long REQ_A0 = 0x40046BA0, REQ_A1 = 0x40046BA1, REQ_A3 = 0x40046BA3;
const char READ_LATCH[] = "touch_read_reg:err_cnt > 20, please check the device then retry";
const char WRITE_LATCH[] = "touch_write_reg:err_cnt > 20, please check the device then retry";
const char READ4_FAILED[] = "touch_read_reg error:cnt = 4, ret=-1";

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

    // Kinds of the recorded calls in order, e.g. "WPWP".
    static std::string trace() {
        std::string s;
        for (const auto& e : shim::events()) s += "OCWRIP"[e.kind];
        return s;
    }
    int fail_reads(int ops) {  // ops failed read operations of 4 bytes, 5 tries
        int r = 0;
        for (int i = 0; i < ops; ++i) {
            uint8_t buf[4] = {0};
            r = touch_read_reg(shim::TOUCH_FD, buf, 4, 5);
        }
        return r;
    }
    int fail_writes(int ops) {
        int r = 0;
        const uint8_t buf[3] = {1, 2, 3};
        for (int i = 0; i < ops; ++i) r = touch_write_reg(shim::TOUCH_FD, buf, 3, 5);
        return r;
    }

    TouchController model;
};

TEST_F(TouchDev, InitOpensReadWriteAndIssuesTheThreeRequestsInOrder) {
    StdoutCapture out;
    ASSERT_EQ(touch_init(), 0);
    EXPECT_EQ(dev_fd, shim::TOUCH_FD);
    auto opens = shim::events_of(Event::open_dev);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].a & O_ACCMODE, static_cast<unsigned long>(O_RDWR));
    auto calls = model.ioctls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].request, REQ_A0);
    EXPECT_EQ(calls[0].value, 0u);
    EXPECT_EQ(calls[1].request, REQ_A1);
    EXPECT_EQ(calls[1].value, 1u);
    EXPECT_EQ(calls[2].request, REQ_A3);
    EXPECT_EQ(calls[2].value, 0u);
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(TouchDev, InitFailsWhenOpenFailsOrYieldsDescriptorZero) {
    for (int fd : {-1, 0}) {
        shim::attach(&model);
        shim::set_open_result(fd);
        StdoutCapture out;
        EXPECT_EQ(touch_init(), -1) << fd;
        EXPECT_EQ(out.lines(), Lines{"open /dev/morlan_touch device error!"}) << fd;
        EXPECT_TRUE(model.ioctls().empty()) << fd;
    }
}

TEST_F(TouchDev, ClosingSequenceHoldsRequestA1AtZeroForOneSecond) {
    ASSERT_EQ(touch_init(), 0);
    shim::attach(&model);
    touch_close();
    ASSERT_EQ(trace(), "IPIC");
    auto ev = shim::events();
    EXPECT_EQ(ev[0].a, REQ_A1);
    EXPECT_EQ(ev[0].b, 0u);
    EXPECT_EQ(ev[1].a, 1000000u);
    EXPECT_EQ(ev[2].a, REQ_A1);
    EXPECT_EQ(ev[2].b, 1u);
}

TEST_F(TouchDev, NullBufferIsRefusedWithoutTransfer) {
    EXPECT_EQ(touch_write_reg(shim::TOUCH_FD, nullptr, 4, 5), -1);
    EXPECT_EQ(touch_read_reg(shim::TOUCH_FD, nullptr, 4, 5), -1);
    EXPECT_EQ(trace(), "");
}

TEST_F(TouchDev, AcceptedWriteTakesOneCallAndNoPause) {
    const uint8_t buf[4] = {0x10, 0x20, 0x30, 0x40};
    EXPECT_EQ(touch_write_reg(shim::TOUCH_FD, buf, 4, 5), 0);
    EXPECT_EQ(trace(), "W");
    ASSERT_EQ(model.writes().size(), 1u);
    EXPECT_EQ(model.writes()[0].bytes, std::vector<uint8_t>(buf, buf + 4));
}

TEST_F(TouchDev, ShortWriteIsSentAgainWholeAfterTenMilliseconds) {
    const uint8_t buf[5] = {1, 2, 3, 4, 5};
    model.fail_writes(2, 3);  // two writes of which the driver took only 3 bytes
    StdoutCapture out;
    EXPECT_EQ(touch_write_reg(shim::TOUCH_FD, buf, 5, 5), 0);
    EXPECT_EQ(trace(), "WPWPW");
    EXPECT_EQ(shim::pauses_us(), (std::vector<unsigned long>{10000, 10000}));
    auto writes = model.writes();
    ASSERT_EQ(writes.size(), 3u);
    for (const auto& w : writes) EXPECT_EQ(w.bytes, std::vector<uint8_t>(buf, buf + 5));
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(TouchDev, WriteFailingEveryAttemptPausesAfterEachAndReturnsMinus2Silently) {
    model.fail_writes(1000, -EIO);
    StdoutCapture out;
    EXPECT_EQ(fail_writes(1), -2);
    EXPECT_EQ(trace(), "WPWPWPWPWP");
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(TouchDev, ReadFailingEveryAttemptMakesFiveCallsAndReportsLengthAndLastResult) {
    model.fail_reads(1000, -EIO);
    StdoutCapture out;
    EXPECT_EQ(fail_reads(1), -3);
    EXPECT_EQ(trace(), "RPRPRPRPRP");
    EXPECT_EQ(shim::pauses_us(), std::vector<unsigned long>(5, 10000));
    EXPECT_EQ(out.lines(), Lines{READ4_FAILED});
}

TEST_F(TouchDev, ShortReadCountsAsFailureAndIsReported) {
    model.fail_reads(1, 2);  // the driver delivered 2 of 5 bytes
    StdoutCapture out;
    uint8_t buf[6] = {0};
    EXPECT_EQ(touch_read_reg(shim::TOUCH_FD, buf, 5, 1), -3);
    EXPECT_EQ(trace(), "RP");
    EXPECT_EQ(out.lines(), Lines{"touch_read_reg error:cnt = 5, ret=2"});
}

TEST_F(TouchDev, ReadStartsAtTheOffsetInTheFirstByte) {
    uint8_t buf[6] = {0};
    EXPECT_EQ(touch_read_reg(shim::TOUCH_FD, buf, 5, 1), 0);
    EXPECT_EQ(buf[4], 0x2A);
    ASSERT_EQ(model.reads().size(), 1u);
    EXPECT_EQ(model.reads()[0].offset, 0);
    EXPECT_EQ(model.reads()[0].len, 5u);
}

TEST_F(TouchDev, ReadDirectionShutsAtTheTwentiethFailedOperation) {
    model.fail_reads(1000000, -EIO);
    {
        StdoutCapture out;
        EXPECT_EQ(fail_reads(19), -3);
        EXPECT_EQ(out.lines(), Lines(19, READ4_FAILED));
    }
    {
        StdoutCapture out;
        EXPECT_EQ(fail_reads(1), -3);
        EXPECT_EQ(out.lines(), (Lines{READ_LATCH, READ4_FAILED}));
    }
    shim::attach(&model);  // clears the record, keeps the model's faults
    model.fail_reads(0, 0);
    StdoutCapture out;
    EXPECT_EQ(fail_reads(3), -3);  // shut: no read at all, even though the device works again
    EXPECT_EQ(trace(), "");
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(TouchDev, WriteDirectionShutsAtTheTwentiethFailedOperation) {
    model.fail_writes(1000000, -EIO);
    {
        StdoutCapture out;
        EXPECT_EQ(fail_writes(19), -2);
        EXPECT_EQ(out.lines(), Lines{});
    }
    {
        StdoutCapture out;
        EXPECT_EQ(fail_writes(1), -2);
        EXPECT_EQ(out.lines(), Lines{WRITE_LATCH});
    }
    shim::attach(&model);
    model.fail_writes(0, 0);
    StdoutCapture out;
    EXPECT_EQ(fail_writes(2), -2);
    EXPECT_EQ(trace(), "");
    EXPECT_EQ(out.lines(), Lines{});
}

TEST_F(TouchDev, SuccessAfterNineteenFailuresResetsTheCount) {
    model.fail_reads(19 * 5, -EIO);
    {
        StdoutCapture out;
        fail_reads(19);
    }
    uint8_t buf[4] = {0};
    EXPECT_EQ(touch_read_reg(shim::TOUCH_FD, buf, 4, 5), 0);
    model.fail_reads(1000000, -EIO);
    {
        StdoutCapture out;
        EXPECT_EQ(fail_reads(19), -3);
        EXPECT_EQ(out.lines(), Lines(19, READ4_FAILED));  // no latch yet
    }
    StdoutCapture out;
    EXPECT_EQ(fail_reads(1), -3);
    EXPECT_EQ(out.lines(), (Lines{READ_LATCH, READ4_FAILED}));
}

TEST_F(TouchDev, DirectionsShutIndependently) {
    model.fail_reads(1000000, -EIO);
    {
        StdoutCapture out;
        fail_reads(20);
    }
    const uint8_t wbuf[2] = {9, 9};
    EXPECT_EQ(touch_write_reg(shim::TOUCH_FD, wbuf, 2, 5), 0);
    model.fail_reads(0, 0);
    model.fail_writes(1000000, -EIO);
    {
        StdoutCapture out;
        fail_writes(20);
    }
    shim::attach(&model);
    model.fail_writes(0, 0);
    uint8_t rbuf[4] = {0};
    EXPECT_EQ(touch_read_reg(shim::TOUCH_FD, rbuf, 4, 5), -3);  // still shut
    EXPECT_EQ(touch_write_reg(shim::TOUCH_FD, wbuf, 2, 5), -2);
    EXPECT_EQ(trace(), "");
}

TEST_F(TouchDev, TriesBelowOneMakeOneAttempt) {
    model.fail_writes(1000, -EIO);
    const uint8_t buf[1] = {0};
    EXPECT_EQ(touch_write_reg(shim::TOUCH_FD, buf, 1, 0), -2);
    EXPECT_EQ(trace(), "WP");
}

}  // namespace
