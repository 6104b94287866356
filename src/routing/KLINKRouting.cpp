#include "routing/KLINKRouting.h"

#include <fmt/format.h>

#include <cstdlib>
#include <optional>

#include "common/Errors.h"
#include "vgm/KL3ClockPlan.h"

namespace klink {

namespace {

constexpr uint16_t kRequiredPayload = 256;
// An OKIM6258 stream needs 80 ms of lead in the board's buffer.
constexpr uint32_t kRequiredAudioData = 875;
constexpr uint16_t kRequiredAudioEvents = 1;

constexpr std::array<uint32_t, 25> kStandardClocks = {
    1250000, 1500000, 1536000, 1789772, 2000000, 2578000, 3000000,  3072000, 3332000,
    3375000, 3500000, 3546895, 3579545, 4000000, 4500000, 5000000,  6000000, 6144000,
    7159000, 7600489, 7670453, 7987000, 8000000, 9000000, 14318180,
};

bool SameTargetChip(const KLINKVGMTarget& a, const KLINKVGMTarget& b) noexcept {
    return SameChip(a.writeId, a.instance, b.writeId, b.instance);
}

// The creation steps with the inputs at hand; routes_ etc. are filled on the
// plan passed in.
class PlanBuilder {
public:
    PlanBuilder(const KLINKDeviceCapabilities& caps, std::span<const KLINKVGMTarget> targets,
                std::span<const KLINKVGMClock> clocks, bool useAudio, bool useDac)
        : caps_(caps), targets_(targets), clocks_(clocks), useAudio_(useAudio), useDac_(useDac) {}

    int32_t audioDevice = -1;

    // Whether connection `i` can play the whole chip of `target`.
    [[nodiscard]] bool Qualifies(int32_t i, const KLINKVGMTarget& target) const noexcept {
        const KLINKCapabilities* caps = caps_[static_cast<size_t>(i)];
        if (caps == nullptr || caps->MaxPayload() < kRequiredPayload) return false;
        for (const KLINKVGMTarget& t : targets_)
            if (SameTargetChip(t, target) && !caps->Supports(t.writeId, t.instance, t.page, kFeatureBurst))
                return false;
        for (const KLINKVGMClock& c : clocks_)
            if (SameChip(c.writeId, c.instance, target.writeId, target.instance) && !ClockSupported(*caps, c))
                return false;
        if (useAudio_ && target.writeId == kWriteYM2151) {
            // Its writes travel as timed events inside the ADPCM stream.
            if (i != audioDevice || !caps->Supports(kWriteYM2151, 0, 0, kFeatureStreamEvents)) return false;
        }
        return true;
    }

    // Whether connection `i` can hold every KL2 profile chip of the file.
    [[nodiscard]] bool QualifiesForProfile(int32_t i) const noexcept {
        for (const KLINKVGMTarget& t : targets_)
            if (IsKL2ProfileTarget(t.writeId) && !Qualifies(i, t)) return false;
        if (useDac_) {
            const KLINKCapabilities* caps = caps_[static_cast<size_t>(i)];
            if (caps == nullptr || (caps->ControlFeatures() & kControlKL2DAC) == 0) return false;
        }
        return true;
    }

    // The connection for a chip met for the first time, or -1.
    [[nodiscard]] int32_t ChooseDevice(const KLINKVGMTarget& target, int32_t dacDevice) const noexcept {
        // The KL2 profile must end up on one board. Placing its chips one at a
        // time on the first board that can play each would refuse files that
        // a board holding the whole group could play, so prefer the group's
        // board; when no board holds the group, the plain choice below leads
        // to the one-device refusal.
        if (IsKL2ProfileTarget(target.writeId)) {
            if (dacDevice >= 0 && Qualifies(dacDevice, target)) return dacDevice;
            if (dacDevice < 0)
                for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
                    if (Qualifies(i, target) && QualifiesForProfile(i)) return i;
        }
        for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
            if (Qualifies(i, target)) return i;
        return -1;
    }

private:
    const KLINKDeviceCapabilities& caps_;
    std::span<const KLINKVGMTarget> targets_;
    std::span<const KLINKVGMClock> clocks_;
    bool useAudio_;
    bool useDac_;
};

}  // namespace

uint8_t NormaliseChipWriteID(uint8_t writeId) noexcept { return ChipWriteID(writeId); }

bool SameChip(uint8_t writeId1, uint8_t instance1, uint8_t writeId2, uint8_t instance2) noexcept {
    return NormaliseChipWriteID(writeId1) == NormaliseChipWriteID(writeId2) && instance1 == instance2;
}

bool IsKL2ProfileTarget(uint8_t writeId) noexcept {
    return writeId == kWriteSN76489Second || writeId == kWriteSN76489 || writeId == kWriteYM2612 ||
           writeId == kWriteYM2612Port1;
}

bool ClockSupported(const KLINKCapabilities& caps, const KLINKVGMClock& clock) noexcept {
    const std::optional<KLINKCapability> entry = caps.Find(clock.writeId, clock.instance, 0);
    if (!entry) return false;
    if (entry->clockMode == ClockMode::kFixed)
        return ClocksMatch(clock.writeId, entry->fixedClockHz, clock.hertz);
    return caps.Supports(clock.writeId, clock.instance, 0, kFeatureSetClock);
}

uint32_t SnapClock(uint32_t hertz) noexcept {
    uint32_t best = kStandardClocks[0];
    uint64_t bestDiff = static_cast<uint64_t>(std::llabs(static_cast<int64_t>(hertz) - best));
    for (uint32_t standard : kStandardClocks) {
        const uint64_t diff = static_cast<uint64_t>(std::llabs(static_cast<int64_t>(hertz) - standard));
        if (diff < bestDiff) {
            best = standard;
            bestDiff = diff;
        }
    }
    if (bestDiff * 1000000u > static_cast<uint64_t>(hertz) * 1000u) return hertz;
    return best;
}

void CheckKL2SharedClock(std::span<const KLINKVGMClock> clocks) {
    uint32_t ym2612 = 0;
    uint32_t secondPsg = 0;
    for (const KLINKVGMClock& c : clocks) {
        if (c.writeId == kWriteYM2612 || c.writeId == kWriteYM2612Port1)
            ym2612 = c.hertz;
        else if (c.writeId == kWriteSN76489Second)
            secondPsg = c.hertz;
    }
    if (ym2612 != 0 && secondPsg != 0 && SnapClock(ym2612) != SnapClock(secondPsg))
        throw ReadError("KL2 YM2612 and second SN76489 share CLK0; requested clocks conflict.");
}

KLINKRoutePlan KLINKRoutePlan::Create(const KLINKDeviceCapabilities& caps, const KLINKDeviceNames& names,
                                      std::span<const KLINKVGMTarget> targets,
                                      std::span<const KLINKVGMClock> clocks, bool useAudio, bool useDac) {
    KLINKRoutePlan plan;
    plan.useDac_ = useDac;
    plan.routes_.reserve(targets.size());
    PlanBuilder builder(caps, targets, clocks, useAudio, useDac);

    if (useAudio) {
        for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
            const KLINKCapabilities* c = caps[static_cast<size_t>(i)];
            if (c != nullptr && c->Supports(kWriteOKIM6258, 0, 0, kFeatureADPCMStream) &&
                c->DataCapacity() >= kRequiredAudioData && c->EventCapacity() >= kRequiredAudioEvents) {
                plan.audioDevice_ = i;
                break;
            }
        }
        if (plan.audioDevice_ < 0)
            throw ReadError("No connected device supports the required OKIM6258 stream/capacity.");
        plan.used_[static_cast<size_t>(plan.audioDevice_)] = true;
        builder.audioDevice = plan.audioDevice_;
    }

