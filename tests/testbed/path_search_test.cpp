// The PATH search of the bed and boardsim: the files tried for a program's name, in order, and
// the one that exec would run (a folder or a file without execute permission is passed over).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "arm_runtime.h"

namespace {

using Strings = std::vector<std::string>;

// The files tried for name under the PATH value path (nullptr: PATH unset).
Strings candidates(const char* path, const std::string& name) {
    const std::string saved = getenv("PATH");
    path ? setenv("PATH", path, 1) : unsetenv("PATH");
    Strings out = testbed::path_candidates(name);
    setenv("PATH", saved.c_str(), 1);
    return out;
}

TEST(PathSearch, EveryEntryInOrderAnEmptyOneBeingTheCurrentFolder) {
    EXPECT_EQ(candidates(":rel:/usr/bin::/bin:", "lumend"),
              (Strings{"./lumend", "rel/lumend", "/usr/bin/lumend", "./lumend", "/bin/lumend", "./lumend"}));
    EXPECT_EQ(candidates(nullptr, "lumend"), (Strings{"/bin/lumend", "/usr/bin/lumend"}));  // the C library's default
}

TEST(PathSearch, TheFirstRegularExecutableFileIsRun) {
    char tmpl[] = "/tmp/path-search.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    for (const char* d : {"/folder", "/folder/prog", "/plain", "/exec", "/later"}) ASSERT_EQ(mkdir((dir + d).c_str(), 0755), 0);
    for (const char* f : {"/plain/prog", "/exec/prog", "/later/prog"}) std::ofstream(dir + f) << "#!/bin/sh\n";
    ASSERT_EQ(chmod((dir + "/exec/prog").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir + "/later/prog").c_str(), 0755), 0);
    const std::string saved = getenv("PATH");
    setenv("PATH", (dir + "/folder:" + dir + "/plain:" + dir + "/exec:" + dir + "/later").c_str(), 1);
    EXPECT_EQ(testbed::program_file("prog"), dir + "/exec/prog");
    EXPECT_EQ(testbed::program_file("none"), "none");          // not found: the name as given
    EXPECT_EQ(testbed::program_file("sub/prog"), "sub/prog");  // a path: no search
    setenv("PATH", saved.c_str(), 1);
    ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

}  // namespace
