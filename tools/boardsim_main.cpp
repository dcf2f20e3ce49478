// boardsim: runs COMMAND (the real lumend, sensorflash or coprocflash, or a script that calls
// them) on a simulated board, in a sandbox that keeps it away from the machine's real devices,
// and reports what the hardware saw. Exit status: COMMAND's; 2 for a bad command line; 126 or
// 127 when COMMAND cannot be started. `boardsim --version` prints the release (for help2man too).
// The subcommands on device traces (decode, compare) take the rest of the command line.
#include <stdio.h>
#include <string.h>

#include "boardsim_options.h"
#include "boardsim_part.h"
#include "boardsim_processes.h"
#include "boardsim_run.h"
#include "boardsim_sandbox.h"
#include "trace_commands.h"
#include "trace_import_main.h"

namespace {

constexpr int kBadUsage = 2;

struct Subcommand {
    const char* name;
    int (*run)(int argc, char** argv);  // from the subcommand's own name on
};
const Subcommand kSubcommands[] = {
    {"decode", boardsim::decode_command},
    {"compare", boardsim::compare_command},
    {"import", boardsim::run_import},
};

}  // namespace

int main(int argc, char** argv) {
    using namespace boardsim;
    Options options;
    std::string message;
    if (argc > 1)
        for (const Subcommand& sub : kSubcommands)
            if (strcmp(argv[1], sub.name) == 0) return sub.run(argc - 1, argv + 1);
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("boardsim %s\n", BOARDSIM_VERSION);
        return 0;
    }
    switch (parse_options(argc, argv, &options, &message)) {
    case Parse::help:
        print_help(stdout, options.board);
        return 0;
    case Parse::error:
        fprintf(stderr, "%s\n", message.c_str());
        return kBadUsage;
    case Parse::run:
        break;
    }
    testbed::set_problem_handler([](const std::string& what) { fprintf(stderr, "boardsim: %s\n", what.c_str()); });
    if (int status = check_command(&options.command)) return status;
    BoardRun board(options);
    if (!board.load_state()) return kBadUsage;
    catch_signals();
    quiet_vanished_clients();
    const std::string orphans = adopt_orphans();
    if (!orphans.empty())
        fprintf(stderr, "boardsim: processes that leave COMMAND's group may outlive the board (%s)\n", orphans.c_str());

    // Before any thread: unshare refuses a process that has several.
    const std::string why = enter_private_mounts();
    if (!why.empty())
        fprintf(stderr,
                "boardsim: no private mount namespace (%s): COMMAND could reach the machine's real /dev, "
                "/sys/class/gpio and /data; only the preloaded redirections keep the programs on the "
                "simulated board\n",
                why.c_str());
    const bool private_mounts = why.empty();
    return board.run(private_mounts);
}
