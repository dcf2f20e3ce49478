// A pseudo-terminal pair for unit tests of the serial layer's users: the code under test opens
// the slave by path, the test (or the MCU model) holds the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

struct PtyPair {
    int master = -1;
    int slave = -1;  // kept open so the master never reads EIO
    std::string slave_path;
    PtyPair() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) slave_path = name;
        struct termios tio;
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }
    ~PtyPair() {
        close(master);
        close(slave);
    }
    // Bytes waiting in the line's input queue.
    int queued() const {
        int n = 0;
        ioctl(slave, FIONREAD, &n);
        return n;
    }
    // Sends towards the code under test and waits (a second at most) until the bytes are in the
    // input queue: a pty hands them over asynchronously. Nobody may read meanwhile.
    void send(const std::string& bytes) const {
        const int want = queued() + static_cast<int>(bytes.size());
        if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return;
        for (int i = 0; i < 1000 && queued() < want; ++i) poll(nullptr, 0, 1);
    }
    // Everything the code under test has written so far.
    std::string drain() const {
        std::string got;
        char buf[512];
        ssize_t n;
        while (poll_master(100) && (n = read(master, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
        return got;
    }

private:
    bool poll_master(int ms) const {
        struct pollfd p = {master, POLLIN, 0};
        return poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
    }
};
