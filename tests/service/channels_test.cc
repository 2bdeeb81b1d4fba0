// The channel numbers norvd hands out.
#include <gtest/gtest.h>

#include "core/channels.h"

namespace norvd {
namespace {

TEST(ChannelTable, NumbersNeverCollideAndNeverUseTheConnectDevice) {
    ChannelTable table(5);
    // 0 (devices 0, 3), then 1 is taken by /dev/rtf1, 2 (2, 5), 3 is in use,
    // 4 (4, 7), 6 (6, 9), 8 (8, 11).
    std::vector<int> got;
    for (int i = 0; i < 5; ++i) got.push_back(table.allocate());
    EXPECT_EQ(got, (std::vector<int>{0, 2, 4, 6, 8}));
    EXPECT_EQ(table.allocate(), -1);  // full
    table.release(4);
    table.release(4);  // twice: no effect
    EXPECT_EQ(table.allocate(), 4);
    table.release(0);
    table.release(2);
    EXPECT_FALSE(table.live(2));
    EXPECT_EQ(table.allocate(), 0);
    // 2 would take 5, free now; 10 is not reachable before it.
    EXPECT_EQ(table.allocate(), 2);
    for (int n : table.connections()) {
        EXPECT_NE(n, 1);
        EXPECT_NE(n + kNoticeOffset, 1);
        for (int m : table.connections())
            if (m != n) {
                EXPECT_TRUE(n != m + 3 && n + 3 != m);
            }
    }
}

}  // namespace
}  // namespace norvd
