// boardsim's option table, its parser and --help: one row per option, so the help lists
// exactly what the parser takes.
#include "boardsim_options.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "touch_controller.h"

namespace boardsim {

namespace {

using board::TouchController;

struct TouchCommand {
    const char* name;
    uint8_t code;
};
// The bootloader commands that answer (Exit leaves without an answer).
const TouchCommand kTouchCommands[] = {
    {"enter", TouchController::CMD_ENTER},
    {"get-flash-size", TouchController::CMD_GET_FLASH_SIZE},
    {"send-data", TouchController::CMD_SEND_DATA},
    {"program-row", TouchController::CMD_PROGRAM_ROW},
    {"verify-row", TouchController::CMD_VERIFY_ROW},
};

constexpr unsigned kMaxCount = 1000000;  // fault counts: far beyond any run
constexpr double kMaxEverySeconds = 3600;
constexpr size_t kHelpIndent = 27, kHelpWidth = 100;

// Whole decimal (or 0x hex, when hex) number within 0..max.
bool parse_uint(const std::string& text, unsigned long max, unsigned long* out, bool hex = false) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    int base = 10;
    const char* digits = text.c_str();
    if (hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits += 2;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(digits, &end, base);
    if (errno != 0 || *end != '\0' || end == digits || v > max) return false;
    *out = v;
    return true;
}

bool parse_int(const std::string& text, unsigned long max, int* out) {
    unsigned long v;
    if (!parse_uint(text, max, &v)) return false;
    *out = static_cast<int>(v);
    return true;
}

// "N-M" (or "N"), N <= M.
bool parse_range(const std::string& text, unsigned long min, unsigned long max, unsigned* first, unsigned* last) {
    size_t dash = text.find('-');
    unsigned long a, b;
    if (!parse_uint(text.substr(0, dash), max, &a)) return false;
    b = a;
    if (dash != std::string::npos && !parse_uint(text.substr(dash + 1), max, &b)) return false;
    if (a < min || b < a) return false;
    *first = static_cast<unsigned>(a);
    *last = static_cast<unsigned>(b);
    return true;
}

// Three decimal numbers joined by dots, as the MCU application reports its version.
bool parse_version(const std::string& text) {
    int parts = 1;
    bool digit = false;
    for (char c : text) {
        if (c == '.') {
            if (!digit) return false;
            ++parts;
            digit = false;
        } else if (c >= '0' && c <= '9') {
            digit = true;
        } else {
            return false;
        }
    }
    return parts == 3 && digit;
}

bool parse_bytes(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    size_t pos = 0;
    for (;;) {
        size_t comma = text.find(',', pos);
        unsigned long v;
        if (!parse_uint(text.substr(pos, comma - pos), 255, &v, true)) return false;
        out->push_back(static_cast<uint8_t>(v));
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

bool parse_seconds(const std::string& text, double* out) {
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= 0) || v > kMaxEverySeconds) return false;
    *out = v;
    return true;
}

// Returns "" when the value was taken, else what it should have been.
using Apply = std::string (*)(Options&, const std::string& value);

struct OptionRow {
    Board board;        // Board::none: every board
    const char* name;
    const char* value;  // nullptr: a flag
    const char* help;
    Apply apply;
};

const OptionRow kOptions[] = {
    {Board::none, "--report", "DIR", "write the report into DIR (created if missing) instead of standard error",
     [](Options& o, const std::string& v) -> std::string {
         if (v.empty()) return "a folder";
         o.report_dir = v;
         return "";
     }},

    {Board::leds, "--chip-missing", "1|2", "no such chip: /dev/aw9110_1_dev or /dev/aw9110_2_dev is absent",
     [](Options& o, const std::string& v) -> std::string {
         if (v != "1" && v != "2") return "1 or 2";
         o.chip_missing = v[0] - '0';
         return "";
     }},
    {Board::leds, "--fail-writes", "N-M",
     "register write calls N to M fail with EIO (counted over both chips from 1, in the order made)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_range(v, 1, kMaxCount, &o.fail_first, &o.fail_last) ? "" : "a range of write calls like 3-40";
     }},
    {Board::leds, "--send", "BYTES",
     "write these command bytes (e.g. 1,3,0x00) into the daemon's pipe one by one, then 0xFF",
     [](Options& o, const std::string& v) -> std::string {
         return parse_bytes(v, &o.send) ? "" : "byte values 0-255 separated by commas, like 1,3,0";
     }},
    {Board::leds, "--every", "SECONDS", "pause before each byte of --send (default 2)",
     [](Options& o, const std::string& v) -> std::string {
         o.every_given = true;
         return parse_seconds(v, &o.every_s) ? "" : "seconds, like 2 or 0.5";
     }},

