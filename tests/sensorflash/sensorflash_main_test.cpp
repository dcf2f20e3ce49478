// The tool's entry over all layers, the libc stand-ins and the controller model: version text
// checks, the version gate, the image load failures with the exit status they give, and the
// closing sequence before the result line.
#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "sensorflash_main.h"
#include "stdout_capture.h"
#include "sys_shim.h"
#include "touch_controller.h"
#include "touch_fixtures.h"

namespace {

using board::TouchController;

const char OPEN_AND_VERSION_READ[] = "O I40046BA0=0 I40046BA1=1 I40046BA3=0 R5";

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
    // The device was opened and its version read; the run ended with the closing sequence
    // (request 0xA1 with 0, one second, request 0xA1 with 1, close), printed after every line
    // but the result line.
    static void expect_closing_before_result(const Lines& lines) {
        const std::string trace = shim::trace(), closing = " I40046BA1=0 P1000 I40046BA1=1 C";
        EXPECT_EQ(trace.compare(0, sizeof OPEN_AND_VERSION_READ - 1, OPEN_AND_VERSION_READ), 0) << trace;
        ASSERT_GE(trace.size(), closing.size());
        EXPECT_EQ(trace.substr(trace.size() - closing.size()), closing);
        long before = 0;
        for (size_t i = 0; i + 1 < lines.size(); ++i) before += static_cast<long>(lines[i].size() + 1);
        const auto ev = shim::events();
        ASSERT_GE(ev.size(), 4u);
        EXPECT_EQ(ev[ev.size() - 4].printed, before);
        EXPECT_EQ(ev.back().printed, before);
    }

    TouchController model;
    std::string dir;
};

TEST_F(Entry, VersionTextWithoutThreeNumbersIsRefusedBeforeTheDeviceIsOpened) {
    for (const char* text : {"1.2", "a.b.c", "", "1..3", "1.2.", "1 .2.3", "1.2.x", "v4.7.12", "1.2.99999999999",
                             "1.2.2147483648", "1.2.-2147483649", "1.2.21474836470"}) {
        shim::attach(&model);
        Lines lines;
        EXPECT_EQ(run({"/nonexistent", text}, &lines), -1) << text;
        EXPECT_EQ(lines, Lines{"Usage: sensorflash touch_bin_file version(xx.xx.xx)"}) << text;
        EXPECT_EQ(shim::trace(), "") << text;
    }
}

TEST_F(Entry, MissingImageOfANewerVersionIsClosedPlainly) {
    model.set_version(255);
    Lines lines;
    EXPECT_EQ(run({"/nonexistent", "1.2.2147483647"}, &lines), -1);  // the largest third number
    EXPECT_EQ(lines, (Lines{"version:1.2.2147483647", "ver=255, new_ver=2147483647", "open file [/nonexistent]failed"}));
    EXPECT_EQ(shim::trace(), std::string(OPEN_AND_VERSION_READ) + " C");
}

// An update that is skipped never opens the image: a missing one goes unnoticed.
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
        EXPECT_EQ(run({"/nonexistent", c.first}, &lines), 0) << c.first;
        EXPECT_EQ(lines, (Lines{"version:" + v, "ver=12, new_ver=" + v.substr(v.rfind('.') + 1),
                                "TOUCH PROGRAM UPDATE SUCCESSFULLY"}))
            << c.first;
        expect_closing_before_result(lines);
    }
}

TEST_F(Entry, VersionCheckProgramsOnlyAThirdNumberAboveTheControllerByte) {
    struct Case {
        int ver, new_ver, want;
    } cases[] = {{12, 11, 0}, {12, 12, 0}, {12, 13, 1}, {12, 256, 1}, {12, -1, 0}, {255, 256, 1}, {255, 255, 0}};
    for (const auto& c : cases) {
        model.set_version(static_cast<uint8_t>(c.ver));
        StdoutCapture out;
        EXPECT_EQ(touch_version_check(shim::TOUCH_FD, c.new_ver), c.want) << c.new_ver;
        EXPECT_EQ(out.lines(), Lines{"ver=" + std::to_string(c.ver) + ", new_ver=" + std::to_string(c.new_ver)});
    }
}

TEST_F(Entry, FailedVersionReadIsOneAttemptAndProgrammingGoesAhead) {
    model.fail_reads(1, -EIO);
    StdoutCapture out;
    EXPECT_EQ(touch_version_check(shim::TOUCH_FD, 3), 1);
    EXPECT_EQ(out.lines(), (Lines{"touch_read_reg error:cnt = 5, ret=-1", "get version fail, continue upgrade, new version=3"}));
    EXPECT_EQ(shim::trace(), "R5 P10");
}

// A failed image load ends the run after the closing sequence; a short read gives the count
// as the result, but never the exit status 0.
TEST_F(Entry, FailedImageLoadEndsWithTheClosingSequenceAndTheFailLine) {
    std::string path = write_image(make_image(3));  // 387 bytes
    const auto short_read = [&](long n) {
        return "read file [" + path + "] failed, fileSize=387, readSize=" + std::to_string(n);
    };
    struct Case {
        std::function<void()> fault;
        Lines lines;
        int ret, status;
    } cases[] = {
        {shim::fail_next_fstat, {}, -1, 255},
        {shim::fail_next_malloc, {"malloc memory failed"}, -1, 255},
        {[] { shim::short_next_file_read(10); }, {short_read(10)}, 10, 10},
        {[] { shim::short_next_file_read(256); }, {short_read(256)}, 256, 255},
        {[] { shim::short_next_file_read(0); }, {short_read(0)}, -1, 255},
    };
    for (const auto& c : cases) {
        shim::attach(&model);
        c.fault();
        Lines lines;
        int ret = run({path, "4.7.12"}, &lines);
        EXPECT_EQ(ret, c.ret);
        EXPECT_EQ(sensorflash_exit_status(ret), c.status);
        Lines expect{"version:4.7.12", "ver=11, new_ver=12"};
        expect.insert(expect.end(), c.lines.begin(), c.lines.end());
        expect.push_back("TOUCH UPDATE FAIL:ret=" + std::to_string(c.ret));
        EXPECT_EQ(lines, expect);
        expect_closing_before_result(lines);
        EXPECT_EQ(model.entry_requests(), 0);
    }
}

}  // namespace
