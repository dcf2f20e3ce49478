// The board's virtual clock: board time moves only by jumps to the earliest deadline that a
// process under the board (or a model thread) waits for, and only while every thread under the
// board sleeps and no byte is on its way through a serial line. A run then takes as long as its
// computing, and the same run gives the same times however loaded the machine is.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board_time.h"
#include "virtual_clock_page.h"

namespace testbed {

class VirtualClock : public BoardTime {
public:
    // Makes the page at page_path (shared with every process under the board through
    // VCLOCK_ENV), starts the clock's thread and becomes the board's time.
    explicit VirtualClock(const std::string& page_path);
    ~VirtualClock() override;
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    // "TESTBED_CLOCK=<page>", for the environment of the processes under the board.
    std::string env() const;
    BoardTimePoint now() override;
    bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, BoardTimePoint deadline,
                    const std::function<bool()>& pred) override;
    // A program the bed started (a child of this process): the processes under the board see
    // their time move only while one such program runs. What it leaves running when it ends sees
    // the time stand still until it is ended too, so its end does not depend on how quickly the
    // leftovers are found. (The models' own waits still end, on the board's time.)
    void add_program(pid_t pid);

private:
    struct Waker {
        std::mutex* mutex = nullptr;
        std::condition_variable* cv = nullptr;
    };
    void run();
    int earliest_wait(bool own_only);
    void advance(int i);
    bool quiescent(bool* program_runs);
    bool line_counts_settled();
    int64_t board_ns(BoardTimePoint t) const;

    std::string path_;
    vclock_page* page_ = nullptr;
    pid_t pid_;
    std::atomic<pid_t> clock_tid_{0};
    std::atomic<bool> stopping_{false};
    std::mutex programs_mutex_;
    std::vector<pid_t> programs_;  // started and not yet seen ended
    std::mutex wakers_mutex_;
    Waker wakers_[VCLOCK_WAITS];
    std::chrono::steady_clock::time_point unsettled_since_{};  // a line first seen unsettled (wall clock)
    std::thread thread_;
};

}  // namespace testbed