    {Board::touch, "--version", "N", "the running firmware's version byte (0-255, default 0)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, 255, &o.version) ? "" : "a byte value 0-255";
     }},
    {Board::touch, "--rows", "FIRST-LAST", "the flash rows the bootloader offers and takes (default 0-127)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_range(v, 0, 0xFFFF, &o.first_row, &o.last_row) ? "" : "a row range like 0-127";
     }},
    {Board::touch, "--bad-row-checksum", "ROW", "the checksum of ROW reads back wrong after programming (repeatable)",
     [](Options& o, const std::string& v) -> std::string {
         unsigned long row;
         if (!parse_uint(v, 0xFFFF, &row)) return "a row number 0-65535";
         o.bad_rows.push_back(static_cast<uint16_t>(row));
         return "";
     }},
    {Board::touch, "--no-answer", "COMMAND",
     "the bootloader never answers COMMAND: enter, get-flash-size, send-data, program-row or verify-row (repeatable)",
     [](Options& o, const std::string& v) -> std::string {
         for (const auto& c : kTouchCommands) {
             if (v == c.name) {
                 o.no_answer.push_back(c.code);
                 return "";
             }
         }
         return "enter, get-flash-size, send-data, program-row or verify-row";
     }},
    {Board::touch, "--fail-reads", "N", "the first N reads from /dev/morlan_touch fail with EIO",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, kMaxCount, &o.fail_reads) ? "" : "a count";
     }},

    {Board::mcu, "--app-version", "X.Y.Z", "the version the running application reports (default 1.0.0)",
     [](Options& o, const std::string& v) -> std::string {
         if (!parse_version(v)) return "a version like 2.0.9";
         o.app_version = v;
         return "";
     }},
    {Board::mcu, "--new-version", "X.Y.Z",
     "the version the application reports once an update has written flash (default: unchanged)",
     [](Options& o, const std::string& v) -> std::string {
         if (!parse_version(v)) return "a version like 2.0.13";
         o.new_version = v;
         return "";
     }},
    {Board::mcu, "--silent-bootloader", "N", "the ROM bootloader does not answer in its first N entries",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, kMaxCount, &o.silent_bootloader) ? "" : "a count";
     }},
    {Board::mcu, "--nack-erase", "N", "the bootloader refuses (NACK) the first N erase page lists",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, kMaxCount, &o.nack_erase) ? "" : "a count";
     }},
    {Board::mcu, "--app-silent", nullptr, "the application never answers the version query",
     [](Options& o, const std::string&) -> std::string {
         o.app_silent = true;
         return "";
     }},
    {Board::mcu, "--paced", nullptr, "answers as late as a real 115200-baud line and flash allow",
     [](Options& o, const std::string&) -> std::string {
         o.paced = true;
         return "";
     }},
};

const char* board_name(Board b) { return b == Board::leds ? "leds" : b == Board::touch ? "touch" : "mcu"; }

const char* board_summary(Board b) {
    switch (b) {
    case Board::leds:
        return "two AW9110 LED driver chips (/dev/aw9110_1_dev, /dev/aw9110_2_dev) and /data/led_pipe";
    case Board::touch:
        return "the touch controller behind /dev/morlan_touch, with its flash bootloader";
    default:
        return "the MCU on /dev/ttyS1 (application and ROM bootloader, 512 KiB flash) and its GPIO lines";
    }
}

}  // namespace

const char* touch_command_name(uint8_t code) {
    for (const auto& c : kTouchCommands)
        if (c.code == code) return c.name;
    return "?";
}

