// The settings a program gave a simulated serial line, as it asked for them: a pty keeps no
// parity and no character size but 8, so the bed's preload records each tcsetattr() on the line
// before the pty drops what it cannot hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testbed {

struct LineSettings {
    uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;  // termios flags
    uint32_t ispeed = 0, ospeed = 0;                       // termios speed codes (B115200, ...)
};

// The records of one line's record file, oldest first (one text line each: the six values in
// hex, in the order above; the same on every word size).
std::vector<LineSettings> read_line_settings(const std::string& path);

// What a UART would run with, e.g. "115200 baud, 8 data bits, even parity, 1 stop bit, raw".
std::string describe_line(const LineSettings& s);

}  // namespace testbed
