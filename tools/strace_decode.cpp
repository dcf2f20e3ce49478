#include "strace_decode.h"

#include <string.h>

#include <vector>

#include "strace_line.h"
#include "trace_text.h"

namespace boardsim {

namespace {

struct Named {
    const char* name;
    unsigned long value;
};

// The open flags that a trace names (docs/traces.md), with 32-bit ARM's values: a capture comes
// from the board. These eight have the same values on the host, so the recorder's text names them.
const Named kOpenFlags[] = {
    {"O_CREAT", 0100},   {"O_EXCL", 0200},       {"O_NOCTTY", 0400},      {"O_TRUNC", 01000},
    {"O_APPEND", 02000}, {"O_NONBLOCK", 04000},  {"O_SYNC", 04010000},    {"O_CLOEXEC", 02000000},
};
const Named kOtherOpenFlags[] = {
    {"O_NDELAY", 04000},      {"O_DSYNC", 010000},  {"O_ASYNC", 020000},  {"FASYNC", 020000},
    {"O_DIRECTORY", 040000},  {"O_NOFOLLOW", 0100000}, {"O_DIRECT", 0200000}, {"O_NOATIME", 01000000},
    {"O_PATH", 010000000},
};
// O_LARGEFILE is what a 32-bit C library adds to every open; the program did not ask for it.
constexpr const char* kLargeFile = "O_LARGEFILE";
constexpr unsigned long kAccessMask = 3;

// Requests by the names strace gives them (the tty ones a serial line may see); the Linux
// numbers, the same on ARM.
const Named kRequests[] = {
    {"TCGETS", 0x5401},     {"TCSETS", 0x5402},     {"TCSETSW", 0x5403},   {"TCSETSF", 0x5404},
    {"TCSBRK", 0x5409},     {"TCXONC", 0x540a},     {"TCFLSH", 0x540b},    {"TIOCEXCL", 0x540c},
    {"TIOCNXCL", 0x540d},   {"TIOCSCTTY", 0x540e},  {"TIOCOUTQ", 0x5411},  {"TIOCMGET", 0x5415},
    {"TIOCMBIS", 0x5416},   {"TIOCMBIC", 0x5417},   {"TIOCMSET", 0x5418},  {"FIONREAD", 0x541b},
    {"TIOCINQ", 0x541b},    {"FIONBIO", 0x5421},    {"TCSBRKP", 0x5425},   {"TIOCSBRK", 0x5427},
    {"TIOCCBRK", 0x5428},   {"FIONCLEX", 0x5450},   {"FIOCLEX", 0x5451},
};
// The _IOC fields of a request number (asm-generic/ioctl.h, as on ARM).
constexpr int kNrShift = 0, kTypeShift = 8, kSizeShift = 16, kDirShift = 30;
constexpr unsigned long kDirWrite = 1, kDirRead = 2;

constexpr size_t kFieldText = 160;  // room for a trace field's text: flags, an ioctl's argument

const char* const kQueues[] = {"TCIFLUSH", "TCOFLUSH", "TCIOFLUSH"};

constexpr long long kMsPerSecond = 1000, kUsPerMs = 1000, kNsPerMs = 1000000;

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> out;
    size_t from = 0;
    while (true) {
        const size_t end = text.find(at, from);
        out.push_back(text.substr(from, end == std::string::npos ? std::string::npos : end - from));
        if (end == std::string::npos) return out;
        from = end + 1;
    }
}

bool find_named(const Named* table, size_t n, const std::string& name, unsigned long* value) {
    for (size_t i = 0; i < n; ++i)
        if (name == table[i].name) return *value = table[i].value, true;
    return false;
}

// "_IOC(_IOC_WRITE, 0x6b, 0xa0, 0x4)"; also _IO(t, n), _IOR/_IOW/_IOWR(t, n, size).
bool ioc_number(const std::string& text, unsigned long* value) {
    const size_t open = text.find('(');
    if (open == std::string::npos || text.back() != ')') return false;
    const std::string macro = text.substr(0, open);
    std::vector<std::string> f = split_strace_args(text.substr(open + 1, text.size() - open - 2));
    unsigned long dir = 0;
    if (macro == "_IOC") {
        if (f.size() != 4) return false;
        for (const std::string& d : split(f[0], '|')) {
            if (d == "_IOC_WRITE") dir |= kDirWrite;
            else if (d == "_IOC_READ") dir |= kDirRead;
            else if (d != "_IOC_NONE") return false;
        }
        f.erase(f.begin());
    } else if (macro == "_IO") {
        if (f.size() != 2) return false;
        f.push_back("0");
    } else {
        dir = macro == "_IOW" ? kDirWrite : macro == "_IOR" ? kDirRead : macro == "_IOWR" ? (kDirRead | kDirWrite) : 9;
        if (dir == 9 || f.size() != 3) return false;
    }
    long long type = 0, nr = 0, size = 0;
    if (!parse_strace_number(f[0], &type) || !parse_strace_number(f[1], &nr) || !parse_strace_number(f[2], &size))
        return false;
    *value = dir << kDirShift | static_cast<unsigned long>(size) << kSizeShift |
             static_cast<unsigned long>(type) << kTypeShift | static_cast<unsigned long>(nr) << kNrShift;
    return true;
}

bool request_number(const std::string& text, unsigned long* value) {
    long long n = 0;
    if (parse_strace_number(text, &n)) return *value = static_cast<unsigned long>(n), true;
    if (ioc_number(text, value)) return true;
    // Names that share one number: strace gives them all ("SNDCTL_TMR_START or TCSETS").
    size_t from = 0;
    while (from <= text.size()) {
        size_t end = text.find(" or ", from);
        if (find_named(kRequests, sizeof kRequests / sizeof kRequests[0],
                       text.substr(from, end == std::string::npos ? std::string::npos : end - from), value))
            return true;
        if (end == std::string::npos) break;
        from = end + 4;
    }
    return false;
}

// The flag names of one termios field ("c_cflag=B115200|CS8|CREAD") in braces.
std::vector<std::string> termios_field(const std::string& termios, const std::string& field) {
    std::string body = termios;
    if (!body.empty() && body.front() == '{') body = body.substr(1, body.size() - 2);
    for (const std::string& part : split_strace_args(body))
        if (part.compare(0, field.size() + 1, field + "=") == 0) return split(part.substr(field.size() + 1), '|');
    return {};
}

bool any_of(const std::vector<std::string>& names, const std::vector<const char*>& wanted) {
    for (const std::string& n : names)
        for (const char* w : wanted)
            if (n == w) return true;
    return false;
}

}  // namespace

