// A board as a list of parts: loads their saved state and checks what the run will write, sets
// them up on one bed, runs COMMAND (on the virtual clock under --fast, interrupted
// after --timeout, alive lines on a terminal), saves the state and writes one report section per
// part, in the order COMMAND first used them.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <thread>

#include "boardsim_part.h"
#include "boardsim_replay.h"
#include "boardsim_report.h"
#include "boardsim_run.h"
#include "boardsim_state.h"
#include "boardsim_trace.h"

namespace boardsim {

namespace {

constexpr int kTimedOut = 124;  // as timeout(1)
// How long COMMAND has to end after the interrupt before the rest is killed.
constexpr std::chrono::seconds kInterruptGrace{10};

std::vector<std::unique_ptr<Part>> parts_of(const Options& o) {
    std::vector<std::unique_ptr<Part>> parts;
    if (o.board == Board::leds || o.board == Board::whole) parts.push_back(make_leds_part(o));
    if (o.board == Board::touch || o.board == Board::whole) parts.push_back(make_touch_part(o));
    if (o.board == Board::mcu || o.board == Board::whole) parts.push_back(make_mcu_part(o));
    return parts;
}

// On a terminal, what is at work, each time this much wall time has passed.
constexpr double kAliveEverySeconds = 10;

std::chrono::milliseconds millis(double seconds) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
}

// "boardsim: 20 s, the MCU's bootloader at work": the parts at work, or that COMMAND still runs.
void say_alive(double board_seconds, const std::vector<std::unique_ptr<Part>>& parts) {
    std::string at_work;
    for (const auto& p : parts) {
        const std::string a = p->activity();
        if (!a.empty()) at_work += (at_work.empty() ? "" : " and ") + a;
    }
    fprintf(stderr, "boardsim: %.0f s, %s\n", board_seconds,
            at_work.empty() ? "COMMAND still running" : (at_work + " at work").c_str());
}

// Waits for COMMAND's end; past the time-out, interrupts it as Ctrl-C would. True when it had
// to be interrupted. A long run on a terminal says now and then that it is alive.
bool wait_or_interrupt(testbed::Process& process, double timeout_s, const BoardClock& clock,
                       const std::vector<std::unique_ptr<Part>>& parts) {
    const bool alive_lines = isatty(STDERR_FILENO);
    const auto begin = Clock::now();
    const auto limit = timeout_s > 0 ? begin + millis(timeout_s) : begin + kForever;
    int said = 0;
    for (;;) {
        auto until = limit;
        if (alive_lines) until = std::min(until, begin + millis(kAliveEverySeconds * (said + 1)));
        const auto left = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()),
                                   std::chrono::milliseconds(0));
        if (testbed::wait_until([&] { return process.exited(); }, left)) return false;
        if (Clock::now() >= limit) break;
        ++said;
        if (alive_lines) say_alive(clock.seconds(testbed::board_now()), parts);
    }
    fprintf(stderr, "boardsim: COMMAND ran longer than %g s (--timeout): it is interrupted (SIGINT)\n", timeout_s);
    raise(SIGINT);  // boardsim's own handler passes it on to COMMAND and all it started
    if (!testbed::wait_until([&] { return process.exited(); }, kInterruptGrace)) {
        fprintf(stderr, "boardsim: COMMAND did not end within %lld s of the interrupt: it is killed\n",
                static_cast<long long>(kInterruptGrace.count()));
        kill(-process.pid(), SIGKILL);
    }
    return true;
}

}  // namespace

BoardRun::BoardRun(const Options& options) : o_(options), parts_(parts_of(options)), state_(new StateFile(options.state_file)) {}

BoardRun::~BoardRun() = default;

