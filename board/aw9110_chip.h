// Model of one AW9110 LED driver chip behind its kernel driver node: takes the 2-byte
// (register, value) writes and request 0x6B80, keeps the registers, and tells what each
// channel shows. Faults: chosen write calls fail or come back short.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "char_device.h"

namespace board {

struct RegWrite {
    std::chrono::steady_clock::time_point when;
    std::vector<uint8_t> bytes;  // as the program wrote them
    bool accepted;               // false when a fault failed the call
    long result;                 // what the call returned: the count taken, or -errno
};

struct ChannelView {
    uint8_t level;       // level register 0x20 + n
    bool enabled;        // 0x14 bit: the toggle/sequence engine drives the channel (0-5 only);
                         // otherwise the channel shows its level
    bool output_on;      // toggle output bit (0x03 / 0x02), channels 0-5
    bool sequence;       // the chip-timed sequence drives this channel
};

class Aw9110Chip : public testbed::CharDevice {
public:
    static constexpr unsigned long kPrepareRequest = 0x6B80;

    long on_write(const uint8_t* data, size_t len) override;
    long on_ioctl(unsigned long request, unsigned long arg) override;

    // Write calls number first..last (counting from 1) fail with EIO.
    void fail_writes(unsigned first, unsigned last);
    // Chips given the same counter number their write calls together, in the order they come
    // (the daemon's n-th write, whichever chip it addresses); otherwise each counts its own.
    void share_write_count(std::shared_ptr<std::atomic<unsigned>> count);
    // Write calls first..last report one byte less than given (a short write).
    void short_writes(unsigned first, unsigned last);

    uint8_t reg(uint8_t addr) const;
    static constexpr int kChannels = 10;
    // Channel n (0-9); any other n is no channel of the chip and shows dark.
    ChannelView channel(int n) const;
    bool sequence_running() const;
    std::vector<RegWrite> writes() const;
    // Only the accepted writes, as (register, value) pairs.
    std::vector<std::pair<uint8_t, uint8_t>> accepted_pairs() const;
    unsigned write_calls() const;
    std::vector<unsigned long> ioctls() const;

private:
    ChannelView channel_locked(int n) const;
    mutable std::mutex mutex_;
    uint8_t regs_[256] = {};
    std::vector<RegWrite> writes_;
    std::vector<unsigned long> ioctls_;
    unsigned fail_first_ = 0, fail_last_ = 0, short_first_ = 0, short_last_ = 0;
    std::shared_ptr<std::atomic<unsigned>> shared_count_;
};

}  // namespace board