    for (size_t j = 0; j < targets.size(); ++j) {
        const KLINKVGMTarget& target = targets[j];
        int32_t device = -1;
        // A chip is never split across connections: its later targets follow
        // the first one.
        for (size_t k = 0; k < j; ++k) {
            if (SameTargetChip(targets[k], target)) {
                device = plan.routes_[k].device;
                break;
            }
        }
        if (device < 0) {
            device = builder.ChooseDevice(target, plan.dacDevice_);
            if (device < 0)
                throw ReadError(
                    fmt::format("No connected device supports VGM target ${:02X}/{}/{} and its "
                                "requested clock.",
                                target.writeId, target.instance, target.page));
        }
        plan.routes_.push_back(KLINKRoute{target, device});
        plan.used_[static_cast<size_t>(device)] = true;

        if (IsKL2ProfileTarget(target.writeId)) {
            if (plan.dacDevice_ >= 0 && plan.dacDevice_ != device)
                throw ReadError(
                    "This KL2 buffered profile requires YM2612 and both PSG routes on one device.");
            plan.dacDevice_ = device;
            if (useDac && (caps[static_cast<size_t>(device)]->ControlFeatures() & kControlKL2DAC) == 0)
                throw ReadError("KL2 buffered DAC capability query is unavailable.");
        }
    }

    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        if (!plan.used_[static_cast<size_t>(i)]) continue;
        if ((caps[static_cast<size_t>(i)]->ControlFeatures() & kControlAttenuation) == 0)
            throw ReadError(
                "Selected device has no KLINK output volume control; update its firmware (KL2: 3.1dev9 or "
                "later).");
        std::vector<KLINKVGMClock> deviceClocks;
        for (const KLINKVGMClock& c : clocks)
            if (plan.DeviceFor(c.writeId, c.instance, 0) == i) deviceClocks.push_back(c);
        if (names[static_cast<size_t>(i)] == "Keltra 3") CheckKL3Clocks(deviceClocks);
        if (i == plan.dacDevice_) CheckKL2SharedClock(deviceClocks);
    }
    return plan;
}

int32_t KLINKRoutePlan::DeviceFor(uint8_t writeId, uint8_t instance, uint8_t page) const noexcept {
    if (writeId == kWriteOKIM6258 && instance == 0 && page == 0) return audioDevice_;
    for (const KLINKRoute& r : routes_)
        if (SameChip(r.target.writeId, r.target.instance, writeId, instance)) return r.device;
    return -1;
}

bool KLINKRoutePlan::UsesDevice(int32_t index) const noexcept {
    if (index < 0 || index >= kKLINKConnectionCount) return false;
    return used_[static_cast<size_t>(index)];
}

std::string KLINKRoutePlan::Describe() const {
    std::string text;
    for (const KLINKRoute& r : routes_)
        text += fmt::format("${:02X}/{}/{} -> connection {}\r\n", r.target.writeId, r.target.instance,
                            r.target.page, r.device + 1);
    if (audioDevice_ >= 0) text += fmt::format("OKIM6258 stream -> connection {}\r\n", audioDevice_ + 1);
    if (dacDevice_ >= 0) {
        if (useDac_)
            text += fmt::format("KL2 buffered DAC/FM/PSG -> connection {}\r\n", dacDevice_ + 1);
        else
            text += fmt::format("KL2 FM/PSG register playback (KL3 timing, no DAC FIFO) -> connection {}\r\n",
                                dacDevice_ + 1);
    }
    return text;
}

}  // namespace klink