bool BoardRun::load_state() {
    std::string error;
    if (!o_.replay_file.empty() && !load_replay()) return false;
    if (!state_->load(parts_, &error) || !state_->check_writable(&error)) {
        fprintf(stderr, "boardsim: --state %s: %s\n", o_.state_file.c_str(), error.c_str());
        return false;
    }
    if (!o_.trace_file.empty() && !check_trace_file(o_.trace_file, &error)) {
        fprintf(stderr, "boardsim: --trace %s: %s\n", o_.trace_file.c_str(), error.c_str());
        return false;
    }
    if (!Report(o_).prepare_folder(&error)) {
        fprintf(stderr, "boardsim: --report %s: %s\n", o_.report_dir.c_str(), error.c_str());
        return false;
    }
    // The bed's and umockdev's working folders: made with the user's rights, as the bed will.
    const char* env = getenv("TMPDIR");
    const std::string tmp = env && *env ? env : "/tmp";
    std::string probe = tmp + "/boardsim-check.XXXXXX";
    if (!mkdtemp(&probe[0])) {
        fprintf(stderr, "boardsim: cannot make the board's working folders in %s (%s): %s\n", tmp.c_str(),
                env && *env ? "$TMPDIR" : "no $TMPDIR", strerror(errno));
        return false;
    }
    rmdir(probe.c_str());
    return true;
}

// --replay FILE: a trace that holds devices of this board. Each part whose devices it holds is
// replayed; the others keep their models.
bool BoardRun::load_replay() {
    const std::string who = "boardsim: --replay " + o_.replay_file + ": ";
    if (!o_.state_file.empty()) {
        fprintf(stderr, "%sa replayed part keeps no state: leave out --state\n", who.c_str());
        return false;
    }
    replay_.reset(new ReplaySource);
    replay_->file = o_.replay_file;
    std::string error;
    if (!load_trace(o_.replay_file, &replay_->trace, &error)) {
        fprintf(stderr, "boardsim: --replay %s\n", error.c_str());
        return false;
    }
    bool any = false;
    for (auto& p : parts_) any = p->replay(*replay_) || any;
    if (!any) {
        fprintf(stderr, "%sthe recording (of boardsim %s) holds none of the devices of boardsim %s\n", who.c_str(),
                replay_->trace.board.c_str(), board_name(o_.board));
        return false;
    }
    return true;
}

int BoardRun::run(bool private_mounts) {
    int status;
    bool timed_out;
    Report report(o_);
    {
        testbed::Bed bed;
        if (o_.fast) bed.use_virtual_clock();
        // The models' threads end before the bed goes, whichever way this block is left.
        struct TearDown {
            std::vector<std::unique_ptr<Part>>& parts;
            ~TearDown() {
                for (auto& p : parts) p->tear_down();
            }
        } tear_down{parts_};
        for (auto& p : parts_) p->set_up(bed);
        const std::string trace_events = o_.trace_file.empty() ? "" : bed.make_file("trace.events", "");
        BoardClock clock;
        clock.start = testbed::board_now();
        const auto wall_start = Clock::now();
        auto process = start_command(bed, o_, private_mounts, trace_events, clock.start);
        if (!process) return 127;
        std::vector<std::thread> beside;
        for (auto& p : parts_) beside.emplace_back([&p, &process, &clock] { p->beside(*process, clock); });
        timed_out = wait_or_interrupt(*process, o_.timeout_s, clock, parts_);
        for (auto& p : parts_) p->command_ended();
        for (auto& t : beside) t.join();
        status = finish_command(*process);
        for (auto& p : parts_) p->after_run();
        const RunRecord run{*process, clock, testbed::board_now()};
        const double wall_seconds = std::chrono::duration<double>(Clock::now() - wall_start).count();

        std::string error;
        if (!trace_events.empty() && !write_trace_file(o_, trace_events, &error))
            fprintf(stderr, "boardsim: --trace %s: %s\n", o_.trace_file.c_str(), error.c_str());
        if (!state_->save(parts_, &error))
            fprintf(stderr, "boardsim: --state %s: %s\n", o_.state_file.c_str(), error.c_str());
        // Sections in the order COMMAND first used the parts; parts it never used last.
        struct Use {
            Part* part;
            bool used;
            Clock::time_point first;
        };
        std::vector<Use> order;
        for (auto& p : parts_) {
            Use u{p.get(), false, {}};
            u.used = p->first_use(&u.first);
            order.push_back(u);
        }
        std::stable_sort(order.begin(), order.end(), [](const Use& a, const Use& b) {
            return a.used != b.used ? a.used : a.used && a.first < b.first;
        });
        for (const auto& u : order) report.add(u.part->kind(), u.part->report(run), u.part->files(run), u.used);
        report.add_logs(*process);
        report.set_run(o_, status, timed_out ? kTimedOut : status, timed_out, clock.seconds(run.end), wall_seconds);
    }
    report.deliver();
    return timed_out ? kTimedOut : status;
}

}  // namespace boardsim
