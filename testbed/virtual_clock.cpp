// The virtual clock's thread: it looks at every thread under the board in /proc (this process's
// own, the clock's thread aside, and all their descendants, found through the tasks' "children"
// files), and jumps to the earliest deadline only when two looks in a row found every thread
// asleep and none of them had run in between, and no byte was on its way through a serial line.
#include "virtual_clock.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "char_device.h"
#include "proc_file.h"

namespace testbed {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// While something under the board runs, the clock looks again after this, doubling up to the
// last: short enough that a run does not wait for the clock, long enough not to load a core.
constexpr microseconds kFirstRecheck{20};
constexpr microseconds kLastRecheck{2000};
// With no wait in progress there is nothing to jump to: a new wait wakes the clock at once.
constexpr milliseconds kIdleRecheck{100};
// Bytes that stay "on their way" this long while everything sleeps were not counted as they
// went (a line in cooked mode changes their number): the line is taken as settled.
constexpr milliseconds kLineStuck{1000};

pid_t own_tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void futex_wait(uint32_t* word, uint32_t seen, std::chrono::nanoseconds timeout) {
    struct timespec ts = {static_cast<time_t>(timeout.count() / 1000000000), static_cast<long>(timeout.count() % 1000000000)};
    syscall(SYS_futex, word, FUTEX_WAIT, seen, &ts, nullptr, 0);
}

void futex_wake(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0); }

int64_t clock_ns(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One thread as the clock saw it: its state letter and how often it has been on a CPU.
struct Seen {
    pid_t tid;
    char state;
    unsigned long long runs;
    bool operator==(const Seen& o) const { return tid == o.tid && state == o.state && runs == o.runs; }
};

// Every thread of root's tree but skip; false when a thread went away meanwhile (it ran).
bool look(pid_t root, pid_t skip, std::vector<Seen>* out) {
    out->clear();
    std::vector<pid_t> todo = {root};
    char path[96], buf[4096];
    while (!todo.empty()) {
        const pid_t pid = todo.back();
        todo.pop_back();
        snprintf(path, sizeof path, "/proc/%d/task", pid);
        DIR* dir = opendir(path);
        if (!dir) return false;
        bool ok = true;
        while (struct dirent* e = readdir(dir)) {
            if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
            const pid_t tid = static_cast<pid_t>(atoi(e->d_name));
            snprintf(path, sizeof path, "/proc/%d/task/%d/children", pid, tid);
            if (read_proc_file(path, buf, sizeof buf) < 0) {
                ok = false;
                break;
            }
            for (char* p = buf; *p;) {
                char* end;
                const long child = strtol(p, &end, 10);
                if (end == p) break;
                todo.push_back(static_cast<pid_t>(child));
                p = end;
            }
            if (tid == skip) continue;
            Seen s{tid, '?', 0};
            snprintf(path, sizeof path, "/proc/%d/task/%d/stat", pid, tid);
            const char* paren = read_proc_file(path, buf, sizeof buf) > 0 ? strrchr(buf, ')') : nullptr;
            if (!paren || !paren[1] || !paren[2]) {
                ok = false;
                break;
            }
            s.state = paren[2];
            snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", pid, tid);
            if (read_proc_file(path, buf, sizeof buf) <= 0 || sscanf(buf, "%*u %*u %llu", &s.runs) != 1) {
                ok = false;
                break;
            }
            out->push_back(s);
        }
        closedir(dir);
        if (!ok) return false;
    }
    std::sort(out->begin(), out->end(), [](const Seen& a, const Seen& b) { return a.tid < b.tid; });
    return true;
}

// Running, or in a short uninterruptible wait (disk, a vfork's child): it will act soon.
bool busy(const std::vector<Seen>& threads) {
    return std::any_of(threads.begin(), threads.end(), [](const Seen& s) { return s.state == 'R' || s.state == 'D'; });
}

}  // namespace

VirtualClock::VirtualClock(const std::string& page_path) : path_(page_path), pid_(getpid()) {
    const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    void* p = MAP_FAILED;
    if (fd >= 0 && ftruncate(fd, sizeof(vclock_page)) == 0)
        p = mmap(nullptr, sizeof(vclock_page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (fd >= 0) close(fd);
    if (p == MAP_FAILED) {
        problem("virtual clock: cannot make " + path_ + ": " + strerror(errno));
        static vclock_page unshared;
        p = &unshared;
    }
    page_ = static_cast<vclock_page*>(p);
    memset(page_, 0, sizeof *page_);
    page_->mono_base = clock_ns(CLOCK_MONOTONIC);
    page_->real_base = clock_ns(CLOCK_REALTIME);
    page_->magic = VCLOCK_MAGIC;
    __atomic_store_n(&page_->version, VCLOCK_VERSION, __ATOMIC_RELEASE);
    thread_ = std::thread([this] { run(); });
    set_board_time(this);
}

VirtualClock::~VirtualClock() {
    set_board_time(nullptr);
    stopping_ = true;
    __atomic_fetch_add(&page_->changes, 1, __ATOMIC_RELEASE);
    futex_wake(&page_->changes);
    thread_.join();
    munmap(page_, sizeof *page_);
    unlink(path_.c_str());
}

std::string VirtualClock::env() const { return std::string(VCLOCK_ENV "=") + path_; }

BoardTimePoint VirtualClock::now() {
    return BoardTimePoint(std::chrono::nanoseconds(page_->mono_base + vclock_now(page_)));
}

int64_t VirtualClock::board_ns(BoardTimePoint t) const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() - page_->mono_base;
}

bool VirtualClock::wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, BoardTimePoint deadline,
                              const std::function<bool()>& pred) {
    if (pred()) return true;
    const int64_t d = board_ns(deadline);
    if (vclock_now(page_) >= d) return pred();
    const int i = vclock_begin_wait(page_, d, pid_, own_tid());
    if (i < 0) return cv.wait_until(lock, std::chrono::steady_clock::now() + (deadline - now()), pred);
    futex_wake(&page_->changes);
    // The clock's thread takes wakers_mutex_ and then the waiter's mutex: never the other way.
    lock.unlock();
    {
        std::lock_guard<std::mutex> w(wakers_mutex_);
        wakers_[i] = Waker{lock.mutex(), &cv};
    }
    lock.lock();
    cv.wait(lock, [&] { return pred() || vclock_due(page_, i); });
    lock.unlock();
    {
        std::lock_guard<std::mutex> w(wakers_mutex_);
        wakers_[i] = Waker{};
    }
    lock.lock();
    vclock_end_wait(page_, i);
    return pred();
}

