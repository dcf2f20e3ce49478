// Serial line settings: the preload's record file and its description in a UART's terms.
#include "line_settings.h"

#include <termios.h>

#include <cstdio>
#include <fstream>

namespace testbed {

namespace {

struct Speed {
    uint32_t code;
    unsigned baud;
};
const Speed kSpeeds[] = {
    {B0, 0},           {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},       {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
    {B500000, 500000}, {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
    {B4000000, 4000000},
};

std::string speed_text(uint32_t code) {
    for (const auto& s : kSpeeds)
        if (s.code == code) return std::to_string(s.baud) + " baud";
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
