// The board's time: a replaceable clock for the models, and the watched serial lines.
#include "board_time.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace testbed {

namespace {

std::atomic<BoardTime*> g_time{nullptr};
std::mutex g_lines_mutex;
std::vector<LineWatch*> g_lines;

}  // namespace

void set_board_time(BoardTime* t) { g_time.store(t); }

BoardTimePoint board_now() {
    BoardTime* t = g_time.load();
    return t ? t->now() : std::chrono::steady_clock::now();
}

bool board_wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, BoardTimePoint deadline,
                      const std::function<bool()>& pred) {
    BoardTime* t = g_time.load();
    if (t) return t->wait_until(lock, cv, deadline, pred);
    return cv.wait_until(lock, deadline, pred);
}

void board_sleep_for(std::chrono::steady_clock::duration d) {
    if (d <= std::chrono::steady_clock::duration::zero()) return;
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(m);
    board_wait_until(lock, cv, board_now() + d, [] { return false; });
}

void watch_line(LineWatch* w) {
    std::lock_guard<std::mutex> lock(g_lines_mutex);
    g_lines.push_back(w);
}

void unwatch_line(LineWatch* w) {
    std::lock_guard<std::mutex> lock(g_lines_mutex);
    g_lines.erase(std::remove(g_lines.begin(), g_lines.end(), w), g_lines.end());
}

bool lines_settled(const std::function<void(uint64_t, uint64_t*, uint64_t*)>& counts) {
    std::lock_guard<std::mutex> lock(g_lines_mutex);
    for (const LineWatch* w : g_lines) {
        uint64_t written = 0, consumed = 0;
        counts(w->line(), &written, &consumed);
        if (!w->settled(written, consumed)) return false;
    }
    return true;
}

}  // namespace testbed