bool open_flags_arg(const std::string& strace_flags, std::string* arg, std::string* error) {
    unsigned long bits = 0;
    for (const std::string& name : split(strace_flags, '|')) {
        unsigned long v = 0;
        long long n = 0;
        if (name == kLargeFile) continue;
        if (name == "O_RDONLY") continue;
        if (name == "O_WRONLY") v = 1;
        else if (name == "O_RDWR") v = 2;
        else if (parse_strace_number(name, &n)) v = static_cast<unsigned long>(n);
        else if (!find_named(kOpenFlags, sizeof kOpenFlags / sizeof kOpenFlags[0], name, &v) &&
                 !find_named(kOtherOpenFlags, sizeof kOtherOpenFlags / sizeof kOtherOpenFlags[0], name, &v))
            return *error = "unknown open flag \"" + name + "\"", false;
        bits |= v;
    }
    if ((bits & kAccessMask) == kAccessMask) return *error = "open flags \"" + strace_flags + "\": no access mode", false;
    char text[kFieldText];
    trace_open_flags(static_cast<int>(bits), text, sizeof text);
    *arg = text;
    return true;
}

bool termios_arg(const std::string& strace_termios, std::string* arg, std::string* error) {
    const std::vector<std::string> c = termios_field(strace_termios, "c_cflag");
    std::string speed;
    int bits = 5;  // CS5 is no bit: strace names it only sometimes
    for (const std::string& n : c) {
        if (n.size() > 1 && n[0] == 'B' && strspn(n.c_str() + 1, "0123456789") == n.size() - 1) speed = n.substr(1);
        if (n.size() == 3 && n[0] == 'C' && n[1] == 'S' && n[2] >= '5' && n[2] <= '8') bits = n[2] - '0';
    }
    if (speed.empty()) return *error = "termios \"" + strace_termios.substr(0, 60) + "\" gives no speed by name", false;
    const bool parity = any_of(c, {"PARENB"});
    const bool cooked = any_of(termios_field(strace_termios, "c_iflag"),
                               {"IGNBRK", "BRKINT", "PARMRK", "ISTRIP", "INLCR", "IGNCR", "ICRNL", "IXON"}) ||
                        any_of(termios_field(strace_termios, "c_oflag"), {"OPOST"}) ||
                        any_of(termios_field(strace_termios, "c_lflag"), {"ICANON", "ECHONL", "ECHO", "ISIG", "IEXTEN"});
    *arg = speed + "," + std::to_string(bits) + "," + (!parity ? "N" : any_of(c, {"PARODD"}) ? "O" : "E") + "," +
           (any_of(c, {"CSTOPB"}) ? "2" : "1") + "," + (cooked ? "cooked" : "raw");
    return true;
}

bool tcflush_arg(const std::string& strace_queue, std::string* arg, std::string* error) {
    long long n = -1;
    for (size_t i = 0; i < 3; ++i)
        if (strace_queue == kQueues[i] || (parse_strace_number(strace_queue, &n) && n == static_cast<long long>(i)))
            return *arg = kQueues[i], true;
    return *error = "unknown tcflush queue \"" + strace_queue + "\"", false;
}

bool ioctl_arg(const std::string& request, const std::string& argument, std::string* arg, std::string* error) {
    unsigned long number = 0;
    if (!request_number(request, &number)) return *error = "ioctl request \"" + request + "\" has no number known here", false;
    long long value = 0;
    if (trace_ioctl_takes_arg(static_cast<uint32_t>(number)) && !parse_strace_number(argument, &value))
        return *error = "ioctl " + request + ": the argument \"" + argument.substr(0, 40) +
                        "\" was decoded by strace, its value is not in the capture", false;
    char text[kFieldText];
    trace_ioctl_arg(static_cast<uint32_t>(number), static_cast<uint32_t>(value), text, sizeof text);
    *arg = text;
    return true;
}

bool timeout_ms(const std::string& strace_timeout, long long* ms) {
    long long n = 0;
    if (parse_strace_number(strace_timeout, &n)) return n >= 0 && (*ms = n, true);
    if (strace_timeout.size() < 2 || strace_timeout.front() != '{') return false;
    long long sec = 0, usec = -1, nsec = -1;
    for (const std::string& part : split_strace_args(strace_timeout.substr(1, strace_timeout.size() - 2))) {
        const size_t eq = part.find('=');
        if (eq == std::string::npos || !parse_strace_number(part.substr(eq + 1), &n)) return false;
        const std::string key = part.substr(0, eq);
        if (key == "tv_sec") sec = n;
        else if (key == "tv_usec") usec = n;
        else if (key == "tv_nsec") nsec = n;
    }
    *ms = sec * kMsPerSecond + (usec >= 0 ? usec / kUsPerMs : 0) + (nsec >= 0 ? nsec / kNsPerMs : 0);
    return true;
}

}  // namespace boardsim
