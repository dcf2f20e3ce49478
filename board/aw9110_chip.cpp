// AW9110 chip model: register file and channel view.
#include "aw9110_chip.h"

#include <errno.h>

#include "board_time.h"

namespace board {

namespace {
constexpr uint8_t kRegOutHi = 0x02, kRegOutLo = 0x03, kRegSeqCtrl = 0x11, kRegEnable = 0x14, kRegLevel0 = 0x20;
constexpr uint8_t kCfgHi = 0x04, kCfgLo = 0x05;
constexpr uint8_t kSeqRun = 0x80;
}  // namespace

long Aw9110Chip::on_write(const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned n = shared_count_ ? ++*shared_count_ : static_cast<unsigned>(writes_.size()) + 1;
    RegWrite w{testbed::board_now(), std::vector<uint8_t>(data, data + len), false, -EIO};
    if (n >= fail_first_ && n <= fail_last_) {
        writes_.push_back(w);
        return w.result;
    }
    if (n >= short_first_ && n <= short_last_) {
        w.result = len > 0 ? static_cast<long>(len) - 1 : 0;
        writes_.push_back(w);
        return w.result;
    }
    // The driver passes one (register, value) pair per 2-byte write to the chip.
    if (len == 2) {
        regs_[data[0]] = data[1];
        w.accepted = true;
    }
    w.result = len == 2 ? 2 : -EINVAL;
    writes_.push_back(w);
    return w.result;
}

long Aw9110Chip::on_ioctl(unsigned long request, unsigned long) {
    std::lock_guard<std::mutex> lock(mutex_);
    ioctls_.push_back(request);
    return request == kPrepareRequest ? 0 : -ENOTTY;
}

void Aw9110Chip::fail_writes(unsigned first, unsigned last) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_first_ = first;
    fail_last_ = last;
}

void Aw9110Chip::share_write_count(std::shared_ptr<std::atomic<unsigned>> count) {
    std::lock_guard<std::mutex> lock(mutex_);
    shared_count_ = std::move(count);
}

void Aw9110Chip::short_writes(unsigned first, unsigned last) {
    std::lock_guard<std::mutex> lock(mutex_);
    short_first_ = first;
    short_last_ = last;
}

uint8_t Aw9110Chip::reg(uint8_t addr) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return regs_[addr];
}

ChannelView Aw9110Chip::channel_locked(int n) const {
    ChannelView v{};
    if (n < 0 || n >= kChannels) return v;
    v.level = regs_[kRegLevel0 + n];
    if (n < 6) {
        v.enabled = regs_[kRegEnable] & (1u << n);
        v.output_on = n < 4 ? (regs_[kRegOutLo] >> n) & 1 : (regs_[kRegOutHi] >> (n - 4)) & 1;
        bool cfg = n < 4 ? (regs_[kCfgLo] >> n) & 1 : (regs_[kCfgHi] >> (n - 4)) & 1;
        v.sequence = (regs_[kRegSeqCtrl] & kSeqRun) && cfg && v.enabled;
    }
    return v;
}

ChannelView Aw9110Chip::channel(int n) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return channel_locked(n);
}

bool Aw9110Chip::sequence_running() const { return reg(kRegSeqCtrl) & kSeqRun; }

std::vector<RegWrite> Aw9110Chip::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::vector<std::pair<uint8_t, uint8_t>> Aw9110Chip::accepted_pairs() const {
    std::vector<std::pair<uint8_t, uint8_t>> out;
    for (const auto& w : writes())
        if (w.accepted) out.emplace_back(w.bytes[0], w.bytes[1]);
    return out;
}

unsigned Aw9110Chip::write_calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<unsigned>(writes_.size());
}

std::vector<unsigned long> Aw9110Chip::ioctls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ioctls_;
}

}  // namespace board
