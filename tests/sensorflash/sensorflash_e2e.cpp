// End-to-end runs of the real sensorflash binary against the touch controller model on the
// test bed: whole output, exit status, rows programmed, control requests and their timing.
#include <errno.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <regex>

#include "bed.h"
#include "touch_fixtures.h"
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

// The board runs on the virtual clock: the tool's one-second waits pass at once and take exactly
// their time on the board's clock.
class Sensorflash : public ::testing::Test {
protected:
    explicit Sensorflash(bool virtual_clock = true) {
        if (virtual_clock) bed.use_virtual_clock();
    }

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

    Result run(std::vector<std::string> args, testbed::RunOptions::Stdout to = testbed::RunOptions::Stdout::pty) {
        args.insert(args.begin(), SENSORFLASH_BIN);
        Result r;
        testbed::RunOptions opts;
        opts.stdout_to = to;
        auto proc = bed.start(args, opts);
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
        const std::pair<unsigned long, unsigned long> want[] = {
            {REQ_A0, 0}, {REQ_A1, 1}, {REQ_A3, 0}, {REQ_A1, 0}, {REQ_A1, 1}};
        auto calls = touch.ioctls();
        ASSERT_EQ(calls.size(), closing ? 5u : 3u);
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].request, want[i].first) << i;
            EXPECT_EQ(calls[i].value, want[i].second) << i;
        }
        if (!closing) return;
        EXPECT_EQ(ms_between(calls[3].at, calls[4].at), 1000);
    }

    TouchController touch;  // outlives the bed, which serves it
    testbed::Bed bed;
};

// An update as an install script runs it, its output through a pipe: the whole output, the
// image's rows in the controller's flash (the last packet in its last row, a tail shorter than
// a packet ignored), the controller back in its application, and the driver's timing.
TEST_F(Sensorflash, UpdateThroughAPipeProgramsTheImageAndReportsEachPacket) {
    Bytes img = make_image(3, 5);
    Result r = run({image_file(img), "4.7.12"}, testbed::RunOptions::Stdout::pipe);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(with_fd_masked(r.lines), (Lines{"version:4.7.12", "ver=11, new_ver=12", "start upgrade:dev_fd=N, fileSize=392",
                                              finish_line(1), finish_line(2), finish_line(3), SUCCESS}));
    auto flash = touch.flash();
    EXPECT_EQ(flash.size(), 3u);
    const uint16_t rows[] = {10, 11, 200};
    for (size_t k = 0; k < 3; ++k)
        EXPECT_EQ(Bytes(flash[rows[k]].begin(), flash[rows[k]].end()), image_row(img, k)) << "row " << rows[k];
    expect_requests(true);
    // One second between the entry request and Enter.
    auto writes = touch.writes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, (Bytes{0x00, 0x09, 0x5A, 0x00}));
    EXPECT_EQ(ms_between(writes[0].at, writes[1].at), 1000);
    EXPECT_EQ(touch.exits(), 1);
    EXPECT_EQ(touch.mode(), TouchController::Mode::application);
}

// A signal that must land inside a pause needs the pause to last: the real clock.
class SensorflashOnTheRealClock : public Sensorflash {
protected:
    SensorflashOnTheRealClock() : Sensorflash(false) {}
};

// A run ended by a signal (here in the closing sequence's one-second hold) leaves every line it
// printed in the log file it was given.
TEST_F(SensorflashOnTheRealClock, RunEndedByASignalLeavesItsLinesInTheLogFile) {
    testbed::RunOptions opts;
    opts.stdout_to = testbed::RunOptions::Stdout::file;
    auto proc = bed.start({SENSORFLASH_BIN, image_file(make_image(2)), "4.7.12"}, opts);
    ASSERT_TRUE(proc);
    ASSERT_TRUE(testbed::wait_until([&] { return touch.ioctls().size() == 4; }, RUN_TIMEOUT));
    proc->send_signal(SIGTERM);
    EXPECT_EQ(proc->wait_exit(RUN_TIMEOUT), 128 + SIGTERM);
    EXPECT_EQ(with_fd_masked(proc->output_lines()), (Lines{"version:4.7.12", "ver=11, new_ver=12",
                                                           "start upgrade:dev_fd=N, fileSize=258", finish_line(1), finish_line(2)}));
}

// Only the third number of the version counts. A skipped update never opens the image, so a
// missing one goes unnoticed and the run ends with the closing sequence and the success line;
// a newer version finds it missing and ends without the closing sequence.
TEST_F(Sensorflash, MissingImageIsNoticedOnlyWhenTheVersionIsNewer) {
    const std::string path = bed.root_dir() + "/no/such/touch.bin";
    touch.set_version(5);
    Result older = run({path, "9.9.3"});
    EXPECT_EQ(older.status, 0);
    EXPECT_EQ(older.lines, (Lines{"version:9.9.3", "ver=5, new_ver=3", SUCCESS}));
    expect_requests(true);
    touch.clear_records();
    Result newer = run({path, "4.7.12"});
    EXPECT_EQ(newer.status, 255);
    EXPECT_EQ(newer.lines, (Lines{"version:4.7.12", "ver=5, new_ver=12", "open file [" + path + "]failed"}));
    expect_requests(false);
    EXPECT_EQ(touch.entry_requests(), 0);
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

TEST_F(Sensorflash, DeviceThatCannotBeOpenedEndsWithoutClosingSequence) {
    bed.fail_open("/dev/morlan_touch", EACCES);
    Result r = run({"touch.bin", "4.7.12"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.lines, (Lines{"open /dev/morlan_touch device error!", "touch init error:-1"}));
    EXPECT_TRUE(touch.ioctls().empty());
}

// A controller that refuses a row or garbles an answer: the install script sees the failure's
// status and the fail line last. After a failed row the exit frame returns the controller to
// its application; after a garbled Enter answer no frame follows and it stays in its bootloader.
TEST_F(Sensorflash, ControllerFaultsEndWithTheirStatusAndFailLine) {
    touch.set_wrong_row_checksum(11);
    Result row = run({image_file(make_image(3)), "4.7.12"});
    EXPECT_EQ(row.status, 251);
    ASSERT_FALSE(row.lines.empty());
    EXPECT_EQ(row.lines.back(), "TOUCH UPDATE FAIL:ret=-5");
    EXPECT_EQ(touch.programmed_rows(), (std::vector<uint16_t>{10, 11}));
    EXPECT_EQ(touch.exits(), 1);
    EXPECT_EQ(touch.mode(), TouchController::Mode::application);
    expect_requests(true);

    TouchController::AnswerFault bad;
    bad.bad_checksum = true;
    touch.set_answer_fault(TouchController::CMD_ENTER, bad);
    touch.clear_records();
    Result enter = run({image_file(make_image(3)), "4.7.12"});
    EXPECT_EQ(enter.status, 252);
    ASSERT_FALSE(enter.lines.empty());
    EXPECT_EQ(enter.lines.back(), "TOUCH UPDATE FAIL:ret=-4");
    EXPECT_EQ(frame_trace(touch), "E");
    EXPECT_EQ(touch.mode(), TouchController::Mode::bootloader_open);
    expect_requests(true);
}

}  // namespace
