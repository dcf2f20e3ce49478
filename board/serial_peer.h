// The far end of the simulated serial line: a thread on the pty master that hands every byte
// the program writes to a handler and records it, and a send path back to the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace board {

class SerialPeer {
public:
    using Handler = std::function<void(const uint8_t* data, size_t len)>;
    // master: the pty master end (owned by the bed, not closed here).
    SerialPeer(int master, Handler on_bytes);
    ~SerialPeer();
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

private:
    void run();
    int master_;
    int stop_fd_;
    Handler on_bytes_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> received_;
    std::thread thread_;
};

}  // namespace board
