// The sysfs GPIO model keeps the order of the lines written, across its files, even when the
// writes come faster than it drains them (one shell writing without pauses), and keeps each
// line's state where readers of direction and value are led.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "char_device.h"
#include "sysfs_gpio.h"

namespace {

TEST(SysfsGpioModel, KeepsTheOrderOfBackToBackWritesAcrossFiles) {
    char tmpl[] = "/tmp/coproc-sysfs.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string sys = tmpl;
    std::vector<std::string> want;
    {
        board::SysfsGpio gpio(sys);
        const char* files[] = {"export", "unexport", "gpio117/direction", "gpio119/direction", "gpio13/direction"};
        std::string script;
        for (int i = 0; i < 150; ++i) {
            // Same file twice in a row now and then, other files in between otherwise.
            const char* f = files[(i * 7 / 3) % 5];
            const std::string value = "v" + std::to_string(i);
            script += "echo " + value + " > " + sys + "/class/gpio/" + f + "; ";
            want.push_back(std::string(f) + "=" + value);
        }
        ASSERT_EQ(system(("sh -c '" + script + "'").c_str()), 0);
        EXPECT_TRUE(testbed::wait_until([&] { return gpio.writes().size() >= want.size(); }, std::chrono::seconds(10)));
        EXPECT_EQ(gpio.write_texts(), want);
    }
    ASSERT_EQ(system(("rm -rf '" + sys + "'").c_str()), 0);
}

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A program writes words without a newline, back to back to one file (as a flasher does); a
// shell sets a line through "out" and "value". Each write is one record, a value written to an
// input changes nothing, and the state files show the lines as the kernel would.
TEST(SysfsGpioModel, SplitsWritesWithoutNewlinesAndKeepsTheLinesState) {
    char tmpl[] = "/tmp/coproc-sysfs.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string gpio_dir = std::string(tmpl) + "/class/gpio/";
    {
        board::SysfsGpio gpio(tmpl);
        EXPECT_EQ(file_text(gpio_dir + "gpio117/.direction"), "in\n");
        const std::string script = "cd " + gpio_dir + " && printf high > gpio117/direction && printf low > gpio117/direction" +
                                   " && printf in > gpio117/direction && printf 1 > gpio117/value" +
                                   " && echo out > gpio119/direction && echo 1 > gpio119/value";
        ASSERT_EQ(system(("sh -c '" + script + "'").c_str()), 0);
        EXPECT_TRUE(testbed::wait_until([&] { return gpio.writes().size() >= 6; }, std::chrono::seconds(10)));
        EXPECT_EQ(gpio.write_texts(), (std::vector<std::string>{"gpio117/direction=high", "gpio117/direction=low", "gpio117/direction=in",
                                                                "gpio117/value=1", "gpio119/direction=out", "gpio119/value=1"}));
        EXPECT_EQ(file_text(gpio_dir + "gpio117/.direction"), "in\n");
        EXPECT_EQ(file_text(gpio_dir + "gpio117/.value"), "0\n");
        EXPECT_EQ(file_text(gpio_dir + "gpio119/.direction"), "out\n");
        EXPECT_EQ(file_text(gpio_dir + "gpio119/.value"), "1\n");
        EXPECT_TRUE(gpio.line(119).level());
    }
    ASSERT_EQ(system(("rm -rf '" + std::string(tmpl) + "'").c_str()), 0);
}

// Values as the kernel's number parser takes them from a shell (a sign, 0x, several digits, no
// blanks before), only on an output; an input reads its level: low. Each write says whether it
// was taken.
TEST(SysfsGpioModel, ValuesTakeTheKernelsNumbersOnOutputsAndAnInputReadsLow) {
    char tmpl[] = "/tmp/coproc-sysfs.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string gpio_dir = std::string(tmpl) + "/class/gpio/gpio117/";
    board::GpioLine line;
    std::string levels;
    for (const char* v : {"1", "00", "10", "0", "-1", "0x0", "1x"}) {
        line.write("direction", "out");
        line.write("value", "1");
        const bool taken = line.write("value", v);
        levels += std::to_string(taken) + std::to_string(line.level()) + " ";
    }
    EXPECT_EQ(levels, "11 10 11 10 11 10 01 ");
    {
        board::SysfsGpio gpio(tmpl);
        const char* const steps[][2] = {{"direction", "high"}, {"value", "0"},  {"value", "0x1"}, {"value", " 0"},
                                        {"value", "-1"},       {"value", "00"}, {"value", "10"},  {"direction", "in"},
                                        {"value", "1"},        {"direction", "bogus"}};
        std::string script = "cd " + gpio_dir;
        for (const auto& st : steps) script += std::string(" && echo '") + st[1] + "' > " + st[0];
        ASSERT_EQ(system(("sh -c \"" + script + "\"").c_str()), 0);
        EXPECT_TRUE(testbed::wait_until([&] { return gpio.writes().size() >= 10; }, std::chrono::seconds(10)));
        std::string taken;
        for (const auto& w : gpio.writes()) taken += w.value + (w.applied ? "+ " : "- ");
        EXPECT_EQ(taken, "high+ 0+ 0x1+  0- -1+ 00+ 10+ in+ 1- bogus- ");
        EXPECT_EQ(file_text(gpio_dir + ".direction"), "in\n");
        EXPECT_EQ(file_text(gpio_dir + ".value"), "0\n");
    }
    ASSERT_EQ(system(("rm -rf '" + std::string(tmpl) + "'").c_str()), 0);
}

}  // namespace
