// sysfs GPIO model: FIFOs that the shell's redirections write into, drained by one thread, and
// the state files that readers of direction and value are led to.
#include "sysfs_gpio.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board_time.h"
#include "char_device.h"

namespace board {

namespace {

// The words the kernel takes in a direction attribute. None is the start of another, so
// words that two writers without a newline left back to back in a FIFO split unambiguously.
const char* const kDirectionWords[] = {"high", "low", "out", "in"};

void make_dir(const std::string& path) { mkdir(path.c_str(), 0755); }

// Replaces path's content in one step: a reader sees the old text or the new, never a part.
void write_whole(const std::string& path, const std::string& text) {
    const std::string next = path + ".new";
    int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) close(fd);
    if (!ok || rename(next.c_str(), path.c_str()) != 0) testbed::problem("gpio state file " + path);
}

}  // namespace

bool GpioLine::write(const std::string& attribute, const std::string& text) {
    if (attribute == "direction") {
        if (text == "in") {
            output = false;
        } else if (text == "out" || text == "low" || text == "high") {
            output = true;
            value = text == "high";
        } else {
            return false;
        }
        return true;
    }
    // The kernel's number parser takes an optional sign and 0x or 0 prefixes, no blanks.
    if (attribute != "value" || !output || text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 0);
    if (*end != '\0') return false;
    value = v != 0;
    return true;
}

SysfsGpio::SysfsGpio(const std::string& sys_dir, const std::vector<int>& gpios)
    : base_(sys_dir + "/class/gpio"), stop_fd_(eventfd(0, EFD_CLOEXEC)), inotify_fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    make_dir(sys_dir + "/class");
    make_dir(base_);
    std::vector<std::string> files = {"export", "unexport"};
    for (int g : gpios) {
        std::string dir = "gpio" + std::to_string(g);
        make_dir(base_ + "/" + dir);
        files.push_back(dir + "/direction");
        files.push_back(dir + "/value");
        lines_[g] = GpioLine();
        publish(g, lines_[g]);
    }
    for (const auto& f : files) {
        std::string path = base_ + "/" + f;
        unlink(path.c_str());
        if (mkfifo(path.c_str(), 0644) != 0) testbed::problem("mkfifo " + path);
        // Held open for reading and writing: a writer never blocks and never sees EOF issues.
        int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) testbed::problem("open " + path);
        // IN_OPEN keeps two writes in a row to one file from merging into one close event.
        int watch = inotify_add_watch(inotify_fd_, path.c_str(), IN_OPEN | IN_CLOSE_WRITE);
        if (watch < 0) testbed::problem("inotify " + path);
        fifos_.push_back({f, fd, watch, {}});
    }
    thread_ = std::thread([this] { run(); });
}

SysfsGpio::~SysfsGpio() {
    uint64_t one = 1;
    if (write(stop_fd_, &one, sizeof one) < 0) {
    }
    thread_.join();
    for (auto& f : fifos_) close(f.fd);
    close(inotify_fd_);
    close(stop_fd_);
}

void SysfsGpio::set_listener(Listener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

void SysfsGpio::publish(int gpio, const GpioLine& line) {
    const std::string dir = base_ + "/gpio" + std::to_string(gpio);
    write_whole(dir + "/.direction", line.direction_text() + "\n");
    write_whole(dir + "/.value", line.value_text() + "\n");
}

// One writer's text from the front of the FIFO's content, up to its newline, as a shell's echo
// writes it. A program may write without one ("high": the kernel takes that too); should the
// next writer of the same file have written before this one was drained, a direction word
// ends at its known end and a value without a newline after its one digit (a value without
// a newline followed at once by one with a newline reads as one number: no writer here mixes
// them).
std::string SysfsGpio::take_write(Fifo& f) {
    char buf[256];
    ssize_t n;
    while ((n = read(f.fd, buf, sizeof buf)) > 0) f.pending.append(buf, static_cast<size_t>(n));
    const size_t slash = f.file.find('/');
    const std::string attribute = slash == std::string::npos ? "" : f.file.substr(slash + 1);
    size_t len = f.pending.find('\n');
    // A value is one number ("1", "0x1", "-1"): a writer's text up to its newline, else (a
    // program that writes without one) one digit.
    if (attribute == "value" && !f.pending.empty() && len == std::string::npos) len = 1;
    for (const char* word : kDirectionWords)
        if (attribute == "direction" && f.pending.compare(0, strlen(word), word) == 0) len = strlen(word);
    if (len == std::string::npos) len = f.pending.size();
    std::string text = f.pending.substr(0, len);
    if (len < f.pending.size() && f.pending[len] == '\n') ++len;
    f.pending.erase(0, len);
    return text;
}

// A write to gpioN/direction or gpioN/value changes the line's state (where the kernel would
// take it) and its state files.
bool SysfsGpio::apply(const GpioWrite& w) {
    const size_t slash = w.file.find('/');
    if (w.file.compare(0, 4, "gpio") != 0 || slash == std::string::npos) return false;
    const int gpio = atoi(w.file.c_str() + 4);
    GpioLine line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = lines_.find(gpio);
        if (it == lines_.end() || !it->second.write(w.file.substr(slash + 1), w.value)) return false;
        line = it->second;
    }
    publish(gpio, line);
    return true;
}

// Order comes from the inotify queue, which holds the close of every writer in the order the
// writers closed, across all files; the content comes from the FIFO of the file: one write for
// each close.
void SysfsGpio::run() {
    struct pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) return;
        drain();
    }
}

void SysfsGpio::drain() {
    std::lock_guard<std::mutex> draining(drain_mutex_);
    alignas(struct inotify_event) char events[4096];
    ssize_t len;
    while ((len = read(inotify_fd_, events, sizeof events)) > 0) {
        for (ssize_t off = 0; off < len;) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(events + off);
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            if (!(ev->mask & IN_CLOSE_WRITE)) continue;
            for (auto& f : fifos_) {
                if (f.watch != ev->wd) continue;
                GpioWrite w{f.file, take_write(f), testbed::board_now()};
                if (w.value.empty()) break;  // an empty write, or one already taken apart above
                w.applied = apply(w);
                Listener l;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    writes_.push_back(w);
                    l = listener_;
                }
                if (l) l(w);
                testbed::notify_changed();
                break;
            }
        }
    }
}

std::vector<GpioWrite> SysfsGpio::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::vector<std::string> SysfsGpio::write_texts() const {
    std::vector<std::string> out;
    for (const auto& w : writes()) out.push_back(w.file + "=" + w.value);
    return out;
}

GpioLine SysfsGpio::line(int gpio) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = lines_.find(gpio);
    return it == lines_.end() ? GpioLine() : it->second;
}

}  // namespace board
