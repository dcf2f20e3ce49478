// The LED part: the two AW9110 chips behind their driver nodes and the daemon's command pipe.
// --send writes commands into the pipe; the report is the chips' opens and write calls, the
// commands the daemon read, the first chip's channels and how often each write fault took
// effect, and the timeline picture of both chips.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "aw9110_chip.h"
#include "boardsim_part.h"
#include "boardsim_replay.h"
#include "boardsim_run.h"
#include "led_timeline_svg.h"

namespace boardsim {

namespace {

const char* const kNodes[2] = {"aw9110_1_dev", "aw9110_2_dev"};
const char* const kDaemonPipe = "/data/led_pipe";  // as the daemon names it
constexpr uint8_t kExitCommand = 0xFF;  // ends the daemon
constexpr unsigned long kPrepareRequest = board::Aw9110Chip::kPrepareRequest;
constexpr double kExitPauseSeconds = 1;  // the daemon's pause between 0xFF and its end
const char* const kTimelineFile = "leds-timeline.svg";
const char* const kTitle = "boardsim leds: what the LED chips saw";

std::string node_path(int chip) { return std::string("/dev/") + kNodes[chip]; }

class LedsPart : public Part {
public:
    explicit LedsPart(const LedOptions& o) : o_(o) { override_chips(); }
    Board kind() const override { return Board::leds; }

    void load(const Json& state) override {
        const Json& chips = state.at("chips");
        if (!chips.is_array() || chips.size() != 2 || !chips[0].is_boolean() || !chips[1].is_boolean())
            throw std::runtime_error("chips: two booleans, whether each chip exists");
        for (int i = 0; i < 2; ++i) present_[i] = chips[i].get<bool>();
        override_chips();
    }
    Json save() const override { return {{"chips", {present_[0], present_[1]}}}; }

    // Both chips' nodes are replayed; the daemon's pipe stays the board's (--send feeds it).
    bool replay(ReplaySource& source) override {
        if (!board::trace_has(source.trace, node_path(0)) && !board::trace_has(source.trace, node_path(1))) return false;
        replay_source_ = &source;
        return true;
    }

    void set_up(testbed::Bed& bed) override {
        if (replay_source_) set_up_replay(bed);
        auto write_count = std::make_shared<std::atomic<unsigned>>(0);
        for (int i = 0; i < 2; ++i) {
            chips_[i].share_write_count(write_count);
            if (o_.fail_first > 0) chips_[i].fail_writes(o_.fail_first, o_.fail_last);
            if (o_.short_first > 0) chips_[i].short_writes(o_.short_first, o_.short_last);
            if (replay_source_) continue;  // the nodes answer from the recording
            if (!present_[i])
                bed.fail_open(std::string("/dev/") + kNodes[i], ENOENT);  // no node: the driver found no chip
            else
                bed.add_char_device(kNodes[i], &chips_[i]);
        }
        pipe_ = bed.data_dir() + "/led_pipe";
        // Where to write commands, on every board with the pipe, when --send does not.
        if (o_.send.empty())
            fprintf(stderr,
                    "boardsim: the daemon's /data/led_pipe is %s: write command bytes into it "
                    "(printf '\\003' > %s), 255 ends the daemon\n",
                    pipe_.c_str(), pipe_.c_str());
    }

    // Writes the bytes into the daemon's pipe, one after each pause, then 0xFF; stops early
    // when COMMAND ends.
    // The pauses are on the board's clock and count from the moment the daemon opens its pipe
    // (an open for writing waits for the reader): each byte goes in at the same board time on
    // either clock, however long the daemon took on the wall clock.
    void beside(testbed::Process&, const BoardClock&) override {
        if (o_.send.empty() || !await_pipe()) return;
        {
            // Once COMMAND has ended, command_ended() holds a reader open for the open below.
            std::lock_guard<std::mutex> lock(beside_mutex_);
            if (ended_) return;
        }
        const int fd = open(pipe_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        const auto every = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.every_s));
        std::unique_lock<std::mutex> lock(beside_mutex_);
        std::vector<uint8_t> bytes = o_.send;
        if (bytes.back() != kExitCommand) bytes.push_back(kExitCommand);
        for (uint8_t b : bytes) {
            if (testbed::board_wait_until(lock, beside_cv_, testbed::board_now() + every, [this] { return ended_; })) break;
            if (write(fd, &b, 1) != 1) break;
        }
        close(fd);
    }

