#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>

#include "common/Errors.h"
#include "platform/TerminationSignals.h"

namespace {

using klink::platform::TerminationRequestWatch;

// Counts the requests a watch reports, for a waiting test.
class RequestCounter {
public:
    void Add() {
        {
            std::lock_guard lock(mutex_);
            ++count_;
        }
        changed_.notify_all();
    }
    // Waits (with a generous bound) until `n` requests were counted.
    bool WaitFor(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return count_ >= n; });
    }
    int Count() {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

TEST(TerminationRequestWatch, InterruptAndTerminateBecomeCallsInsteadOfAnEnd) {
    RequestCounter counter;
    {
        TerminationRequestWatch watch([&counter] { counter.Add(); });
        ASSERT_EQ(std::raise(SIGINT), 0);
        ASSERT_TRUE(counter.WaitFor(1));
        ASSERT_EQ(std::raise(SIGTERM), 0);
        ASSERT_TRUE(counter.WaitFor(2));
    }
    EXPECT_EQ(counter.Count(), 2);
}

TEST(TerminationRequestWatch, OneAtATimeAndTheOldHandlingComesBack) {
    auto* const before = std::signal(SIGINT, SIG_IGN);
    {
        TerminationRequestWatch watch([] {});
        EXPECT_THROW(TerminationRequestWatch([] {}), klink::Error);
    }
    EXPECT_EQ(std::signal(SIGINT, before), SIG_IGN) << "the disposition from before the watch";
    // And a new watch may start once the old one is gone.
    RequestCounter counter;
    TerminationRequestWatch again([&counter] { counter.Add(); });
    ASSERT_EQ(std::raise(SIGINT), 0);
    EXPECT_TRUE(counter.WaitFor(1));
}

}  // namespace
