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
constexpr double kMaxTimeoutSeconds = 7 * 24 * 3600;
constexpr unsigned long kMaxGapMs = 10000;
constexpr unsigned long kMaxFlashBytes = board::McuModel::kFlashSize;
constexpr unsigned long kMaxFlashPages = board::McuModel::kPages;
constexpr const char* kTouchCommandList = "enter, get-flash-size, send-data, program-row or verify-row";
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

bool parse_int(const std::string& text, unsigned long max, int* out, bool hex = false) {
    unsigned long v;
    if (!parse_uint(text, max, &v, hex)) return false;
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

}  // namespace

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

namespace {

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

bool parse_seconds(const std::string& text, double max, double* out) {
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= 0) || v > max) return false;
    *out = v;
    return true;
}

}  // namespace

std::string parse_touch_version(const std::string& text, int* out) {
    return parse_int(text, 255, out, true) ? "" : "a byte value 0-255 (or 0x00-0xFF)";
}

namespace {

// Returns "" when the value was taken, else what it should have been.
using Apply = std::string (*)(Options&, const std::string& value);

struct OptionRow {
    Board board;        // Board::none: every board
    const char* name;
    const char* value;  // nullptr: a flag
    const char* help;
    Apply apply;
};

// The touch bootloader command a name stands for.
bool touch_command(const std::string& name, uint8_t* code) {
    for (const auto& c : kTouchCommands) {
        if (name == c.name) {
            *code = c.code;
            return true;
        }
    }
    return false;
}

// A touch bootloader command name, added to *codes; "" when taken, else what it should be.
std::string add_touch_command(const std::string& name, std::vector<uint8_t>* codes) {
    uint8_t code;
    if (!touch_command(name, &code)) return kTouchCommandList;
    codes->push_back(code);
    return "";
}

// A spoiled answer of kind to a touch bootloader command given by name.
std::string add_answer_fault(Options& o, const std::string& name, TouchAnswerFault::Kind kind) {
    uint8_t code;
    if (!touch_command(name, &code)) return kTouchCommandList;
    o.touch.answer_faults.push_back({code, kind, 0});
    return "";
}

// "COMMAND=N" with a touch bootloader command and a number within 0..max.
bool parse_touch_pair(const std::string& text, unsigned long max, uint8_t* code, int* value) {
    size_t eq = text.find('=');
    unsigned long v;
    if (eq == std::string::npos || !touch_command(text.substr(0, eq), code) || !parse_uint(text.substr(eq + 1), max, &v))
        return false;
    *value = static_cast<int>(v);
    return true;
}

struct McuStage {
    const char* name;
    board::McuModel::Stage stage;
};
const McuStage kMcuStages[] = {
    {"sync", board::McuModel::Stage::sync},
    {"command", board::McuModel::Stage::command},
    {"write-address", board::McuModel::Stage::write_address},
    {"write-data", board::McuModel::Stage::write_data},
    {"erase-pages", board::McuModel::Stage::erase_pages},
    {"read-address", board::McuModel::Stage::read_address},
    {"read-count", board::McuModel::Stage::read_count},
    {"go-address", board::McuModel::Stage::go_address},
};
}  // namespace

const char* mcu_stage_name(board::McuModel::Stage stage) {
    for (const auto& s : kMcuStages)
        if (s.stage == stage) return s.name;
    return "any";
}

