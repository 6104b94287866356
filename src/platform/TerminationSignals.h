#pragma once
// Requests to end the program from outside: Ctrl+C in a console, a service
// manager's stop (SIGTERM) on POSIX, Ctrl+Break on Windows.

#include <functional>
#include <memory>

namespace klink::platform {

// While a watch lives, such a request no longer ends the process: instead
// `onRequest` runs, once for each request, on a thread that is not the
// caller's (never inside a signal handler), so it may take locks and post to
// an event loop, but must not touch the caller's objects without either.
// Once the watch is destroyed, requests end the process again; destruction
// waits for an onRequest that is running. One watch at a time: a second
// one throws Error. Throws OSError when the system's handlers cannot be set.
class TerminationRequestWatch {
public:
    explicit TerminationRequestWatch(std::function<void()> onRequest);
    ~TerminationRequestWatch();
    TerminationRequestWatch(const TerminationRequestWatch&) = delete;
    TerminationRequestWatch& operator=(const TerminationRequestWatch&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace klink::platform
