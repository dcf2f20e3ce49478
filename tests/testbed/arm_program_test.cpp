// The qemu-arm command line for an ARM program: what qemu gets, what the program gets, and the
// refusals that keep an ARM program from running without its redirections.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "arm_program.h"

namespace {

using Strings = std::vector<std::string>;

Strings strings(char** v) {
    Strings out;
    for (; v && *v; ++v) out.push_back(*v);
    return out;
}

class ArmCommand : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/arm-command.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // A preload folder with an armhf build of one library and not of another.
        ASSERT_EQ(system(("mkdir -p " + dir + "/lib/arm-linux-gnueabihf " + dir + "/root").c_str()), 0);
        std::ofstream(dir + "/lib/arm-linux-gnueabihf/libbed.so") << "x";
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0); }

    // Runs testbed_arm_command; returns the command, or {"refused: <reason>"}.
    Strings command(Strings env) {
        std::vector<char*> argv = {const_cast<char*>("lumend"), const_cast<char*>("3"), nullptr};
        env_store = env;
        std::vector<char*> envp;
        for (auto& e : env_store) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        char** env_out = nullptr;
        char err[512] = "";
        char** cmd = testbed_arm_command("/bin/lumend", argv.data(), envp.data(), &env_out, err, sizeof err);
        if (!cmd) return {std::string("refused: ") + err};
        Strings out = strings(cmd);
        qemu_env = strings(env_out);
        free(cmd);
        free(env_out);
        return out;
    }

    std::string dir;
    Strings env_store, qemu_env;
};

TEST_F(ArmCommand, PreloadsGoToTheProgramNotToQemu) {
    const std::string preload = "LD_PRELOAD=" + dir + "/$LIB/libbed.so";
    Strings cmd = command({"A=1", preload, "TESTBED_QEMU_ARM=/usr/bin/qemu-arm", "TESTBED_ARM_ROOT=" + dir + "/root"});
    EXPECT_EQ(cmd, (Strings{"/usr/bin/qemu-arm", "-L", dir + "/root", "-0", "lumend", "-E", preload, "/bin/lumend", "3"}));
    EXPECT_EQ(qemu_env, (Strings{"A=1", "TESTBED_QEMU_ARM=/usr/bin/qemu-arm", "TESTBED_ARM_ROOT=" + dir + "/root"}));
}

TEST_F(ArmCommand, RefusedWithoutQemuRootOrAnArmBuildOfEveryPreload) {
    const std::string qemu = "TESTBED_QEMU_ARM=/usr/bin/qemu-arm", root = "TESTBED_ARM_ROOT=" + dir + "/root";
    const std::string both = "LD_PRELOAD=" + dir + "/$LIB/libbed.so:" + dir + "/$LIB/libother.so";
    struct Case {
        Strings env;
        std::string reason;
    } cases[] = {
        {{root}, "qemu-arm was not found"},
        {{qemu}, "no armhf root is set"},
        {{qemu, root, both}, "the preload " + dir + "/$LIB/libother.so has no armhf build"},
        {{qemu, root, "LD_PRELOAD=" + dir + "/$LIB/libbed.so,x"}, "LD_PRELOAD holds a comma"},
    };
    for (const auto& c : cases) {
        Strings cmd = command(c.env);
        ASSERT_EQ(cmd.size(), 1u);
        EXPECT_NE(cmd[0].find("refused: /bin/lumend is a 32-bit ARM program and " + c.reason), std::string::npos) << cmd[0];
    }
}

TEST(ArmElf, OnlyA32BitArmElfIsOne) {
    EXPECT_FALSE(testbed_arm_elf("/bin/sh"));  // the host's own
    EXPECT_FALSE(testbed_arm_elf("/nonexistent"));
#ifdef ARM_PROGRAM
    EXPECT_TRUE(testbed_arm_elf(ARM_PROGRAM));
#else
    GTEST_SKIP() << "no 32-bit ARM toolchain (arm-linux-gnueabihf-gcc) for a sample ARM file";
#endif
}

// The header of an ARM program with one field changed is no ARM program; the whole 52-byte
// header must be there.
TEST(ArmElf, EachHeaderFieldAndTheHeadersLength) {
    std::ifstream in(ARM_PROGRAM, std::ios::binary);
    std::string header(52, '\0');
    ASSERT_TRUE(in.read(&header[0], 52));
    const std::string path = "/tmp/arm-elf-header." + std::to_string(getpid());
    auto check = [&](const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
        return testbed_arm_elf(path.c_str());
    };
    EXPECT_TRUE(check(header));
    EXPECT_FALSE(check(header.substr(0, 51)));
    struct Change {
        size_t offset;
        char value;
    } changes[] = {{0, 0x7e}, {3, 'f'}, {4, 2 /* ELFCLASS64 */}, {5, 2 /* big-endian */}, {18, 62 /* x86-64 */}, {19, 1}};
    for (const auto& c : changes) {
        std::string changed = header;
        changed[c.offset] = c.value;
        EXPECT_FALSE(check(changed)) << "byte " << c.offset;
    }
    unlink(path.c_str());
}

}  // namespace
