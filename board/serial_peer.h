// The far end of the simulated serial line: a thread on the pty master that hands every byte
// the program writes to a handler and records it, and a send path back to the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "board_time.h"

namespace board {

// Watched by the board's time: under the virtual clock, bytes still on their way through the pty
// (either way) hold the clock.
class SerialPeer : public testbed::LineWatch {
public:
    using Handler = std::function<void(const uint8_t* data, size_t len)>;
    // master: the pty master end (owned by the bed, not closed here).
    SerialPeer(int master, Handler on_bytes);
    ~SerialPeer() override;
    SerialPeer(const SerialPeer&) = delete;
    SerialPeer& operator=(const SerialPeer&) = delete;

    // Ends the thread (waiting for a handler call in progress to return); idempotent. Owners
    // call it before they destroy anything the handler uses.
    void stop();
    // Writes bytes towards the program.
    void send(const uint8_t* data, size_t len);
    void send(const std::vector<uint8_t>& bytes) { send(bytes.data(), bytes.size()); }
    // Every byte the program wrote so far, in order.
    std::vector<uint8_t> received() const;
    size_t received_count() const;

    uint64_t line() const override { return line_; }
    bool settled(uint64_t written_by_programs, uint64_t consumed_by_programs) const override;

private:
    void run();
    int master_;
    int stop_fd_;
    int slave_;      // a slave end of our own, to see what waits for the program's read()
    uint64_t line_;  // the slave's device number
    Handler on_bytes_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> received_;
    uint64_t sent_ = 0;
    bool watched_ = false;
    std::thread thread_;
};

}  // namespace board
