// Windows termination requests: a console control handler. The system runs
// it on a thread of its own, so the callback runs there directly.
#include <atomic>
#include <mutex>

#include "common/Errors.h"
#include "platform/TerminationSignals.h"
#include "platform/Win32Support.h"

namespace klink::platform {
namespace {

std::atomic<bool> gWatching{false};
std::mutex gMutex;                  // guards gOnRequest; held while it runs
std::function<void()>* gOnRequest;  // the live watch's callback, or null

BOOL WINAPI OnConsoleControl(DWORD type) {
    // Closing the console, logging off and shutting down still end the
    // process: Windows ends it soon after the handler returns anyway.
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    std::lock_guard lock(gMutex);
    if (gOnRequest == nullptr) {
        return FALSE;
    }
    (*gOnRequest)();
    return TRUE;
}

}  // namespace

struct TerminationRequestWatch::State {
    std::function<void()> onRequest;
};

TerminationRequestWatch::TerminationRequestWatch(std::function<void()> onRequest) : state_(new State) {
    if (gWatching.exchange(true)) {
        throw Error("Only one termination request watch may exist at a time.");
    }
    state_->onRequest = std::move(onRequest);
    {
        std::lock_guard lock(gMutex);
        gOnRequest = &state_->onRequest;
    }
    if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        const DWORD code = GetLastError();
        {
            std::lock_guard lock(gMutex);
            gOnRequest = nullptr;
        }
        gWatching = false;
        win32::ThrowSystemError(code);
    }
}

TerminationRequestWatch::~TerminationRequestWatch() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    {
        std::lock_guard lock(gMutex);
        gOnRequest = nullptr;
    }
    gWatching = false;
}

}  // namespace klink::platform
