#pragma once
// Clock rules of the Keltra 3 board, where several logical chips share one
// physical chip with a single input clock.

#include <cstdint>
#include <span>

#include "vgm/KLINKVGMTarget.h"

namespace klink {

// 0 = AY8910/YM2203 chip, 1 = the OPL chip (YM3812, YM3526, YMF262), -1 = none.
[[nodiscard]] int KL3ShareGroup(uint8_t writeId) noexcept;

// The input clock (Hz) one request needs on the shared chip, snapped to the
// standard crystals. Throws ReadError "KL3 clock multiplier overflow.".
[[nodiscard]] uint32_t KL3PhysicalClock(const KLINKVGMClock& clock);

// Passes, or throws ReadError for the first combination the board cannot
// produce. `clocks` in order of first appearance.
void CheckKL3Clocks(std::span<const KLINKVGMClock> clocks);

}  // namespace klink
