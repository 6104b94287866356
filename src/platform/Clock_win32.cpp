// Windows clocks: the performance counter, Sleep and the multimedia timer
// resolution.
#include "platform/Clock.h"
// The multimedia header needs windows.h before it.
// clang-format off
#include "platform/Win32Support.h"
#include <mmsystem.h>
// clang-format on

namespace klink::platform {
namespace {

// Read once: the frequency is fixed at boot.
std::int64_t ReadFrequency() noexcept {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

}  // namespace

std::int64_t PerformanceCounter() noexcept {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

std::int64_t PerformanceFrequency() noexcept {
    static const std::int64_t frequency = ReadFrequency();
    return frequency;
}

// From the performance counter rather than GetTickCount64, which advances in
// steps of the timer interval (about 16 ms): waits that poll every 1 ms
// would see no time pass for many rounds and then a jump.
std::uint64_t TickCount64() noexcept {
    const std::int64_t counter = PerformanceCounter();
    const std::int64_t frequency = PerformanceFrequency();
    return static_cast<std::uint64_t>(counter / frequency * 1000 + counter % frequency * 1000 / frequency);
}

void SleepMs(std::uint32_t ms) noexcept { Sleep(ms); }

// GetThreadTimes counts in 100 ns units.
std::uint64_t CurrentThreadCPUTimeUs() noexcept {
    FILETIME creation{};
    FILETIME exit{};
    FILETIME kernel{};
    FILETIME user{};
    if (GetThreadTimes(GetCurrentThread(), &creation, &exit, &kernel, &user) == 0) {
        return 0;
    }
    auto units = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return (units(kernel) + units(user)) / 10u;
}

// Without a request, Windows sleeps in steps of the default timer interval
// (15.6 ms), so a 1 ms sleep would last up to 16 ms. The request is
// process-wide and counted: every successful begin needs its own end.
bool BeginTimerResolution(std::uint32_t ms) noexcept { return timeBeginPeriod(ms) == TIMERR_NOERROR; }

void EndTimerResolution(std::uint32_t ms) noexcept { (void)timeEndPeriod(ms); }

}  // namespace klink::platform
