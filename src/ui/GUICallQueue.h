#pragma once
// Runs calls from other threads on the GUI thread and blocks the caller until
// its call has run (the playback thread's Synchronize).
//
// Calls are served from the GUI thread's event loop, and also by
// ServePending from code on the GUI thread that waits for a playback thread:
// that is what keeps a stop from deadlocking on a thread that is itself
// waiting for a call to run.

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

class QObject;

namespace klink {

class GUICallQueue {
public:
    // `context` lives on the GUI thread; wake-ups are posted to it.
    explicit GUICallQueue(QObject* context) noexcept : context_(context) {}
    GUICallQueue(const GUICallQueue&) = delete;
    GUICallQueue& operator=(const GUICallQueue&) = delete;

    // Runs `call` on the GUI thread and returns once it has run; rethrows what
    // it threw. Called on the GUI thread itself, it runs the call at once.
    void Call(const std::function<void()>& call);

    // On the GUI thread: runs every waiting call, oldest first.
    void ServePending();

private:
    struct Entry {
        const std::function<void()>* call = nullptr;
        std::exception_ptr error;
        bool done = false;
    };

    QObject* context_;
    std::mutex lock_;
    std::condition_variable done_;
    std::deque<Entry*> queue_;  // guarded by lock_; entries live on their callers' stacks
};

}  // namespace klink
