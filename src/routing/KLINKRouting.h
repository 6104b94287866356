#pragma once
// The route plan: which connection (0 = connection 1, the upper COM selector;
// 1 = connection 2, the lower one) receives each chip register target of a
// file, the OKIM6258 stream and the KL2 YM2612/PSG group. Built once per
// playback from what the boards reported and what the file needs, then
// immutable. A file the connected boards cannot play is refused with one
// message naming the first target that failed.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/KLINKCapabilities.h"
#include "vgm/KLINKVGMTarget.h"
#include "vgm/VGMChips.h"

namespace klink {

// Number of connections a playback can use.
inline constexpr int32_t kKLINKConnectionCount = 2;

// One assignment of a target to a connection (0 or 1).
struct KLINKRoute {
    KLINKVGMTarget target;
    int32_t device = 0;

    friend bool operator==(const KLINKRoute&, const KLINKRoute&) = default;
};

// The capability table of each connection's board; nullptr where no board is
// connected. Not owned by the plan.
using KLINKDeviceCapabilities = std::array<const KLINKCapabilities*, kKLINKConnectionCount>;

// The model string each board reported ("Keltra 2", "Keltra 3", ...), empty
// where none.
using KLINKDeviceNames = std::array<std::string, kKLINKConnectionCount>;

class KLINKRoutePlan {
public:
    // An empty plan: no routes, no audio, no DAC group, no connection used.
    KLINKRoutePlan() = default;

    // Builds the plan for `targets` (in input order) and `clocks`.
    // `useAudio`: the file has an OKIM6258 clock. `useDac`: the file plays
    // through the KL2 DAC stream. Throws ReadError with the first refusal;
    // the capability tables are only read.
    [[nodiscard]] static KLINKRoutePlan Create(const KLINKDeviceCapabilities& caps,
                                               const KLINKDeviceNames& names,
                                               std::span<const KLINKVGMTarget> targets,
                                               std::span<const KLINKVGMClock> clocks, bool useAudio,
                                               bool useDac);

    // The connection for a write or clock: the audio connection for the
    // OKIM6258 (0xB7, 0, 0), otherwise that of the first route to the same
    // chip (Page ignored); -1 when there is none.
    [[nodiscard]] int32_t DeviceFor(uint8_t writeId, uint8_t instance, uint8_t page) const noexcept;

    // True for a connection that received a route or the audio stream.
    [[nodiscard]] bool UsesDevice(int32_t index) const noexcept;

    // The routing text for the log, every line ending in CR LF; empty for a
    // plan with nothing in it.
    [[nodiscard]] std::string Describe() const;

    // Connection of the OKIM6258 stream, -1 if none.
    [[nodiscard]] int32_t AudioDevice() const noexcept { return audioDevice_; }
    // Connection of the KL2 profile targets (SN76489s, YM2612s), -1 if none.
    [[nodiscard]] int32_t DACDevice() const noexcept { return dacDevice_; }
    // One route per input target, in input order.
    [[nodiscard]] const std::vector<KLINKRoute>& Routes() const noexcept { return routes_; }

private:
    std::vector<KLINKRoute> routes_;
    int32_t audioDevice_ = -1;
    int32_t dacDevice_ = -1;
    std::array<bool, kKLINKConnectionCount> used_{};
    bool useDac_ = false;
};

// The chip identity of a WriteID: the second SN76489 command (0x30), the
// second port of a YM2612 (0x53) or YMF262 (0x5F) and the second YM2203
// command (0xA5) map to their first form; every other value stays.
[[nodiscard]] uint8_t NormaliseChipWriteID(uint8_t writeId) noexcept;

// True when both pairs address the same physical chip (Page plays no part).
[[nodiscard]] bool SameChip(uint8_t writeId1, uint8_t instance1, uint8_t writeId2,
                            uint8_t instance2) noexcept;

// True for the targets the KL2 board plays as one profile: SN76489 (0x50),
// second SN76489 (0x30) and both YM2612 ports (0x52, 0x53), any instance.
[[nodiscard]] bool IsKL2ProfileTarget(uint8_t writeId) noexcept;

// Whether the board can run the chip at the requested clock: its fixed clock
// matches, or the clock is settable.
[[nodiscard]] bool ClockSupported(const KLINKCapabilities& caps, const KLINKVGMClock& clock) noexcept;

// The YM2612 and the second SN76489 of a KL2 board share one clock line;
// throws ReadError when the requests among `clocks` cannot both be met.
void CheckKL2SharedClock(std::span<const KLINKVGMClock> clocks);

// The nearest of the 25 standard crystal frequencies when it lies within
// 0.1 % of `hertz`; otherwise `hertz` unchanged.
[[nodiscard]] uint32_t SnapClock(uint32_t hertz) noexcept;

}  // namespace klink
