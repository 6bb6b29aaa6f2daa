#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "util/CriticalSection.h"

namespace {

constexpr auto kGenerous = std::chrono::seconds(10);

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

        // Another thread must block until the outer lock is gone.
        std::atomic<bool> taken{false};
        std::promise<void> started;
        std::thread other([&] {
            started.set_value();
            CriticalSectionLock lock(&cs, true);
            taken = true;
        });
        started.get_future().wait();
        EXPECT_FALSE(taken.load());
        outer.Unlock();
        other.join();
        EXPECT_TRUE(taken.load());
    }
    EXPECT_TRUE(cs.NeedsLock());
}

TEST(CriticalSectionTest, NullSectionLocksNothing) {
    CriticalSectionLock lock(nullptr, true);
    EXPECT_FALSE(lock.Lock());
    EXPECT_TRUE(lock.Unlock());
}

TEST(CriticalSectionTest, LockExcludesOtherThreads) {
    CriticalSection cs;
    long counter = 0;  // deliberately unsynchronised except through the lock
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CriticalSectionLock lock(&cs, true);
            long value = counter;
            counter = value + 1;
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

TEST(CriticalSectionTest, UnlockHandsTheSectionToAnotherThreadAndTakesItBack) {
    CriticalSection cs;
    CriticalSectionLock outer(&cs, true);
    CriticalSectionLock nested(&cs, true);

    std::promise<void> otherHasIt;
    std::promise<void> releaseOther;
    std::shared_future<void> release = releaseOther.get_future().share();
    std::thread other([&] {
        CriticalSectionLock lock(&cs, true);
        otherHasIt.set_value();
        release.wait();
    });

    std::future<void> has = otherHasIt.get_future();
    {
        CriticalSectionUnlock unlock(&cs);
        EXPECT_TRUE(cs.NeedsLock());
        EXPECT_EQ(has.wait_for(kGenerous), std::future_status::ready)
            << "the other thread did not get the released section";
        releaseOther.set_value();
    }  // takes the section back, waiting for the other thread to leave
    EXPECT_FALSE(cs.NeedsLock());
    other.join();
}

}  // namespace