namespace {

constexpr const char* kMcuStageList =
    "sync, command, write-address, write-data, erase-pages, read-address, read-count or go-address";

// "STAGE=N" with a bootloader stage and a count.
bool parse_stage_count(const std::string& text, std::vector<std::pair<board::McuModel::Stage, int>>* out) {
    size_t eq = text.find('=');
    unsigned long n;
    if (eq == std::string::npos || !parse_uint(text.substr(eq + 1), kMaxCount, &n)) return false;
    for (const auto& s : kMcuStages) {
        if (text.compare(0, eq, s.name) == 0 && eq == strlen(s.name)) {
            out->emplace_back(s.stage, static_cast<int>(n));
            return true;
        }
    }
    return false;
}

// An image file that can be read now.
std::string readable_file(const std::string& v, std::string* out) {
    struct stat st;
    if (v.empty() || stat(v.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(v.c_str(), R_OK) != 0)
        return "a readable image file";
    *out = v;
    return "";
}

const OptionRow kOptions[] = {
    {Board::none, "--report", "DIR",
     "write the report into DIR/report.txt and DIR/report.json (DIR created if missing) instead of standard error",
     [](Options& o, const std::string& v) -> std::string {
         if (v.empty()) return "a folder";
         o.report_dir = v;
         return "";
     }},
    {Board::none, "--state", "FILE",
     "the board's lasting state (flash, versions, chips) is loaded from FILE before the run and saved into it "
     "after, as across a reboot; a missing FILE starts from the defaults",
     [](Options& o, const std::string& v) -> std::string {
         if (v.empty()) return "a file name";
         o.state_file = v;
         return "";
     }},
    {Board::none, "--trace", "FILE",
     "write every device call of the run (open, read, write, ioctl, line settings, time-outs) into FILE, "
     "one line each, as docs/traces.md describes",
     [](Options& o, const std::string& v) -> std::string {
         if (v.empty()) return "a file name";
         o.trace_file = v;
         return "";
     }},
    {Board::none, "--fast", nullptr,
     "the board runs on a virtual clock: whenever every process under the board sleeps, time jumps to the "
     "next deadline, so waits and time-outs pass at once; output, exit status and the report stay the same",
     [](Options& o, const std::string&) -> std::string {
         o.fast = true;
         return "";
     }},
    {Board::none, "--replay", "FILE",
     "the parts whose devices the trace FILE holds answer as recorded, not as their models: each request is "
     "matched in order; the first that differs ends the replay (the report says what differed) and the "
     "device answers nothing from then on",
     [](Options& o, const std::string& v) -> std::string {
         if (v.empty()) return "a trace file";
         o.replay_file = v;
         return "";
     }},
    {Board::none, "--timeout", "SECONDS",
     "when COMMAND runs longer, it is interrupted (SIGINT, as Ctrl-C) and boardsim ends with 124",
     [](Options& o, const std::string& v) -> std::string {
         return parse_seconds(v, kMaxTimeoutSeconds, &o.timeout_s) && o.timeout_s > 0 ? "" : "seconds, like 60";
     }},

    {Board::leds, "--chip-missing", "1|2", "no such chip: /dev/aw9110_1_dev or /dev/aw9110_2_dev is absent",
     [](Options& o, const std::string& v) -> std::string {
         if (v != "1" && v != "2") return "1 or 2";
         o.leds.chip_missing = v[0] - '0';
         return "";
     }},
    {Board::leds, "--fail-writes", "N-M",
     "register write calls N to M fail with EIO (counted over both chips from 1, in the order made)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_range(v, 1, kMaxCount, &o.leds.fail_first, &o.leds.fail_last) ? ""
                                                                                      : "a range of write calls like 3-40";
     }},
    {Board::leds, "--short-writes", "N-M",
     "register write calls N to M take one byte less than given (a short write; counted as --fail-writes)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_range(v, 1, kMaxCount, &o.leds.short_first, &o.leds.short_last) ? ""
                                                                                        : "a range of write calls like 3-40";
     }},
    {Board::leds, "--send", "BYTES",
     "write these command bytes (e.g. 1,3,0x00) into the daemon's pipe one by one, then 0xFF",
     [](Options& o, const std::string& v) -> std::string {
         return parse_bytes(v, &o.leds.send) ? "" : "byte values 0-255 separated by commas, like 1,3,0";
     }},
    {Board::leds, "--every", "SECONDS", "pause before each byte of --send (default 2)",
     [](Options& o, const std::string& v) -> std::string {
         o.leds.every_given = true;
         return parse_seconds(v, kMaxEverySeconds, &o.leds.every_s) ? "" : "seconds, like 2 or 0.5";
     }},

