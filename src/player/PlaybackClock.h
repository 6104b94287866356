#pragma once
// The time source of the playback paths: a monotonic counter, its frequency
// and a short sleep. System() is the platform's; tests may drive a fake one.

#include <cstdint>
#include <functional>

namespace klink {

// VGM time: samples per second of every sample count in a file.
inline constexpr uint64_t kVGMSampleRate = 44100;

struct PlaybackClock {
    std::function<int64_t()> counter;       // monotonic, in ticks of 1/frequency s
    int64_t frequency = 1;                  // counter ticks per second, > 0
    std::function<void(uint32_t)> sleepMs;  // sleeps at least that many ms (0 yields)
    // Sleeps until the counter reaches a value; false (or unset) where the
    // system has no absolute sleep, and the caller sleeps in milliseconds.
    std::function<bool(int64_t)> sleepUntil;

    // The platform's performance counter and sleep.
    [[nodiscard]] static PlaybackClock System();

    [[nodiscard]] int64_t Now() const { return counter(); }
    void SleepMs(uint32_t ms) const { sleepMs(ms); }
    [[nodiscard]] bool SleepUntil(int64_t counterValue) const {
        return sleepUntil && sleepUntil(counterValue);
    }

    // Counter ticks of a VGM sample count, computed so that no rounding
    // accumulates over a long file.
    [[nodiscard]] int64_t Ticks(uint64_t samples) const noexcept;
    // Microseconds from counter value `from` to `to`; 0 when `to` is not later.
    [[nodiscard]] uint64_t ElapsedUs(int64_t from, int64_t to) const noexcept;
};

}  // namespace klink
