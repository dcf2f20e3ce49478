#include "strace_line.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace boardsim {

namespace {

constexpr const char* kUnfinished = "<unfinished ...>";
constexpr const char* kResumedOpen = "<... ";
constexpr const char* kResumedClose = " resumed>";
// Time stamps below this many seconds are no epoch times (-ttt) but -r's deltas.
constexpr double kEpochMin = 1e9;
constexpr int kSecondsPerMinute = 60;
constexpr int kSecondsPerHour = 3600;

bool starts_with(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

bool all_digits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// "HH:MM:SS[.frac]" (-t, -tt) or "SECONDS.frac" (-ttt).
bool parse_stamp(const std::string& word, double* seconds, bool* day_time) {
    char* end = nullptr;
    errno = 0;
    if (word.find(':') != std::string::npos) {
        const long h = strtol(word.c_str(), &end, 10);
        if (*end != ':') return false;
        const long m = strtol(end + 1, &end, 10);
        if (*end != ':' || !isdigit(static_cast<unsigned char>(end[1]))) return false;
        const double s = strtod(end + 1, &end);
        if (*end != '\0' || errno != 0 || h > 23 || m > 59 || s >= kSecondsPerMinute) return false;
        *seconds = static_cast<double>(h * kSecondsPerHour + m * kSecondsPerMinute) + s;
        *day_time = true;
        return true;
    }
    if (word.empty() || !isdigit(static_cast<unsigned char>(word[0])) || word.find('.') == std::string::npos) return false;
    *seconds = strtod(word.c_str(), &end);
    *day_time = false;
    return *end == '\0' && errno == 0;
}

// Steps over one argument's text from at, to the first top-level character in stops.
size_t scan(const std::string& s, size_t at, const char* stops) {
    int depth = 0;
    for (; at < s.size(); ++at) {
        const char c = s[at];
        if (c == '"') {
            for (++at; at < s.size() && s[at] != '"'; ++at)
                if (s[at] == '\\') ++at;
            continue;
        }
        if (depth == 0 && strchr(stops, c)) return at;
        if (c == '(' || c == '[' || c == '{') ++depth;
        if (c == ')' || c == ']' || c == '}') --depth;
    }
    return std::string::npos;
}

}  // namespace

bool parse_strace_call(const std::string& body, StraceLine* out, std::string* error) {
    size_t open = 0;
    while (open < body.size() && (isalnum(static_cast<unsigned char>(body[open])) || body[open] == '_')) ++open;
    if (open == 0 || open >= body.size() || body[open] != '(')
        return *error = "not an strace line: \"" + body.substr(0, 40) + "\"", false;
    out->name = body.substr(0, open);
    const std::string rest = body.substr(open + 1);
    const std::string tail = trim(rest);
    if (tail.size() >= strlen(kUnfinished) && tail.compare(tail.size() - strlen(kUnfinished), std::string::npos, kUnfinished) == 0) {
        out->kind = StraceKind::unfinished;
        out->args = rest.substr(0, rest.rfind(kUnfinished));
        return true;
    }
    const size_t close = scan(rest, 0, ")");
    if (close == std::string::npos) return *error = out->name + "(...: no closing parenthesis", false;
    out->args = rest.substr(0, close);
    const std::string after = trim(rest.substr(close + 1));
    if (after.empty() || after[0] != '=') return *error = out->name + "(...): no \"= result\"", false;
    out->result = trim(after.substr(1));
    if (out->result.empty()) return *error = out->name + "(...): empty result", false;
    out->kind = StraceKind::call;
    return true;
}

bool parse_strace_line(const std::string& line, StraceLine* out, std::string* error) {
    *out = StraceLine();
    std::string rest = line;
    if (starts_with(rest, "[pid ")) {  // -f without -o
        const size_t end = rest.find(']');
        if (end == std::string::npos || !all_digits(trim(rest.substr(5, end - 5))))
            return *error = "bad pid column", false;
        out->pid = atol(rest.c_str() + 5);
        rest = rest.substr(end + 1);
    }
    rest = trim(rest);
    size_t space = rest.find(' ');
    std::string word = rest.substr(0, space);
    if (out->pid == 0 && all_digits(word) && space != std::string::npos) {  // -f with -o
        out->pid = atol(word.c_str());
        rest = trim(rest.substr(space));
        space = rest.find(' ');
        word = rest.substr(0, space);
    }
    if (!parse_stamp(word, &out->time, &out->day_time))
        return *error = "no time stamp: capture with strace -tt (or -ttt)", false;
    if (!out->day_time && out->time < kEpochMin)
        return *error = "relative time stamps (-r) are not read: capture with strace -tt (or -ttt)", false;
    const std::string body = space == std::string::npos ? "" : trim(rest.substr(space));
    if (starts_with(body, "--- ")) {
        out->kind = StraceKind::signal;
        out->name = body.substr(4, body.find_first_of(" {", 4) - 4);
        return true;
    }
    if (starts_with(body, "+++ ")) {
        out->kind = StraceKind::exit;
        out->result = trim(body.substr(4, body.rfind("+++") - 4));
        return true;
    }
    if (starts_with(body, kResumedOpen)) {
        const size_t end = body.find(kResumedClose);
        if (end == std::string::npos) return *error = "bad \"<... resumed>\" line", false;
        out->kind = StraceKind::resumed;
        out->name = body.substr(strlen(kResumedOpen), end - strlen(kResumedOpen));
        out->args = body.substr(end + strlen(kResumedClose));
        return true;
    }
    return parse_strace_call(body, out, error);
}

std::vector<std::string> split_strace_args(const std::string& args) {
    std::vector<std::string> out;
    size_t at = 0;
    if (trim(args).empty()) return out;
    while (true) {
        const size_t comma = scan(args, at, ",");
        out.push_back(trim(args.substr(at, comma == std::string::npos ? std::string::npos : comma - at)));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return out;
}

bool decode_strace_string(const std::string& arg, std::vector<uint8_t>* bytes, bool* cut) {
    bytes->clear();
    *cut = false;
    if (arg.empty() || arg[0] != '"') return false;
    size_t i = 1;
    for (; i < arg.size() && arg[i] != '"'; ++i) {
        unsigned char c = static_cast<unsigned char>(arg[i]);
        if (c != '\\') {
            bytes->push_back(c);
            continue;
        }
        if (++i >= arg.size()) return false;
        const char e = arg[i];
        if (e == 'x') {
            char hex[3] = {0, 0, 0};
            if (i + 2 >= arg.size() || !isxdigit(static_cast<unsigned char>(arg[i + 1])) ||
                !isxdigit(static_cast<unsigned char>(arg[i + 2])))
                return false;
            hex[0] = arg[i + 1];
            hex[1] = arg[i + 2];
            bytes->push_back(static_cast<uint8_t>(strtol(hex, nullptr, 16)));
            i += 2;
        } else if (e >= '0' && e <= '7') {
            int v = 0, n = 0;
            for (; n < 3 && i < arg.size() && arg[i] >= '0' && arg[i] <= '7'; ++n, ++i) v = v * 8 + (arg[i] - '0');
            --i;
            if (v > 0xff) return false;
            bytes->push_back(static_cast<uint8_t>(v));
        } else {
            static const char from[] = "ntrvfab\\\"'";
            static const char to[] = "\n\t\r\v\f\a\b\\\"'";
            const char* p = strchr(from, e);
            if (!p || !*p) return false;
            bytes->push_back(static_cast<uint8_t>(to[p - from]));
        }
    }
    if (i >= arg.size()) return false;  // no closing quote
    const std::string after = arg.substr(i + 1);
    if (after == "...") *cut = true;
    else if (!after.empty()) return false;
    return true;
}

bool parse_strace_number(const std::string& text, long long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

bool parse_strace_result(const std::string& text, StraceResult* out) {
    *out = StraceResult();
    if (text == "?" || starts_with(text, "? ")) return true;
    const size_t space = text.find(' ');
    if (!parse_strace_number(text.substr(0, space), &out->value)) return false;
    out->known = true;
    if (space == std::string::npos) return true;
    const std::string rest = trim(text.substr(space));
    if (out->value < 0 && !rest.empty() && rest[0] == 'E') out->errno_name = rest.substr(0, rest.find(' '));
    out->timeout = rest == "(Timeout)";
    return true;
}

}  // namespace boardsim
