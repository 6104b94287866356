// POSIX clocks: CLOCK_MONOTONIC in nanoseconds.
#include <time.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>

#include "platform/Clock.h"

namespace klink::platform {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

timespec Now() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

}  // namespace

std::int64_t PerformanceCounter() noexcept {
    const timespec ts = Now();
    return static_cast<std::int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

std::int64_t PerformanceFrequency() noexcept { return kNanosPerSecond; }

std::uint64_t TickCount64() noexcept {
    const timespec ts = Now();
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u;
}

void SleepMs(std::uint32_t ms) noexcept {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint64_t CurrentThreadCPUTimeUs() noexcept {
    timespec ts{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// High-resolution timers already make a 1 ms sleep last about 1 ms here, but
// Linux may let each of the thread's timers expire up to its timer slack late
// (50 us by default, more for background tasks) to batch wake-ups. The
// request narrows the calling thread's slack to 1 us; its end gives the
// thread its default slack back.
#ifdef __linux__
namespace {
constexpr unsigned long kTimerSlackNs = 1000;
}  // namespace

bool BeginTimerResolution(std::uint32_t) noexcept {
    return prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0) == 0;
}

void EndTimerResolution(std::uint32_t) noexcept {
    // 0 restores the thread's default slack.
    (void)prctl(PR_SET_TIMERSLACK, 0UL, 0, 0, 0);
}
#else
bool BeginTimerResolution(std::uint32_t) noexcept { return true; }
void EndTimerResolution(std::uint32_t) noexcept {}
#endif

}  // namespace klink::platform
