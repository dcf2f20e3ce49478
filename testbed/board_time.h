// The board's time, as the models read it and wait on it: the real clock, or the bed's virtual
// clock (virtual_clock.h) while one is in use. Model threads that wait for board time (a paced
// answer, a flash write's duration) wait here, so the virtual clock sees the wait and its end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace testbed {

using BoardTimePoint = std::chrono::steady_clock::time_point;

// What the board's time is: the real steady clock unless a virtual clock replaces it.
class BoardTime {
public:
    virtual ~BoardTime() = default;
    virtual BoardTimePoint now() = 0;
    // cv.wait_until(lock, deadline, pred) on the board's time; returns pred().
    virtual bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, BoardTimePoint deadline,
                            const std::function<bool()>& pred) = 0;
};

// Makes t the board's time (nullptr: the real clock again).
void set_board_time(BoardTime* t);

BoardTimePoint board_now();
bool board_wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, BoardTimePoint deadline,
                      const std::function<bool()>& pred);
void board_sleep_for(std::chrono::steady_clock::duration d);

// A simulated serial line seen from its far end: the virtual clock moves on only while no byte
// is on its way through the line, in either direction.
class LineWatch {
public:
    virtual ~LineWatch() = default;
    // The line's device number (the pty slave's), as the programs' fstat() gives it.
    virtual uint64_t line() const = 0;
    // Whether every byte is where it goes, given how many bytes the programs wrote into the line
    // and how many they read from it (or flushed).
    virtual bool settled(uint64_t written_by_programs, uint64_t consumed_by_programs) const = 0;
};

void watch_line(LineWatch* w);
void unwatch_line(LineWatch* w);
// Whether every watched line is settled; counts(line, &written, &consumed) gives the programs'.
bool lines_settled(const std::function<void(uint64_t, uint64_t*, uint64_t*)>& counts);

}  // namespace testbed