    {Board::touch, "--version", "N", "the running firmware's version byte (0-255 or 0x hex, default 0)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_touch_version(v, &o.touch.version);
     }},
    {Board::touch, "--new-version", "N",
     "the version byte the firmware reports after an update that programmed and verified every row it sent "
     "(0-255 or 0x hex; default: the old byte)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_touch_version(v, &o.touch.new_version);
     }},
    {Board::touch, "--rows", "FIRST-LAST", "the flash rows the bootloader offers and takes (default 0-127)",
     [](Options& o, const std::string& v) -> std::string {
         o.touch.rows_given = true;
         return parse_range(v, 0, 0xFFFF, &o.touch.first_row, &o.touch.last_row) ? "" : "a row range like 0-127";
     }},
    {Board::touch, "--image", "FILE", "the report says whether the flash rows hold this image byte for byte",
     [](Options& o, const std::string& v) -> std::string { return readable_file(v, &o.touch.image); }},
    {Board::touch, "--bad-row-checksum", "ROW", "the checksum of ROW reads back wrong after programming (repeatable)",
     [](Options& o, const std::string& v) -> std::string {
         unsigned long row;
         if (!parse_uint(v, 0xFFFF, &row)) return "a row number 0-65535";
         o.touch.bad_rows.push_back(static_cast<uint16_t>(row));
         return "";
     }},
    {Board::touch, "--no-answer", "COMMAND",
     "the bootloader never answers COMMAND: enter, get-flash-size, send-data, program-row or verify-row (repeatable)",
     [](Options& o, const std::string& v) { return add_touch_command(v, &o.touch.no_answer); }},
    {Board::touch, "--bad-answer-checksum", "COMMAND", "the answers to COMMAND carry a wrong checksum (repeatable)",
     [](Options& o, const std::string& v) { return add_answer_fault(o, v, TouchAnswerFault::bad_checksum); }},
    {Board::touch, "--bad-answer-end", "COMMAND", "the answers to COMMAND end in 0x00, not 0x17 (repeatable)",
     [](Options& o, const std::string& v) { return add_answer_fault(o, v, TouchAnswerFault::bad_end); }},
    {Board::touch, "--answer-status", "COMMAND=S",
     "the answers to COMMAND carry the bootloader status S (0-255, e.g. 10 for a bad row) (repeatable)",
     [](Options& o, const std::string& v) -> std::string {
         TouchAnswerFault f{0, TouchAnswerFault::status, 0};
         if (!parse_touch_pair(v, 255, &f.command, &f.value)) return "a command and a status, like program-row=10";
         o.touch.answer_faults.push_back(f);
         return "";
     }},
    {Board::touch, "--late-answer", "COMMAND=N",
     "the answers to COMMAND show only on the N-th poll of the host (repeatable)",
     [](Options& o, const std::string& v) -> std::string {
         TouchAnswerFault f{0, TouchAnswerFault::late, 0};
         if (!parse_touch_pair(v, kMaxCount, &f.command, &f.value) || f.value < 1)
             return "a command and a poll count from 1, like verify-row=5";
         o.touch.answer_faults.push_back(f);
         return "";
     }},
    {Board::touch, "--refuse-frames", "COMMAND",
     "every write of a COMMAND frame fails with EIO: the bootloader does not take it (repeatable)",
     [](Options& o, const std::string& v) { return add_touch_command(v, &o.touch.refuse_frames); }},
    {Board::touch, "--fail-reads", "N", "the first N reads from /dev/morlan_touch fail with EIO",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, kMaxCount, &o.touch.fail_reads) ? "" : "a count";
     }},
    {Board::touch, "--fail-writes", "N", "the first N writes to /dev/morlan_touch fail with EIO",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, kMaxCount, &o.touch.fail_writes) ? "" : "a count";
     }},
    {Board::touch, "--handover-ms", "MS",
     "after the bootloader entry request the controller restarts for MS milliseconds, failing every transfer",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, kMaxCount, &o.touch.handover_ms) ? "" : "milliseconds";
     }},

    {Board::mcu, "--app-version", "X.Y.Z", "the version the running application reports (default 1.0.0)",
     [](Options& o, const std::string& v) -> std::string {
         if (!parse_version(v)) return "a version like 2.0.9";
         o.mcu.app_version = v;
         return "";
     }},
    {Board::mcu, "--new-version", "X.Y.Z",
     "the version the application reports once an update has written flash (default: unchanged)",
     [](Options& o, const std::string& v) -> std::string {
         if (!parse_version(v)) return "a version like 2.0.13";
         o.mcu.new_version = v;
         return "";
     }},
    {Board::mcu, "--image", "FILE", "the report says whether the flash from 0x08000000 holds this image byte for byte",
     [](Options& o, const std::string& v) -> std::string { return readable_file(v, &o.mcu.image); }},
    {Board::mcu, "--silent-bootloader", "N", "the ROM bootloader does not answer in its first N entries",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, kMaxCount, &o.mcu.silent_bootloader) ? "" : "a count";
     }},
    {Board::mcu, "--nack-erase", "N", "the bootloader refuses (NACK) the first N erase page lists",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, kMaxCount, &o.mcu.nack_erase) ? "" : "a count";
     }},
    {Board::mcu, "--nack", "STAGE=N",
     "the bootloader refuses (NACK) the next N times at STAGE: sync, command, write-address, write-data, "
     "erase-pages, read-address, read-count or go-address (repeatable)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_stage_count(v, &o.mcu.nacks) ? "" : std::string("a stage (") + kMcuStageList + ") and a count";
     }},
    {Board::mcu, "--drop-answer", "STAGE=N",
     "the bootloader's next N answers at STAGE never reach the line (same stages as --nack; repeatable)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_stage_count(v, &o.mcu.drops) ? "" : std::string("a stage (") + kMcuStageList + ") and a count";
     }},
    {Board::mcu, "--app-silent", nullptr, "the application never answers the version query",
     [](Options& o, const std::string&) -> std::string {
         o.mcu.app_silent = true;
         return "";
     }},
    {Board::mcu, "--app-silent-starts", "N",
     "the application does not answer in its next N starts (it is still starting up)",
     [](Options& o, const std::string& v) -> std::string {
         return parse_int(v, kMaxCount, &o.mcu.app_silent_starts) ? "" : "a count";
     }},
    {Board::mcu, "--split-answer", "SIZES[@MS]",
     "the application's version answer reaches the line in pieces of these sizes (e.g. 3,4@20: 3 bytes, 4 bytes, "
     "the rest, 20 ms apart)",
     [](Options& o, const std::string& v) -> std::string {
         const std::string want = "piece sizes with an optional gap, like 3,4@20";
         size_t at = v.find('@');
         std::vector<uint8_t> sizes;
         if (!parse_bytes(v.substr(0, at), &sizes)) return want;
         if (at != std::string::npos && !parse_int(v.substr(at + 1), kMaxGapMs, &o.mcu.split_gap_ms)) return want;
         o.mcu.split_answer.assign(sizes.begin(), sizes.end());
         return "";
     }},
    {Board::mcu, "--answer-surplus", "BYTES",
     "the application sends these bytes (e.g. 0x55,0xAA) right after its version answer, as a noisy line would",
     [](Options& o, const std::string& v) -> std::string {
         return parse_bytes(v, &o.mcu.answer_surplus) ? "" : "byte values 0-255 separated by commas";
     }},
    {Board::mcu, "--power-cut-after-bytes", "N",
     "the MCU loses its supply once its bootloader has programmed N bytes of flash; the flash keeps what was "
     "programmed, a cut update leaves no application to run, the next reset pulse brings the supply back",
     [](Options& o, const std::string& v) -> std::string {
         int n;
         if (!parse_int(v, kMaxFlashBytes, &n)) return "a byte count";
         o.mcu.power_cut_bytes = n;
         return "";
     }},
    {Board::mcu, "--power-cut-after-pages", "N",
     "the MCU loses its supply as its bootloader starts on the page after the first N pages it writes into "
     "(as --power-cut-after-bytes)",
     [](Options& o, const std::string& v) -> std::string {
         int n;
         if (!parse_int(v, kMaxFlashPages, &n)) return "a page count";
         o.mcu.power_cut_pages = n;
         return "";
     }},
    {Board::mcu, "--drop-answer-byte", "N",
     "the N-th byte the MCU sends (counted from 1 over the run: version answers and bootloader answers) is "
     "lost on the line",
     [](Options& o, const std::string& v) -> std::string {
         int n;
         if (!parse_int(v, kMaxCount, &n) || n < 1) return "a byte number from 1";
         o.mcu.drop_answer_byte = n;
         return "";
     }},
    {Board::mcu, "--paced", nullptr, "answers as late as a real 115200-baud line and flash allow",
     [](Options& o, const std::string&) -> std::string {
         o.mcu.paced = true;
         return "";
     }},
};

