// Runs the real lumend on the simulated board, sends it a few commands through its pipe,
// prints what chip 0's channels show after each, and draws the whole run as an SVG.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "aw9110_chip.h"
#include "bed.h"
#include "led_timeline_svg.h"

using namespace std::chrono_literals;

static void show(const board::Aw9110Chip& chip, const char* what) {
    printf("  %-28s", what);
    for (int n = 0; n < 10; ++n) {
        board::ChannelView c = chip.channel(n);
        const char* mode = !c.enabled ? "lvl" : c.sequence ? "seq" : c.output_on ? "ON" : "off";
        printf(" ch%d:%s/%3d", n, mode, c.level);
    }
    printf("\n");
}

int main(int argc, char** argv) {
    const char* svg_path = argc > 1 ? argv[1] : "lumend-timeline.svg";
    board::Aw9110Chip chip0, chip1;
    testbed::Bed bed;
    bed.add_char_device("aw9110_1_dev", &chip0);
    bed.add_char_device("aw9110_2_dev", &chip1);
    auto start = std::chrono::steady_clock::now();
    auto proc = bed.start({LUMEND_BIN});
    if (!proc) return 1;
    std::string fifo = bed.data_dir() + "/led_pipe";
    if (!testbed::wait_until([&] { return access(fifo.c_str(), F_OK) == 0; }, 10s)) return 1;
    int w = open(fifo.c_str(), O_WRONLY);  // blocks until lumend opens its end
    if (w < 0) return 1;
    printf("lumend started without a command: chip-timed sequence\n");
    std::this_thread::sleep_for(1500ms);
    show(chip0, "command 2 (sequence)");
    struct Step {
        uint8_t cmd;
        std::chrono::milliseconds hold;
        const char* name;
    } steps[] = {{1, 800ms, "command 1 (running light)"},
                 {3, 3200ms, "command 3 (alternating)"},
                 {0, 1200ms, "command 0 (off)"},
                 {2, 1500ms, "command 2 (sequence)"}};
    for (const auto& s : steps) {
        if (write(w, &s.cmd, 1) != 1) return 1;
        std::this_thread::sleep_for(s.hold);
        show(chip0, s.name);
    }
    uint8_t bye = 0xFF;
    if (write(w, &bye, 1) != 1) return 1;
    close(w);
    int status = proc->wait_exit(10s);
    auto end = std::chrono::steady_clock::now();
    printf("\nlumend's output:\n%s", proc->output().c_str());
    printf("lumend exit status: %d\n", status);
    std::ofstream(svg_path) << board::led_timeline_svg(chip0.writes(), start, end);
    printf("LED timeline of chip 0 written to %s\n", svg_path);
    return status == 0 ? 0 : 1;
}
