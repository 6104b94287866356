#pragma once
// Time for the real-time paths: a monotonic high-resolution counter, a
// millisecond tick count, short sleeps and the system timer-resolution request.

#include <cstdint>

namespace klink::platform {

// Monotonic counter in ticks of 1/PerformanceFrequency() s; never goes back.
[[nodiscard]] std::int64_t PerformanceCounter() noexcept;
// Counter ticks per second; constant for the life of the process.
[[nodiscard]] std::int64_t PerformanceFrequency() noexcept;

// Milliseconds on a monotonic clock (what GetTickCount64 counts, in steps
// of 1 ms); the origin is arbitrary.
[[nodiscard]] std::uint64_t TickCount64() noexcept;

// Sleeps at least `ms` milliseconds (0 yields the processor).
void SleepMs(std::uint32_t ms) noexcept;

// Processor time the calling thread has used so far (user and kernel), in
// microseconds; for measuring a thread's load. 0 when the system cannot say.
[[nodiscard]] std::uint64_t CurrentThreadCPUTimeUs() noexcept;

// Asks for a system timer resolution of `ms` so that 1 ms sleeps are short.
// Returns whether the request took effect; release only what succeeded. On
// Linux it narrows the calling thread's timer slack, so it applies to the
// calling thread only: begin and end it on the thread that sleeps.
[[nodiscard]] bool BeginTimerResolution(std::uint32_t ms) noexcept;
void EndTimerResolution(std::uint32_t ms) noexcept;

// Holds a timer-resolution request for its lifetime.
class TimerResolutionScope {
public:
    explicit TimerResolutionScope(std::uint32_t ms) noexcept : ms_(ms), active_(BeginTimerResolution(ms)) {}
    ~TimerResolutionScope() {
        if (active_) {
            EndTimerResolution(ms_);
        }
    }
    TimerResolutionScope(const TimerResolutionScope&) = delete;
    TimerResolutionScope& operator=(const TimerResolutionScope&) = delete;
    [[nodiscard]] bool Active() const noexcept { return active_; }

private:
    std::uint32_t ms_;
    bool active_;
};

}  // namespace klink::platform
