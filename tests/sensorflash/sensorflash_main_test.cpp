// The tool's entry over all layers, the libc stand-ins and the controller model: version text
// checks, the version gate, the image load failures and the exit status of each result.
#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "stdout_capture.h"
#include "image.h"
#include "sensorflash_main.h"
#include "sys_shim.h"
#include "touch_controller.h"

namespace {

using board::TouchController;
using shim::Event;

const unsigned long REQ_A1 = 0x40046BA1;
const char USAGE[] = "Usage: sensorflash touch_bin_file version(xx.xx.xx)";

class Entry : public ::testing::Test {
protected:
    void SetUp() override {
        shim::attach(&model);
        model.set_rows(10, 200);
        model.set_version(11);
        char tmpl[] = "/tmp/sensorflash-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        shim::attach(nullptr);
        unlink((dir + "/touch.bin").c_str());  // the only file a test writes
        ASSERT_EQ(rmdir(dir.c_str()), 0);
    }
    std::string write_image(const std::vector<uint8_t>& img) {
        std::string path = dir + "/touch.bin";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), static_cast<long>(img.size()));
        return path;
    }
    int run(std::vector<std::string> args, Lines* lines) {
        std::vector<char*> argv;
        args.insert(args.begin(), "sensorflash");
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        StdoutCapture out;
        int r = sensorflash_main(static_cast<int>(args.size()), argv.data());
        *lines = out.lines();
        return r;
    }
    // The closing sequence ran: request 0xA1 with 0, one second, request 0xA1 with 1, close.
    static bool closing_sequence_ran() {
        auto ev = shim::events();
        for (size_t i = 0; i + 3 < ev.size(); ++i) {
            if (ev[i].kind == Event::ioctl && ev[i].a == REQ_A1 && ev[i].b == 0 && ev[i + 1].kind == Event::pause &&
                ev[i + 1].a == 1000000 && ev[i + 2].kind == Event::ioctl && ev[i + 2].a == REQ_A1 && ev[i + 2].b == 1 &&
                ev[i + 3].kind == Event::close_dev)
                return true;
        }
        return false;
    }
    static bool device_opened() { return !shim::events_of(Event::open_dev).empty(); }

    TouchController model;
    std::string dir;
};

TEST_F(Entry, VersionTextWithoutThreeNumbersIsRefusedBeforeTheDeviceIsOpened) {
    for (const char* text : {"1.2", "a.b.c", "", "1..3", "1.2.", "1 .2.3", "1.2.x", "1.2.99999999999", "1.2.2147483648",
                             "1.2.-2147483649", "1.2.21474836470"}) {
        shim::attach(&model);
        Lines lines;
        EXPECT_EQ(run({"/nonexistent", text}, &lines), -1) << text;
        EXPECT_EQ(lines, Lines{USAGE}) << text;
        EXPECT_FALSE(device_opened()) << text;
    }
}

TEST_F(Entry, LargestThirdNumberIsAccepted) {
    model.set_version(255);
    Lines lines;
    EXPECT_EQ(run({"/nonexistent", "1.2.2147483647"}, &lines), -1);  // programs: the missing image shows
    EXPECT_EQ(lines, (Lines{"version:1.2.2147483647", "ver=255, new_ver=2147483647", "open file [/nonexistent]failed"}));
}

TEST_F(Entry, VersionTextIsReadAsThreeNumbersWhateverFollows) {
    model.set_version(12);
    const std::pair<const char*, const char*> cases[] = {
        {"004.07.012", "4.7.12"}, {"4.7.12\r", "4.7.12"},  {"4.7.12.1", "4.7.12"},
        {"4.7.12-rc1", "4.7.12"}, {" 4. 7.+12", "4.7.12"}, {"-4.7.-1", "-4.7.-1"},
    };
    for (const auto& c : cases) {
        shim::attach(&model);
        Lines lines;
        const std::string v = c.second;
        EXPECT_EQ(run({"/nonexistent", c.first}, &lines), 0) << c.first;  // skipped: the image is never opened
        EXPECT_EQ(lines, (Lines{"version:" + v, "ver=12, new_ver=" + v.substr(v.rfind('.') + 1),
                                "TOUCH PROGRAM UPDATE SUCCESSFULLY"}))
            << c.first;
    }
}

TEST_F(Entry, WrongArgumentCountShowsUsage) {
    Lines lines;
    EXPECT_EQ(run({"only-one"}, &lines), -1);
    EXPECT_EQ(lines, Lines{USAGE});
    EXPECT_EQ(run({"a", "1.2.3", "extra"}, &lines), -1);
    EXPECT_EQ(lines, Lines{USAGE});
    EXPECT_FALSE(device_opened());
}

