// POSIX clocks: CLOCK_MONOTONIC in nanoseconds.
#include <time.h>

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
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u;
}

void SleepMs(std::uint32_t ms) noexcept {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// High-resolution timers already make a 1 ms sleep last about 1 ms here.
bool BeginTimerResolution(std::uint32_t) noexcept { return true; }
void EndTimerResolution(std::uint32_t) noexcept {}

}  // namespace klink::platform
