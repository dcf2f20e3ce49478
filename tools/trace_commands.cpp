#include "trace_commands.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "trace_compare.h"
#include "trace_decode.h"

namespace boardsim {

namespace {

constexpr int kSame = 0, kDifferent = 1, kBadInput = 2, kOutputFailed = 1;

int bad_input(const std::string& what) {
    fprintf(stderr, "boardsim: %s\n", what.c_str());
    return kBadInput;
}

// Every line out, or a line on stderr when standard output could not take them.
int finish_output(const char* command, int status) {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "boardsim %s: cannot write the output: %s\n", command, strerror(errno));
        return kOutputFailed;
    }
    return status;
}

}  // namespace

int decode_command(int argc, char** argv) {
    if (argc != 2) return bad_input("decode takes one trace file: boardsim decode FILE");
    Trace trace;
    std::string error;
    if (!load_trace(argv[1], &trace, &error)) return bad_input("decode: " + error);
    for (const TraceMessage& m : decode_trace(trace)) {
        const std::string line = format_message(m) + "\n";
        if (fputs(line.c_str(), stdout) == EOF) break;
    }
    return finish_output("decode", kSame);
}

int compare_command(int argc, char** argv) {
    CompareOptions options;
    int at = 1;
    if (argc > 1 && strcmp(argv[1], "--timing") == 0) {
        if (argc < 3 || !parse_tolerance(argv[2], &options.tolerance_us))
            return bad_input(std::string("compare: --timing takes a tolerance in seconds from 0 to 86400, not \"") +
                             (argc < 3 ? "" : argv[2]) + "\"");
        options.timing = true;
        at = 3;
    }
    if (argc - at != 2) return bad_input("compare takes two trace files: boardsim compare [--timing SECONDS] GOLDEN NEW");
    Trace golden, fresh;
    std::string error;
    if (!load_trace(argv[at], &golden, &error) || !load_trace(argv[at + 1], &fresh, &error))
        return bad_input("compare: " + error);
    std::string report;
    const bool same = compare_traces(golden, fresh, options, &report);
    fputs(report.c_str(), stdout);
    return finish_output("compare", same ? kSame : kDifferent);
}

}  // namespace boardsim
