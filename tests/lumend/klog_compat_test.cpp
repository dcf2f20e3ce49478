// The host's kernel-log writer: at the default level 3 the daemon's level-6 lines stay out.
#include <cutils/klog.h>
#include <gtest/gtest.h>

#include "fake_chips.h"

TEST(KlogCompat, OnlyLinesAtOrBelowTheDefaultLevelReachTheKernelLog) {
    fake_chips::kmsg_opens = 0;
    klog_write(6, "<6>touch_test: held back\n");
    EXPECT_EQ(fake_chips::kmsg_opens, 0);
    klog_write(3, "<3>touch_test: written\n");
    EXPECT_EQ(fake_chips::kmsg_opens, 1);
}
