#include "vgm/VGMCommand.h"

#include <fmt/format.h>

#include "common/Bytes.h"
#include "common/Errors.h"

namespace klink {

namespace detail {

void ThrowTruncatedVGMCommand(uint32_t start) {
    throw ReadError(fmt::format("Truncated VGM command at ${:08X}.", start));
}

VGMCommandKind NextVGMCommandSlow(std::span<const uint8_t> bytes, uint32_t& position) {
    const uint32_t start = position;
    const uint64_t size = bytes.size() < 0xFFFFFFFFull ? bytes.size() : 0xFFFFFFFFull;
    const uint8_t* p = bytes.data() + start;
    const uint8_t command = p[0];
    const int8_t operands = kOperands[command];
    if (operands == kDataBlock) {
        // 0x67 0x66 tt ss ss ss ss, then (size AND 0x7FFFFFFF) bytes.
        if (uint64_t{start} + 2 > size) ThrowTruncatedVGMCommand(start);
        if (p[1] != 0x66) throw ReadError("Invalid VGM data block marker.");
        if (uint64_t{start} + 7 > size) ThrowTruncatedVGMCommand(start);
        const uint64_t length = LoadLE32(bytes, uint64_t{start} + 3) & 0x7FFFFFFFu;
        const uint64_t next = uint64_t{start} + 7 + length;
        if (next > size) ThrowTruncatedVGMCommand(start);
        position = static_cast<uint32_t>(next);
        return VGMCommandKind::kOther;
    }
    if (operands == kPCMRAM) {
        if (uint64_t{start} + 2 > size) ThrowTruncatedVGMCommand(start);
        if (p[1] != 0x66) throw ReadError("Invalid VGM PCM RAM marker.");
        if (uint64_t{start} + 12 > size) ThrowTruncatedVGMCommand(start);
        position = start + 12;
        return VGMCommandKind::kOther;
    }
    throw ReadError(fmt::format("Unsupported VGM command ${:02X} at ${:08X}.", command, start));
}

}  // namespace detail

bool CountLoop(uint64_t& completedLoops, int32_t repeatCount) {
    if (repeatCount < 0) {
        throw ReadError("Invalid VGM repeat count.");
    }
    ++completedLoops;
    return repeatCount == 0 || completedLoops < static_cast<uint64_t>(repeatCount);
}

bool OKIStreamScan::Observe(std::span<const uint8_t> bytes, uint32_t p) noexcept {
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
    OKIStreamScan scan;
    uint32_t position = dataOffset;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    while (position < bytes.size()) {
        const uint32_t p = position;
        if (NextVGMCommand(bytes, position, reg, value, wait) == VGMCommandKind::kEnd) {
            return false;
        }
        if (scan.Observe(bytes, p)) {
            return true;
        }
    }
    throw ReadError("Missing VGM end command.");
}

}  // namespace klink
