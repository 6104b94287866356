#include "vgm/VGMHeader.h"

#include "common/Bytes.h"
#include "common/Errors.h"
#include "vgm/VGMCommand.h"

namespace klink {

namespace {

void Trim(std::u16string& text) {
    size_t first = 0;
    while (first < text.size() && text[first] <= 0x20) ++first;
    size_t last = text.size();
    while (last > first && text[last - 1] <= 0x20) --last;
    text = text.substr(first, last - first);
}

}  // namespace

uint32_t ReadVGMField(std::span<const uint8_t> bytes, uint64_t offset) {
    if (!FitsIn(bytes, offset, 4)) {
        throw ReadError("Truncated VGM field.");
    }
    return LoadLE32(bytes, offset);
}

std::vector<std::u16string> ReadGD3Strings(std::span<const uint8_t> bytes, uint32_t start, uint32_t size,
                                           uint32_t count) {
    std::vector<std::u16string> strings(count);
    if (!FitsIn(bytes, start, size) || size % 2 != 0) {
        throw ReadError("Truncated GD3 data.");
    }
    uint64_t position = start;
    const uint64_t end = uint64_t{start} + size;
    for (auto& text : strings) {
        while (position + 2 <= end) {
            const char16_t unit = LoadLE16(bytes, position);
            position += 2;
            if (unit == 0) break;
            if (unit == 0x000A) {
                text += u"\r\n";
            } else {
                text += unit;
            }
        }
        Trim(text);
    }
    return strings;
}

GD3Title ReadGD3Title(std::span<const uint8_t> bytes) {
    if (bytes.size() < 24) {
        throw ReadError("Truncated VGM header.");
    }
    const uint32_t relative = LoadLE32(bytes, 0x14);
    if (relative == 0) {
        return {};
    }
    const uint64_t g = uint64_t{relative} + 0x14;
    if (!FitsIn(bytes, g, 12)) {
        throw ReadError("Truncated GD3 header.");
    }
    if (LoadLE32(bytes, g) != kGD3Signature) {
        throw ReadError("Invalid GD3 signature.");
    }
    const uint32_t length = LoadLE32(bytes, g + 8);
    // g + 12 fits in the file, so it fits in 32 bits for any file we hold.
    const auto strings = ReadGD3Strings(bytes, static_cast<uint32_t>(g + 12), length, kGD3StringCount);
    GD3Title result;
    result.title = strings[1].empty() ? strings[0] : strings[1];
    result.game = strings[3].empty() ? strings[2] : strings[3];
    return result;
}

uint32_t ValidateLoopOffset(uint32_t loopOffset, uint32_t dataOffset, uint64_t size) {
    if (size == 0 || dataOffset < 0x40 || dataOffset >= size) {
        throw ReadError("Invalid VGM data offset.");
    }
    if (loopOffset == 0) {
        return 0;
    }
    const uint64_t absolute = uint64_t{loopOffset} + 0x1C;
    if (absolute < dataOffset || absolute >= size) {
        return 0;
    }
    return loopOffset;
}

OKIHeader ReadOKIHeader(std::span<const uint8_t> bytes, uint32_t version, uint32_t dataOffset) {
    if (version <= 0x160 || dataOffset <= 0x97) {
        return {};
    }
    return ReadOKIHeader(bytes, version, dataOffset, UsesOKIStream(bytes, dataOffset));
}

OKIHeader ReadOKIHeader(std::span<const uint8_t> bytes, uint32_t version, uint32_t dataOffset,
                        bool usesOkiStream) {
    if (version <= 0x160 || dataOffset <= 0x97 || !usesOkiStream) {
        return {};
    }
    if (bytes.size() <= 0x97) {
        throw ReadError("Truncated OKI header.");
    }
    const uint32_t clock = LoadLE32(bytes, 0x90);
    if (clock >= 0x40000000) {
        throw ReadError("Dual/flagged OKIM6258 is not supported.");
    }
    if (clock == 0) {
        return {};
    }
    if (clock != 4000000 && clock != 8000000) {
        throw ReadError("OKIM6258 clock must be 4 or 8 MHz.");
    }
    static constexpr uint16_t kDividers[4] = {1024, 768, 512, 512};
    return OKIHeader{clock, kDividers[bytes[0x94] & 0x03]};
}

void ReadVGMHeaderFields(std::span<const uint8_t> bytes, VGMHeader& header) {
    // Absolute GD3 offset, kept in 32 bits.
    const uint64_t g = uint64_t{ReadVGMField(bytes, 0x14)} + 0x14;
    if (g > 0xFFFFFFFFull) {
        throw ReadError("Invalid GD3 offset.");
    }
    header.gd3offset = static_cast<uint32_t>(g);
    // Version and the raw loop offset (checked once the data offset is known).
    header.vgmVersion = ReadVGMField(bytes, 0x08);
    header.vgmLoopOffset = ReadVGMField(bytes, 0x1C);
    // The data offset field exists from 1.50 on.
    header.dataOffset = 0x40;
    if (header.vgmVersion >= 0x150) {
        const uint32_t field = ReadVGMField(bytes, 0x34);
        if (field != 0) {
            const uint64_t absolute = uint64_t{field} + 0x34;
            if (absolute >= bytes.size()) {
                throw ReadError("Invalid VGM data offset.");
            }
            header.dataOffset = static_cast<uint32_t>(absolute);
        }
    }
}

void ReadVGMHeaderGD3(std::span<const uint8_t> bytes, VGMHeader& header) {
    header.gd3Length = 0;
    header.gd3 = {};
    const uint32_t relative = ReadVGMField(bytes, 0x14);
    const uint64_t g = header.gd3offset;
    if (relative == 0 || !FitsIn(bytes, g, 12) || LoadLE32(bytes, g) != kGD3Signature) {
        return;
    }
    const uint32_t length = LoadLE32(bytes, g + 8);
    if (!FitsIn(bytes, g + 12, length)) {
        throw ReadError("Truncated GD3 data.");
    }
    auto strings = ReadGD3Strings(bytes, static_cast<uint32_t>(g + 12), length, kGD3StringCount);
    header.gd3Length = length;
    for (size_t i = 0; i < kGD3StringCount; ++i) {
        header.gd3[i] = std::move(strings[i]);
    }
}

}  // namespace klink
