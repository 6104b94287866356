#include "adpcm/OKICodec.h"

#include <algorithm>
#include <array>

namespace klink {

namespace {

// The standard 49-entry Dialogic ADPCM step sizes.
constexpr std::array<int32_t, 49> kStepSize = {
    16,  17,  19,  21,  23,  25,  28,  31,  34,  37,  41,   45,   50,   55,   60,  66,  73,
    80,  88,  97,  107, 118, 130, 143, 157, 173, 190, 209,  230,  253,  279,  307, 337, 371,
    408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552};

// Step index change by the three magnitude bits.
constexpr std::array<int32_t, 8> kIndexAdjust = {-1, -1, -1, -1, 2, 4, 6, 8};

constexpr int32_t kSignalMin = -2048;
constexpr int32_t kSignalMax = 2047;
constexpr int32_t kStepIndexMax = static_cast<int32_t>(kStepSize.size()) - 1;

}  // namespace

int32_t OKICodec::Decode(uint8_t nibble) noexcept {
    const int32_t step = kStepSize[static_cast<size_t>(stepIndex)];
    int32_t diff = step / 8;
    if (nibble & 0x01) diff += step / 4;
    if (nibble & 0x02) diff += step / 2;
    if (nibble & 0x04) diff += step;
    signal = std::clamp((nibble & 0x08) ? signal - diff : signal + diff, kSignalMin, kSignalMax);
    stepIndex = std::clamp(stepIndex + kIndexAdjust[nibble & 0x07], 0, kStepIndexMax);
    return signal;
}

uint8_t OKICodec::Encode(int32_t target) noexcept {
    target = std::clamp(target, kSignalMin, kSignalMax);
    int32_t delta = target - signal;
    uint8_t code = 0;
    if (delta < 0) {
        code = 0x08;
        delta = -delta;
    }
    const int32_t step = kStepSize[static_cast<size_t>(stepIndex)];
    if (delta >= step) {
        code |= 0x04;
        delta -= step;
    }
    if (delta >= step / 2) {
        code |= 0x02;
        delta -= step / 2;
    }
    if (delta >= step / 4) code |= 0x01;
    Decode(code);
    return code;
}

}  // namespace klink
