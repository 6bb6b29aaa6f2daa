#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "util/CriticalSection.h"

namespace {

TEST(CriticalSectionTest, NestedLocksOfOneThreadEnterOnceAndOnlyTheOuterLeaves) {
    CriticalSection cs;
    EXPECT_TRUE(cs.NeedsLock());
    {
        CriticalSectionLock outer(&cs, true);
        EXPECT_FALSE(cs.NeedsLock());
        {
            CriticalSectionLock inner(&cs, true);  // must not block
            EXPECT_FALSE(cs.NeedsLock());
        }
        EXPECT_FALSE(cs.NeedsLock()) << "the inner lock must not release the outer one's section";
        EXPECT_TRUE(outer.Unlock());
        EXPECT_TRUE(cs.NeedsLock());
        // Another thread gets the released section.
        std::async(std::launch::async, [&] { CriticalSectionLock lock(&cs, true); }).get();
    }
    EXPECT_TRUE(cs.NeedsLock());

    CriticalSectionLock none(nullptr, true);
    EXPECT_FALSE(none.Lock()) << "a null section locks nothing";
    EXPECT_TRUE(none.Unlock());
}

TEST(CriticalSectionTest, UnlockHandsTheSectionToAnotherThreadAndTakesItBack) {
    CriticalSection cs;
    CriticalSectionLock outer(&cs, true);
    CriticalSectionLock nested(&cs, true);

    std::promise<void> otherHasIt, releaseOther;
    std::future<void> has = otherHasIt.get_future(), release = releaseOther.get_future();
    std::thread other([&] {
        CriticalSectionLock lock(&cs, true);
        otherHasIt.set_value();
        release.wait();
    });
    {
        CriticalSectionUnlock unlock(&cs);
        EXPECT_TRUE(cs.NeedsLock());
        EXPECT_EQ(has.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "the other thread did not get the released section";
        releaseOther.set_value();
    }  // takes the section back, waiting for the other thread to leave
    EXPECT_FALSE(cs.NeedsLock());
    other.join();
}

}  // namespace