const Board kParts[] = {Board::leds, Board::touch, Board::mcu};

const char* board_summary(Board b) {
    switch (b) {
    case Board::leds:
        return "two AW9110 LED driver chips (/dev/aw9110_1_dev, /dev/aw9110_2_dev) and /data/led_pipe";
    case Board::touch:
        return "the touch controller behind /dev/morlan_touch, with its flash bootloader";
    case Board::mcu:
        return "the MCU on /dev/ttyS1 (application and ROM bootloader, 512 KiB flash) and its GPIO lines";
    default:
        return "all parts at once: the LED chips and pipe, the touch controller, the MCU and its lines";
    }
}

// An option that may be given more than once says so in its help, the one place where the user
// reads it; any other given twice is refused.
bool repeatable(const OptionRow& row) { return strstr(row.help, "repeatable") != nullptr; }

// Whether another part has an option of the same name: under `board` both take their part's
// name in front.
bool shared_name(const OptionRow& row) {
    for (const auto& r : kOptions)
        if (&r != &row && r.board != Board::none && r.board != row.board && strcmp(r.name, row.name) == 0) return true;
    return false;
}

// A part's option with the part's name in front: "--touch-new-version".
std::string prefixed(const OptionRow& row) {
    return row.board == Board::none ? row.name : std::string("--") + board_name(row.board) + "-" + (row.name + 2);
}

