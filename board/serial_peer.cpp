// Serial peer thread: poll on the pty master, record, hand over; stopped through an eventfd.
#include "serial_peer.h"

#include <errno.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "char_device.h"

namespace board {

namespace {

// Bytes waiting to be read at fd; 0 when it cannot tell.
int waiting(int fd) {
    int n = 0;
    return fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

}  // namespace

SerialPeer::SerialPeer(int master, Handler on_bytes)
    : master_(master),
      stop_fd_(eventfd(0, EFD_CLOEXEC)),
      slave_(ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC)),
      line_(0),
      on_bytes_(std::move(on_bytes)) {
    struct stat st;
    if (slave_ >= 0 && fstat(slave_, &st) == 0) line_ = st.st_rdev;
    if (line_ != 0) {
        testbed::watch_line(this);
        watched_ = true;
    }
    thread_ = std::thread([this] { run(); });
}

SerialPeer::~SerialPeer() {
    stop();
    close(stop_fd_);
    if (slave_ >= 0) close(slave_);
}

bool SerialPeer::settled(uint64_t written_by_programs, uint64_t consumed_by_programs) const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Taken in: read by the peer, or waiting at the master for a handler that is busy (a paced
    // answer asleep on the board's time). Given out: read by a program, or waiting for one.
    return received_.size() + static_cast<uint64_t>(waiting(master_)) >= written_by_programs &&
           consumed_by_programs + static_cast<uint64_t>(waiting(slave_)) >= sent_;
}

void SerialPeer::stop() {
    if (watched_) {
        testbed::unwatch_line(this);
        watched_ = false;
    }
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    if (write(stop_fd_, &one, sizeof one) < 0) {
    }
    thread_.join();
}

void SerialPeer::run() {
    struct pollfd fds[2] = {{master_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    uint8_t buf[512];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) return;
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.insert(received_.end(), buf, buf + n);
                }
                if (on_bytes_) on_bytes_(buf, static_cast<size_t>(n));
                testbed::notify_changed();
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // No slave end open at the moment: wait a little instead of spinning.
            poll(&fds[1], 1, 10);
        }
    }
}

void SerialPeer::send(const uint8_t* data, size_t len) {
    size_t off = 0;
    while (off < len) {
        ssize_t n = write(master_, data + off, len - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        off += static_cast<size_t>(n);
        std::lock_guard<std::mutex> lock(mutex_);
        sent_ += static_cast<uint64_t>(n);
    }
}

std::vector<uint8_t> SerialPeer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

size_t SerialPeer::received_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

}  // namespace board
