// One simulated board for an end-to-end run of the real coprocflash binary: the test bed with
// /dev/ttyS1, the sysfs GPIO model and the MCU model on the line. The board runs on the virtual
// clock (the tool's pauses and time-outs pass at once) unless a case is about the real clock:
// an interrupt in the middle of a pause needs the pause to last.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bed.h"
#include "mcu_model.h"
#include "sysfs_gpio.h"

namespace e2e {

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// A happy update: two 1 s reset pulses, 3 s + 1 s before the confirmation, the transfers.
constexpr std::chrono::milliseconds kHappyRun = 40s;
// Three passes with a silent bootloader: 3 x (2 s + 6 x 4 s).
constexpr std::chrono::milliseconds kSilentRun = 120s;

struct Board {
    testbed::Bed bed;
    int master = bed.add_tty("ttyS1");
    board::SysfsGpio gpio{bed.sys_dir()};
    board::McuModel mcu{master};
    // What the tool's standard output is (a pty, as on a console, unless a case says otherwise).
    testbed::RunOptions::Stdout stdout_to = testbed::RunOptions::Stdout::pty;

    enum class Clock { virtual_time, real_time };
    explicit Board(Clock clock = Clock::virtual_time) {
        if (clock == Clock::virtual_time) bed.use_virtual_clock();
        mcu.attach(gpio);
    }

    std::unique_ptr<testbed::Process> run(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        std::vector<std::string> argv = {COPROCFLASH_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        testbed::RunOptions opts;
        opts.preload_before = {E2E_PRELOAD};
        opts.env = env;
        opts.stdout_to = stdout_to;
        return bed.start(argv, opts);
    }
    std::string image(const std::string& name, const Bytes& bytes) {
        return bed.make_file(name, std::string(bytes.begin(), bytes.end()));
    }
    // The GPIO writes of a run that has ended with the release of the lines: the sysfs model
    // may still be draining the last shell's write when the program's exit is seen.
    Lines final_gpio_writes() {
        testbed::wait_until([&] {
            auto w = gpio.write_texts();
            return !w.empty() && w.back() == "unexport=117";
        }, std::chrono::seconds(5));
        return gpio.write_texts();
    }
};

inline Bytes pattern(size_t n, unsigned seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

// True when want appears in lines in this order (other lines may come between).
inline ::testing::AssertionResult in_order(const Lines& lines, const Lines& want) {
    size_t i = 0;
    for (const auto& l : lines)
        if (i < want.size() && l == want[i]) ++i;
    if (i == want.size()) return ::testing::AssertionSuccess();
    std::ostringstream msg;
    msg << "missing, in order: \"" << want[i] << "\"\n--- output ---\n";
    for (const auto& l : lines) msg << l << "\n";
    return ::testing::AssertionFailure() << msg.str();
}

inline size_t count_of(const Lines& lines, const std::string& l) {
    size_t n = 0;
    for (const auto& x : lines) n += x == l;
    return n;
}

// The release of the lines by mcu_deinit, as sysfs sees it.
inline Lines release_writes() {
    return {"gpio13/direction=in", "gpio119/direction=in", "unexport=119", "unexport=13", "unexport=117"};
}
inline Lines export_writes() { return {"export=119", "export=13", "export=117"}; }
inline Lines bootloader_entry_writes() {
    return {"gpio13/direction=high", "gpio119/direction=high", "gpio117/direction=low", "gpio117/direction=high",
            "gpio117/direction=low"};
}
inline Lines run_writes() {
    return {"gpio119/direction=low", "gpio117/direction=low", "gpio117/direction=high", "gpio117/direction=low"};
}
inline Lines concat(std::initializer_list<Lines> parts) {
    Lines out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace e2e
