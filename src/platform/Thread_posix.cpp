// Thread scheduling on Linux: SCHED_FIFO where RLIMIT_RTPRIO or CAP_SYS_NICE
// allows it, else a per-thread nice value, where a lower nice gives a larger
// share of the processor but never starves other tasks. Elsewhere on POSIX
// only the normal priority.
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/Thread.h"

namespace klink::platform {
namespace {

// Windows' "highest" is two steps above normal on a scale of ±15; five nice
// steps give a thread about three times the share of a normal one.
constexpr int kHighestBoost = 5;

// Low in the real-time range: above the normal class, below the kernel's
// own interrupt threads (50) and audio servers, which usually ask for more.
constexpr int kPlaybackRealtimePriority = 10;

[[maybe_unused]] bool SetNice(ThreadPriority priority) noexcept {
#ifdef __linux__
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (base == -1 && errno != 0) {
        return false;
    }
    int nice = base;
    if (priority != ThreadPriority::kNormal) {
        nice = base - kHighestBoost < -20 ? -20 : base - kHighestBoost;
    }
    // On Linux PRIO_PROCESS with a thread id sets that thread alone.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0) {
        return true;
    }
    // RLIMIT_NICE may allow part of the way: 20 - limit is the lowest nice.
    rlimit limit{};
    if (priority == ThreadPriority::kNormal || getrlimit(RLIMIT_NICE, &limit) != 0) {
        return false;
    }
    const auto lowest = static_cast<int>(20 - std::min<rlim_t>(limit.rlim_cur, 40));
    return lowest < base && setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), lowest) == 0;
#else
    return priority == ThreadPriority::kNormal;
#endif
}

#ifdef __linux__
rlim_t RealtimeLimit() noexcept {
    rlimit limit{};
    return getrlimit(RLIMIT_RTPRIO, &limit) == 0 ? limit.rlim_cur : 0;
}

bool SetRealtime(int wanted) noexcept {
    // Children of this thread start in the normal class again.
    const int policy = SCHED_FIFO | SCHED_RESET_ON_FORK;
    sched_param param{};
    param.sched_priority = wanted;
    if (sched_setscheduler(gettid(), policy, &param) == 0) {
        return true;
    }
    // Without CAP_SYS_NICE: as high as RLIMIT_RTPRIO allows.
    const rlim_t limit = RealtimeLimit();
    if (limit == 0 || limit >= static_cast<rlim_t>(wanted)) {
        return false;
    }
    param.sched_priority = static_cast<int>(limit);
    return sched_setscheduler(gettid(), policy, &param) == 0;
}
#endif

}  // namespace

bool SetCurrentThreadPriority(ThreadPriority priority) noexcept {
#ifdef __linux__
    if (priority == ThreadPriority::kPlayback || priority == ThreadPriority::kPlaybackWriter) {
        const int wanted = kPlaybackRealtimePriority + (priority == ThreadPriority::kPlaybackWriter ? 1 : 0);
        if (SetRealtime(wanted)) {
            return true;
        }
    } else if (CurrentThreadIsRealtime()) {
        sched_param param{};
        (void)sched_setscheduler(gettid(), SCHED_OTHER, &param);
    }
#endif
    return SetNice(priority);
}

bool CurrentThreadIsRealtime() noexcept {
#ifdef __linux__
    const int policy = sched_getscheduler(gettid());
    return policy >= 0 &&
           ((policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO || (policy & ~SCHED_RESET_ON_FORK) == SCHED_RR);
#else
    return false;
#endif
}

std::string DescribeCurrentThreadScheduling() {
#ifdef __linux__
    if (CurrentThreadIsRealtime()) {
        sched_param param{};
        (void)sched_getparam(gettid(), &param);
        const bool fifo = (sched_getscheduler(gettid()) & ~SCHED_RESET_ON_FORK) == SCHED_FIFO;
        return std::string("real-time (") + (fifo ? "SCHED_FIFO" : "SCHED_RR") + ", priority " +
               std::to_string(param.sched_priority) + ")";
    }
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    if (errno == 0 && nice != 0) {
        return "nice " + std::to_string(nice);
    }
#endif
    return "normal priority";
}

std::string RealtimeRefusalReason() {
#ifdef __linux__
    const rlim_t limit = RealtimeLimit();
    if (limit == 0) {
        return "RLIMIT_RTPRIO is 0";
    }
    return "the system refused SCHED_FIFO with RLIMIT_RTPRIO " + std::to_string(limit);
#else
    return "no real-time scheduling on this system";
#endif
}

bool SleepUntilCounter(std::int64_t counter) noexcept {
    // The performance counter is CLOCK_MONOTONIC in nanoseconds.
    if (counter <= 0) {
        return true;
    }
    const timespec at{static_cast<time_t>(counter / 1'000'000'000),
                      static_cast<long>(counter % 1'000'000'000)};
    int rc = 0;
    while ((rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr)) == EINTR) {
    }
    return rc == 0;
}

namespace {

std::size_t PageSize() noexcept {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

void TouchPages(const void* data, std::size_t size) noexcept {
    const std::size_t step = PageSize();
    const auto* bytes = static_cast<const volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; i += step) {
        (void)bytes[i];
    }
}

constexpr std::size_t kMaxStackLock = 256 * 1024;

// A frame of `size` bytes below the caller's, written once: the pages stay
// mapped after the return, ready for the calls the caller makes later.
// Returns the lowest address written.
[[gnu::noinline]] std::uintptr_t TouchStack(std::size_t size) noexcept {
    volatile unsigned char area[kMaxStackLock];
    const std::size_t n = std::min(size, kMaxStackLock);
    const std::size_t step = PageSize();
    for (std::size_t i = 0; i < n; i += step) {
        area[kMaxStackLock - 1 - i] = 0;
    }
    // Read back through a volatile: the caller wants the address as a number,
    // never dereferenced, and clang would take it for a dangling pointer.
    volatile std::uintptr_t lowest = reinterpret_cast<std::uintptr_t>(&area[kMaxStackLock - n]);
    return lowest;
}

}  // namespace

MemoryLock::MemoryLock(const void* data, std::size_t size) noexcept : data_(data), size_(size) {
    if (data == nullptr || size == 0) {
        return;
    }
    TouchPages(data, size);
    locked_ = mlock(data, size) == 0;
}

MemoryLock::~MemoryLock() {
    if (locked_) {
        (void)munlock(data_, size_);
    }
}

StackLock::StackLock(std::size_t size) noexcept {
    const std::uintptr_t lowest = TouchStack(size);
    const std::uintptr_t first = lowest & ~(static_cast<std::uintptr_t>(PageSize()) - 1);
    data_ = reinterpret_cast<const void*>(first);
    size_ = std::min(size, kMaxStackLock);
    locked_ = mlock(data_, size_) == 0;
}

StackLock::~StackLock() {
    if (locked_) {
        (void)munlock(data_, size_);
    }
}

}  // namespace klink::platform
