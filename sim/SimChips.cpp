#include "SimChips.h"

#include <cstdlib>

namespace klink::sim {
namespace {

constexpr uint32_t kMaxClockHz = 50'000'000;

// The clock line a chip's clock travels on; -1 for a chip with its own.
int LineOf(SimClockSharing sharing, uint8_t writeId, uint8_t instance) {
    switch (sharing) {
        case SimClockSharing::kKL2:
            if ((writeId == 0x52 || writeId == 0x53) && instance == 0) return 0;
            if (writeId == 0x30 && instance == 1) return 0;
            return -1;
        case SimClockSharing::kKL3:
            return KL3Group(writeId);
        case SimClockSharing::kNone:
            return -1;
    }
    return -1;
}

uint32_t LineClock(SimClockSharing sharing, uint8_t writeId, uint32_t hz) {
    return sharing == SimClockSharing::kKL3 ? KL3InputClock(writeId, hz) : SnapToCrystal(hz);
}

}  // namespace

uint32_t KL3InputClock(uint8_t writeId, uint32_t hz) noexcept {
    uint64_t f = hz;
    if (writeId == 0xA0) f *= 2;
    if (writeId == 0x5A || writeId == 0x5B) f *= 4;
    if (f > 0xFFFFFFFFull) return 0;
    if (f >= 3579000 && f <= 3580000) f = 3579545;
    if (f >= 14316000 && f <= 14320000) f = 14318180;
    if ((writeId == 0x55 || writeId == 0xA0) && f == 3993600) f = 4000000;
    return static_cast<uint32_t>(f);
}

int KL3Group(uint8_t writeId) noexcept {
    if (writeId == 0x55 || writeId == 0xA5 || writeId == 0xA0) return 0;
    if (writeId == 0x5A || writeId == 0x5B || writeId == 0x5E || writeId == 0x5F) return 1;
    return -1;
}

uint32_t SnapToCrystal(uint32_t hz) noexcept {
    static constexpr uint32_t kCrystals[] = {1250000, 1500000, 1536000, 1789772, 2000000, 2578000, 3000000,
                                             3072000, 3332000, 3375000, 3500000, 3546895, 3579545, 4000000,
                                             4500000, 5000000, 6000000, 6144000, 7159000, 7600489, 7670453,
                                             7987000, 8000000, 9000000, 14318180};
    uint32_t best = kCrystals[0];
    uint64_t bestDiff = ~uint64_t{0};
    for (uint32_t c : kCrystals) {
        const uint64_t d = c > hz ? c - hz : hz - c;
        if (d < bestDiff) {
            bestDiff = d;
            best = c;
        }
    }
    return bestDiff * 1'000'000 > uint64_t{hz} * 1'000 ? hz : best;
}

SimChips::SimChips(const SimProfile& profile) : profile_(profile) { Reset(); }

void SimChips::Reset() {
    regs_.clear();
    psgs_.clear();
    clocks_.clear();
    lines_.clear();
    for (const SimTarget& t : profile_.targets) {
        const KLINKCapability& c = t.capability;
        if (c.writeId == 0x30 || c.writeId == 0x50) {
            PSG psg;
            for (int ch = 0; ch < 4; ++ch) psg.regs[static_cast<size_t>(ch * 2 + 1)] = 0x0F;  // silent
            psgs_[Key(c.writeId, c.instance)] = psg;
        } else {
            regs_[Key(c.writeId, c.instance, c.page)] = {};
        }
        if (!clocks_.contains(Key(c.writeId, c.instance))) clocks_[Key(c.writeId, c.instance)] = t.defaultHz;
    }
}

void SimChips::WriteRegister(uint8_t writeId, uint8_t instance, uint8_t page, uint8_t reg, uint8_t value) {
    auto it = regs_.find(Key(writeId, instance, page));
    if (it != regs_.end()) it->second[reg] = value;
}

void SimChips::WritePSGByte(uint8_t writeId, uint8_t instance, uint8_t value) {
    auto it = psgs_.find(Key(writeId, instance));
    if (it == psgs_.end()) return;
    PSG& psg = it->second;
    if ((value & 0x80) != 0) {
        psg.latched = (value >> 4) & 0x07;
        uint16_t& r = psg.regs[static_cast<size_t>(psg.latched)];
        if (psg.latched % 2 == 0 && psg.latched != 6) {
            r = static_cast<uint16_t>((r & 0x3F0) | (value & 0x0F));
        } else {
            r = value & (psg.latched == 6 ? 0x07 : 0x0F);
        }
    } else {
        uint16_t& r = psg.regs[static_cast<size_t>(psg.latched)];
        if (psg.latched % 2 == 0 && psg.latched != 6) {
            r = static_cast<uint16_t>((r & 0x00F) | ((value & 0x3F) << 4));
        } else {
            r = value & (psg.latched == 6 ? 0x07 : 0x0F);
        }
    }
}

uint8_t SimChips::Register(uint8_t writeId, uint8_t instance, uint8_t page, uint8_t reg) const {
    auto it = regs_.find(Key(writeId, instance, page));
    return it == regs_.end() ? 0 : it->second[reg];
}

uint16_t SimChips::PSGRegister(uint8_t writeId, uint8_t instance, int index) const {
    auto it = psgs_.find(Key(writeId, instance));
    if (it == psgs_.end() || index < 0 || index > 7) return 0;
    return it->second.regs[static_cast<size_t>(index)];
}

SimClockResult SimChips::SetClock(uint8_t writeId, uint8_t instance, uint32_t hz) {
    const SimTarget* t = profile_.Find(writeId, instance, 0);
    if (t == nullptr) return SimClockResult::kUnsupported;
    const KLINKCapability& c = t->capability;
    if (c.clockMode == ClockMode::kFixed) {
        return ClocksMatch(writeId, c.fixedClockHz, hz) ? SimClockResult::kDone
                                                        : SimClockResult::kUnsupported;
    }
    if ((c.features & kFeatureSetClock) == 0) return SimClockResult::kUnsupported;
    if (hz == 0 || hz > kMaxClockHz) return SimClockResult::kOutOfRange;
    if (writeId == kOKIM6258 && !OKIClockSupported(hz)) return SimClockResult::kOutOfRange;
    const int line = LineOf(profile_.clockSharing, writeId, instance);
    if (line >= 0) {
        const uint32_t input = LineClock(profile_.clockSharing, writeId, hz);
        if (input == 0) return SimClockResult::kOutOfRange;
        Line& l = lines_[line];
        const uint32_t me = Key(writeId, instance);
        const bool others = !l.setBy.empty() && !(l.setBy.size() == 1 && l.setBy.contains(me));
        if (others && l.hz != input) return SimClockResult::kConflict;
        l.hz = input;
        l.setBy.insert(me);
        // The other chips on the line follow (for KL2 they take the same clock).
        if (profile_.clockSharing == SimClockSharing::kKL2) {
            for (auto& [key, value] : clocks_) {
                const auto id = static_cast<uint8_t>(key >> 16);
                const auto inst = static_cast<uint8_t>(key >> 8);
                if (LineOf(profile_.clockSharing, id, inst) == line) value = hz;
            }
        }
    }
    clocks_[Key(writeId, instance)] = hz;
    if (writeId == 0x52) clocks_[Key(0x53, instance)] = hz;
    if (writeId == 0x53) clocks_[Key(0x52, instance)] = hz;
    return SimClockResult::kDone;
}

uint32_t SimChips::ClockHz(uint8_t writeId, uint8_t instance) const {
    auto it = clocks_.find(Key(writeId, instance));
    return it == clocks_.end() ? 0 : it->second;
}

}  // namespace klink::sim
