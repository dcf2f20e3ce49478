// What runs of 32-bit ARM programs need from the machine (qemu-arm, the armhf root, armhf
// builds of the preloads), and the one LD_PRELOAD value that serves host and ARM processes of
// a run alike: the dynamic loader reads "$LIB" as its own architecture's library folder.
#pragma once

#include <string>
#include <vector>

namespace testbed {

struct ArmRuntime {
    std::string qemu;         // qemu-arm's path; empty when not found
    std::string root;         // the armhf root; empty when it has no ARM loader
    std::string root_wanted;  // where the armhf root was looked for
    std::string preload_dir;  // armhf builds of the project's preloads
};

// From TESTBED_QEMU_ARM / PATH, TESTBED_ARM_ROOT and TESTBED_ARM_PRELOADS, else an installed
// tree's armhf preloads (own_files.h) and the build's defaults.
ArmRuntime find_arm_runtime();

struct PreloadSet {
    std::string value;                 // for LD_PRELOAD
    std::vector<std::string> no_arm;  // libraries without an armhf build
};

// Links each library into dir/lib/<host folder>/ and, where an armhf build is found, into
// dir/lib/arm-linux-gnueabihf/; the value names dir/$LIB/<library file name> for each, in order.
PreloadSet make_preload_set(const std::string& dir, const std::vector<std::string>& libs, const ArmRuntime& arm);

// The files a PATH search tries for name, in order (an empty PATH entry is the current folder).
std::vector<std::string> path_candidates(const std::string& name);
// The program file that exec would run for name (a PATH search when it holds no '/': the first
// regular file with execute permission).
std::string program_file(const std::string& name);

}  // namespace testbed
