// The capture's calls are followed per process: descriptors from open/openat to close (and
// dup/dup2/dup3/fcntl when traced), processes from clone/fork/vfork (a process first seen
// without them starts from the table of the process on the line before it), names from execve.
#include "trace_strace.h"

#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <sstream>

#include "strace_decode.h"
#include "strace_line.h"

namespace boardsim {

namespace {

const char* const kDevices[] = {"/dev/ttyS1", "/dev/morlan_touch", "/dev/aw9110_1_dev", "/dev/aw9110_2_dev",
                                "/data/led_pipe"};
constexpr const char* kGpioDir = "/sys/class/gpio/";
constexpr double kSecondsPerDay = 86400;
constexpr double kHalfDay = kSecondsPerDay / 2;  // a -tt stamp this far back is the next day's
constexpr size_t kCommLength = 15;               // the kernel's comm, as the trace names programs

bool is_device(const std::string& path) {
    for (const char* d : kDevices)
        if (path == d) return true;
    return path.compare(0, strlen(kGpioDir), kGpioDir) == 0 && path.size() > strlen(kGpioDir);
}

const char* board_of(const std::string& device) {
    if (device == "/dev/morlan_touch") return "touch";
    if (device == "/dev/aw9110_1_dev" || device == "/dev/aw9110_2_dev" || device == "/data/led_pipe") return "leds";
    return "mcu";
}

// Whether strace's request text ("SNDCTL_TMR_START or TCSETS") names request.
bool names_request(const std::string& text, const std::string& request) {
    return text == request || (" " + text + " ").find(" " + request + " ") != std::string::npos;
}

std::string text_of(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

struct OpenFile {
    std::string path;
    bool cloexec = false;
    bool used = false;  // a call went through it since its open
};
using FdTable = std::map<int, OpenFile>;

struct Process {
    std::shared_ptr<FdTable> fds;
    std::string program = "?";
    std::string pending;  // an unfinished call's text: "read(3, "
    bool has_pending = false;
    std::string moved;  // a device a shell opened and closed unused: its redirection (see README)
};

class Importer {
public:
    Importer(Trace* out, bool dups_traced) : out_(out), dups_traced_(dups_traced) {}
    bool line(const std::string& text, std::string* error);
    void finish();

private:
    Process& process(long pid);
    bool call(const StraceLine& l, Process& p, std::string* error);
    void event(const StraceLine& l, const Process& p, const std::string& device, long long fd, const char* call,
               const std::string& arg, const StraceResult& r, std::vector<uint8_t> data = {});
    bool open_call(const StraceLine& l, const std::vector<std::string>& a, Process& p, const StraceResult& r,
                   std::string* error);
    bool rw_call(const StraceLine& l, const std::vector<std::string>& a, Process& p, const StraceResult& r,
                 const std::string& moved, std::string* error);
    bool ioctl_call(const StraceLine& l, const std::vector<std::string>& a, Process& p, const StraceResult& r,
                    std::string* error);
    void wait_call(const StraceLine& l, const std::vector<std::string>& a, Process& p);
    void dup_call(const StraceLine& l, const std::vector<std::string>& a, Process& p, const StraceResult& r);
    void clone_call(const StraceLine& l, Process& p, const StraceResult& r);
    void execve_call(const std::vector<std::string>& a, Process& p);

    Trace* out_;
    bool dups_traced_;
    std::map<long, Process> processes_;
    long last_pid_ = -1;
    double origin_ = 0, day_offset_ = 0, last_time_ = 0, time_ = 0;
    bool started_ = false, have_command_ = false;
};

Process& Importer::process(long pid) {
    auto found = processes_.find(pid);
    if (found != processes_.end()) return found->second;
    Process p;
    auto before = processes_.find(last_pid_);
    if (before != processes_.end()) {
        p.fds = std::make_shared<FdTable>(*before->second.fds);
        p.program = before->second.program;
    } else {
        p.fds = std::make_shared<FdTable>();
    }
    return processes_[pid] = p;
}

bool Importer::line(const std::string& text, std::string* error) {
    if (text.empty() || text.compare(0, 8, "strace: ") == 0) return true;  // strace's own notes
    StraceLine l;
    if (!parse_strace_line(text, &l, error)) return false;
    double t = l.time + day_offset_;
    if (l.day_time && started_ && t < last_time_ - kHalfDay) {  // past midnight
        day_offset_ += kSecondsPerDay;
        t = l.time + day_offset_;
    }
    if (!started_) origin_ = t, started_ = true;
    last_time_ = t;
    time_ = t - origin_ < 0 ? 0 : t - origin_;
    Process& p = process(l.pid);
    last_pid_ = l.pid;
    switch (l.kind) {
    case StraceKind::signal:
        return true;
    case StraceKind::exit:
        p.has_pending = false;
        return true;
    case StraceKind::unfinished:
        p.pending = l.name + "(" + l.args;
        p.has_pending = true;
        return true;
    case StraceKind::resumed: {
        if (!p.has_pending || p.pending.compare(0, l.name.size() + 1, l.name + "(") != 0)
            return *error = "\"<... " + l.name + " resumed>\" without its unfinished start", false;
        p.has_pending = false;
        StraceLine joined;
        if (!parse_strace_call(p.pending + l.args, &joined, error)) return false;
        joined.pid = l.pid;
        return call(joined, p, error);
    }
    case StraceKind::call:
        return call(l, p, error);
    }
    return true;
}

void Importer::event(const StraceLine& l, const Process& p, const std::string& device, long long fd, const char* call,
                     const std::string& arg, const StraceResult& r, std::vector<uint8_t> data) {
    TraceEvent e;
    e.time = time_;
    e.pid = l.pid;
    e.program = p.program;
    e.device = device;
    e.fd = static_cast<int>(fd);
    e.call = call;
    e.arg = arg;
    e.result = r.timeout ? "timeout" : !r.errno_name.empty() ? r.errno_name : std::to_string(r.value);
    e.data = std::move(data);
    out_->events.push_back(std::move(e));
}

bool Importer::call(const StraceLine& l, Process& p, std::string* error) {
    StraceResult r;
    if (!parse_strace_result(l.result, &r)) return *error = l.name + ": bad result \"" + l.result + "\"", false;
    const std::string moved = p.moved;  // good for this one call only
    p.moved.clear();
    if (!r.known) return true;  // cut short by the process's end: it never returned
    const std::vector<std::string> a = split_strace_args(l.args);
    const std::string& n = l.name;
    if (n == "open" || n == "openat" || n == "open64" || n == "creat") return open_call(l, a, p, r, error);
    if (n == "read" || n == "write") return rw_call(l, a, p, r, moved, error);
    if (n == "ioctl") return ioctl_call(l, a, p, r, error);
    if (n == "close" && !a.empty()) {
        long long fd = 0;
        auto f = parse_strace_number(a[0], &fd) ? p.fds->find(static_cast<int>(fd)) : p.fds->end();
        if (f == p.fds->end()) return true;
        event(l, p, f->second.path, fd, "close", "-", r);
        if (!f->second.used && !dups_traced_) p.moved = f->second.path;
        p.fds->erase(f);
        return true;
    }
    if (n == "select" || n == "_newselect" || n.compare(0, 8, "pselect6") == 0 || n == "poll" ||
        n.compare(0, 5, "ppoll") == 0) {
        if (r.timeout) wait_call(l, a, p);
        return true;
    }
    if (n == "dup" || n == "dup2" || n == "dup3" || n == "fcntl" || n == "fcntl64") dup_call(l, a, p, r);
    if (n == "clone" || n == "clone3" || n == "fork" || n == "vfork") clone_call(l, p, r);
    if (n == "execve" && r.value == 0) execve_call(a, p);
    return true;
}

bool Importer::open_call(const StraceLine& l, const std::vector<std::string>& a, Process& p, const StraceResult& r,
                         std::string* error) {
    const size_t at = l.name == "openat" ? 1 : 0;
    std::vector<uint8_t> path;
    bool cut = false;
    if (a.size() < at + 1 || !decode_strace_string(a[at], &path, &cut))
        return *error = l.name + ": bad path \"" + (a.size() > at ? a[at] : "") + "\"", false;
    const std::string name = text_of(path);
    if (!is_device(name) || cut) {
        if (r.value >= 0) p.fds->erase(static_cast<int>(r.value));  // the number now names another file
        return true;
    }
    std::string flags;
    const std::string given = l.name == "creat" ? "O_WRONLY|O_CREAT|O_TRUNC" : a.size() > at + 1 ? a[at + 1] : "O_RDONLY";
    if (!open_flags_arg(given, &flags, error)) return false;
    const long long fd = r.errno_name.empty() ? r.value : -1;
    event(l, p, name, fd, "open", flags, r);
    if (fd >= 0) (*p.fds)[static_cast<int>(fd)] = OpenFile{name, given.find("O_CLOEXEC") != std::string::npos, false};
    return true;
}

bool Importer::rw_call(const StraceLine& l, const std::vector<std::string>& a, Process& p, const StraceResult& r,
                       const std::string& moved, std::string* error) {
    long long fd = 0, count = 0;
    if (a.size() != 3 || !parse_strace_number(a[0], &fd) || !parse_strace_number(a[2], &count))
        return *error = l.name + ": bad arguments \"" + l.args.substr(0, 40) + "\"", false;
    auto f = p.fds->find(static_cast<int>(fd));
    std::string device;
    if (f != p.fds->end()) {
        device = f->second.path;
        f->second.used = true;
    } else if (!moved.empty()) {
        device = moved;
    } else {
        return true;
    }
    const bool is_write = l.name == "write";
    std::vector<uint8_t> data;
    bool cut = false;
    if (is_write || (r.errno_name.empty() && r.value > 0)) {
        if (!decode_strace_string(a[1], &data, &cut))
            return *error = l.name + ": bad string \"" + a[1].substr(0, 40) + "\"", false;
        if (cut)
            return *error = l.name + " on " + device + " shows " + std::to_string(data.size()) + " of its " +
                            std::to_string(is_write ? count : r.value) + " bytes: capture with strace -s " +
                            std::to_string(is_write ? count : r.value) + " or more",
                   false;
    }
    event(l, p, device, fd, is_write ? "write" : "read", std::to_string(count), r, std::move(data));
    return true;
}

bool Importer::ioctl_call(const StraceLine& l, const std::vector<std::string>& a, Process& p, const StraceResult& r,
                          std::string* error) {
    long long fd = 0;
    if (a.size() < 2 || !parse_strace_number(a[0], &fd)) return *error = "ioctl: bad arguments", false;
    auto f = p.fds->find(static_cast<int>(fd));
    if (f == p.fds->end()) return true;
    f->second.used = true;
    const std::string third = a.size() > 2 ? a[2] : "0";
    std::string arg;
    if (names_request(a[1], "TCGETS")) return true;
    if (names_request(a[1], "TCSETS") || names_request(a[1], "TCSETSW") || names_request(a[1], "TCSETSF")) {
        if (!termios_arg(third, &arg, error)) return false;
        event(l, p, f->second.path, fd, "tcsetattr", arg, r);
    } else if (names_request(a[1], "TCFLSH")) {
        if (!tcflush_arg(third, &arg, error)) return false;
        event(l, p, f->second.path, fd, "tcflush", arg, r);
    } else {
        if (!ioctl_arg(a[1], third, &arg, error)) return false;
        event(l, p, f->second.path, fd, "ioctl", arg, r);
    }
    return true;
}

void Importer::wait_call(const StraceLine& l, const std::vector<std::string>& a, Process& p) {
    const std::string& n = l.name;
    const bool poll = n == "poll" || n.compare(0, 5, "ppoll") == 0;
    std::string waiting = poll ? "poll" : "select";
    if (n.compare(0, 8, "pselect6") == 0 && (a.size() < 6 || a[5] != "NULL")) waiting = "pselect";
    if (n.compare(0, 5, "ppoll") == 0 && (a.size() < 4 || a[3] != "NULL")) waiting = "ppoll";
    long long ms = 0;
    const size_t timeout_at = poll ? 2 : 4;
    if (a.size() <= timeout_at || !timeout_ms(a[timeout_at], &ms)) return;
    std::vector<long long> fds;
    if (poll) {
        for (size_t at = a[0].find("fd="); at != std::string::npos; at = a[0].find("fd=", at + 3))
            fds.push_back(atoll(a[0].c_str() + at + 3));
    } else if (a.size() > 1 && a[1].size() > 2 && a[1][0] == '[') {
        std::istringstream set(a[1].substr(1, a[1].size() - 2));
        for (long long fd; set >> fd;) fds.push_back(fd);
    }
    StraceResult timed_out;
    timed_out.known = timed_out.timeout = true;
    for (long long fd : fds) {
        auto f = p.fds->find(static_cast<int>(fd));
        if (f != p.fds->end()) event(l, p, f->second.path, fd, "wait", waiting + ":" + std::to_string(ms), timed_out);
    }
}

void Importer::dup_call(const StraceLine& l, const std::vector<std::string>& a, Process& p, const StraceResult& r) {
    long long from = 0;
    if (!r.errno_name.empty() || a.empty() || !parse_strace_number(a[0], &from)) return;
    const bool fcntl = l.name.compare(0, 5, "fcntl") == 0;
    if (fcntl && a.size() > 2 && a[1] == "F_SETFD") {
        auto f = p.fds->find(static_cast<int>(from));
        if (f != p.fds->end()) f->second.cloexec = a[2].find("FD_CLOEXEC") != std::string::npos || a[2] == "1";
        return;
    }
    if (fcntl && (a.size() < 2 || a[1].compare(0, 7, "F_DUPFD") != 0)) return;
    const int to = static_cast<int>(r.value);
    auto f = p.fds->find(static_cast<int>(from));
    if (f == p.fds->end()) {
        p.fds->erase(to);
        return;
    }
    OpenFile copy = f->second;
    copy.cloexec = (fcntl && a[1] == "F_DUPFD_CLOEXEC") || (l.name == "dup3" && a.size() > 2 && a[2] == "O_CLOEXEC");
    (*p.fds)[to] = copy;
}

void Importer::clone_call(const StraceLine& l, Process& p, const StraceResult& r) {
    if (r.value <= 0 || !r.errno_name.empty()) return;
    const bool shared = l.args.find("CLONE_FILES") != std::string::npos;
    auto child = processes_.find(static_cast<long>(r.value));
    if (child == processes_.end()) {
        Process c;
        c.fds = shared ? p.fds : std::make_shared<FdTable>(*p.fds);
        c.program = p.program;
        processes_[static_cast<long>(r.value)] = c;
    } else if (shared) {
        child->second.fds = p.fds;  // the child's lines came before the parent's return
    }
}

void Importer::execve_call(const std::vector<std::string>& a, Process& p) {
    std::vector<uint8_t> path;
    bool cut = false;
    if (!a.empty() && decode_strace_string(a[0], &path, &cut)) {
        std::string name = text_of(path);
        name = name.substr(name.rfind('/') + 1).substr(0, kCommLength);
        if (!name.empty()) p.program = name;
    }
    if (dups_traced_)  // exact only where the descriptors are followed through dup2 and fcntl
        for (auto f = p.fds->begin(); f != p.fds->end();) f = f->second.cloexec ? p.fds->erase(f) : std::next(f);
    if (have_command_ || a.size() < 2 || a[1].size() < 2 || a[1][0] != '[') return;
    have_command_ = true;
    for (const std::string& word : split_strace_args(a[1].substr(1, a[1].size() - 2))) {
        std::vector<uint8_t> bytes;
        if (decode_strace_string(word, &bytes, &cut)) out_->command.push_back(text_of(bytes));
    }
}

void Importer::finish() {
    std::string board;
    for (const TraceEvent& e : out_->events) {
        const std::string part = board_of(e.device);
        board = board.empty() || board == part ? part : "board";
    }
    out_->board = board.empty() ? "board" : board;
}

// Whether the capture traced the calls that copy descriptors: then they alone are followed.
bool traces_dups(const std::string& text) {
    for (const char* call : {" dup(", " dup2(", " dup3(", " fcntl(", " fcntl64("})
        if (text.find(call) != std::string::npos) return true;
    return false;
}

}  // namespace

bool looks_like_strace(const std::string& text) {
    std::istringstream in(text);
    std::string line, error;
    StraceLine l;
    while (std::getline(in, line))
        if (!line.empty()) return parse_strace_line(line, &l, &error);
    return false;
}

bool import_capture(const std::string& text, Trace* out, std::string* error) {
    *out = Trace();
    Importer importer(out, traces_dups(text));
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string why;
        if (!importer.line(line, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    if (number == 0) return *error = "empty capture", false;
    importer.finish();
    return true;
}

}  // namespace boardsim
