// The sysfs GPIO model keeps the order of the lines written, across its files, even when the
// writes come faster than it drains them (one shell writing without pauses).
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

}  // namespace
