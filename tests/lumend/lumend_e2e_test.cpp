// The real lumend binary on the test bed: start-up writes, arguments, the pipe, exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aw9110_chip.h"
#include "bed.h"

using namespace std::chrono_literals;
using Pairs = std::vector<std::pair<uint8_t, uint8_t>>;

namespace {

const std::string kCreated = "kavo : create thread ok.\n";
const std::string kExitLine = "kavo : Recieve exit signal, exit\n";

class Lumend : public ::testing::Test {
protected:
    void SetUp() override {
        bed.add_char_device("aw9110_1_dev", &chip0);
        bed.add_char_device("aw9110_2_dev", &chip1);
    }
    std::string pipe_path() const { return bed.data_dir() + "/led_pipe"; }
    void start(const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv{LUMEND_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        proc = bed.start(argv);
        ASSERT_TRUE(proc);
    }
    // Waits until the daemon opens its pipe, then writes the bytes as one writer.
    void send(const std::vector<uint8_t>& bytes, bool keep_open = false) {
        if (writer < 0) {
            ASSERT_TRUE(testbed::wait_until([&] { return opens_of_pipe() > 0; }, 10s)) << proc->output();
            writer = open(pipe_path().c_str(), O_WRONLY);
        }
        ASSERT_GE(writer, 0);
        ASSERT_EQ(write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        if (!keep_open) {
            close(writer);
            writer = -1;
        }
    }
    size_t opens_of_pipe() const {
        size_t n = 0;
        for (const auto& r : proc->logs())
            if (r.kind == testbed::LogRecord::kernel && r.text.find("open the pip in O_RDONLY mode") != std::string::npos) ++n;
        return n;
    }
    int stop() {
        send({0xFF});
        return proc->wait_exit(10s);
    }
    void TearDown() override {
        if (writer >= 0) close(writer);
    }

    board::Aw9110Chip chip0, chip1;
    testbed::Bed bed;
    std::unique_ptr<testbed::Process> proc;
    int writer = -1;
};

TEST_F(Lumend, StartUpWritesBothChipsInOrderAndExitsOnFF) {
    start();
    ASSERT_TRUE(proc->wait_output(kCreated, 10s));
    ASSERT_TRUE(testbed::wait_until([&] { return chip0.sequence_running(); }, 10s));
    const Pairs init{{0x05, 0}, {0x04, 0}, {0x13, 0}, {0x12, 0}};
    Pairs c1 = init;
    c1.insert(c1.end(), {{0x11, 0}, {0x14, 0}, {0x14, 0},
                         {0x20, 0}, {0x21, 0}, {0x22, 0}, {0x25, 0}, {0x26, 0}, {0x24, 0}, {0x23, 0}});
    EXPECT_EQ(chip1.accepted_pairs(), c1);
    EXPECT_EQ(chip0.ioctls(), (std::vector<unsigned long>{0x6B80}));
    EXPECT_EQ(chip1.ioctls(), (std::vector<unsigned long>{0x6B80}));
    Pairs c0 = chip0.accepted_pairs();
    ASSERT_GE(c0.size(), 12u);
    Pairs head(c0.begin(), c0.begin() + 12);
    Pairs want = init;
    want.insert(want.end(), {{0x11, 0}, {0x14, 0}, {0x14, 0}, {0x25, 0}, {0x26, 0}, {0x27, 0}, {0x28, 0}, {0x29, 0}});
    EXPECT_EQ(head, want);
    for (int ch = 0; ch < 5; ++ch) EXPECT_TRUE(chip0.channel(ch).sequence) << ch;

    struct stat st;
    ASSERT_EQ(stat(pipe_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stop(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 900ms);
    // The pattern thread normally runs one cycle with 0xFF in the pause, but may meet the exit.
    std::string out;
    for (const auto& l : proc->output_lines())
        if (l != "kavo : close led") out += l + "\n";
    EXPECT_EQ(out, kCreated + "kavo : touch led recieve command : 255\n" + kExitLine);
    auto logs = proc->logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].kind, testbed::LogRecord::kernel);
    EXPECT_EQ(logs[0].level, 6);
    EXPECT_EQ(logs[0].text, "<6>touch_test: Process(" + std::to_string(proc->pid()) + ") open the pip in O_RDONLY mode.\n");
}

TEST_F(Lumend, CommandLineArgument) {
    struct Case {
        std::vector<std::string> args;
        std::string line;
    };
    const Case cases[] = {
        {{"3"}, "kavo : receive led command = 3\n"},
        {{"258"}, "kavo : receive led command = 2\n"},
        {{"-1"}, "kavo : receive led command = 255\n"},
        {{"abc"}, "kavo : receive led command = 0\n"},
        {{"3", "1"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        start(c.args);
        ASSERT_TRUE(proc->wait_output(kCreated, 10s));
        EXPECT_EQ(proc->output().substr(0, c.line.size()), c.line);
        if (c.args[0] == "3") {
            ASSERT_TRUE(testbed::wait_until([&] { return chip0.channel(0).output_on && !chip0.channel(3).output_on; }, 10s));
        }
        if (c.args[0] == "-1" || c.args[0] == "abc") {
            EXPECT_TRUE(proc->wait_output("kavo : close led\n", 10s));
        }
        if (c.args.size() == 2) {
            EXPECT_TRUE(testbed::wait_until([&] { return chip0.sequence_running(); }, 10s));
        }
        EXPECT_EQ(stop(), 0);
        EXPECT_NE(proc->output().find(kExitLine), std::string::npos);
    }
}

TEST_F(Lumend, PipeCommandsInOrderAcrossWriters) {
    start();
    // two commands in one write: both printed, the thread acts on the last
    send({0x01, 0x03});
    ASSERT_TRUE(proc->wait_output("command : 3\n", 10s));
    ASSERT_TRUE(testbed::wait_until([&] { return chip0.channel(0).output_on; }, 10s));
    for (const auto& p : chip0.accepted_pairs()) EXPECT_FALSE(p.first == 0x22 && p.second == 255);  // no running light
    // the writer closed: the daemon takes the next writer's commands on the same open pipe
    send({0x01});
    ASSERT_TRUE(testbed::wait_until([&] {
        for (const auto& p : chip0.accepted_pairs())
            if (p.first == 0x22 && p.second == 255) return true;
        return false;
    }, 10s));
    EXPECT_EQ(stop(), 0);
    std::string out = proc->output();
    const std::string want = kCreated + "kavo : touch led recieve command : 1\n" + "kavo : touch led recieve command : 3\n" +
                             "kavo : touch led recieve command : 1\n" + "kavo : touch led recieve command : 255\n";
    std::string commands;
    for (const auto& l : proc->output_lines())
        if (l.find("recieve command") != std::string::npos || l == "kavo : create thread ok.") commands += l + "\n";
    EXPECT_EQ(commands, want);
    EXPECT_EQ(opens_of_pipe(), 1u);
}

TEST_F(Lumend, BackToBackWritersLoseNoCommand) {
    start();
    std::string want = kCreated;
    for (int i = 0; i < 600; ++i) {
        const uint8_t b = static_cast<uint8_t>(4 + i % 200);  // off values: the thread stays quiet
        send({b});
        want += "kavo : touch led recieve command : " + std::to_string(b) + "\n";
    }
    EXPECT_EQ(stop(), 0);
    std::string got;
    for (const auto& l : proc->output_lines())
        if (l != "kavo : close led") got += l + "\n";
    EXPECT_EQ(got, want + "kavo : touch led recieve command : 255\n" + kExitLine);
}

TEST_F(Lumend, ExistingPathThatIsNotAFifoIsReadOnce) {
    bed.make_file("data/led_pipe", std::string("\x03\x07", 2));
    start();
    ASSERT_TRUE(proc->wait_output("kavo : /data/led_pipe is not a fifo, no more commands\n", 10s));
    EXPECT_FALSE(proc->exited());
    EXPECT_EQ(proc->output(), kCreated + "kavo : touch led recieve command : 3\n" + "kavo : touch led recieve command : 7\n" +
                                  "kavo : /data/led_pipe is not a fifo, no more commands\n" +
                                  proc->output().substr(proc->output().find("no more commands\n") + 17));
    EXPECT_EQ(opens_of_pipe(), 1u);
    struct stat st;
    ASSERT_EQ(stat(pipe_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(Lumend, MissingChipEndsWithStatusOne) {
    for (const char* node : {"/dev/aw9110_1_dev", "/dev/aw9110_2_dev"}) {
        SCOPED_TRACE(node);
        testbed::Bed b;
        board::Aw9110Chip a, c;
        b.add_char_device("aw9110_1_dev", &a);
        b.add_char_device("aw9110_2_dev", &c);
        b.fail_open(node, ENOENT);
        auto p = b.start({LUMEND_BIN, "1"});
        ASSERT_TRUE(p);
        EXPECT_EQ(p->wait_exit(10s), 1);
        EXPECT_EQ(p->output(), "kavo : receive led command = 1\n");
        auto logs = p->logs();
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].kind, testbed::LogRecord::android);
        EXPECT_EQ(logs[0].level, 3);
        EXPECT_EQ(logs[0].tag, "virtualMCU");
        EXPECT_EQ(logs[0].text, std::string(node) == "/dev/aw9110_1_dev" ? "open aw9110_1_dev error" : "open aw9110_2_dev error");
        EXPECT_EQ(a.write_calls() + c.write_calls(), 0u);
        EXPECT_NE(access((b.data_dir() + "/led_pipe").c_str(), F_OK), 0);
    }
}

TEST_F(Lumend, ThreadThatCannotStartEndsWith255) {
    testbed::RunOptions opts;
    opts.preload_after.push_back(NO_THREAD_PRELOAD);
    proc = bed.start({LUMEND_BIN, "3"}, opts);
    ASSERT_TRUE(proc);
    EXPECT_EQ(proc->wait_exit(10s), 255);
    EXPECT_EQ(proc->output(), "kavo : receive led command = 3\n");
    auto logs = proc->logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].kind, testbed::LogRecord::kernel);
    EXPECT_EQ(logs[0].level, 6);
    EXPECT_EQ(logs[0].text, "<6>touch_test: create pthread error\n");
    EXPECT_EQ(chip1.accepted_pairs().size(), 14u);  // the start-up writes came first
    EXPECT_NE(access(pipe_path().c_str(), F_OK), 0);
}

TEST_F(Lumend, PipeThatCannotBeCreatedOrOpened) {
    // no /data directory: the FIFO cannot be created
    ASSERT_EQ(rmdir(bed.data_dir().c_str()), 0);
    start();
    EXPECT_EQ(proc->wait_exit(10s), 1);
    EXPECT_EQ(proc->output(), kCreated + "can't creat pipe file: /data/led_pipe\n");
    auto logs = proc->logs();
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ(logs.back().text, "<6>touch_test: can't creat pipe file: /data/led_pipe\n");
    EXPECT_EQ(logs.back().level, 6);
    // the FIFO exists but will not open
    ASSERT_EQ(mkdir(bed.data_dir().c_str(), 0755), 0);
    bed.fail_open("/data/led_pipe", EACCES);
    start();
    EXPECT_EQ(proc->wait_exit(10s), 1);
    EXPECT_EQ(proc->output(), kCreated + "kavo : Open fifo file: /data/led_pipe error!\n");
    EXPECT_EQ(opens_of_pipe(), 1u);
}

TEST_F(Lumend, LatchLogsOnceThenNoDeviceWrites) {
    chip0.fail_writes(1, 1000000);
    chip1.fail_writes(1, 1000000);
    start();
    ASSERT_TRUE(proc->wait_output(kCreated, 10s));
    send({0x01}, true);  // running light: the failures pass 20
    ASSERT_TRUE(testbed::wait_until([&] {
        for (const auto& r : proc->logs())
            if (r.kind == testbed::LogRecord::android) return true;
        return false;
    }, 10s));
    EXPECT_EQ(chip0.write_calls() + chip1.write_calls(), 40u);
    send({0x03}, true);
    send({0x02, 0x01});
    ASSERT_TRUE(proc->wait_output("command : 1\nkavo : touch led recieve command : 3\n", 10s));
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(chip0.write_calls() + chip1.write_calls(), 40u);
    size_t latch_lines = 0;
    for (const auto& r : proc->logs())
        if (r.kind == testbed::LogRecord::android) {
            ++latch_lines;
            EXPECT_EQ(r.text, "aw9110_white_reg:err_cnt > 20, please check the device then restart the aw9110_lib\n");
            EXPECT_EQ(r.tag, "virtualMCU");
            EXPECT_EQ(r.level, 3);
        }
    EXPECT_EQ(latch_lines, 1u);
}

}  // namespace