// The name under which a row is listed for a board: under `board`, a name that two parts share
// takes the part's name in front (every part option may be given so there).
std::string name_on(Board board, const OptionRow& row) {
    return board == Board::whole && shared_name(row) ? prefixed(row) : row.name;
}

}  // namespace

const char* board_name(Board b) {
    switch (b) {
    case Board::leds:
        return "leds";
    case Board::touch:
        return "touch";
    case Board::mcu:
        return "mcu";
    default:
        return "board";
    }
}

const char* touch_command_name(uint8_t code) {
    for (const auto& c : kTouchCommands)
        if (c.code == code) return c.name;
    return "?";
}

void print_help(FILE* out, Board board) {
    fprintf(out,
            "Usage: boardsim leds|touch|mcu|board [options] -- COMMAND [ARGS...]\n"
            "       boardsim decode FILE\n"
            "       boardsim compare [--timing SECONDS] GOLDEN NEW\n"
            "       boardsim import [-o OUT] FILE\n\n"
            "Runs COMMAND (lumend, sensorflash, coprocflash, or a script that calls them) on a simulated\n"
            "board: every process it starts sees the simulated hardware. COMMAND's output passes through\n"
            "unchanged and boardsim ends with its exit status; then it reports what the hardware saw.\n"
            "`boardsim board` has every part at once and takes every part's options; where two parts\n"
            "share an option's name it takes the part's name in front (--touch-new-version N), and\n"
            "any part option may be given so (--mcu-silent-bootloader 3).\n"
            "A device trace (--trace FILE, or an strace capture from a real board) is read by: decode,\n"
            "its protocol messages per device; compare, the messages of two traces (exit 0 the same,\n"
            "1 different, 2 bad input); import, a capture as a trace; and --replay FILE.\n\n"
            "Options of every board:\n");
    // One option: its name and value, then its help wrapped to the width.
    auto row = [&](const std::string& left, const std::string& help) {
        std::string line = "  " + left;
        if (line.size() + 2 > kHelpIndent) {  // a long name on a line of its own, as GNU tools do
            fprintf(out, "%s\n", line.c_str());
            line.clear();
        }
        line.resize(kHelpIndent, ' ');
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
    auto rows = [&](Board part) {
        for (const auto& r : kOptions)
            if (r.board == part) row(name_on(board, r) + (r.value ? std::string(" ") + r.value : ""), r.help);
    };
    rows(Board::none);
    row("--help", "this text");
    if (board == Board::none) row("--version", "boardsim's version (alone, before any board)");
    for (Board b : kParts) {
        if (board != Board::none && board != Board::whole && board != b) continue;
        fprintf(out, "\n%s %s: %s\n", board == Board::whole ? "part" : "boardsim", board_name(b), board_summary(b));
        rows(b);
    }
}

Parse parse_options(int argc, char** argv, Options* o, std::string* message) {
    if (argc < 2) {
        *message = "boardsim: usage: boardsim leds|touch|mcu|board [options] -- COMMAND [ARGS...] (boardsim --help)";
        return Parse::error;
    }
    const std::string sub = argv[1];
    if (sub == "--help" || sub == "-h") return Parse::help;
    for (Board b : {Board::leds, Board::touch, Board::mcu, Board::whole})
        if (sub == board_name(b)) o->board = b;
    if (o->board == Board::none) {
        *message = "boardsim: unknown board \"" + sub + "\": leds, touch, mcu or board";
        return Parse::error;
    }
    const std::string who = std::string("boardsim ") + board_name(o->board) + ": ";
    std::vector<const OptionRow*> given;
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
            if ((r.board == Board::none || r.board == o->board || o->board == Board::whole) &&
                (arg == name_on(o->board, r) || (o->board == Board::whole && arg == prefixed(r))))
                row = &r;
        if (!row) {
            *message = who + "unknown option " + arg + " (boardsim " + board_name(o->board) + " --help lists them)";
            if (arg[0] != '-')
                *message += "; COMMAND goes after \"--\": boardsim " + std::string(board_name(o->board)) +
                            " [options] -- " + arg + " ...";
            return Parse::error;
        }
        if (!repeatable(*row) && std::find(given.begin(), given.end(), row) != given.end()) {
            *message = who + arg + " given twice";
            return Parse::error;
        }
        given.push_back(row);
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
    o->command_given = o->command;
    if (o->leds.every_given && o->leds.send.empty()) {
        *message = who + "--every goes with --send";
        return Parse::error;
    }
    for (uint16_t row : o->touch.bad_rows) {
        if (row < o->touch.first_row || row > o->touch.last_row) {
            *message = who + "--bad-row-checksum " + std::to_string(row) + " lies outside the flash rows " +
                       std::to_string(o->touch.first_row) + "-" + std::to_string(o->touch.last_row) + " (--rows)";
            return Parse::error;
        }
    }
    return Parse::run;
}

}  // namespace boardsim
