// Running COMMAND on the bed, and the text helpers the parts share.
#pragma once

#include <signal.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bed.h"
#include "boardsim_options.h"

namespace boardsim {

// Effectively without limit, for waits that only COMMAND's end cuts short.
constexpr std::chrono::hours kForever{24 * 365};

// Shell-style check of COMMAND before anything runs: 0 when it can be started, else 127 (not
// found) or 126 (not executable), with the one line printed. A script without "#!" is handed
// to sh, as a shell does.
int check_command(std::vector<std::string>* command);

// The signals that boardsim passes on to COMMAND and every process it started.
constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Installs the handlers of the forwarded signals (before the board is set up: one that arrives
// meanwhile goes to COMMAND as soon as it starts).
void catch_signals();

// Starts COMMAND in the caller's directory with the caller's standard input, output and error;
// signals that boardsim receives go on to it. Covers /data first when the namespace is ours.
// With trace_events, every process under the board appends its device events to that file,
// timed from trace_start.
std::unique_ptr<testbed::Process> start_command(testbed::Bed& bed, const Options& options, bool private_mounts,
                                                const std::string& trace_events = "",
                                                std::chrono::steady_clock::time_point trace_start = {});

// Waits for COMMAND to end, ends every process it left running (wherever it went), and returns
// its exit status (128 + n after signal n).
int finish_command(testbed::Process& process);

// A count with its noun: "1 command", "3 commands".
std::string counted(unsigned long n, const char* one, const char* many);

// Seconds to the hundredth, as the reports give times.
inline double hundredths(double seconds) { return static_cast<double>(static_cast<long long>(seconds * 100 + 0.5)) / 100; }

// "a-b, c" for a sorted list of numbers.
std::string ranges(std::vector<unsigned> values);

// Bytes as lower-case hex text, and back (throws std::invalid_argument on text that is not hex).
std::string to_hex(const uint8_t* data, size_t len);
std::vector<uint8_t> from_hex(const std::string& text);

// The whole content of a file; false when it cannot be read.
bool read_file(const std::string& path, std::string* out);

}  // namespace boardsim
