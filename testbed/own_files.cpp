// The preloads of an installed boardsim, found relative to its own executable (/proc/self/exe),
// so an installed tree works wherever its prefix is; from the build tree, the build's paths.
#include "own_files.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testbed {

std::string installed_dir(const std::string& sub) {
    char* exe = realpath("/proc/self/exe", nullptr);
    if (!exe) return "";
    std::string dir = exe;
    free(exe);
    dir = dir.substr(0, dir.rfind('/')) + "/" + kInstalledLibDir + (sub.empty() ? "" : "/" + sub);
    char* real = realpath(dir.c_str(), nullptr);  // "<prefix>/lib/boardsim", as messages name it
    struct stat st;
    const bool found = real && stat(real, &st) == 0 && S_ISDIR(st.st_mode);
    dir = found ? real : "";
    free(real);
    return dir;
}

std::string own_library(const std::string& built_path) {
    const std::string dir = installed_dir();
    if (dir.empty()) return built_path;
    const std::string installed = dir + "/" + built_path.substr(built_path.rfind('/') + 1);
    return access(installed.c_str(), R_OK) == 0 ? installed : built_path;
}

}  // namespace testbed
