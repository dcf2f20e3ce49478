// Device traces (docs/traces.md): the events of one run's hardware traffic, read from and
// written to the versioned text format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace boardsim {

constexpr int kTraceVersion = 1;
constexpr const char* kTraceMagic = "boardsim-trace";

struct TraceEvent {
    double time = 0;      // seconds on the board's clock since COMMAND started
    long pid = 0;
    std::string program;  // unescaped
    std::string device;   // the board's path: "/dev/ttyS1"
    int fd = -1;
    std::string call;     // open, close, read, write, ioctl, tcsetattr, tcflush, wait
    std::string arg;
    std::string result;   // a decimal count, an errno name, or "timeout"
    std::vector<uint8_t> data;
    int line = 0;         // where it stood in its file (1 = the header), for messages
};

struct Trace {
    int version = kTraceVersion;
    std::string board;                 // leds, touch, mcu, board
    std::vector<std::string> command;  // unescaped words
    std::vector<TraceEvent> events;
};

// Reads a trace file's text. False with *error ("line N: ...") on text that is no trace.
bool parse_trace(const std::string& text, Trace* out, std::string* error);
// Reads the file at path (a trace, or a capture that import_capture() takes). False with
// *error naming the file on a file that cannot be read or is no trace.
bool load_trace(const std::string& path, Trace* out, std::string* error);

std::string format_header(const Trace& trace);
std::string format_event(const TraceEvent& event);  // without the '\n'
std::string format_trace(const Trace& trace);       // header and events, each line ended

// The %XX escape of names and words: bytes outside printable ASCII, space and '%'.
std::string escape_word(const std::string& word);
bool unescape_word(const std::string& word, std::string* out);

std::string hex_bytes(const std::vector<uint8_t>& bytes);  // "-" when empty
bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* out);

// A call's result as a count: false for an errno name or "timeout".
bool result_count(const TraceEvent& event, long* count);

}  // namespace boardsim
