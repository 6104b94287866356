#pragma once
// The one walker over VGM command data that every reader of the stream uses,
// the loop counter and the OKIM6258 usage scan.

#include <array>
#include <cstdint>
#include <span>

#include "common/Bytes.h"

namespace klink {

// What NextVGMCommand found. The numbers are part of the contract.
enum class VGMCommandKind : uint8_t {
    kOther = 0,        // consumed, nothing to report
    kYM2151Write = 1,  // Register and Value set
    kWait = 2,         // Wait set (samples of 1/44100 s)
    kEnd = 3,          // end of data (0x66)
};

// Reads one command at `position` and advances `position` past it. `reg`,
// `value` and `wait` are set to 0 first. Never reads outside `bytes`; throws
// ReadError naming the command's position (the position is then somewhere in
// the failed command and the walk must be abandoned). No allocation unless it
// throws.
// Defined inline below: every playback path calls it once per command.
[[nodiscard]] inline VGMCommandKind NextVGMCommand(std::span<const uint8_t> bytes, uint32_t& position,
                                                   uint8_t& reg, uint8_t& value, uint32_t& wait);

// Called at an end command of a file that loops. `repeatCount` is the number of
// passes (0 = endless). Counts one completed pass and answers whether to jump
// back to the loop point. Throws ReadError for a negative count.
[[nodiscard]] bool CountLoop(uint64_t& completedLoops, int32_t repeatCount);

// Follows a command walk and tells when the data feeds an OKIM6258. Observe
// each command after it was walked successfully, with its start position.
class OKIStreamScan {
public:
    // True when this command shows OKIM6258 use.
    [[nodiscard]] bool Observe(std::span<const uint8_t> bytes, uint32_t position) noexcept;

private:
    std::array<bool, 256> okiStream_{};  // per DAC stream ID: set up for an OKIM6258
};

// Whether the command data from `dataOffset` feeds an OKIM6258 (ADPCM data
// register writes, or streams set up for it and started). Throws ReadError.
[[nodiscard]] bool UsesOKIStream(std::span<const uint8_t> bytes, uint32_t dataOffset);

namespace detail {

// Operand byte counts per command byte; kRejected: not accepted; the data
// block and PCM RAM forms have their own lengths.
inline constexpr int8_t kRejected = -1;
inline constexpr int8_t kDataBlock = -2;
inline constexpr int8_t kPCMRAM = -3;

constexpr std::array<int8_t, 256> MakeOperandTable() {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = kRejected;
    for (int c = 0x30; c <= 0x3F; ++c) t[c] = 1;
    t[0x4F] = 1;
    t[0x50] = 1;
    for (int c = 0x51; c <= 0x5F; ++c) t[c] = 2;
    t[0x61] = 2;
    t[0x62] = 0;
    t[0x63] = 0;
    t[0x66] = 0;
    t[0x67] = kDataBlock;
    t[0x68] = kPCMRAM;
    for (int c = 0x70; c <= 0x8F; ++c) t[c] = 0;
    t[0x90] = 4;
    t[0x91] = 4;
    t[0x92] = 5;
    t[0x93] = 10;
    t[0x94] = 1;
    t[0x95] = 4;
    for (int c = 0xA0; c <= 0xBF; ++c) t[c] = 2;
    for (int c = 0xC0; c <= 0xD6; ++c) t[c] = 3;
    t[0xE0] = 4;
    t[0xE1] = 4;
    return t;
}

inline constexpr std::array<int8_t, 256> kOperands = MakeOperandTable();

// Failure paths, kept out of line.
[[noreturn]] void ThrowTruncatedVGMCommand(uint32_t start);
// The rare variable-length and rejected commands.
[[nodiscard]] VGMCommandKind NextVGMCommandSlow(std::span<const uint8_t> bytes, uint32_t& position);

}  // namespace detail

inline VGMCommandKind NextVGMCommand(std::span<const uint8_t> bytes, uint32_t& position, uint8_t& reg,
                                     uint8_t& value, uint32_t& wait) {
    reg = 0;
    value = 0;
    wait = 0;
    const uint32_t start = position;
    // Positions are 32-bit: nothing past 4 GiB - 1 is reachable.
    const uint64_t size = bytes.size() < 0xFFFFFFFFull ? bytes.size() : 0xFFFFFFFFull;
    if (uint64_t{start} + 1 > size) {
        detail::ThrowTruncatedVGMCommand(start);
    }
    const uint8_t* p = bytes.data() + start;
    const uint8_t command = p[0];
    const int8_t operands = detail::kOperands[command];
    if (operands < 0) {
        return detail::NextVGMCommandSlow(bytes, position);
    }
    if (uint64_t{start} + 1 + static_cast<uint64_t>(operands) > size) {
        detail::ThrowTruncatedVGMCommand(start);
    }
    position = start + 1 + static_cast<uint32_t>(operands);
    if (command >= 0x70 && command <= 0x8F) {
        // 0x80-0x8F also stand for a YM2612 DAC sample: the decoder's business.
        wait = (command & 0x0Fu) + (command < 0x80 ? 1u : 0u);
        return VGMCommandKind::kWait;
    }
    switch (command) {
        case 0x54:
            reg = p[1];
            value = p[2];
            return VGMCommandKind::kYM2151Write;
        case 0x61:
            wait = LoadLE16(bytes, uint64_t{start} + 1);
            return VGMCommandKind::kWait;
        case 0x62:
            wait = 735;
            return VGMCommandKind::kWait;
        case 0x63:
            wait = 882;
            return VGMCommandKind::kWait;
        case 0x66:
            return VGMCommandKind::kEnd;
        default:
            return VGMCommandKind::kOther;
    }
}

}  // namespace klink
