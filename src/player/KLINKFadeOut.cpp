#include "player/KLINKFadeOut.h"

#include "common/Errors.h"

namespace klink {

int32_t FadeSecondsForIndex(int32_t Index) noexcept {
    static constexpr std::array<int32_t, 6> kSeconds = {0, 1, 3, 5, 10, 15};
    if (Index < 0 || Index >= static_cast<int32_t>(kSeconds.size())) return 0;
    return kSeconds[static_cast<size_t>(Index)];
}

void TKLINKFadeOut::Start(uint64_t StartUS, int32_t DurationSeconds) {
    if (DurationSeconds <= 0) throw ArgumentOutOfRange("Invalid fade duration.");
    FStartUS = StartUS;
    // 64-bit before multiplying: long fades overflow 32 bits.
    FDurationUS = static_cast<uint64_t>(DurationSeconds) * 1000000u;
    FNextStep = 0;
    FStarted = true;
}

bool TKLINKFadeOut::Advance(uint64_t TimeUS, uint8_t& Attenuation) noexcept {
    Attenuation = 0;
    if (!FStarted || FNextStep >= kFadeStepCount || TimeUS < FStartUS) return false;
    const auto k = static_cast<uint64_t>(FNextStep);
    // Rounded up so that no step comes early; (k + 1) * duration stays far
    // below 2^64 for any 32-bit number of seconds.
    const uint64_t dueAfter = ((k + 1) * FDurationUS + (kFadeStepCount - 1)) / kFadeStepCount;
    if (TimeUS - FStartUS < dueAfter) return false;
    Attenuation = kFadeAttenuation[static_cast<size_t>(k)];
    FNextStep += 1;
    return true;
}

}  // namespace klink
