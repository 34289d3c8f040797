// The handle owner over a fake facility whose "no handle" value is -1, as for some kernel calls:
// every handle is closed exactly once, whichever way the owner lets go of it.
#include "common/os/unique_handle.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> closed;

struct FakeTraits {
    using handle_type = int;
    static handle_type invalid() { return -1; }
    static void close(handle_type handle) { closed.push_back(handle); }
};
using Owned = tessaro::os::UniqueHandle<FakeTraits>;

}  // namespace

TEST(UniqueHandle, ClosesEachHandleOnceWhateverHappensToTheOwner) {
    closed.clear();
    {
        Owned empty;
        EXPECT_FALSE(empty);
        Owned zero(0);  // 0 is a handle here; only -1 is none
        EXPECT_TRUE(zero);

        Owned a(1);
        Owned b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.get(), 1);

        Owned c(2);
        c = std::move(b);  // 2 goes, 1 moves over
        EXPECT_EQ(closed, std::vector<int>({2}));
        EXPECT_EQ(c.get(), 1);

        c.reset(3);
        EXPECT_EQ(closed, std::vector<int>({2, 1}));
        EXPECT_EQ(c.release(), 3);  // given up, never closed
        EXPECT_FALSE(c);

        Owned d(4);
        int* slot = d.put();
        EXPECT_EQ(closed, std::vector<int>({2, 1, 4}));
        EXPECT_EQ(*slot, -1);
        *slot = 5;  // as a call with an out parameter fills it
        EXPECT_EQ(d.get(), 5);
    }
    EXPECT_EQ(closed, std::vector<int>({2, 1, 4, 5, 0}));
}
