// A pseudo-terminal pair for unit tests of the serial layer: the code under test opens the
// slave by path, the test (or the MCU model) holds the master.
#pragma once

#include <fcntl.h>
#include <pty.h>
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
    void send(const std::string& bytes) const {
        if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        }
    }
};
