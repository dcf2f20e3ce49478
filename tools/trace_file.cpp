#include "trace_file.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

#include "trace_strace.h"
#include "trace_text.h"

namespace boardsim {

namespace {

constexpr size_t kEventFields = 9;
const char* const kCalls[] = {"open", "close", "read", "write", "ioctl", "tcsetattr", "tcflush", "wait"};

std::vector<std::string> split_spaces(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at <= line.size()) {
        size_t end = line.find(' ', at);
        if (end == std::string::npos) end = line.size();
        words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

bool parse_long(const std::string& text, long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

bool parse_time(const std::string& text, double* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= 0)) return false;
    *out = v;
    return true;
}

bool known_call(const std::string& call) {
    for (const char* c : kCalls)
        if (call == c) return true;
    return false;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string at_line(int line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

bool parse_event(const std::string& line, int number, TraceEvent* ev, std::string* error) {
    const std::vector<std::string> f = split_spaces(line);
    if (f.size() != kEventFields) {
        *error = at_line(number, std::to_string(f.size()) + " fields, an event has " + std::to_string(kEventFields));
        return false;
    }
    long fd = 0;
    ev->line = number;
    if (!parse_time(f[0], &ev->time)) return *error = at_line(number, "bad time \"" + f[0] + "\""), false;
    if (!parse_long(f[1], &ev->pid) || ev->pid < 0) return *error = at_line(number, "bad pid \"" + f[1] + "\""), false;
    if (!unescape_word(f[2], &ev->program) || ev->program.empty())
        return *error = at_line(number, "bad program name \"" + f[2] + "\""), false;
    if (f[3].empty() || f[3][0] != '/') return *error = at_line(number, "bad device \"" + f[3] + "\""), false;
    ev->device = f[3];
    if (!parse_long(f[4], &fd) || fd < -1 || fd > 0x7fffffff)
        return *error = at_line(number, "bad descriptor \"" + f[4] + "\""), false;
    ev->fd = static_cast<int>(fd);
    if (!known_call(f[5])) return *error = at_line(number, "unknown call \"" + f[5] + "\""), false;
    ev->call = f[5];
    if (f[6].empty() || f[7].empty()) return *error = at_line(number, "empty field"), false;
    ev->arg = f[6];
    ev->result = f[7];
    if (!parse_hex_bytes(f[8], &ev->data)) return *error = at_line(number, "bad bytes \"" + f[8].substr(0, 40) + "\""), false;
    return true;
}

}  // namespace

std::string escape_word(const std::string& word) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : word) {
        if (c > ' ' && c < 0x7f && c != '%') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

bool unescape_word(const std::string& word, std::string* out) {
    out->clear();
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            out->push_back(word[i]);
            continue;
        }
        if (i + 2 >= word.size()) return false;  // fewer than two digits follow
        const int hi = hex_digit(word[i + 1]);
        const int lo = hex_digit(word[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
    std::string out(2 * bytes.size() + 2, '\0');  // trace_hex's room: two digits a byte, or "-"
    out.resize(trace_hex(bytes.data(), bytes.size(), &out[0], out.size()));
    return out;
}

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    if (text == "-") return true;
    if (text.empty() || text.size() % 2 != 0) return false;
    out->reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_digit(text[i]);
        int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

bool result_count(const TraceEvent& event, long* count) { return parse_long(event.result, count); }

bool parse_trace(const std::string& text, Trace* out, std::string* error) {
    *out = Trace();
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool header = false;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!header) {
            std::vector<std::string> words = split_spaces(line);
            long version = 0;
            if (words.empty() || words[0] != kTraceMagic)
                return *error = at_line(number, std::string("no trace: it does not start with \"") + kTraceMagic + "\""), false;
            if (words.size() < 3 || !parse_long(words[1], &version))
                return *error = at_line(number, "a trace header is \"boardsim-trace VERSION BOARD COMMAND...\""), false;
            if (version != kTraceVersion)
                return *error = at_line(number, "trace format version " + words[1] + ", this boardsim reads version " +
                                                    std::to_string(kTraceVersion)), false;
            out->version = static_cast<int>(version);
            out->board = words[2];
            if (out->board != "leds" && out->board != "touch" && out->board != "mcu" && out->board != "board")
                return *error = at_line(number, "unknown board \"" + out->board + "\""), false;
            for (size_t i = 3; i < words.size(); ++i) {
                std::string word;
                if (!unescape_word(words[i], &word)) return *error = at_line(number, "bad word \"" + words[i] + "\""), false;
                out->command.push_back(word);
            }
            header = true;
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        TraceEvent ev;
        if (!parse_event(line, number, &ev, error)) return false;
        out->events.push_back(std::move(ev));
    }
    if (!header) return *error = "empty file: no trace header", false;
    return true;
}

bool load_trace(const std::string& path, Trace* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string why;
    const std::string& body = text.str();
    const bool capture = body.compare(0, strlen(kTraceMagic), kTraceMagic) != 0 && looks_like_strace(body);
    if (!(capture ? import_capture(body, out, &why) : parse_trace(body, out, &why))) {
        *error = path + ": " + why;
        return false;
    }
    return true;
}

std::string format_header(const Trace& trace) {
    std::string line = std::string(kTraceMagic) + " " + std::to_string(trace.version) + " " + trace.board;
    for (const std::string& word : trace.command) line += " " + escape_word(word);
    return line;
}

std::string format_event(const TraceEvent& e) {
    char time[32];
    snprintf(time, sizeof time, "%.6f", e.time);
    return std::string(time) + " " + std::to_string(e.pid) + " " + escape_word(e.program) + " " + e.device + " " +
           std::to_string(e.fd) + " " + e.call + " " + e.arg + " " + e.result + " " + hex_bytes(e.data);
}

std::string format_trace(const Trace& trace) {
    std::string text = format_header(trace) + "\n";
    for (const TraceEvent& e : trace.events) text += format_event(e) + "\n";
    return text;
}

}  // namespace boardsim
