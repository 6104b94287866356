#include "vgm/KL3ClockPlan.h"

#include "common/Errors.h"
#include "vgm/VGMChips.h"

namespace klink {

int KL3ShareGroup(uint8_t writeId) noexcept {
    switch (writeId) {
        case kWriteYM2203:
        case kWriteAY8910:
            return 0;
        case kWriteYM3812:
        case kWriteYM3526:
        case kWriteYMF262:
            return 1;
        default:
            return -1;
    }
}

uint32_t KL3PhysicalClock(const KLINKVGMClock& clock) {
    uint64_t f = clock.hertz;
    if (clock.writeId == kWriteAY8910) {
        f *= 2;
    } else if (clock.writeId == kWriteYM3812 || clock.writeId == kWriteYM3526) {
        f *= 4;
    }
    if (f > 0xFFFFFFFFull) {
        throw ReadError("KL3 clock multiplier overflow.");
    }
    if (f >= 3579000 && f <= 3580000) f = 3579545;
    if (f >= 14316000 && f <= 14320000) f = 14318180;
    if ((clock.writeId == kWriteYM2203 || clock.writeId == kWriteAY8910) && f == 3993600) f = 4000000;
    return static_cast<uint32_t>(f);
}

void CheckKL3Clocks(std::span<const KLINKVGMClock> clocks) {
    for (size_t i = 0; i < clocks.size(); ++i) {
        const int group = KL3ShareGroup(clocks[i].writeId);
        if (group < 0) continue;
        const uint32_t physical = KL3PhysicalClock(clocks[i]);
        if (physical == 0) {
            throw ReadError("KL3 input clock must be nonzero.");
        }
        for (size_t j = 0; j < i; ++j) {
            if (KL3ShareGroup(clocks[j].writeId) != group) continue;
            const bool sameChip = clocks[i].writeId == clocks[j].writeId;
            if (group == 0 && clocks[i].instance == clocks[j].instance && !sameChip) {
                throw ReadError("KL3 AY and YM2203 cannot independently share one physical chip.");
            }
            if (group == 1 && !sameChip) {
                throw ReadError("KL3 OPL1/OPL2/OPL3 routes share one physical chip.");
            }
            if (physical != KL3PhysicalClock(clocks[j])) {
                throw ReadError("KL3 logical chips request incompatible shared input clocks.");
            }
        }
    }
}

}  // namespace klink