TEST_F(Entry, VersionCheckComparesTheThirdNumberWithTheControllerByte) {
    uint8_t ver = 12;
    model.set_version(ver);
    struct Case {
        int new_ver, want;
    } cases[] = {{11, 0}, {12, 0}, {13, 1}, {256, 1}, {-1, 0}};
    for (const auto& c : cases) {
        StdoutCapture out;
        EXPECT_EQ(touch_version_check(shim::TOUCH_FD, c.new_ver), c.want) << c.new_ver;
        EXPECT_EQ(out.lines(), Lines{"ver=12, new_ver=" + std::to_string(c.new_ver)});
    }
    model.set_version(255);
    StdoutCapture out;
    EXPECT_EQ(touch_version_check(shim::TOUCH_FD, 256), 1);
    EXPECT_EQ(out.lines(), Lines{"ver=255, new_ver=256"});
}

TEST_F(Entry, FailedVersionReadIsOneAttemptAndProgrammingGoesAhead) {
    model.fail_reads(1, -EIO);
    StdoutCapture out;
    EXPECT_EQ(touch_version_check(shim::TOUCH_FD, 3), 1);
    EXPECT_EQ(out.lines(), (Lines{"touch_read_reg error:cnt = 5, ret=-1", "get version fail, continue upgrade, new version=3"}));
    EXPECT_EQ(model.reads().size(), 1u);
}

TEST_F(Entry, FileSizeThatCannotBeReadFailsAfterTheClosingSequence) {
    std::string path = write_image(make_image(3));
    shim::fail_next_fstat();
    Lines lines;
    EXPECT_EQ(run({path, "4.7.12"}, &lines), -1);
    EXPECT_EQ(lines, (Lines{"version:4.7.12", "ver=11, new_ver=12", "TOUCH UPDATE FAIL:ret=-1"}));
    EXPECT_TRUE(closing_sequence_ran());
    EXPECT_EQ(model.entry_requests(), 0);
}

TEST_F(Entry, BufferThatCannotBeAllocatedFailsAfterTheClosingSequence) {
    std::string path = write_image(make_image(3));
    shim::fail_next_malloc();
    Lines lines;
    EXPECT_EQ(run({path, "4.7.12"}, &lines), -1);
    EXPECT_EQ(lines, (Lines{"version:4.7.12", "ver=11, new_ver=12", "malloc memory failed", "TOUCH UPDATE FAIL:ret=-1"}));
    EXPECT_TRUE(closing_sequence_ran());
    EXPECT_EQ(model.entry_requests(), 0);
}

// A short image read gives the count as the result, but never the exit status 0.
TEST_F(Entry, ShortImageReadFailsWithTheCountAndNeverExitsZero) {
    struct Case {
        long count;
        int ret, status;
    } cases[] = {{10, 10, 10}, {256, 256, 255}, {0, -1, 255}};
    std::string path = write_image(make_image(3));  // 387 bytes
    for (const auto& c : cases) {
        shim::attach(&model);
        shim::short_next_file_read(c.count);
        Lines lines;
        int ret = run({path, "4.7.12"}, &lines);
        EXPECT_EQ(ret, c.ret) << c.count;
        EXPECT_EQ(sensorflash_exit_status(ret), c.status) << c.count;
        EXPECT_EQ(lines, (Lines{"version:4.7.12", "ver=11, new_ver=12",
                                "read file [" + path + "] failed, fileSize=387, readSize=" + std::to_string(c.count),
                                "TOUCH UPDATE FAIL:ret=" + std::to_string(c.ret)}))
            << c.count;
        EXPECT_TRUE(closing_sequence_ran()) << c.count;
        EXPECT_EQ(model.entry_requests(), 0) << c.count;
    }
}

TEST_F(Entry, ExitStatusIsTheResultModulo256ButNeverZeroForAFailure) {
    EXPECT_EQ(sensorflash_exit_status(0), 0);
    EXPECT_EQ(sensorflash_exit_status(-1), 255);
    EXPECT_EQ(sensorflash_exit_status(-2), 254);
    EXPECT_EQ(sensorflash_exit_status(-3), 253);
    EXPECT_EQ(sensorflash_exit_status(-4), 252);
    EXPECT_EQ(sensorflash_exit_status(-5), 251);
    EXPECT_EQ(sensorflash_exit_status(-6), 250);
    EXPECT_EQ(sensorflash_exit_status(-7), 249);
    EXPECT_EQ(sensorflash_exit_status(100), 100);
    EXPECT_EQ(sensorflash_exit_status(256), 255);
    EXPECT_EQ(sensorflash_exit_status(512), 255);
    EXPECT_EQ(sensorflash_exit_status(257), 1);
}

}  // namespace
