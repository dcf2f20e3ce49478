// The bed's record of reads from FIFOs under "/data": every byte once and in order, with its
// FIFO, whoever opened the FIFO (here a shell's redirection hands the reader its descriptor)
// and however many bytes one read took.
#include <gtest/gtest.h>

#include <string>

#include "bed.h"

namespace {

TEST(PipeReads, EveryByteOfAHandedDownDescriptorOnceInOrder) {
    testbed::Bed bed;
    auto proc = bed.start({"/bin/sh", "-c",
                           "mkfifo /data/f && { printf '%0300d' 7; printf xyz; } >/data/f & "
                           "until [ -p /data/f ]; do :; done; cat </data/f >/dev/null; wait"});
    ASSERT_TRUE(proc);
    ASSERT_EQ(proc->wait_exit(testbed::milliseconds(10000)), 0) << proc->error_output();
    std::string bytes;
    for (const auto& r : proc->pipe_reads()) {
        EXPECT_EQ(r.path, "/data/f");
        EXPECT_LE(r.bytes.size(), 128u);  // a longer read takes several records
        bytes.append(r.bytes.begin(), r.bytes.end());
    }
    EXPECT_EQ(bytes, std::string(299, '0') + "7xyz");
}

}  // namespace
