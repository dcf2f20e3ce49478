// The real lumend binary on the test bed: start-up writes, arguments, the pipe, exit statuses.
#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>  // count_if
#include <atomic>
#include <fstream>
#include <functional>

#include "aw9110_chip.h"
#include "bed.h"

using namespace std::chrono_literals;
using Pairs = std::vector<std::pair<uint8_t, uint8_t>>;
using Time = std::chrono::steady_clock::time_point;
using Lines = std::vector<std::string>;

namespace {

const std::string kCreated = "kavo : create thread ok.\n";
const std::string kExitLine = "kavo : Recieve exit signal, exit\n";

// The kernel log's node: counts the lines that reach it.
struct KernelLog : testbed::CharDevice {
    std::atomic<int> lines{0};
    long on_write(const uint8_t*, size_t len) override {
        ++lines;
        return static_cast<long>(len);
    }
};

class Lumend : public ::testing::Test {
protected:
    void SetUp() override {
        bed.add_char_device("aw9110_1_dev", &chip0);
        bed.add_char_device("aw9110_2_dev", &chip1);
        bed.add_char_device("kmsg", &kmsg);
    }
    std::string pipe_path() const { return bed.data_dir() + "/led_pipe"; }
    // A start that fails fails the test: callers wrap it in ASSERT_NO_FATAL_FAILURE.
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
    // Each log record of the run as "A<priority> <tag>: <text>" (Android) or "K<level> : <text>".
    Lines logs() const {
        Lines out;
        for (const auto& r : proc->logs())
            out.push_back((r.kind == testbed::LogRecord::android ? "A" : "K") + std::to_string(r.level) + " " + r.tag + ": " + r.text);
        return out;
    }
    long opens_of_pipe() const {
        const Lines l = logs();
        return std::count_if(l.begin(), l.end(), [](const std::string& s) { return s.find("open the pip in O_RDONLY") != s.npos; });
    }
    // Standard output without the pattern thread's "kavo : close led" lines, which interleave.
    std::string output_but_close_led() const {
        std::string got;
        for (const auto& l : proc->output_lines())
            if (l != "kavo : close led") got += l + "\n";
        return got;
    }
    // The access mode and blocking flag of each of the daemon's descriptors of its pipe, in
    // descriptor order, as the kernel shows them.
    std::vector<int> pipe_open_flags() const {
        std::vector<int> out;
        char* fifo = realpath(pipe_path().c_str(), nullptr);
        const std::string fds = "/proc/" + std::to_string(proc->pid()) + "/fd";
        for (int fd = 0; fifo && fd < 64; ++fd) {
            char target[512];
            const ssize_t n = readlink((fds + "/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
            if (n <= 0 || std::string(target, static_cast<size_t>(n)) != fifo) continue;
            std::ifstream info("/proc/" + std::to_string(proc->pid()) + "/fdinfo/" + std::to_string(fd));
            std::string key;
            int flags = 0;
            while (info >> key && key != "flags:") {}
            info >> std::oct >> flags;
            out.push_back(flags & (O_ACCMODE | O_NONBLOCK));
        }
        free(fifo);
        return out;
    }
    // When chip 0 took the write (reg, value) first; Time{} if it never did.
    Time when(uint8_t reg, uint8_t value) const {
        for (const auto& w : chip0.writes())
            if (w.accepted && w.bytes == std::vector<uint8_t>{reg, value}) return w.when;
        return {};
    }
    int stop() {
        send({0xFF});
        return proc->wait_exit(10s);
    }
    void TearDown() override {
        if (writer >= 0) close(writer);
    }

    board::Aw9110Chip chip0, chip1;
    KernelLog kmsg;
    testbed::Bed bed;
    std::unique_ptr<testbed::Process> proc;
    int writer = -1;
};

TEST_F(Lumend, StartUpWritesBothChipsInOrderAndCreatesTheFifo) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(proc->wait_output(kCreated, 10s));
    ASSERT_TRUE(testbed::wait_until([&] { return chip0.sequence_running() && opens_of_pipe() == 1; }, 10s));
    const Pairs init{{0x05, 0}, {0x04, 0}, {0x13, 0}, {0x12, 0}, {0x11, 0}, {0x14, 0}, {0x14, 0}};
    Pairs c1 = init;
    c1.insert(c1.end(), {{0x20, 0}, {0x21, 0}, {0x22, 0}, {0x25, 0}, {0x26, 0}, {0x24, 0}, {0x23, 0}});
    EXPECT_EQ(chip1.accepted_pairs(), c1);
    EXPECT_EQ(chip0.ioctls(), (std::vector<unsigned long>{0x6B80}));
    EXPECT_EQ(chip1.ioctls(), (std::vector<unsigned long>{0x6B80}));
    Pairs c0 = init, head = chip0.accepted_pairs();
    c0.insert(c0.end(), {{0x25, 0}, {0x26, 0}, {0x27, 0}, {0x28, 0}, {0x29, 0}});  // then the sequence start
    head.resize(c0.size());
    EXPECT_EQ(head, c0);
    for (int ch = 0; ch < 5; ++ch) EXPECT_TRUE(chip0.channel(ch).sequence) << ch;
    EXPECT_EQ(proc->output(), kCreated);
    EXPECT_EQ(logs(), Lines{"K6 : <6>touch_test: Process(" + std::to_string(proc->pid()) + ") open the pip in O_RDONLY mode.\n"});
    EXPECT_EQ(kmsg.lines, 0);  // issued at level 6, held back by the kernel log's default level 3
    struct stat st;
    ASSERT_EQ(stat(pipe_path().c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode, S_IFIFO | (0766 & ~mask));
}

TEST_F(Lumend, CommandLineArgument) {
    const auto shows_sequence = [&] { return chip0.sequence_running(); };
    const auto prints_close = [&] { return proc->output().find("kavo : close led\n") != std::string::npos; };
    struct Case {
        std::vector<std::string> args;
        std::string line;
        std::function<bool()> shows;
    };
    const Case cases[] = {
        {{"3"}, "kavo : receive led command = 3\n", [&] { return chip0.channel(0).output_on && !chip0.channel(3).output_on; }},
        {{"258"}, "kavo : receive led command = 2\n", shows_sequence},
        {{"-1"}, "kavo : receive led command = 255\n", prints_close},
        {{"abc"}, "kavo : receive led command = 0\n", prints_close},
        {{"3", "1"}, "", shows_sequence},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " (" + std::to_string(c.args.size()) + " arguments)");
        ASSERT_NO_FATAL_FAILURE(start(c.args));
        ASSERT_TRUE(proc->wait_output(kCreated, 10s));
        ASSERT_EQ(output_but_close_led().substr(0, c.line.size() + kCreated.size()), c.line + kCreated);
        EXPECT_TRUE(testbed::wait_until(c.shows, 10s));
        EXPECT_EQ(stop(), 0);
    }
}

// Commands from writers that each open, write and close at once, then the exit command.
TEST_F(Lumend, PipeCommandsFromBackToBackWritersThenExit) {
    ASSERT_NO_FATAL_FAILURE(start());
    // two commands in one write: both printed, the thread acts on the last
    send({0x01, 0x03});
    ASSERT_TRUE(testbed::wait_until([&] { return chip0.channel(0).output_on; }, 10s));
    // read-only and blocking; the write end the daemon holds itself so that no writer's close
    // reads as the end, which must never block
    EXPECT_EQ(pipe_open_flags(), (std::vector<int>{O_RDONLY, O_WRONLY | O_NONBLOCK}));
    EXPECT_EQ(when(0x22, 255), Time{});  // no running light
    std::string want = kCreated + "kavo : touch led recieve command : 1\nkavo : touch led recieve command : 3\n";
    for (int i = 0; i < 600; ++i) {
        const uint8_t b = static_cast<uint8_t>(4 + i % 200);  // off values: the thread stays quiet
        send({b});
        want += "kavo : touch led recieve command : " + std::to_string(b) + "\n";
    }
    send({0x01});  // the running light steps every 100 ms
    ASSERT_TRUE(testbed::wait_until([&] { return when(0x24, 10) != Time{}; }, 10s));
    EXPECT_GE(when(0x24, 255) - when(0x22, 255), 180ms);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stop(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 900ms);
    EXPECT_EQ(output_but_close_led(), want + "kavo : touch led recieve command : 1\nkavo : touch led recieve command : 255\n" + kExitLine);
    // the thread's cycles with 0xFF (100 ms apart after command 1) come in the pause, before the exit line
    EXPECT_NE(proc->output().find("command : 255\nkavo : close led\n"), std::string::npos);
    EXPECT_EQ(opens_of_pipe(), 1);
}

// Init scripts send the daemon's output to a log file or a logger: each line of either thread
// reaches it when printed, and all of them stay when TERM ends the daemon.
TEST_F(Lumend, LinesReachAPipeOrFileWhenPrintedAndStayAfterTerm) {
    for (auto to : {testbed::RunOptions::Stdout::pipe, testbed::RunOptions::Stdout::file}) {
        SCOPED_TRACE(to == testbed::RunOptions::Stdout::pipe ? "pipe" : "file");
        testbed::RunOptions opts;
        opts.stdout_to = to;
        proc = bed.start({LUMEND_BIN, "3"}, opts);
        ASSERT_TRUE(proc);
        ASSERT_TRUE(proc->wait_output(kCreated, 10s)) << proc->output();
        send({0x01});
        ASSERT_TRUE(proc->wait_output("command : 1\n", 10s)) << proc->output();
        send({0x00});
        ASSERT_TRUE(proc->wait_output("command : 0\nkavo : close led\n", 10s)) << proc->output();
        proc->send_signal(SIGTERM);
        EXPECT_EQ(proc->wait_exit(10s), 128 + SIGTERM);
        EXPECT_EQ(output_but_close_led(), "kavo : receive led command = 3\n" + kCreated +
                                              "kavo : touch led recieve command : 1\nkavo : touch led recieve command : 0\n");
    }
}

TEST_F(Lumend, ExistingPathThatIsNotAFifoIsReadOnce) {
    bed.make_file("data/led_pipe", std::string("\x03\x07", 2));
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string want = kCreated + "kavo : touch led recieve command : 3\n" + "kavo : touch led recieve command : 7\n" +
                             "kavo : /data/led_pipe is not a fifo, no more commands\n";
    ASSERT_TRUE(proc->wait_output("no more commands\n", 10s)) << proc->output();
    EXPECT_EQ(output_but_close_led().substr(0, want.size()), want);
    EXPECT_FALSE(proc->exited());
    EXPECT_EQ(opens_of_pipe(), 1);
    struct stat st;
    ASSERT_EQ(stat(pipe_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(Lumend, MissingChipEndsWithStatusOne) {
    for (const std::string chip : {"2", "1"}) {  // the second chip's node missing, then both
        bed.fail_open("/dev/aw9110_" + chip + "_dev", ENOENT);
        ASSERT_NO_FATAL_FAILURE(start({"1"}));
        EXPECT_EQ(proc->wait_exit(10s), 1);
        EXPECT_EQ(proc->output(), "kavo : receive led command = 1\n");
        EXPECT_EQ(logs(), Lines{"A3 virtualMCU: open aw9110_" + chip + "_dev error"});
    }
    EXPECT_EQ(chip0.write_calls() + chip1.write_calls(), 0u);
    EXPECT_NE(access(pipe_path().c_str(), F_OK), 0);
}

TEST_F(Lumend, ThreadThatCannotStartEndsWith255) {
    testbed::RunOptions opts;
    opts.preload_after.push_back(NO_THREAD_PRELOAD);
    proc = bed.start({LUMEND_BIN, "3"}, opts);
    ASSERT_TRUE(proc);
    EXPECT_EQ(proc->wait_exit(10s), 255);
    EXPECT_EQ(proc->output(), "kavo : receive led command = 3\n");
    EXPECT_EQ(logs(), Lines{"K6 : <6>touch_test: create pthread error\n"});
    EXPECT_EQ(chip1.accepted_pairs().size(), 14u);  // the start-up writes came first
    EXPECT_NE(access(pipe_path().c_str(), F_OK), 0);
}

TEST_F(Lumend, PipeThatCannotBeCreatedOrOpened) {
    // no /data directory: the FIFO cannot be created
    ASSERT_EQ(rmdir(bed.data_dir().c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(proc->wait_exit(10s), 1);
    EXPECT_EQ(proc->output(), kCreated + "can't creat pipe file: /data/led_pipe\n");
    EXPECT_EQ(logs(), Lines{"K6 : <6>touch_test: can't creat pipe file: /data/led_pipe\n"});
    // the FIFO exists but will not open
    ASSERT_EQ(mkdir(bed.data_dir().c_str(), 0755), 0);
    bed.fail_open("/data/led_pipe", EACCES);
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(proc->wait_exit(10s), 1);
    EXPECT_EQ(proc->output(), kCreated + "kavo : Open fifo file: /data/led_pipe error!\n");
    EXPECT_EQ(opens_of_pipe(), 1);
}

}  // namespace
