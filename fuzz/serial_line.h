// A serial line whose far end is the fuzzer: every select(), read() and write() on the line's
// descriptor takes its outcome and its bytes from the input, and sleep() and tcflush() are
// free (linked with --wrap, as the unit tests wrap libc). Other descriptors pass through.
#pragma once

#include <cstdint>
#include <vector>

#include "fuzz_input.h"

namespace serial_line {

// Bytes written in a row, then the one-byte answer that a wait for it got: the byte read, 0
// for a read that brought none, 0xFF for a failed wait or four silent ones; -1 while unknown.
struct Turn {
    std::vector<uint8_t> sent;
    bool write_failed = false;
    bool waiting = false;
    int answer = -1;
};

enum class Last { none, wait_failed, silent, readable, read_failed, read_empty, read_bytes };

struct Tally {
    int silent_in_row = 0;  // waits that timed out since a wait that saw data, a write or a new call
    int empty_in_row = 0;   // reads that brought nothing since one that brought bytes, a write or a new call
    int waits = 0;          // since the last new call
    Last last = Last::none;
};

// fd is the line from now on; its far end answers from data.
void start(int fd, const uint8_t* data, size_t size);
// The line is no longer served (before the descriptor is closed).
void stop();
FuzzInput& input();
// A new read call of the program begins.
void new_call();
const Tally& tally();
// Every byte read() delivered since start, in order.
const std::vector<uint8_t>& delivered();
const std::vector<Turn>& turns();
// Every byte the far end took in since start, in order.
std::vector<uint8_t> written();
bool any_write_failed();

}  // namespace serial_line
