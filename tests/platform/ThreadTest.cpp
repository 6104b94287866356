#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Thread.h"

namespace klink::platform {
namespace {

// Whatever the system grants, the thread says truthfully what it got, and
// gives up a real-time class again when asked for the normal one.
TEST(Thread, PlaybackPriorityIsDescribedAsGrantedAndCanBeDropped) {
    std::thread t([] {
        (void)SetCurrentThreadPriority(ThreadPriority::kPlayback);
        const std::string got = DescribeCurrentThreadScheduling();
        if (CurrentThreadIsRealtime()) {
            EXPECT_EQ(got.rfind("real-time (", 0), 0u) << got;
        } else {
            EXPECT_EQ(got.find("real-time"), std::string::npos) << got;
            EXPECT_FALSE(RealtimeRefusalReason().empty());
        }
        EXPECT_TRUE(SetCurrentThreadPriority(ThreadPriority::kNormal));
        EXPECT_FALSE(CurrentThreadIsRealtime());
        EXPECT_EQ(DescribeCurrentThreadScheduling().find("real-time"), std::string::npos);
    });
    t.join();
}

TEST(Thread, AbsoluteSleepEndsAtItsTimeAndNeverBefore) {
    if (!SleepUntilCounter(0)) GTEST_SKIP() << "no absolute sleep on this system";
    const int64_t until = PerformanceCounter() + PerformanceFrequency() / 500;  // 2 ms
    EXPECT_TRUE(SleepUntilCounter(until));
    EXPECT_GE(PerformanceCounter(), until);
    // A time already past returns at once.
    EXPECT_TRUE(SleepUntilCounter(until));
}

TEST(Thread, MemoryLocksKeepNothingWhenThereIsNothing) {
    const MemoryLock none(nullptr, 0);
    EXPECT_FALSE(none.Locked());
    // A real buffer and the stack: locked or refused, never a crash, and the
    // bytes stay as they were.
    std::vector<unsigned char> bytes(1 << 20, 0x5A);
    {
        const MemoryLock lock(bytes.data(), bytes.size());
        const StackLock stack(64 * 1024);
        (void)lock.Locked();
        (void)stack.Locked();
    }
    EXPECT_EQ(bytes.front(), 0x5A);
    EXPECT_EQ(bytes.back(), 0x5A);
}

}  // namespace
}  // namespace klink::platform
