// The command-line host: calls from the playback thread run on the host's
// thread, the time display and the log lines on the console.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/klinkplay/ConsoleHost.h"

namespace klinkplay {
namespace {

TEST(ConsoleHost, FormatsTheTimeAsTheWindowDoes) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "00:00.00"}, {61234, "01:01.23"}, {59999, "00:59.99"}, {6000000, "100:00.00"}, {-5, "00:00.00"}};
    for (const auto& [ms, text] : cases) EXPECT_EQ(FormatPlaybackTime(ms), text) << ms;
}

TEST(ConsoleHost, CallsFromAnotherThreadRunOnTheHostThreadWhileItWaits) {
    std::ostringstream out;
    ConsoleHost host(out, false);
    const auto hostThread = std::this_thread::get_id();
    std::thread::id ranOn;
    bool thrown = false;
    std::thread player([&] {
        host.Synchronize([&] { ranOn = std::this_thread::get_id(); });
        host.Synchronize([&] { host.AppendLog("line one\r\nline two"); });
        try {
            host.Synchronize([] { throw std::runtime_error("refused"); });
        } catch (const std::runtime_error&) {
            thrown = true;
        }
    });
    // The host serves the calls until the other thread is through with them.
    for (int i = 0; i < 500 && !thrown; ++i) host.RunPending(10);
    player.join();
    EXPECT_EQ(ranOn, hostThread);
    EXPECT_TRUE(thrown);
    EXPECT_EQ(out.str(), "line one\nline two\n");
}

TEST(ConsoleHost, PlainOutputPrintsOneTimeLinePerSecondOnceTheTrackRuns) {
    std::ostringstream out;
    ConsoleHost host(out, false);
    for (const int32_t ms : {0, 0, 400, 900, 1000, 1500, 2010}) host.ShowTime(ms);
    EXPECT_EQ(out.str(), "Time 00:00.40\nTime 00:01.00\nTime 00:02.01\n");
}

TEST(ConsoleHost, LiveOutputRedrawsOneLineAndClearsItForLogLines) {
    std::ostringstream out;
    ConsoleHost host(out, true);
    host.ShowTime(1230);
    host.Print("hello");
    host.ShowTime(2000);
    host.EndStatus();
    EXPECT_EQ(out.str(), "\rTime 00:01.23\x1b[K\r\x1b[Khello\n\rTime 00:02.00\x1b[K\n");
}

}  // namespace
}  // namespace klinkplay
