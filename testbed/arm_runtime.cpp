// Finding qemu-arm, the armhf root and the armhf preloads; the run's $LIB preload folder.
#include "arm_runtime.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "arm_program.h"
#include "char_device.h"
#include "own_files.h"

namespace testbed {

namespace {

std::string env_or(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The armhf build of a host library: ours in the armhf preload folder, or, for a library of
// the host's multiarch folder (libfaketime), the same file in the ARM folder of the armhf root
// or of the machine (an :armhf package). Empty when there is none.
std::string arm_build_of(const std::string& lib, const ArmRuntime& arm) {
    const std::string own = arm.preload_dir + "/" + base_name(lib);
    if (!arm.preload_dir.empty() && readable(own)) return own;
    for (const std::string prefix : {"/usr/", "/"}) {
        const std::string host_dir = prefix + HOST_LIB_DIR "/";
        if (lib.compare(0, host_dir.size(), host_dir) != 0) continue;
        const std::string arm_path = prefix + TESTBED_ARM_LIB "/" + lib.substr(host_dir.size());
        if (!arm.root.empty() && readable(arm.root + arm_path)) return arm.root + arm_path;
        if (readable(arm_path)) return arm_path;
    }
    return "";
}

void link_into(const std::string& dir, const std::string& target) {
    mkdir(dir.c_str(), 0755);
    const std::string at = dir + "/" + base_name(target);
    unlink(at.c_str());
    if (symlink(target.c_str(), at.c_str()) != 0) problem("cannot link " + at);
}

}  // namespace

ArmRuntime find_arm_runtime() {
    ArmRuntime arm;
    arm.qemu = env_or(TESTBED_QEMU_ARM_VAR, program_file("qemu-arm"));
    if (access(arm.qemu.c_str(), X_OK) != 0) arm.qemu.clear();
    arm.root_wanted = env_or(TESTBED_ARM_ROOT_VAR, ARMHF_ROOT);
    if (readable(arm.root_wanted + "/lib/ld-linux-armhf.so.3")) arm.root = arm.root_wanted;
    // An installed boardsim keeps the armhf builds of its preloads in an "armhf" folder beside the host ones.
    const std::string installed = installed_dir("armhf");
    arm.preload_dir = env_or("TESTBED_ARM_PRELOADS", installed.empty() ? ARMHF_PRELOAD_DIR : installed);
    return arm;
}

PreloadSet make_preload_set(const std::string& dir, const std::vector<std::string>& libs, const ArmRuntime& arm) {
    PreloadSet set;
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/lib").c_str(), 0755);
    for (const auto& lib : libs) {
        link_into(dir + "/" HOST_LIB_DIR, lib);
        const std::string arm_lib = arm_build_of(lib, arm);
        if (arm_lib.empty())
            set.no_arm.push_back(lib);
        else
            link_into(dir + "/" TESTBED_ARM_LIB, arm_lib);
        if (!set.value.empty()) set.value += ":";
        set.value += dir + "/$LIB/" + base_name(lib);
    }
    return set;
}

std::vector<std::string> path_candidates(const std::string& name) {
    const char* path = getenv("PATH");
    const std::string dirs = path ? path : "/bin:/usr/bin";  // glibc's execvp without PATH
    std::vector<std::string> candidates;
    size_t pos = 0;
    for (;;) {
        size_t colon = dirs.find(':', pos);
        std::string d = dirs.substr(pos, colon - pos);
        candidates.push_back((d.empty() ? "." : d) + "/" + name);
        if (colon == std::string::npos) return candidates;
        pos = colon + 1;
    }
}

std::string program_file(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    struct stat st;
    for (const auto& candidate : path_candidates(name))  // a folder of that name is passed over, as by execvp
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    return name;
}

}  // namespace testbed