void VirtualClock::add_program(pid_t pid) {
    std::lock_guard<std::mutex> lock(programs_mutex_);
    programs_.push_back(pid);
}

// The wait to end next (of this process's own threads only, when own_only): the earliest
// deadline, of two equal ones the one that began first. The entry of a thread that has gone
// (killed in its wait) is freed.
int VirtualClock::earliest_wait(bool own_only) {
    int best = -1;
    for (int i = 0; i < VCLOCK_WAITS; ++i) {
        vclock_wait& w = page_->waits[i];
        if (__atomic_load_n(&w.taken, __ATOMIC_ACQUIRE) != 1 || vclock_due(page_, i)) continue;
        const pid_t pid = __atomic_load_n(&w.pid, __ATOMIC_RELAXED), tid = __atomic_load_n(&w.tid, __ATOMIC_RELAXED);
        if (own_only && pid != pid_) continue;
        if (syscall(SYS_tgkill, pid, tid, 0) != 0 && errno == ESRCH) {
            uint32_t taken = 1;
            __atomic_compare_exchange_n(&w.taken, &taken, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
            continue;
        }
        if (best < 0) {
            best = i;
            continue;
        }
        const vclock_wait& b = page_->waits[best];
        if (w.deadline != b.deadline ? w.deadline < b.deadline : w.began != b.began ? w.began < b.began : w.ticket < b.ticket)
            best = i;
    }
    return best;
}

void VirtualClock::advance(int i) {
    vclock_wait& w = page_->waits[i];
    if (w.deadline > vclock_now(page_)) __atomic_store_n(&page_->now, w.deadline, __ATOMIC_RELEASE);
    __atomic_store_n(&w.due, 1, __ATOMIC_RELEASE);
    if (w.pid != pid_) {
        syscall(SYS_tgkill, w.pid, w.tid, VCLOCK_WAKE_SIGNAL);
        return;
    }
    std::lock_guard<std::mutex> lock(wakers_mutex_);
    const Waker k = wakers_[i];
    if (k.cv) {
        std::lock_guard<std::mutex> m(*k.mutex);
        k.cv->notify_all();
    }
}

bool VirtualClock::line_counts_settled() {
    return lines_settled([this](uint64_t line, uint64_t* written, uint64_t* consumed) {
        for (const vclock_line& l : page_->lines) {
            if (__atomic_load_n(&l.rdev, __ATOMIC_ACQUIRE) != line) continue;
            *written = __atomic_load_n(&l.written, __ATOMIC_ACQUIRE);
            *consumed = __atomic_load_n(&l.consumed, __ATOMIC_ACQUIRE);
        }
    });
}

bool VirtualClock::quiescent(bool* program_runs) {
    std::vector<Seen> first, second;
    if (!look(pid_, clock_tid_, &first) || busy(first)) {
        unsettled_since_ = {};
        return false;
    }
    {
        // A started program runs until it is a zombie (or reaped): the first look tells.
        std::lock_guard<std::mutex> lock(programs_mutex_);
        programs_.erase(std::remove_if(programs_.begin(), programs_.end(),
                                       [&](pid_t pid) {
                                           auto t = std::find_if(first.begin(), first.end(), [&](const Seen& s) { return s.tid == pid; });
                                           return t == first.end() || t->state == 'Z' || t->state == 'X';
                                       }),
                        programs_.end());
        *program_runs = !programs_.empty();
    }
    if (!line_counts_settled()) {
        const auto now = std::chrono::steady_clock::now();
        if (unsettled_since_ == std::chrono::steady_clock::time_point{}) unsettled_since_ = now;
        if (now - unsettled_since_ < kLineStuck) return false;
    }
    unsettled_since_ = {};
    return look(pid_, clock_tid_, &second) && first == second;
}

void VirtualClock::run() {
    clock_tid_ = own_tid();
    auto recheck = kFirstRecheck;
    while (!stopping_) {
        const uint32_t seen = __atomic_load_n(&page_->changes, __ATOMIC_ACQUIRE);
        if (earliest_wait(false) < 0) {
            futex_wait(&page_->changes, seen, kIdleRecheck);
            continue;
        }
        bool program_runs = false;
        const int i = quiescent(&program_runs) ? earliest_wait(!program_runs) : -1;
        if (i < 0) {
            futex_wait(&page_->changes, seen, recheck);
            recheck = std::min(recheck * 2, kLastRecheck);
            continue;
        }
        advance(i);
        recheck = kFirstRecheck;
    }
}

}  // namespace testbed
