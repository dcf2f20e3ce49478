// Where the bed's and boardsim's own libraries (the preloads) are: in an installed tree beside
// the running executable, else where the build tree made them.
#pragma once

#include <string>

namespace testbed {

// The installed folder of the preloads, relative to the executable's folder ("bin/../lib/boardsim").
constexpr const char* kInstalledLibDir = "../lib/boardsim";

// The folder <executable's folder>/<kInstalledLibDir>/<sub> when it exists (an installed tree), else "".
std::string installed_dir(const std::string& sub = "");
// The library file of built_path's name in installed_dir(), when it is there; else built_path.
std::string own_library(const std::string& built_path);

}  // namespace testbed
