// The test bed: runs an unchanged program binary against the simulated board.
// Device nodes under /dev and /sys come from a umockdev testbed; "/data" is redirected into
// the bed's sandbox by the bed's own preload, which also captures the Android-log and
// kernel-log calls and can make chosen device nodes fail to open.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "char_device.h"
#include "line_settings.h"

namespace testbed {

using std::chrono::milliseconds;

struct LogRecord {
    enum Kind { android, kernel } kind;
    int level;        // Android priority, or kernel-log level
    std::string tag;  // Android tag; empty for kernel-log lines
    std::string text; // the formatted message, exactly as the program produced it
};

class Process;

// The program binary an end-to-end test runs: the environment variable env_name when set (the
// armhf build's binary, say), else built, the build's own.
const char* program_under_test(const char* env_name, const char* built);

struct RunOptions {
    std::vector<std::string> env;          // extra "NAME=value" entries
    std::vector<std::string> preload_after; // further preload libraries, after the bed's own
    // Preload libraries ahead of the bed's own and umockdev's: only these can interpose calls
    // that umockdev wraps itself (read, close, open, ioctl), as umockdev calls libc directly.
    std::vector<std::string> preload_before;
    std::string working_dir;               // empty: the bed's sandbox
    // The program shares the caller's standard input, output and error: nothing is captured.
    bool pass_stdio = false;
    // What the program's standard output is: a raw pty (stdio buffers by line, as on a
    // console), or a pipe or a regular file, as scripts give it (stdio buffers by block).
    // Either way output() holds what the program has written so far.
    enum class Stdout { pty, pipe, file };
    Stdout stdout_to = Stdout::pty;
    // The device trace (docs/traces.md): when named, every process of the run appends one event
    // line per call on the bed's devices to this file, its time counted from trace_start (on
    // the board's clock, as board_now() gives it).
    std::string trace_events;
    std::chrono::steady_clock::time_point trace_start;
};

// Bytes that the program (or a process it started) read from a FIFO under "/data".
struct PipeRead {
    std::chrono::steady_clock::time_point when;
    std::vector<uint8_t> bytes;
    std::string path;  // the FIFO, as the program names it ("/data/led_pipe")
};

class Bed {
public:
    Bed();
    ~Bed();
    Bed(const Bed&) = delete;
    Bed& operator=(const Bed&) = delete;

    // Adds the node /dev/<name>, served by dev (not owned: it must outlive every run).
    void add_char_device(const std::string& name, CharDevice* dev);
    // Adds the node /dev/<name> as a serial line; returns the master end, which the simulated
    // peer reads and writes. The bed keeps a slave end open for the life of the bed.
    int add_tty(const std::string& name);
    // The bed's own slave descriptor of a tty added above (for tcgetattr).
    int tty_slave_fd(const std::string& name) const;
    // Every setting the programs gave that tty (tcsetattr), oldest first, as they asked for it.
    std::vector<LineSettings> line_settings(const std::string& name) const;
    // Makes open() of path (as the program names it, e.g. "/dev/aw9110_2_dev") fail with err.
    void fail_open(const std::string& path, int err);

    // Host directories behind what the program sees as "/data" and "/sys".
    std::string data_dir() const;
    std::string sys_dir() const;
    std::string root_dir() const;
    // Creates a regular file (and its parent directories) in the sandbox; returns its host path.
    std::string make_file(const std::string& rel_path, const std::string& content);

    // From now on the board runs on a virtual clock (virtual_clock.h): every program started
    // after this reads and waits on it, and so do the models (board_time.h).
    void use_virtual_clock();

    // Starts the program. argv[0] is the binary's host path. Fails the test if a node that
    // the bed was given does not exist in the testbed (so nothing reaches the real /dev).
    std::unique_ptr<Process> start(const std::vector<std::string>& argv, const RunOptions& opts = {});

private:
    void note_serial_line(const std::string& name, int slave);
    std::string line_record_path(const std::string& name) const;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A started program. Its standard output is a raw pty (line-buffered, as on a console), or
// the pipe or file its RunOptions name; standard error is captured apart; standard input is
// /dev/null.
class Process {
public:
    ~Process();  // kills the program if it still runs
    pid_t pid() const { return pid_; }

    // Waits for the program to end. Returns the exit status (0-255), 128 + n after signal n,
    // or -1 on time-out (the program is then killed).
    int wait_exit(milliseconds timeout);
    // Waits for as long as the program runs.
    int wait_exit();
    bool exited() const;
    // Waits until the standard output holds text; false on time-out.
    bool wait_output(const std::string& text, milliseconds timeout);
    std::string output() const;
    std::vector<std::string> output_lines() const;  // complete lines, without '\n'
    std::string error_output() const;
    // The Android-log and kernel-log calls that the program made so far, in order.
    std::vector<LogRecord> logs() const;
    // What the program's processes read from FIFOs under "/data" so far, in order.
    std::vector<PipeRead> pipe_reads() const;
    void send_signal(int sig);

private:
    friend class Bed;
    Process() = default;
    struct Io;
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int status_ = -1;
    std::string log_path_;
    std::string pipe_log_path_;
    std::string out_file_;  // standard output's file, when it is one
    std::shared_ptr<Io> io_;
};

}  // namespace testbed
