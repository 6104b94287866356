// The window's call queue: playback threads run calls on the GUI thread and
// wait for them; the GUI thread serves them from its event loop and while it
// waits for a thread itself.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ui/GUICallQueue.h"

namespace klink {
namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "gui_call_queue_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Qt hands a queued call to the GUI thread under its own lock, which
// ThreadSanitizer cannot see in a Qt built without it: every call object that
// crosses would be reported. Under the sanitizer the GUI thread serves with
// ServePending only, which checks the queue's own locking.
#if defined(__SANITIZE_THREAD__)
constexpr bool kServeFromEventLoop = false;
#else
constexpr bool kServeFromEventLoop = true;
#endif

// Serves waiting calls once: from the event loop, or as a stop does.
void ServeOnce(QCoreApplication& app, GUICallQueue& queue, int round) {
    if (kServeFromEventLoop && round % 2 == 0) {
        app.processEvents(QEventLoop::AllEvents, 5);
    } else {
        queue.ServePending();
        std::this_thread::yield();
    }
}

constexpr int kThreads = 4;
constexpr int kCallsPerThread = 200;

// Each call changes state that only the GUI thread touches and hands a result
// back; the caller sees it once Call returns.
TEST(GUICallQueue, CallsFromManyThreadsRunOnTheGUIThreadInTurnAndReturnTheirResults) {
    QCoreApplication& app = App();
    QObject context;
    GUICallQueue queue(&context);
    int guiCounter = 0;  // the GUI thread's own state
    std::atomic<int> finished{0};
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                int result = -1;
                queue.Call([&] {
                    EXPECT_EQ(QThread::currentThread(), app.thread());
                    result = ++guiCounter;
                });
                seen[static_cast<size_t>(t)].push_back(result);
            }
            ++finished;
        });
    }
    for (int round = 0; finished.load() < kThreads; ++round) ServeOnce(app, queue, round);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(guiCounter, kThreads * kCallsPerThread);
    std::vector<bool> taken(static_cast<size_t>(kThreads * kCallsPerThread) + 1, false);
    for (const auto& results : seen) {
        ASSERT_EQ(results.size(), static_cast<size_t>(kCallsPerThread));
        for (size_t i = 0; i < results.size(); ++i) {
            ASSERT_GE(results[i], 1);
            ASSERT_FALSE(taken[static_cast<size_t>(results[i])]) << "two calls ran as one";
            taken[static_cast<size_t>(results[i])] = true;
            if (i > 0) {
                EXPECT_GT(results[i], results[i - 1]) << "a thread's calls ran out of order";
            }
        }
    }
}

// What a call throws reaches its caller; the queue goes on serving.
TEST(GUICallQueue, AFailedCallRethrowsInItsCaller) {
    QCoreApplication& app = App();
    QObject context;
    GUICallQueue queue(&context);
    std::string caught;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        try {
            queue.Call([] { throw std::runtime_error("KLINK stop failed: "); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        int after = 0;
        queue.Call([&] { after = 7; });
        EXPECT_EQ(after, 7);
        done = true;
    });
    for (int round = 0; !done.load(); ++round) ServeOnce(app, queue, round);
    caller.join();
    EXPECT_EQ(caught, "KLINK stop failed: ");
}

// On the GUI thread itself a call runs at once.
TEST(GUICallQueue, ACallOnTheGUIThreadRunsAtOnce) {
    App();
    QObject context;
    GUICallQueue queue(&context);
    bool ran = false;
    queue.Call([&] { ran = true; });
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace klink
