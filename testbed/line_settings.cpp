// Serial line settings: the preload's record file and its description in a UART's terms.
#include "line_settings.h"

#include <termios.h>

#include <cstdio>
#include <fstream>

#include "trace_text.h"

namespace testbed {

namespace {

std::string speed_text(uint32_t code) {
    unsigned baud = 0;
    if (trace_speed_baud(code, &baud)) return std::to_string(baud) + " baud";
    char buf[32];
    snprintf(buf, sizeof buf, "speed code 0x%x", code);
    return buf;
}

// What cfmakeraw() clears, named for each flag set that it leaves set.
std::string not_raw(const LineSettings& s) {
    std::string out;
    auto add = [&](bool set, const char* what) {
        if (set) out += std::string(out.empty() ? "" : ", ") + what;
    };
    add(s.iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), "input translation");
    add(s.oflag & OPOST, "output processing");
    add(s.lflag & (ICANON | ECHONL), "canonical input");
    add(s.lflag & ECHO, "echo");
    add(s.lflag & (ISIG | IEXTEN), "signal characters");
    return out;
}

}  // namespace

std::vector<LineSettings> read_line_settings(const std::string& path) {
    std::vector<LineSettings> out;
    std::ifstream in(path);
    LineSettings s;
    while (in >> std::hex >> s.iflag >> s.oflag >> s.cflag >> s.lflag >> s.ispeed >> s.ospeed) out.push_back(s);
    return out;
}

std::string describe_line(const LineSettings& s) {
    std::string text = speed_text(s.ospeed);
    if (s.ispeed != s.ospeed && s.ispeed != B0) text += " (input " + speed_text(s.ispeed) + ")";
    text += ", " + std::to_string(5 + (s.cflag & CSIZE) / CS6) + " data bits, ";  // CS5..CS8 in steps of CS6
    text += !(s.cflag & PARENB) ? "no parity" : (s.cflag & PARODD) ? "odd parity" : "even parity";
    text += (s.cflag & CSTOPB) ? ", 2 stop bits, " : ", 1 stop bit, ";
    const std::string cooked = not_raw(s);
    text += cooked.empty() ? "raw" : "not raw (" + cooked + ")";
    return text;
}

}  // namespace testbed
