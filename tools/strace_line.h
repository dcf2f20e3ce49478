// One line of strace's output (-f, -tt/-ttt, -x/-xx, -o FILE): its pid and time stamp, and the
// call, its arguments and result as strace printed them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace boardsim {

enum class StraceKind { call, unfinished, resumed, signal, exit };

struct StraceLine {
    StraceKind kind = StraceKind::call;
    long pid = 0;      // 0 when the line has no pid column (strace without -f)
    double time = 0;   // seconds: of the day for -t/-tt, since the epoch for -ttt
    bool day_time = false;
    std::string name;  // the call
    std::string args;  // between the parentheses; for unfinished/resumed the part on this line
    std::string result;  // after "= ", e.g. "3", "-1 EAGAIN (Resource ...)", "0 (Timeout)", "?"
};

// False with *error on a line that is none of strace's forms.
bool parse_strace_line(const std::string& line, StraceLine* out, std::string* error);

// A call's text, "read(3, \"\\x79\", 1) = 1" (also an unfinished call's part joined with its
// resumed part): fills name, args, result and kind.
bool parse_strace_call(const std::string& body, StraceLine* out, std::string* error);

// The arguments at the top level, split at commas outside strings, braces, brackets and
// parentheses; each one trimmed.
std::vector<std::string> split_strace_args(const std::string& args);

// A string argument ("\x7f\x00", "13\n", "\377"): its bytes. *cut tells that strace printed
// only the first bytes ("..." after the closing quote: the -s size was too small).
bool decode_strace_string(const std::string& arg, std::vector<uint8_t>* bytes, bool* cut);

// A number as strace prints it: decimal, 0x hex or 0 octal.
bool parse_strace_number(const std::string& text, long long* out);

struct StraceResult {
    bool known = false;     // false for "?" (the call was cut short by the process's end)
    long long value = 0;
    std::string errno_name;  // "EAGAIN" when the call failed
    bool timeout = false;    // "(Timeout)"
};
bool parse_strace_result(const std::string& text, StraceResult* out);

}  // namespace boardsim
