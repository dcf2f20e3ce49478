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

// Sets PATH (or unsets it for nullptr) for the life of the object.
struct PathSetting {
    explicit PathSetting(const char* value) {
        const char* old = getenv("PATH");
        had_ = old != nullptr;
        if (had_) saved_ = old;
        if (value)
            setenv("PATH", value, 1);
        else
            unsetenv("PATH");
    }
    ~PathSetting() {
        if (had_)
            setenv("PATH", saved_.c_str(), 1);
        else
            unsetenv("PATH");
    }
    bool had_;
    std::string saved_;
};

TEST(PathSearch, EveryEntryInOrderAnEmptyOneBeingTheCurrentFolder) {
    PathSetting path(":rel:/usr/bin::/bin:");
    EXPECT_EQ(testbed::path_candidates("lumend"),
              (Strings{"./lumend", "rel/lumend", "/usr/bin/lumend", "./lumend", "/bin/lumend", "./lumend"}));
}

TEST(PathSearch, WithoutPathTheCLibrarysDefault) {
    PathSetting path(nullptr);
    EXPECT_EQ(testbed::path_candidates("lumend"), (Strings{"/bin/lumend", "/usr/bin/lumend"}));
}

TEST(PathSearch, TheFirstRegularExecutableFileIsRun) {
    char tmpl[] = "/tmp/path-search.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    for (const char* d : {"/folder", "/folder/prog", "/plain", "/exec", "/later"}) ASSERT_EQ(mkdir((dir + d).c_str(), 0755), 0);
    for (const char* f : {"/plain/prog", "/exec/prog", "/later/prog"}) std::ofstream(dir + f) << "#!/bin/sh\n";
    ASSERT_EQ(chmod((dir + "/exec/prog").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir + "/later/prog").c_str(), 0755), 0);
    {
        PathSetting path((dir + "/folder:" + dir + "/plain:" + dir + "/exec:" + dir + "/later").c_str());
        EXPECT_EQ(testbed::program_file("prog"), dir + "/exec/prog");
        EXPECT_EQ(testbed::program_file("none"), "none");       // not found: the name as given
        EXPECT_EQ(testbed::program_file("sub/prog"), "sub/prog");  // a path: no search
    }
    ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

}  // namespace
