// `boardsim import [-o OUT] FILE`: a capture made with strace on a real board, written as a
// device trace (docs/traces.md) on standard output or into OUT.
#include "trace_import_main.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>

#include "trace_file.h"

namespace boardsim {

namespace {

constexpr int kBadInput = 2;
constexpr const char* kUsage = "usage: boardsim import [-o OUT] FILE";

int bad(const std::string& what) {
    fprintf(stderr, "boardsim import: %s\n", what.c_str());
    return kBadInput;
}

}  // namespace

int run_import(int argc, char** argv) {
    std::string in, out;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            printf("%s\nReads FILE, a trace or a capture of strace -f -tt -xx -s 65535 on a board, and writes it as a\n"
                   "trace: on standard output, or into OUT with -o.\n",
                   kUsage);
            return 0;
        }
        if (word == "-o") {
            if (i + 1 >= argc) return bad("-o needs a file name");
            if (!out.empty()) return bad("-o given twice");
            out = argv[++i];
            if (out.empty()) return bad("-o needs a file name");
        } else if (!word.empty() && word[0] == '-' && word != "-") {
            return bad("unknown option \"" + word + "\" (" + kUsage + ")");
        } else if (!in.empty()) {
            return bad(std::string("one FILE only (") + kUsage + ")");
        } else {
            in = word;
        }
    }
    if (in.empty()) return bad(std::string("no FILE (") + kUsage + ")");
    Trace trace;
    std::string error;
    if (!load_trace(in, &trace, &error)) return bad(error);
    const std::string text = format_trace(trace);
    if (out.empty()) {
        fputs(text.c_str(), stdout);
        return fflush(stdout) == 0 ? 0 : bad(std::string("standard output: ") + strerror(errno));
    }
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (!file) return bad(out + ": " + strerror(errno));
    file << text;
    file.close();
    if (!file) return bad(out + ": cannot be written");
    return 0;
}

}  // namespace boardsim
