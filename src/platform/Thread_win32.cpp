// Windows thread priorities: THREAD_PRIORITY_HIGHEST is the top of the
// process's normal class, below time-critical and the real-time class.
#include "platform/Thread.h"
#include "platform/Win32Support.h"

namespace klink::platform {

bool SetCurrentThreadPriority(ThreadPriority priority) noexcept {
    const int value = priority == ThreadPriority::kHighest ? THREAD_PRIORITY_HIGHEST : THREAD_PRIORITY_NORMAL;
    return SetThreadPriority(GetCurrentThread(), value) != 0;
}

uint64_t CurrentThreadCPUTimeUs() noexcept {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user) == 0) {
        return 0;
    }
    // FILETIME counts 100 ns.
    const auto ticks = [](const FILETIME& f) {
        return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) / 10u;
}

}  // namespace klink::platform
