#include "player/KLINKFadeOut.h"

#include "common/Errors.h"

namespace klink {

int32_t FadeSecondsForIndex(int32_t index) noexcept {
    static constexpr std::array<int32_t, 6> kSeconds = {0, 1, 3, 5, 10, 15};
    if (index < 0 || index >= static_cast<int32_t>(kSeconds.size())) return 0;
    return kSeconds[static_cast<size_t>(index)];
}

void KLINKFadeOut::Start(uint64_t fadeStartUs, int32_t durationSeconds) {
    if (durationSeconds <= 0) throw ArgumentOutOfRange("Invalid fade duration.");
    startUs = fadeStartUs;
    // 64-bit before multiplying: long fades overflow 32 bits.
    durationUs = static_cast<uint64_t>(durationSeconds) * 1000000u;
    nextStep = 0;
    started = true;
}

bool KLINKFadeOut::Advance(uint64_t timeUs, uint8_t& attenuation) noexcept {
    attenuation = 0;
    if (!started || nextStep >= kFadeStepCount || timeUs < startUs) return false;
    const auto k = static_cast<uint64_t>(nextStep);
    // Rounded up so that no step comes early; (k + 1) * duration stays far
    // below 2^64 for any 32-bit number of seconds.
    const uint64_t dueAfter = ((k + 1) * durationUs + (kFadeStepCount - 1)) / kFadeStepCount;
    if (timeUs - startUs < dueAfter) return false;
    attenuation = kFadeAttenuation[static_cast<size_t>(k)];
    nextStep += 1;
    return true;
}

}  // namespace klink
