#pragma once
// The fade-out at the end of a track: 62 fixed output-attenuation steps spread
// evenly over the chosen length, and the fade selector's seconds.

#include <array>
#include <cstdint>

namespace klink {

// Number of volume steps of every fade.
inline constexpr int32_t kFadeStepCount = 62;

// Output attenuation of each step (0 = full volume, 96 = the most the boards
// take); steps are handed out in this order.
inline constexpr std::array<uint8_t, kFadeStepCount> kFadeAttenuation = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,   //
    1,  1,  1,  1,  1,  2,  2,  2,  2,  3,   //
    3,  4,  5,  5,  5,  6,  7,  8,  8,  10,  //
    11, 12, 13, 14, 16, 17, 18, 19, 21, 23,  //
    24, 26, 27, 29, 31, 32, 35, 37, 40, 42,  //
    45, 48, 51, 55, 59, 63, 68, 73, 78, 83,  //
    90, 96};

// Seconds of fade for an item of the fade selector (0 none, 1, 3, 5, 10, 15).
// Any other index, such as -1 for "nothing selected", means no fade (0).
[[nodiscard]] int32_t FadeSecondsForIndex(int32_t index) noexcept;

// One fade in progress. A value-initialised record has not started. Times are
// microseconds on whatever time base the caller plays on; only differences to
// startUs matter.
struct KLINKFadeOut {
    bool started = false;
    uint64_t startUs = 0;
    uint64_t durationUs = 0;
    int32_t nextStep = 0;  // 0..62; 62 once every step was handed out

    // Starts (or restarts) the fade at fadeStartUs. durationSeconds <= 0 fails with
    // ArgumentOutOfRange "Invalid fade duration." and leaves the record unchanged.
    void Start(uint64_t fadeStartUs, int32_t durationSeconds);

    // Hands out at most one step: true when the next step is due at timeUs, with
    // its attenuation in `attenuation` (0 otherwise). Step k falls due
    // ceil((k + 1) * duration / 62) after the start, so the last one lands exactly
    // at the end. A caller that is late calls again until this answers false.
    [[nodiscard]] bool Advance(uint64_t timeUs, uint8_t& attenuation) noexcept;

    // All 62 steps have been handed out.
    [[nodiscard]] bool Complete() const noexcept { return started && nextStep == kFadeStepCount; }
};

}  // namespace klink
