// The fuzzer's serial line (see serial_line.h). Outcomes per call, one input byte each:
// select() fails below 0x08, times out below 0x30, else reports the line readable; read()
// fails for 0xFF, else brings (byte mod 101) bytes at most, taken from the input; write()
// fails for 0x00, takes half for 0x01, else all. Once the input is used up the line stays
// silent and takes every write, so every loop of the program ends.
#include "serial_line.h"

#include <errno.h>
#include <sys/select.h>
#include <unistd.h>

#include <thread>

extern "C" {
int __real_select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv);
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_tcflush(int fd, int queue);
unsigned __real_sleep(unsigned s);
}

namespace serial_line {
namespace {

constexpr uint8_t kWaitFailsBelow = 0x08;
constexpr uint8_t kWaitSilentBelow = 0x30;
constexpr uint8_t kReadFails = 0xFF;
constexpr int kReadCountModulo = 101;
constexpr uint8_t kWriteFails = 0x00;
constexpr uint8_t kWriteHalf = 0x01;
// Four silent one-second waits in a row end a wait, as does a failed one.
constexpr int kSilentWaits = 4;
constexpr int kNoAnswer = 0xFF;

int g_fd = -1;
FuzzInput g_in;
Tally g_tally;
std::vector<uint8_t> g_delivered;
std::vector<Turn> g_turns;
// Only the main thread (the code under test) sleeps for free; a fuzzer's watchdog really sleeps.
const std::thread::id g_main_thread = std::this_thread::get_id();

Turn* waiting_turn() { return !g_turns.empty() && g_turns.back().answer < 0 ? &g_turns.back() : nullptr; }

}  // namespace

void start(int fd, const uint8_t* data, size_t size) {
    g_fd = fd;
    g_in.reset(data, size);
    g_tally = Tally();
    g_delivered.clear();
    g_turns.clear();
}

void stop() { g_fd = -1; }
FuzzInput& input() { return g_in; }

void new_call() {
    g_tally.silent_in_row = g_tally.empty_in_row = g_tally.waits = 0;
    g_tally.last = Last::none;
}

const Tally& tally() { return g_tally; }
const std::vector<uint8_t>& delivered() { return g_delivered; }
const std::vector<Turn>& turns() { return g_turns; }

std::vector<uint8_t> written() {
    std::vector<uint8_t> all;
    for (const Turn& t : g_turns) all.insert(all.end(), t.sent.begin(), t.sent.end());
    return all;
}

bool any_write_failed() {
    for (const Turn& t : g_turns)
        if (t.write_failed) return true;
    return false;
}

}  // namespace serial_line

using namespace serial_line;

extern "C" {

int __wrap_select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
    if (g_fd < 0 || nfds != g_fd + 1 || r == nullptr || !FD_ISSET(g_fd, r)) return __real_select(nfds, r, w, e, tv);
    // No wait goes on after four silent ones in a row: that is the end of it.
    FUZZ_CHECK(g_tally.silent_in_row < kSilentWaits);
    ++g_tally.waits;
    Turn* turn = waiting_turn();
    if (turn) turn->waiting = true;
    uint8_t b = g_in.byte(kWaitSilentBelow - 1);
    if (b < kWaitFailsBelow) {
        g_tally.last = Last::wait_failed;
        if (turn) turn->answer = kNoAnswer;
        errno = EIO;
        return -1;
    }
    if (b < kWaitSilentBelow) {
        g_tally.last = Last::silent;
        if (++g_tally.silent_in_row == kSilentWaits && turn) turn->answer = kNoAnswer;
        FD_ZERO(r);
        return 0;
    }
    g_tally.last = Last::readable;
    g_tally.silent_in_row = 0;
    return 1;
}

ssize_t __wrap_read(int fd, void* buf, size_t n) {
    if (g_fd < 0 || fd != g_fd) return __real_read(fd, buf, n);
    // Four empty reads in a row with no byte between fail a read: no fifth one is made.
    FUZZ_CHECK(g_tally.empty_in_row < kSilentWaits);
    Turn* turn = waiting_turn();
    uint8_t k = g_in.byte(0);
    if (k == kReadFails) {
        g_tally.last = Last::read_failed;
        if (turn) turn->answer = 0;
        errno = EIO;
        return -1;
    }
    size_t want = static_cast<size_t>(k % kReadCountModulo);
    size_t got = g_in.bytes(static_cast<uint8_t*>(buf), want < n ? want : n);
    if (got == 0) {
        g_tally.last = Last::read_empty;
        ++g_tally.empty_in_row;
    } else {
        g_tally.last = Last::read_bytes;
        g_tally.empty_in_row = 0;
        const uint8_t* p = static_cast<const uint8_t*>(buf);
        g_delivered.insert(g_delivered.end(), p, p + got);
    }
    if (turn) turn->answer = got ? static_cast<const uint8_t*>(buf)[0] : 0;
    return static_cast<ssize_t>(got);
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (g_fd < 0 || fd != g_fd) return __real_write(fd, buf, n);
    if (n == 0) return 0;
    if (g_turns.empty() || g_turns.back().waiting) g_turns.emplace_back();
    g_tally.silent_in_row = g_tally.empty_in_row = 0;
    uint8_t b = g_in.byte(0xFF);
    if (b == kWriteFails) {
        g_turns.back().write_failed = true;
        errno = EIO;
        return -1;
    }
    size_t took = b == kWriteHalf && n > 1 ? n / 2 : n;
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    g_turns.back().sent.insert(g_turns.back().sent.end(), p, p + took);
    return static_cast<ssize_t>(took);
}

int __wrap_tcflush(int fd, int queue) { return fd == g_fd ? 0 : __real_tcflush(fd, queue); }

unsigned __wrap_sleep(unsigned s) { return std::this_thread::get_id() == g_main_thread ? 0 : __real_sleep(s); }

}  // extern "C"
