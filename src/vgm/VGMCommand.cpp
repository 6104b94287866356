#include "vgm/VGMCommand.h"

#include <fmt/format.h>

#include <array>

#include "common/Errors.h"
#include "vgm/VGMBytes.h"

namespace klink {

namespace {

// Operand byte counts per command byte. kRejected: not accepted;
// kDataBlock / kPCMRAM: variable forms handled on their own.
constexpr int8_t kRejected = -1;
constexpr int8_t kDataBlock = -2;
constexpr int8_t kPCMRAM = -3;

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

constexpr std::array<int8_t, 256> kOperands = MakeOperandTable();

[[noreturn]] void ThrowTruncated(uint32_t start) {
    throw ReadError(fmt::format("Truncated VGM command at ${:08X}.", start));
}

}  // namespace

TVGMCommandKind NextVGMCommand(std::span<const uint8_t> bytes, uint32_t& position, uint8_t& reg,
                               uint8_t& value, uint32_t& wait) {
    reg = 0;
    value = 0;
    wait = 0;
    const uint32_t start = position;
    // Positions are 32-bit: nothing past 4 GiB - 1 is reachable.
    const uint64_t size = bytes.size() < 0xFFFFFFFFull ? bytes.size() : 0xFFFFFFFFull;
    if (uint64_t{start} + 1 > size) {
        ThrowTruncated(start);
    }
    const uint8_t* p = bytes.data() + start;
    const uint8_t command = p[0];
    const int8_t operands = kOperands[command];

    if (operands >= 0) {
        if (uint64_t{start} + 1 + static_cast<uint64_t>(operands) > size) {
            ThrowTruncated(start);
        }
        position = start + 1 + static_cast<uint32_t>(operands);
        switch (command) {
            case 0x54:
                reg = p[1];
                value = p[2];
                return TVGMCommandKind::YM2151Write;
            case 0x61:
                wait = uint32_t{p[1]} | uint32_t{p[2]} << 8;
                return TVGMCommandKind::Wait;
            case 0x62:
                wait = 735;
                return TVGMCommandKind::Wait;
            case 0x63:
                wait = 882;
                return TVGMCommandKind::Wait;
            case 0x66:
                return TVGMCommandKind::End;
            default:
                break;
        }
        if (command >= 0x70 && command <= 0x7F) {
            wait = (command & 0x0Fu) + 1;
            return TVGMCommandKind::Wait;
        }
        if (command >= 0x80 && command <= 0x8F) {
            // The YM2612 DAC sample this command also stands for is the decoder's business.
            wait = command & 0x0Fu;
            return TVGMCommandKind::Wait;
        }
        return TVGMCommandKind::Other;
    }

    if (operands == kDataBlock) {
        // 0x67 0x66 tt ss ss ss ss, then (size AND 0x7FFFFFFF) bytes.
        if (uint64_t{start} + 2 > size) ThrowTruncated(start);
        if (p[1] != 0x66) throw ReadError("Invalid VGM data block marker.");
        if (uint64_t{start} + 7 > size) ThrowTruncated(start);
        const uint64_t length = PeekLE32(bytes, uint64_t{start} + 3) & 0x7FFFFFFFu;
        const uint64_t next = uint64_t{start} + 7 + length;
        if (next > size) ThrowTruncated(start);
        position = static_cast<uint32_t>(next);
        return TVGMCommandKind::Other;
    }
    if (operands == kPCMRAM) {
        if (uint64_t{start} + 2 > size) ThrowTruncated(start);
        if (p[1] != 0x66) throw ReadError("Invalid VGM PCM RAM marker.");
        if (uint64_t{start} + 12 > size) ThrowTruncated(start);
        position = start + 12;
        return TVGMCommandKind::Other;
    }
    throw ReadError(fmt::format("Unsupported VGM command ${:02X} at ${:08X}.", command, start));
}

bool CountLoop(uint64_t& completedLoops, int32_t repeatCount) {
    if (repeatCount < 0) {
        throw ReadError("Invalid VGM repeat count.");
    }
    ++completedLoops;
    return repeatCount == 0 || completedLoops < static_cast<uint64_t>(repeatCount);
}

bool TOKIStreamScan::Observe(std::span<const uint8_t> bytes, uint32_t p) noexcept {
    constexpr uint8_t kOKIM6258ChipType = 0x17;
    // The command was walked, so its operand bytes lie inside the data.
    switch (bytes[p]) {
        case 0x90:  // stream setup: stream ID, chip type, port, command
            okiStream_[bytes[p + 1]] = (bytes[p + 2] & 0x7F) == kOKIM6258ChipType;
            return false;
        case 0x93:
        case 0x95:  // stream start
            return okiStream_[bytes[p + 1]];
        case 0xB7:  // OKIM6258 write: the ADPCM data register of either chip
            return (bytes[p + 1] & 0x7F) == 1;
        default:
            return false;
    }
}

bool UsesOKIStream(std::span<const uint8_t> bytes, uint32_t dataOffset) {
    if (dataOffset > bytes.size()) {
        throw ReadError("Invalid VGM data offset.");
    }
    TOKIStreamScan scan;
    uint32_t position = dataOffset;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    while (position < bytes.size()) {
        const uint32_t p = position;
        if (NextVGMCommand(bytes, position, reg, value, wait) == TVGMCommandKind::End) {
            return false;
        }
        if (scan.Observe(bytes, p)) {
            return true;
        }
    }
    throw ReadError("Missing VGM end command.");
}

}  // namespace klink