    // Ends --send's waits: for the pipe to appear, for its reader (a reader of our own, kept
    // until the run is over, lets the open go on) and for the pauses.
    void command_ended() override {
        std::lock_guard<std::mutex> lock(beside_mutex_);
        ended_ = true;
        beside_cv_.notify_all();
        if (ended_reader_ < 0) ended_reader_ = open(pipe_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const uint64_t one = 1;
        if (ended_event_ >= 0 && write(ended_event_, &one, sizeof one) < 0) {
        }
    }

    void after_run() override {
        if (ended_reader_ >= 0) close(ended_reader_);
        if (ended_event_ >= 0) close(ended_event_);
        ended_reader_ = ended_event_ = -1;
    }

    std::string activity() const override {
        Clock::time_point first;
        return first_use(&first) ? "the daemon's LED chips" : "";
    }

    // From the first open of a chip's node: a daemon that opened the first chip and failed on an
    // absent second one used the part. (The failed open of an absent node does not reach the
    // board: the bed's preload refuses it inside the program.)
    bool first_use(Clock::time_point* when) const override {
        bool used = false;
        auto take = [&](Clock::time_point t) {
            if (!used || t < *when) *when = t;
            used = true;
        };
        for (const auto& r : replays_)
            if (r)
                for (const auto& t : r->opens()) take(t);
        for (const auto& chip : chips_) {
            for (const auto& t : chip.opens()) take(t);
            for (const auto& w : chip.writes()) take(w.when);
        }
        return used;
    }

    Section report(const RunRecord& run) const override {
        if (replay_source_) return replay_section(kTitle, *replay_source_, {node_path(0), node_path(1)});
        Section s;
        s.title = kTitle;
        s.notation = "times in seconds from the start of COMMAND; a failed call is one the driver saw fail "
                     "(--fail-writes, --short-writes); channel modes: level (fixed), on/off (toggle output), "
                     "sequence (chip-timed)";
        std::string received;
        Json commands = Json::array();
        char buf[256];
        for (const auto& r : run.process.pipe_reads()) {
            if (r.path != kDaemonPipe) continue;  // a script's own FIFOs under /data
            for (uint8_t b : r.bytes) {
                const double at = run.clock.seconds(r.when);
                snprintf(buf, sizeof buf, "%s%u at %.2f s", received.empty() ? "" : ", ", b, at);
                received += buf;
                commands.push_back({{"byte", b}, {"at_s", hundredths(at)}});
            }
        }
        s.lines.push_back("commands the daemon read from /data/led_pipe: " + (received.empty() ? "none" : received));
        s.facts["commands"] = commands;
        const unsigned calls = chips_[0].write_calls() + chips_[1].write_calls();
        s.outcome = calls == 0 ? "opened, no register written"
                               : "the daemon drove the chips, " +
                                     counted(commands.size(), "command", "commands") + " read from its pipe";
        Json chips = Json::array();
        for (int i = 0; i < 2; ++i) {
            Json chip = {{"node", std::string("/dev/") + kNodes[i]}, {"present", present_[i]}};
            if (!present_[i]) {
                snprintf(buf, sizeof buf, "/dev/%s: absent (no such chip on this board)", kNodes[i]);
            } else {
                unsigned failed = 0, prepares = 0;
                for (const auto& w : chips_[i].writes()) failed += !w.accepted;
                for (unsigned long r : chips_[i].ioctls()) prepares += r == kPrepareRequest;
                const size_t opens = chips_[i].opens().size();
                snprintf(buf, sizeof buf, "/dev/%s: opened %s; %s, %u of them failed; %s (0x%lx)", kNodes[i],
                         counted(opens, "time", "times").c_str(),
                         counted(chips_[i].write_calls(), "register write call", "register write calls").c_str(), failed,
                         counted(prepares, "prepare request", "prepare requests").c_str(), kPrepareRequest);
                chip["opens"] = opens;
                chip["write_calls"] = chips_[i].write_calls();
                chip["failed_write_calls"] = failed;
                chip["prepare_requests"] = prepares;
            }
            s.lines.push_back(buf);
            chips.push_back(chip);
        }
        s.facts["chips"] = chips;
        // The write faults, counted over both chips as the options count the calls.
        Json faults = Json::array();
        std::string fault_text;
        auto fault = [&](const char* option, unsigned first, unsigned last, bool failed) {
            if (first == 0) return;
            unsigned hit = 0;
            for (const auto& chip : chips_)
                for (const auto& w : chip.writes())
                    hit += failed ? w.result == -EIO : w.result >= 0 && static_cast<size_t>(w.result) < w.bytes.size();
            const std::string value = std::to_string(first) + "-" + std::to_string(last);
            faults.push_back({{"option", option}, {"value", value}, {"took_effect", hit}});
            fault_text += (fault_text.empty() ? "" : "; ") + std::string(option) + " " + value + ": " +
                          counted(hit, failed ? "write call failed" : "write call shortened",
                                  failed ? "write calls failed" : "write calls shortened");
        };
        fault("--fail-writes", o_.fail_first, o_.fail_last, true);
        fault("--short-writes", o_.short_first, o_.short_last, false);
        if (!fault_text.empty()) s.lines.push_back("injected faults, how often they took effect: " + fault_text);
        s.facts["faults"] = faults;
        if (present_[0]) {
            std::string text;
            Json channels = Json::array();
            for (int n = 0; n < 10; ++n) {
                board::ChannelView c = chips_[0].channel(n);
                const char* mode = !c.enabled ? "level" : c.sequence ? "sequence" : c.output_on ? "on" : "off";
                snprintf(buf, sizeof buf, "%sch%d %s %d", n ? ", " : "", n, mode, c.level);
                text += buf;
                channels.push_back({{"channel", n}, {"mode", mode}, {"level", c.level}});
            }
            s.lines.push_back("/dev/aw9110_1_dev channels at the end: " + text);
            s.facts["channels_at_end"] = channels;
        }
        return s;
    }

    std::vector<std::pair<std::string, std::string>> files(const RunRecord& run) const override {
        if (replay_source_) return {};  // the chips' timeline is the model's
        std::vector<board::TimelineChip> chips;
        for (int i = 0; i < 2; ++i) {
            board::TimelineChip chip{std::string("/dev/") + kNodes[i], present_[i], chips_[i].writes()};
            chips.push_back(chip);
        }
        std::vector<board::TimelineMark> marks;
        // The daemon's start: its first register write on either chip.
        bool started = false;
        Clock::time_point first_call{};
        for (const auto& chip : chips_) {
            const auto writes = chip.writes();
            if (!writes.empty() && (!started || writes.front().when < first_call)) first_call = writes.front().when;
            started = started || !writes.empty();
        }
        if (started) marks.push_back({first_call, "daemon starts", true});
        for (const auto& r : run.process.pipe_reads()) {
            if (r.path != kDaemonPipe) continue;
            for (uint8_t b : r.bytes) {
                marks.push_back({r.when, std::to_string(b), false});
                if (b == kExitCommand)
                    marks.push_back({r.when + std::chrono::duration_cast<Clock::duration>(
                                                                       std::chrono::duration<double>(kExitPauseSeconds)),
                                     "daemon ends", true});
            }
        }
        return {{kTimelineFile, board::led_timeline_svg(chips, run.clock.start, run.end, marks)}};
    }

private:
    // Each node answers from the recording, or fails to open as it did there (no chip found).
    void set_up_replay(testbed::Bed& bed) {
        for (int i = 0; i < 2; ++i) {
            const auto events = board::events_on(replay_source_->trace, node_path(i));
            int err = 0;
            if (board::node_absent(events, &err)) {
                bed.fail_open(node_path(i), err);
                continue;
            }
            replays_[i].reset(new board::CharReplay(node_path(i), events, replay_source_->session));
            bed.add_char_device(kNodes[i], replays_[i].get());
        }
    }

    // Until the daemon's pipe exists (told by inotify, as the daemon makes it); false when COMMAND
    // ended first.
    bool await_pipe() {
        const int watch = inotify_init1(IN_CLOEXEC);
        if (watch < 0) return false;
        inotify_add_watch(watch, pipe_.substr(0, pipe_.rfind('/')).c_str(), IN_CREATE | IN_MOVED_TO);
        struct pollfd fds[2] = {{watch, POLLIN, 0}, {ended_event_, POLLIN, 0}};
        bool exists;
        while (!(exists = access(pipe_.c_str(), F_OK) == 0)) {
            if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
            if (fds[1].revents) break;
            char events[4096];
            if (fds[0].revents && read(watch, events, sizeof events) < 0) break;
        }
        close(watch);
        return exists;
    }

    // --chip-missing N: chip N absent and the other present, whatever the saved state says.
    void override_chips() {
        if (o_.chip_missing == 0) return;
        for (int i = 0; i < 2; ++i) present_[i] = o_.chip_missing != i + 1;
    }


    LedOptions o_;
    bool present_[2] = {true, true};
    board::Aw9110Chip chips_[2];
    ReplaySource* replay_source_ = nullptr;
    std::unique_ptr<board::CharReplay> replays_[2];
    std::string pipe_;
    std::mutex beside_mutex_;
    std::condition_variable beside_cv_;
    bool ended_ = false;  // COMMAND has ended: --send stops
    int ended_event_ = eventfd(0, EFD_CLOEXEC);
    int ended_reader_ = -1;
};

}  // namespace

std::unique_ptr<Part> make_leds_part(const Options& options) {
    return std::unique_ptr<Part>(new LedsPart(options.leds));
}

}  // namespace boardsim
