// sysfs GPIO model: FIFOs that the shell's redirections write into, drained by one thread.
#include "sysfs_gpio.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "char_device.h"

namespace board {

namespace {

void make_dir(const std::string& path) { mkdir(path.c_str(), 0755); }

}  // namespace

SysfsGpio::SysfsGpio(const std::string& sys_dir, const std::vector<int>& gpios)
    : stop_fd_(eventfd(0, EFD_CLOEXEC)), inotify_fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    std::string base = sys_dir + "/class";
    make_dir(base);
    base += "/gpio";
    make_dir(base);
    std::vector<std::string> files = {"export", "unexport"};
    for (int g : gpios) {
        std::string dir = "gpio" + std::to_string(g);
        make_dir(base + "/" + dir);
        files.push_back(dir + "/direction");
        int v = open((base + "/" + dir + "/value").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (v >= 0) {
            if (write(v, "0\n", 2) != 2) testbed::problem("gpio value file " + dir);
            close(v);
        }
    }
    for (const auto& f : files) {
        std::string path = base + "/" + f;
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

// Order comes from the inotify queue, which holds the close of every writer in the order the
// writers closed, across all files; the content comes from the FIFO of the file: one line for
// each close.
void SysfsGpio::run() {
    struct pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    alignas(struct inotify_event) char events[4096];
    char buf[256];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) return;
        ssize_t len = read(inotify_fd_, events, sizeof events);
        if (len <= 0) continue;
        for (ssize_t off = 0; off < len;) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(events + off);
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            if (!(ev->mask & IN_CLOSE_WRITE)) continue;
            for (auto& f : fifos_) {
                if (f.watch != ev->wd) continue;
                ssize_t n;
                while ((n = read(f.fd, buf, sizeof buf)) > 0) f.pending.append(buf, static_cast<size_t>(n));
                size_t nl = f.pending.find('\n');
                if (nl == std::string::npos) break;
                GpioWrite w{f.file, f.pending.substr(0, nl), std::chrono::steady_clock::now()};
                f.pending.erase(0, nl + 1);
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

}  // namespace board
