#pragma once
// Chip register targets and clock requests of a VGM file, in the terms the
// boards and the router use.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "vgm/KLINKVGMTarget.h"

namespace klink {

// What DecodeRegisterCommand found. The numbers are part of the contract.
enum class VGMDecodeKind : uint8_t {
    kNothing = 0,        // consumed, nothing to send
    kRegisterWrite = 1,  // Target, Register, Value set
    kWait = 2,           // Wait set (samples)
    kEnd = 3,
    kDACEvent = 4,  // YM2612 DAC sample (0x80-0x8F, Wait = low nibble) or DAC stream setup
};

// Decodes one command at `position` into a target write and advances past it.
// All outputs start at zero. Throws ReadError. No allocation unless it throws.
[[nodiscard]] VGMDecodeKind DecodeRegisterCommand(std::span<const uint8_t> bytes, uint32_t& position,
                                                  KLINKVGMTarget& target, uint8_t& reg, uint8_t& value,
                                                  uint32_t& wait);

// Whether a YM2612 register write is passed on (page 0 or 1).
[[nodiscard]] bool YM2612RegisterAccepted(uint8_t page, uint8_t reg) noexcept;

// The clock request for a target, from the header fields before `headerEnd`
// (the data offset) or, for a second chip, the 1.70 extra header.
[[nodiscard]] KLINKVGMClock ClockForTarget(std::span<const uint8_t> bytes, uint32_t headerEnd,
                                           uint8_t writeId, uint8_t instance);

// The second chip's clock from the extra header's clock table, else `fallback`.
[[nodiscard]] uint32_t ReadSecondChipClock(std::span<const uint8_t> bytes, uint32_t headerEnd, uint8_t chipId,
                                           uint32_t fallback);

struct VGMTargetsAndClocks {
    std::vector<KLINKVGMTarget> targets;  // order of first appearance
    std::vector<KLINKVGMClock> clocks;
};

[[nodiscard]] VGMTargetsAndClocks CollectTargetsAndClocks(std::span<const uint8_t> bytes,
                                                          uint32_t dataOffset);

// Whether this write makes the chip produce sound (timed playback starts there).
[[nodiscard]] bool StartsSound(const KLINKVGMTarget& target, uint8_t reg, uint8_t value) noexcept;

// Whether the file feeds the first YM2612's DAC while its output is enabled.
[[nodiscard]] bool UsesKL2DAC(std::span<const uint8_t> bytes, uint32_t dataOffset);

// Follows a decoder walk for UsesKL2DAC. Observe each decoded command with its
// start position; true once DAC data meets an enabled DAC output.
class KL2DACScan {
public:
    [[nodiscard]] bool Observe(std::span<const uint8_t> bytes, uint32_t position, VGMDecodeKind kind,
                               const KLINKVGMTarget& target, uint8_t reg, uint8_t value) noexcept;

private:
    std::array<bool, 256> ym2612Stream_{};  // per DAC stream ID: feeds a YM2612
    bool dataSeen_ = false;
    bool enabled_ = false;
};

// CollectTargetsAndClocks, UsesOKIStream and UsesKL2DAC in one walk, with the
// same results and the same first failure as calling them in that order on a
// data offset inside the file (all three walk the same commands to the same
// end command, and the decoder's checks include the walker's).
struct VGMCommandScan {
    VGMTargetsAndClocks targetsAndClocks;
    bool usesOkiStream = false;
    bool usesKl2Dac = false;
};
[[nodiscard]] VGMCommandScan ScanVGMCommands(std::span<const uint8_t> bytes, uint32_t dataOffset);

}  // namespace klink
