#include "player/PlaybackClock.h"

#include "platform/Clock.h"
#include "platform/Thread.h"

namespace klink {

PlaybackClock PlaybackClock::System() {
    return {[] { return platform::PerformanceCounter(); }, platform::PerformanceFrequency(),
            [](uint32_t ms) { platform::SleepMs(ms); },
            [](int64_t counterValue) { return platform::SleepUntilCounter(counterValue); }};
}

int64_t PlaybackClock::Ticks(uint64_t samples) const noexcept {
    const auto f = static_cast<uint64_t>(frequency);
    return static_cast<int64_t>((samples / kVGMSampleRate) * f +
                                ((samples % kVGMSampleRate) * f) / kVGMSampleRate);
}

uint64_t PlaybackClock::ElapsedUs(int64_t from, int64_t to) const noexcept {
    const int64_t elapsed = to - from;
    if (elapsed <= 0) {
        return 0;
    }
    // Split so that hours of playback cannot overflow the product.
    const auto e = static_cast<uint64_t>(elapsed);
    const auto f = static_cast<uint64_t>(frequency);
    return (e / f) * 1000000 + ((e % f) * 1000000) / f;
}

}  // namespace klink
