// boardsim's command line: the board to simulate, its state and faults, the report folder and
// COMMAND. Each option is named for what the hardware does.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace boardsim {

enum class Board { none, leds, touch, mcu };

struct Options {
    Board board = Board::none;
    std::string report_dir;            // empty: the report goes to standard error
    std::vector<std::string> command;  // COMMAND [ARGS...]

    // leds
    int chip_missing = 0;                  // 1 or 2: that chip's node is absent
    unsigned fail_first = 0, fail_last = 0;  // write calls, counted over both chips from 1
    std::vector<uint8_t> send;             // command bytes for the daemon's pipe
    double every_s = 2.0;                  // pause before each of them
    bool every_given = false;

    // touch
    int version = 0;  // the running firmware's version byte
    unsigned first_row = 0, last_row = 127;
    std::vector<uint16_t> bad_rows;   // rows whose checksum reads back wrong
    std::vector<uint8_t> no_answer;   // bootloader command codes left unanswered
    int fail_reads = 0;               // the first n reads from the device fail

    // mcu
    std::string app_version = "1.0.0";
    std::string new_version;  // empty: the application keeps reporting app_version
    int silent_bootloader = 0;
    int nack_erase = 0;
    bool app_silent = false;
    bool paced = false;
};

enum class Parse { run, help, error };

// Parses argv. On error, message holds the one line to print; on help, the board asked about.
Parse parse_options(int argc, char** argv, Options* options, std::string* message);
// The options of one board (Board::none: all of them).
void print_help(FILE* out, Board board);
// The name a touch bootloader command code goes by on the command line.
const char* touch_command_name(uint8_t code);

}  // namespace boardsim