void print_help(FILE* out, Board board) {
    fprintf(out,
            "Usage: boardsim leds|touch|mcu [options] -- COMMAND [ARGS...]\n\n"
            "Runs COMMAND (lumend, sensorflash, coprocflash, or a script that calls them) on a simulated\n"
            "board: every process it starts sees the simulated hardware. COMMAND's output passes through\n"
            "unchanged and boardsim ends with its exit status; then it reports what the hardware saw.\n\n"
            "Options of every board:\n");
    // One option: its name and value, then its help wrapped to the width.
    auto row = [&](const std::string& left, const std::string& help) {
        std::string line = "  " + left;
        line.resize(std::max(line.size() + 1, kHelpIndent), ' ');
        size_t pos = 0;
        while (pos < help.size()) {
            size_t room = kHelpWidth - line.size(), end = help.size();
            if (end - pos > room) {
                end = help.rfind(' ', pos + room);
                if (end == std::string::npos || end <= pos) end = pos + room;
            }
            fprintf(out, "%s%s\n", line.c_str(), help.substr(pos, end - pos).c_str());
            pos = help.find_first_not_of(' ', end);
            if (pos == std::string::npos) break;
            line.assign(kHelpIndent, ' ');
        }
    };
    auto rows = [&](Board b) {
        for (const auto& r : kOptions)
            if (r.board == b) row(std::string(r.name) + (r.value ? std::string(" ") + r.value : ""), r.help);
    };
    rows(Board::none);
    row("--help", "this text");
    for (Board b : {Board::leds, Board::touch, Board::mcu}) {
        if (board != Board::none && board != b) continue;
        fprintf(out, "\nboardsim %s: %s\n", board_name(b), board_summary(b));
        rows(b);
    }
}

Parse parse_options(int argc, char** argv, Options* o, std::string* message) {
    if (argc < 2) {
        *message = "boardsim: usage: boardsim leds|touch|mcu [options] -- COMMAND [ARGS...] (boardsim --help)";
        return Parse::error;
    }
    const std::string sub = argv[1];
    if (sub == "--help" || sub == "-h") return Parse::help;
    for (Board b : {Board::leds, Board::touch, Board::mcu})
        if (sub == board_name(b)) o->board = b;
    if (o->board == Board::none) {
        *message = "boardsim: unknown board \"" + sub + "\": leds, touch or mcu";
        return Parse::error;
    }
    const std::string who = std::string("boardsim ") + board_name(o->board) + ": ";
    int i = 2;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") return Parse::help;
        std::string value;
        size_t eq = arg.find('=');
        bool inline_value = eq != std::string::npos;
        if (inline_value) {
            value = arg.substr(eq + 1);
            arg.erase(eq);
        }
        const OptionRow* row = nullptr;
        for (const auto& r : kOptions)
            if (arg == r.name && (r.board == Board::none || r.board == o->board)) row = &r;
        if (!row) {
            *message = who + "unknown option " + arg + " (boardsim " + board_name(o->board) + " --help lists them)";
            if (arg[0] != '-')
                *message += "; COMMAND goes after \"--\": boardsim " + std::string(board_name(o->board)) +
                            " [options] -- " + arg + " ...";
            return Parse::error;
        }
        if (!row->value && inline_value) {
            *message = who + arg + " takes no value";
            return Parse::error;
        }
        if (row->value && !inline_value) {
            if (i + 1 >= argc || std::string(argv[i + 1]) == "--") {
                *message = who + arg + " needs " + row->value;
                return Parse::error;
            }
            value = argv[++i];
        }
        std::string want = row->apply(*o, value);
        if (!want.empty()) {
            *message = who + arg + " takes " + want + ", not \"" + value + "\"";
            return Parse::error;
        }
    }
    if (i + 1 >= argc) {
        *message = who + "no COMMAND: give it after \"--\"";
        return Parse::error;
    }
    o->command.assign(argv + i + 1, argv + argc);
    if (o->every_given && o->send.empty()) {
        *message = who + "--every goes with --send";
        return Parse::error;
    }
    for (uint16_t row : o->bad_rows) {
        if (row < o->first_row || row > o->last_row) {
            *message = who + "--bad-row-checksum " + std::to_string(row) + " lies outside the flash rows " +
                       std::to_string(o->first_row) + "-" + std::to_string(o->last_row) + " (--rows)";
            return Parse::error;
        }
    }
    if (!o->report_dir.empty()) {
        const char* dir = o->report_dir.c_str();
        struct stat st;
        int err = 0;
        // The folder and its missing parents, as mkdir -p.
        for (size_t slash = o->report_dir.find('/', 1); slash != std::string::npos && !err;
             slash = o->report_dir.find('/', slash + 1))
            if (mkdir(o->report_dir.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) err = errno;
        if (!err && mkdir(dir, 0755) != 0 && errno != EEXIST) err = errno;
        if (!err && stat(dir, &st) != 0) err = errno;
        if (!err && !S_ISDIR(st.st_mode)) err = ENOTDIR;
        if (!err && access(dir, W_OK) != 0) err = errno;
        if (err) {
            *message = who + "--report: cannot write into " + o->report_dir + ": " + strerror(err);
            return Parse::error;
        }
    }
    return Parse::run;
}

}  // namespace boardsim
