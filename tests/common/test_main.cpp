// Main of every test binary. A test that ends its process (exit() or _exit(), from the test or
// from the code under test) fails with a line that names it, whatever status it gave: a run
// cut short must never count as a pass. Death-test children end as their statement says.
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

extern "C" void __real__exit(int status);

namespace {

const ::testing::TestInfo* g_running = nullptr;

class RunningTest : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override { g_running = &test; }
    void OnTestEnd(const ::testing::TestInfo&) override { g_running = nullptr; }
};

void fail_if_a_test_is_running(const char* how) {
    if (g_running == nullptr || ::testing::internal::InDeathTestChild()) return;
    fprintf(stderr, "FAILED: %s.%s ended the process with %s\n", g_running->test_suite_name(), g_running->name(), how);
    fflush(stderr);
    __real__exit(1);
}

}  // namespace

extern "C" void __wrap__exit(int status) {
    fail_if_a_test_is_running("_exit()");
    __real__exit(status);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new RunningTest);
    atexit([] { fail_if_a_test_is_running("exit()"); });
    return RUN_ALL_TESTS();
}
