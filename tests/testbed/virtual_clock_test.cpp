// The virtual clock: a program's waits and time reads through the preload, and the models' own
// waits, in the order the clock lets them end.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bed.h"
#include "board_time.h"
#include "virtual_clock.h"

namespace {

using namespace std::chrono_literals;

// Every wait call the preload takes over ends at the board time it should, with what the
// call gives back on the board: time left, emptied sets, readiness that came sooner.
TEST(VirtualClock, ProgramsWaitsEndAtTheirBoardTimeWithTheirResults) {
    testbed::Bed bed;
    bed.use_virtual_clock();
    auto p = bed.start({CLOCK_PROBE});
    ASSERT_TRUE(p);
    // Two hours of sleep among the waits: only the virtual clock ends it within the bound.
    ASSERT_EQ(p->wait_exit(20s), 0) << p->output() << p->error_output();
    EXPECT_EQ(p->output_lines(), (std::vector<std::string>{
                                     "nanosleep 1500000000",
                                     "select 0 0 0.000000 at 1750000000",
                                     "poll 1 1 at 1750000000",
                                     "poll 0 0 at 1790000000",
                                     "select 1 1 4.700000 at 2090000000",
                                     "clock_nanosleep 0 at 3000000000; gettimeofday 3000000; time 3",
                                     "sleep at 7203000000000",
                                 }));
}

// A model thread's waits: the clock does not move while another thread computes, and of two
// waits that end together, the one entered first ends first.
TEST(VirtualClock, ModelWaitsEndInOrderAndNotWhileAThreadRuns) {
    char dir[] = "/tmp/vclock.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    {
        testbed::VirtualClock clock(std::string(dir) + "/page");
        const auto start = testbed::board_now();
        std::atomic<bool> computed{false};
        std::thread busy([&] {
            const auto until = std::chrono::steady_clock::now() + 200ms;
            while (std::chrono::steady_clock::now() < until) {
            }
            computed = true;
        });
        testbed::board_sleep_for(1s);
        EXPECT_TRUE(computed) << "the clock moved while a thread computed";
        busy.join();
        EXPECT_EQ(testbed::board_now() - start, 1s);

        std::mutex m;
        std::condition_variable entered;
        bool first_in = false;
        std::vector<char> woke;
        std::thread a([&] {
            std::unique_lock<std::mutex> lock(m);
            first_in = true;
            entered.notify_all();
            testbed::board_wait_until(lock, entered, testbed::board_now() + 1s, [] { return false; });
            woke.push_back('a');
        });
        std::thread b([&] {
            std::unique_lock<std::mutex> lock(m);
            entered.wait(lock, [&] { return first_in; });
            testbed::board_wait_until(lock, entered, testbed::board_now() + 1s, [] { return false; });
            woke.push_back('b');
        });
        a.join();
        b.join();
        EXPECT_EQ(woke, (std::vector<char>{'a', 'b'}));
        EXPECT_EQ(testbed::board_now() - start, 2s);
    }
    rmdir(dir);
}

}  // namespace
