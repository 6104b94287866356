// Windows thread priorities: THREAD_PRIORITY_HIGHEST is the top of the
// process's normal class, below time-critical and the real-time class.
#include "platform/Thread.h"
#include "platform/Win32Support.h"

namespace klink::platform {

bool SetCurrentThreadPriority(ThreadPriority priority) noexcept {
    const int value = priority == ThreadPriority::kHighest ? THREAD_PRIORITY_HIGHEST : THREAD_PRIORITY_NORMAL;
    return SetThreadPriority(GetCurrentThread(), value) != 0;
}

}  // namespace klink::platform
