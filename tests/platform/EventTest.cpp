#include <gtest/gtest.h>

#include <thread>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace {

using namespace klink::platform;

TEST(Event, AutoResetWakesOnceManualResetStaysSignalled) {
    Event autoEvent(EventReset::kAuto, true);
    EXPECT_TRUE(autoEvent.Wait(0));
    EXPECT_FALSE(autoEvent.IsSet());
    EXPECT_FALSE(autoEvent.Wait(10));

    Event manual(EventReset::kManual, true);
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(10));
}

TEST(Event, SetOnAnotherThreadWakesTheWaiter) {
    Event ready(EventReset::kAuto, false);
    std::thread setter([&] { ready.Set(); });
    EXPECT_TRUE(ready.Wait(10000));
    setter.join();
}

TEST(Clock, CounterAndTicksMoveForwardAcrossASleep) {
    EXPECT_GT(PerformanceFrequency(), 1000);
    const int64_t c0 = PerformanceCounter();
    const uint64_t t0 = TickCount64();
    SleepMs(2);
    const int64_t c1 = PerformanceCounter();
    EXPECT_GE(c1 - c0, 2 * PerformanceFrequency() / 1000);
    EXPECT_GE(TickCount64(), t0 + 1);
    TimerResolutionScope resolution(1);
    EXPECT_TRUE(resolution.Active());
}

TEST(Thread, NormalPriorityIsAlwaysAvailable) {
    std::thread t([] { EXPECT_TRUE(SetCurrentThreadPriority(ThreadPriority::kNormal)); });
    t.join();
}

}  // namespace
