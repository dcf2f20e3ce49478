// Running COMMAND on the bed and handing out the report: shared by the three boards.
#pragma once

#include <signal.h>

#include <memory>
#include <string>
#include <utility>
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
std::unique_ptr<testbed::Process> start_command(testbed::Bed& bed, const Options& options, bool private_mounts);

// Waits for COMMAND to end, ends every process it left running (wherever it went), and returns
// its exit status (128 + n after signal n).
int finish_command(testbed::Process& process);

// The report's section of the Android-log and kernel-log lines that COMMAND's programs wrote,
// in order, each with its priority and tag (Android) or level (kernel).
std::string log_section(const testbed::Process& process);

// The report: into DIR/report.txt and the extra files when --report was given, else the text
// on standard error (the extra files are then not written).
void deliver_report(const Options& options, const std::string& text,
                    const std::vector<std::pair<std::string, std::string>>& files = {});

// "a-b, c" for a sorted list of numbers.
std::string ranges(std::vector<unsigned> values);

}  // namespace boardsim
