// boardsim's command line: the board to simulate (one part or the whole board), each part's
// state and faults, the run's own settings and COMMAND. Each option is named for what the
// hardware does, and belongs to the part that owns it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "mcu_model.h"

namespace boardsim {

// The parts of the board; Board::whole is all of them at once.
enum class Board { none, leds, touch, mcu, whole };

struct LedOptions {
    int chip_missing = 0;                    // 1 or 2: that chip's node is absent
    unsigned fail_first = 0, fail_last = 0;  // write calls, counted over both chips from 1
    unsigned short_first = 0, short_last = 0;
    std::vector<uint8_t> send;  // command bytes for the daemon's pipe
    double every_s = 2.0;       // pause before each of them
    bool every_given = false;
};

// A spoiled answer of the touch bootloader to one command.
struct TouchAnswerFault {
    uint8_t command;
    enum Kind { bad_checksum, bad_end, status, late } kind;
    int value;  // the status byte, or the poll on which the answer shows
};

struct TouchOptions {
    int version = -1;  // the running firmware's version byte; -1: the saved state's, else 0
    int new_version = -1;  // reported after a full, verified update; -1: the old byte
    bool rows_given = false;
    unsigned first_row = 0, last_row = 127;
    std::vector<uint16_t> bad_rows;  // rows whose checksum reads back wrong
    std::vector<uint8_t> no_answer;  // bootloader command codes left unanswered
    std::vector<TouchAnswerFault> answer_faults;
    std::vector<uint8_t> refuse_frames;  // frames of these commands fail to write (EIO)
    int fail_reads = 0;   // the first n reads from the device fail
    int fail_writes = 0;  // the first n writes to the device fail
    int handover_ms = 0;  // the controller's restart into its bootloader
    std::string image;    // the image the flash should hold, for the comparison
};

struct McuOptions {
    std::string app_version;  // empty: the saved state's, else 1.0.0
    std::string new_version;  // empty: the application keeps reporting app_version
    int silent_bootloader = 0;
    int nack_erase = 0;
    // Bootloader stages and how many of their answers in a row are refused (NACK) or not sent.
    std::vector<std::pair<board::McuModel::Stage, int>> nacks, drops;
    int app_silent_starts = 0;
    bool app_silent = false;
    std::vector<size_t> split_answer;  // the version reply in pieces of these sizes
    int split_gap_ms = 0;
    std::vector<uint8_t> answer_surplus;
    bool paced = false;
    long power_cut_bytes = -1;  // the supply fails after this many more programmed bytes
    long power_cut_pages = -1;  // or once this many more pages were written into
    long drop_answer_byte = 0;  // the n-th byte the MCU sends is lost on the line (0: none)
    std::string image;
};

struct Options {
    Board board = Board::none;
    std::string report_dir;            // empty: the report goes to standard error
    std::string state_file;            // empty: the board starts from its defaults, nothing saved
    bool fast = false;                 // the programs' clock skips its waits
    double timeout_s = 0;              // 0: none
    std::string replay_file;           // a recorded trace that drives the parts it holds
    std::string trace_file;            // empty: no device trace
    std::vector<std::string> command;  // COMMAND [ARGS...] as it runs (sh in front of a script without #!)
    std::vector<std::string> command_given;  // COMMAND's words as given

    LedOptions leds;
    TouchOptions touch;
    McuOptions mcu;
};

enum class Parse { run, help, error };

// Parses argv. On error, message holds the one line to print; on help, the board asked about.
Parse parse_options(int argc, char** argv, Options* options, std::string* message);
// The options of one board (Board::none: all of them).
void print_help(FILE* out, Board board);
// Whether text is an MCU version as --app-version takes it: three decimal numbers joined by
// dots (X.Y.Z), as the MCU application reports its version. A saved state is held to it too.
bool parse_version(const std::string& text);
// The name an MCU bootloader stage goes by in --nack and --drop-answer ("erase-pages").
const char* mcu_stage_name(board::McuModel::Stage stage);
// The touch firmware's version byte as --version takes it (a saved state is held to the same
// rule): "" when text was taken into out, else what it should have been.
std::string parse_touch_version(const std::string& text, int* out);
// The name a touch bootloader command code goes by on the command line.
const char* touch_command_name(uint8_t code);
// The name of a part on the command line ("leds", "touch", "mcu").
const char* board_name(Board board);

}  // namespace boardsim
