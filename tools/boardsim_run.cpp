// COMMAND's run: PATH check, start on the bed, signal forwarding, left-over processes; the
// parts' shared text helpers.
#include "boardsim_run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "arm_runtime.h"
#include "boardsim_processes.h"
#include "boardsim_sandbox.h"

namespace boardsim {

namespace {

volatile sig_atomic_t g_command_group = 0;
volatile sig_atomic_t g_early_signal = 0;  // arrived before COMMAND started
int g_signal_pipe[2] = {-1, -1};            // the handler's signals for the forwarding thread
std::thread g_forwarder;

// COMMAND runs in a process group of its own: what reaches boardsim (a terminal's Ctrl-C
// included, boardsim being in the foreground group) goes on to all of it at once; the thread
// then passes it to the processes that left the group (setsid, daemons).
void forward_signal(int sig) {
    const int saved = errno;
    if (g_command_group > 0) {
        kill(-g_command_group, sig);
        const unsigned char byte = static_cast<unsigned char>(sig);
        if (write(g_signal_pipe[1], &byte, 1) != 1) {
        }
    } else {
        g_early_signal = sig;
    }
    errno = saved;
}

// Reads the signals the handler saw; a 0 ends it.
void forward_beyond_group() {
    unsigned char sig;
    while (read(g_signal_pipe[0], &sig, 1) == 1 && sig != 0) signal_descendants(sig, g_command_group);
}

const char* const kShell = "/bin/sh";

bool executable(const std::string& path, int* err) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *err = errno;
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *err = EISDIR;
        return false;
    }
    if (access(path.c_str(), X_OK) != 0) {
        *err = errno;
        return false;
    }
    return true;
}

}  // namespace

int check_command(std::vector<std::string>* command) {
    const std::string name = command->front();
    int err = ENOENT;
    std::string found;
    if (name.find('/') != std::string::npos) {
        if (executable(name, &err)) found = name;
    } else {
        for (const auto& candidate : testbed::path_candidates(name)) {
            int e;
            if (executable(candidate, &e)) {
                found = candidate;
                break;
            }
            if (e != ENOENT) err = e;
        }
        if (found.empty() && err == ENOENT) {
            fprintf(stderr, "boardsim: %s: command not found\n", name.c_str());
            return 127;
        }
    }
    if (found.empty()) {
        fprintf(stderr, "boardsim: %s: %s\n", name.c_str(), strerror(err));
        return err == ENOENT ? 127 : 126;
    }
    // A file that is neither a binary nor a #! script: the system cannot run it (ENOEXEC), so a
    // shell runs it with sh.
    char head[4] = {};
    std::ifstream(found, std::ios::binary).read(head, sizeof head);
    if (memcmp(head, "#!", 2) != 0 && memcmp(head, "\x7f" "ELF", 4) != 0) {
        (*command)[0] = found;
        command->insert(command->begin(), kShell);
    }
    return 0;
}

void catch_signals() {
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : kForwarded) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a daemon that ends while we write into its pipe
}

std::unique_ptr<testbed::Process> start_command(testbed::Bed& bed, const Options& options, bool private_mounts,
                                                const std::string& trace_events,
                                                std::chrono::steady_clock::time_point trace_start) {
    if (private_mounts) {
        std::string err = cover_data(bed.data_dir());
        if (!err.empty()) fprintf(stderr, "boardsim: /data is not covered (%s); the preload still redirects it\n", err.c_str());
    }
    const std::string caps = drop_device_capabilities();
    if (!caps.empty() && geteuid() == 0)
        fprintf(stderr, "boardsim: COMMAND keeps root's device capabilities (%s)\n", caps.c_str());
    char* cwd = getcwd(nullptr, 0);
    testbed::RunOptions run;
    run.pass_stdio = true;
    run.working_dir = cwd ? cwd : ".";
    run.trace_events = trace_events;
    run.trace_start = trace_start;
    free(cwd);
    if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) {
        fprintf(stderr, "boardsim: pipe: %s\n", strerror(errno));
        return nullptr;
    }
    fflush(stderr);
    auto process = bed.start(options.command, run);
    if (!process) return process;
    g_command_group = process->pid();
    g_forwarder = std::thread(forward_beyond_group);
    // A signal during the set-up is COMMAND's as well.
    if (g_early_signal) forward_signal(g_early_signal);
    return process;
}

int finish_command(testbed::Process& process) {
    const int status = process.wait_exit();
    const unsigned char stop = 0;
    if (write(g_signal_pipe[1], &stop, 1) != 1) {
    }
    g_forwarder.join();
    g_command_group = 0;
    // The board goes away: nothing that COMMAND started outlives it.
    const size_t left = end_descendants();
    if (left > 0)
        fprintf(stderr, "boardsim: COMMAND left %zu process%s running; ended with the board\n", left,
                left == 1 ? "" : "es");
    return status;
}

std::string counted(unsigned long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ranges(std::vector<unsigned> values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    std::string out;
    for (size_t i = 0; i < values.size();) {
        size_t j = i;
        while (j + 1 < values.size() && values[j + 1] == values[j] + 1) ++j;
        if (!out.empty()) out += ", ";
        out += std::to_string(values[i]);
        if (j > i) out += "-" + std::to_string(values[j]);
        i = j + 1;
    }
    return out.empty() ? "none" : out;
}

std::string to_hex(const uint8_t* data, size_t len) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out(len * 2, '0');
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 0xF];
    }
    return out;
}

std::vector<uint8_t> from_hex(const std::string& text) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not hex");
    };
    if (text.size() % 2) throw std::invalid_argument("odd hex length");
    std::vector<uint8_t> out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(nibble(text[2 * i]) << 4 | nibble(text[2 * i + 1]));
    return out;
}

bool read_file(const std::string& path, std::string* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    const int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : !S_ISREG(st.st_mode) ? EINVAL : 0;
    if (err) {
        close(fd);
        errno = err;
        return false;
    }
    out->clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int read_err = errno;
            close(fd);
            errno = read_err;
            return n == 0;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

}  // namespace boardsim
