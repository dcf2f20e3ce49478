// boardsim's command line parser at the ends of each option's range: the first value taken,
// the last, and one past (the whole one-line message), repeated options, hex bytes.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "boardsim_options.h"

namespace {

using boardsim::Options;
using boardsim::Parse;

struct Case {
    const char* args;     // board and options; " -- true" is added
    const char* message;  // the one line of a refusal, nullptr when taken
    std::function<bool(const Options&)> taken = nullptr;  // what a taken value set
};

const Case kCases[] = {
    {"touch --version 0", nullptr, [](const Options& o) { return o.touch.version == 0; }},
    {"touch --version 255", nullptr, [](const Options& o) { return o.touch.version == 255; }},
    {"touch --version 0x10", nullptr, [](const Options& o) { return o.touch.version == 16; }},
    {"touch --version 256", "boardsim touch: --version takes a byte value 0-255 (or 0x00-0xFF), not \"256\""},
    {"touch --version 0x100", "boardsim touch: --version takes a byte value 0-255 (or 0x00-0xFF), not \"0x100\""},
    {"touch --new-version 0x0c", nullptr, [](const Options& o) { return o.touch.new_version == 12; }},
    {"touch --version 1 --version 2", "boardsim touch: --version given twice"},
    {"board --version 1 --touch-version 2", "boardsim board: --touch-version given twice"},
    {"touch --no-answer enter --no-answer verify-row", nullptr, [](const Options& o) { return o.touch.no_answer.size() == 2; }},
    {"touch --rows 0-0", nullptr, [](const Options& o) { return o.touch.first_row == 0 && o.touch.last_row == 0; }},
    {"touch --rows 0-65535", nullptr, [](const Options& o) { return o.touch.last_row == 65535; }},
    {"touch --rows 0-65536", "boardsim touch: --rows takes a row range like 0-127, not \"0-65536\""},
    {"touch --rows 10-200 --bad-row-checksum 10 --bad-row-checksum 200", nullptr,
     [](const Options& o) { return o.touch.bad_rows == std::vector<uint16_t>{10, 200}; }},
    {"touch --rows 10-200 --bad-row-checksum 201", "boardsim touch: --bad-row-checksum 201 lies outside the flash rows 10-200 (--rows)"},
    {"touch --late-answer verify-row=1", nullptr, [](const Options& o) { return o.touch.answer_faults[0].value == 1; }},
    {"touch --late-answer verify-row=0",
     "boardsim touch: --late-answer takes a command and a poll count from 1, like verify-row=5, not \"verify-row=0\""},
    {"touch --answer-status enter=256", "boardsim touch: --answer-status takes a command and a status, like program-row=10, not \"enter=256\""},
    {"touch --fail-reads 1000000", nullptr, [](const Options& o) { return o.touch.fail_reads == 1000000; }},
    {"touch --fail-reads 1000001", "boardsim touch: --fail-reads takes a count, not \"1000001\""},
    {"leds --fail-writes 1-1", nullptr, [](const Options& o) { return o.leds.fail_first == 1 && o.leds.fail_last == 1; }},
    {"leds --fail-writes 0-3", "boardsim leds: --fail-writes takes a range of write calls like 3-40, not \"0-3\""},
    {"leds --short-writes 2-1000001", "boardsim leds: --short-writes takes a range of write calls like 3-40, not \"2-1000001\""},
    {"leds --chip-missing 3", "boardsim leds: --chip-missing takes 1 or 2, not \"3\""},
    {"leds --send 0,0xff --every 0", nullptr, [](const Options& o) { return o.leds.send.back() == 255 && o.leds.every_s == 0; }},
    {"leds --send 1 --every 3600", nullptr, [](const Options& o) { return o.leds.every_s == 3600; }},
    {"leds --send 1 --every 3600.5", "boardsim leds: --every takes seconds, like 2 or 0.5, not \"3600.5\""},
    {"leds --send 256", "boardsim leds: --send takes byte values 0-255 separated by commas, like 1,3,0, not \"256\""},
    {"mcu --timeout 604800", nullptr, [](const Options& o) { return o.timeout_s == 604800; }},
    {"mcu --timeout 0", "boardsim mcu: --timeout takes seconds, like 60, not \"0\""},
    {"mcu --timeout 604801", "boardsim mcu: --timeout takes seconds, like 60, not \"604801\""},
    {"mcu --app-version x.y", "boardsim mcu: --app-version takes a version like 2.0.9, not \"x.y\""},
    {"mcu --new-version 1.2.3.4", "boardsim mcu: --new-version takes a version like 2.0.13, not \"1.2.3.4\""},
    {"mcu --power-cut-after-bytes 524288", nullptr, [](const Options& o) { return o.mcu.power_cut_bytes == 524288; }},
    {"mcu --power-cut-after-bytes 524289", "boardsim mcu: --power-cut-after-bytes takes a byte count, not \"524289\""},
    {"mcu --power-cut-after-pages 256", nullptr, [](const Options& o) { return o.mcu.power_cut_pages == 256; }},
    {"mcu --power-cut-after-pages 257", "boardsim mcu: --power-cut-after-pages takes a page count, not \"257\""},
    {"mcu --drop-answer-byte 1", nullptr, [](const Options& o) { return o.mcu.drop_answer_byte == 1; }},
    {"mcu --drop-answer-byte 0", "boardsim mcu: --drop-answer-byte takes a byte number from 1, not \"0\""},
    {"mcu --silent-bootloader 1000000 --nack sync=1000000", nullptr,
     [](const Options& o) { return o.mcu.silent_bootloader == 1000000 && o.mcu.nacks[0].second == 1000000; }},
    {"mcu --silent-bootloader 1000001", "boardsim mcu: --silent-bootloader takes a count, not \"1000001\""},
    {"mcu --nack-erase -1", "boardsim mcu: --nack-erase takes a count, not \"-1\""},
    {"mcu --split-answer 1,2@10001", "boardsim mcu: --split-answer takes piece sizes with an optional gap, like 3,4@20, not \"1,2@10001\""},
};

TEST(ParseOptions, TakesEachOptionFromItsFirstToItsLastValueAndRefusesOnePastInOneLine) {
    for (const Case& c : kCases) {
        std::vector<std::string> words = {"boardsim"};
        std::istringstream in(std::string(c.args) + " -- true");
        for (std::string w; in >> w;) words.push_back(w);
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(&w[0]);
        Options o;
        std::string message;
        const Parse r = boardsim::parse_options(static_cast<int>(argv.size()), argv.data(), &o, &message);
        if (c.message) {
            EXPECT_EQ(r, Parse::error) << c.args;
            EXPECT_EQ(message, c.message) << c.args;
        } else {
            ASSERT_EQ(r, Parse::run) << c.args << ": " << message;
            EXPECT_TRUE(c.taken(o)) << c.args;
            EXPECT_EQ(o.command, std::vector<std::string>{"true"}) << c.args;
        }
    }
}

}  // namespace
