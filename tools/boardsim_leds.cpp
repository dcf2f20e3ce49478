// boardsim leds: the two AW9110 chips behind their driver nodes and the daemon's command pipe.
// --send writes commands into the pipe; the report is the first chip's timeline, with the
// commands the daemon read marked on its time axis.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "aw9110_chip.h"
#include "boardsim_boards.h"
#include "boardsim_run.h"
#include "led_timeline_svg.h"

namespace boardsim {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kNodes[2] = {"aw9110_1_dev", "aw9110_2_dev"};
constexpr uint8_t kExitCommand = 0xFF;  // ends the daemon
constexpr unsigned long kPrepareRequest = board::Aw9110Chip::kPrepareRequest;

// Writes the bytes into the daemon's pipe, one after each pause, then 0xFF; stops early when
// COMMAND ends.
void send_commands(testbed::Process& process, const std::string& pipe, const Options& o) {
    const auto every = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(o.every_s));
    int fd = -1;
    // A FIFO opens for writing without blocking only once a reader holds it open.
    testbed::wait_until(
        [&] {
            fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return fd >= 0 || process.exited();
        },
        kForever);
    if (fd < 0) return;
    std::vector<uint8_t> bytes = o.send;
    if (bytes.back() != kExitCommand) bytes.push_back(kExitCommand);
    for (uint8_t b : bytes) {
        if (testbed::wait_until([&] { return process.exited(); }, every)) break;
        if (write(fd, &b, 1) != 1) break;
    }
    close(fd);
}

std::string channels(const board::Aw9110Chip& chip) {
    std::string out;
    char buf[32];
    for (int n = 0; n < 10; ++n) {
        board::ChannelView c = chip.channel(n);
        const char* mode = !c.enabled ? "level" : c.sequence ? "sequence" : c.output_on ? "on" : "off";
        snprintf(buf, sizeof buf, "%sch%d %s %d", n ? ", " : "", n, mode, c.level);
        out += buf;
    }
    return out;
}

std::string chip_line(const board::Aw9110Chip& chip, int index, const Options& o) {
    char buf[256];
    if (o.chip_missing == index + 1) {
        snprintf(buf, sizeof buf, "  /dev/%s: absent (--chip-missing %d)\n", kNodes[index], index + 1);
        return buf;
    }
    unsigned failed = 0;
    for (const auto& w : chip.writes()) failed += !w.accepted;
    unsigned prepares = 0;
    for (unsigned long r : chip.ioctls()) prepares += r == kPrepareRequest;
    snprintf(buf, sizeof buf, "  /dev/%s: %u register write calls, %u of them failed; %u prepare requests (0x%lx)\n",
             kNodes[index], chip.write_calls(), failed, prepares, kPrepareRequest);
    return buf;
}

}  // namespace

int run_leds(const Options& o, bool private_mounts) {
    board::Aw9110Chip chips[2];
    auto write_count = std::make_shared<std::atomic<unsigned>>(0);
    testbed::Bed bed;
    for (int i = 0; i < 2; ++i) {
        chips[i].share_write_count(write_count);
        if (o.fail_first > 0) chips[i].fail_writes(o.fail_first, o.fail_last);
        if (o.chip_missing == i + 1)
            bed.fail_open(std::string("/dev/") + kNodes[i], ENOENT);  // no node: the driver found no chip
        else
            bed.add_char_device(kNodes[i], &chips[i]);
    }
    const std::string pipe = bed.data_dir() + "/led_pipe";
    if (o.send.empty())
        fprintf(stderr,
                "boardsim: the daemon's /data/led_pipe is %s: write command bytes into it "
                "(printf '\\003' > %s), 255 ends the daemon\n",
                pipe.c_str(), pipe.c_str());
    const auto start = Clock::now();
    auto process = start_command(bed, o, private_mounts);
    if (!process) return 127;
    if (!o.send.empty()) send_commands(*process, pipe, o);
    const int status = finish_command(*process);
    const auto end = Clock::now();

    std::vector<board::TimelineMark> marks;
    std::string received;
    char buf[64];
    for (const auto& r : process->pipe_reads()) {
        for (uint8_t b : r.bytes) {
            marks.push_back({r.when, std::to_string(b)});
            snprintf(buf, sizeof buf, "%s%u at %.2f s", received.empty() ? "" : ", ", b,
                     std::chrono::duration<double>(r.when - start).count());
            received += buf;
        }
    }
    std::string text = "boardsim leds: what the LED chips saw\n";
    text += "  commands the daemon read from /data/led_pipe: " + (received.empty() ? "none" : received) + "\n";
    for (int i = 0; i < 2; ++i) text += chip_line(chips[i], i, o);
    if (o.chip_missing != 1) text += "  /dev/aw9110_1_dev channels at the end: " + channels(chips[0]) + "\n";
    text += log_section(*process);
    const std::string svg = "leds-timeline.svg";
    text += o.report_dir.empty() ? "  timeline picture of /dev/aw9110_1_dev: give --report DIR for it\n"
                                 : "  timeline picture of /dev/aw9110_1_dev: " + o.report_dir + "/" + svg + "\n";
    deliver_report(o, text, {{svg, board::led_timeline_svg(chips[0].writes(), start, end, marks)}});
    return status;
}

}  // namespace boardsim
