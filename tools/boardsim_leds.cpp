// The LED part: the two AW9110 chips behind their driver nodes and the daemon's command pipe.
// --send writes commands into the pipe; the report is the chips' write calls, the commands the
// daemon read and the first chip's channels, and the timeline picture of both chips.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "aw9110_chip.h"
#include "boardsim_part.h"
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

class LedsPart : public Part {
public:
    // note_pipe: tell where the pipe is when nothing else writes into it (boardsim leds).
    LedsPart(const LedOptions& o, bool note_pipe) : o_(o), note_pipe_(note_pipe) {
        if (o.chip_missing) present_[o.chip_missing - 1] = false;
    }
    Board kind() const override { return Board::leds; }

    void load(const Json& state) override {
        const Json& chips = state.at("chips");
        if (chips.size() != 2) throw std::runtime_error("two chips");
        for (int i = 0; i < 2; ++i) present_[i] = chips[i].get<bool>();
        if (o_.chip_missing) present_[o_.chip_missing - 1] = false;
    }
    Json save() const override { return {{"chips", {present_[0], present_[1]}}}; }

    void set_up(testbed::Bed& bed) override {
        auto write_count = std::make_shared<std::atomic<unsigned>>(0);
        for (int i = 0; i < 2; ++i) {
            chips_[i].share_write_count(write_count);
            if (o_.fail_first > 0) chips_[i].fail_writes(o_.fail_first, o_.fail_last);
            if (o_.short_first > 0) chips_[i].short_writes(o_.short_first, o_.short_last);
            if (!present_[i])
                bed.fail_open(std::string("/dev/") + kNodes[i], ENOENT);  // no node: the driver found no chip
            else
                bed.add_char_device(kNodes[i], &chips_[i]);
        }
        pipe_ = bed.data_dir() + "/led_pipe";
        if (o_.send.empty() && note_pipe_)
            fprintf(stderr,
                    "boardsim: the daemon's /data/led_pipe is %s: write command bytes into it "
                    "(printf '\\003' > %s), 255 ends the daemon\n",
                    pipe_.c_str(), pipe_.c_str());
    }

    // Writes the bytes into the daemon's pipe, one after each pause, then 0xFF; stops early
    // when COMMAND ends.
    void beside(testbed::Process& process, const BoardClock& clock) override {
        if (o_.send.empty()) return;
        const auto every =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(o_.every_s / clock.factor));
        int fd = -1;
        // A FIFO opens for writing without blocking only once a reader holds it open.
        testbed::wait_until(
            [&] {
                fd = open(pipe_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                return fd >= 0 || process.exited();
            },
            kForever);
        if (fd < 0) return;
        std::vector<uint8_t> bytes = o_.send;
        if (bytes.back() != kExitCommand) bytes.push_back(kExitCommand);
        for (uint8_t b : bytes) {
            if (testbed::wait_until([&] { return process.exited(); }, every)) break;
            if (write(fd, &b, 1) != 1) break;
        }
        close(fd);
    }

    bool first_use(Clock::time_point* when) const override {
        bool used = false;
        for (const auto& chip : chips_) {
            const auto writes = chip.writes();
            if (!writes.empty() && (!used || writes.front().when < *when)) *when = writes.front().when;
            used = used || !writes.empty();
        }
        return used;
    }

    Section report(const RunRecord& run) const override {
        Section s;
        s.title = "boardsim leds: what the LED chips saw";
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
                commands.push_back({{"byte", b}, {"at_s", round2(at)}});
            }
        }
        s.lines.push_back("commands the daemon read from /data/led_pipe: " + (received.empty() ? "none" : received));
        s.facts["commands"] = commands;
        s.outcome = "the daemon drove the chips, " + std::to_string(commands.size()) + " commands read from its pipe";
        Json chips = Json::array();
        for (int i = 0; i < 2; ++i) {
            Json chip = {{"node", std::string("/dev/") + kNodes[i]}, {"present", present_[i]}};
            if (!present_[i]) {
                snprintf(buf, sizeof buf, "/dev/%s: absent (no such chip on this board)", kNodes[i]);
            } else {
                unsigned failed = 0, prepares = 0;
                for (const auto& w : chips_[i].writes()) failed += !w.accepted;
                for (unsigned long r : chips_[i].ioctls()) prepares += r == kPrepareRequest;
                snprintf(buf, sizeof buf, "/dev/%s: %u register write calls, %u of them failed; %u prepare requests (0x%lx)",
                         kNodes[i], chips_[i].write_calls(), failed, prepares, kPrepareRequest);
                chip["write_calls"] = chips_[i].write_calls();
                chip["failed_write_calls"] = failed;
                chip["prepare_requests"] = prepares;
            }
            s.lines.push_back(buf);
            chips.push_back(chip);
        }
        s.facts["chips"] = chips;
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
        std::vector<board::TimelineChip> chips;
        for (int i = 0; i < 2; ++i) {
            board::TimelineChip chip{std::string("/dev/") + kNodes[i], present_[i], chips_[i].writes()};
            for (auto& w : chip.writes) w.when = run.clock.on_board(w.when);
            chips.push_back(chip);
        }
        std::vector<board::TimelineMark> marks;
        Clock::time_point first_call{};
        if (first_use(&first_call)) marks.push_back({run.clock.on_board(first_call), "daemon starts", true});
        for (const auto& r : run.process.pipe_reads()) {
            if (r.path != kDaemonPipe) continue;
            for (uint8_t b : r.bytes) {
                marks.push_back({run.clock.on_board(r.when), std::to_string(b), false});
                if (b == kExitCommand)
                    marks.push_back({run.clock.on_board(r.when) + std::chrono::duration_cast<Clock::duration>(
                                                                       std::chrono::duration<double>(kExitPauseSeconds)),
                                     "daemon ends", true});
            }
        }
        return {{kTimelineFile, board::led_timeline_svg(chips, run.clock.start, run.clock.on_board(run.end), marks)}};
    }

private:
    static double round2(double v) { return static_cast<double>(static_cast<long long>(v * 100 + 0.5)) / 100; }

    LedOptions o_;
    bool note_pipe_;
    bool present_[2] = {true, true};
    board::Aw9110Chip chips_[2];
    std::string pipe_;
};

}  // namespace

std::unique_ptr<Part> make_leds_part(const Options& options) {
    return std::unique_ptr<Part>(new LedsPart(options.leds, options.board == Board::leds));
}

}  // namespace boardsim
