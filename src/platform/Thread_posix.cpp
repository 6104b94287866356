// Thread priorities through per-thread nice values (Linux), where a lower
// nice gives a larger share of the processor but never starves other tasks.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Thread.h"

namespace klink::platform {
namespace {

// Windows' "highest" is two steps above normal on a scale of ±15; five nice
// steps give a thread about three times the share of a normal one.
constexpr int kHighestBoost = 5;

}  // namespace

bool SetCurrentThreadPriority(ThreadPriority priority) noexcept {
#ifdef __linux__
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (base == -1 && errno != 0) {
        return false;
    }
    int nice = base;
    if (priority == ThreadPriority::kHighest) {
        nice = base - kHighestBoost < -20 ? -20 : base - kHighestBoost;
    }
    // On Linux PRIO_PROCESS with a thread id sets that thread alone.
    return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0;
#else
    return priority == ThreadPriority::kNormal;
#endif
}

}  // namespace klink::platform
