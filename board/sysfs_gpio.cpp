// sysfs GPIO model: FIFOs that the shell's redirections write into, drained by one thread.
#include "sysfs_gpio.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "char_device.h"

namespace board {

namespace {

void make_dir(const std::string& path) { mkdir(path.c_str(), 0755); }

}  // namespace

SysfsGpio::SysfsGpio(const std::string& sys_dir, const std::vector<int>& gpios)
    : stop_fd_(eventfd(0, EFD_CLOEXEC)) {
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
            if (write(v, "0\n", 2) != 2) ADD_FAILURE() << "gpio value file";
            close(v);
        }
    }
    for (const auto& f : files) {
        std::string path = base + "/" + f;
        unlink(path.c_str());
        if (mkfifo(path.c_str(), 0644) != 0) ADD_FAILURE() << "mkfifo " << path;
        // Held open for reading and writing: a writer never blocks and never sees EOF issues.
        int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) ADD_FAILURE() << "open " << path;
        fifos_.push_back({f, fd, {}});
    }
    thread_ = std::thread([this] { run(); });
}

SysfsGpio::~SysfsGpio() {
    uint64_t one = 1;
    if (write(stop_fd_, &one, sizeof one) < 0) {
    }
    thread_.join();
    for (auto& f : fifos_) close(f.fd);
    close(stop_fd_);
}

void SysfsGpio::set_listener(Listener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

// Each shell command is a separate process, started only after the previous one ended, so
// the thread has drained one write before the next arrives: the record order is the order
// of the commands.
void SysfsGpio::run() {
    std::vector<struct pollfd> fds;
    for (auto& f : fifos_) fds.push_back({f.fd, POLLIN, 0});
    fds.push_back({stop_fd_, POLLIN, 0});
    char buf[256];
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds.back().revents & POLLIN) return;
        for (size_t i = 0; i < fifos_.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            ssize_t n;
            while ((n = read(fifos_[i].fd, buf, sizeof buf)) > 0) fifos_[i].pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = fifos_[i].pending.find('\n')) != std::string::npos) {
                GpioWrite w{fifos_[i].file, fifos_[i].pending.substr(0, nl), std::chrono::steady_clock::now()};
                fifos_[i].pending.erase(0, nl + 1);
                Listener l;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    writes_.push_back(w);
                    l = listener_;
                }
                if (l) l(w);
                testbed::notify_changed();
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
