#pragma once
// The VGM header fields this program reads, the GD3 tag block, the loop check
// and the OKIM6258 header.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace klink {

// The 32-bit value at 0x20336447 ("Gd3 ").
inline constexpr uint32_t kGD3Signature = 0x20336447;
inline constexpr size_t kGD3StringCount = 11;

// GD3 texts are UTF-16 code units as stored (surrogate pairs pass through).
using GD3Strings = std::array<std::u16string, kGD3StringCount>;

struct GD3Title {
    std::u16string title;
    std::u16string game;
};

// Reads `count` strings from the UTF-16LE data at [start, start + size). A line
// feed becomes CR LF; each string is trimmed of characters up to U+0020 at
// both ends; strings the data does not reach stay empty. Throws ReadError
// "Truncated GD3 data." when the range leaves the file or `size` is odd.
[[nodiscard]] std::vector<std::u16string> ReadGD3Strings(std::span<const uint8_t> bytes, uint32_t start,
                                                         uint32_t size, uint32_t count);

// The strict reader for a playlist row: Japanese track/game name, English when
// the Japanese one is empty. Empty strings when the file has no tags.
[[nodiscard]] GD3Title ReadGD3Title(std::span<const uint8_t> bytes);

// Returns `loopOffset` (relative to 0x1C) when it points inside the command
// data, else 0 (looping off). Throws "Invalid VGM data offset." for a bad data
// offset or an empty file.
[[nodiscard]] uint32_t ValidateLoopOffset(uint32_t loopOffset, uint32_t dataOffset, uint64_t size);

struct OKIHeader {
    uint32_t clock = 0;    // Hz; 0 = no OKIM6258 stream to play
    uint16_t divider = 0;  // 1024, 768 or 512

    friend bool operator==(const OKIHeader&, const OKIHeader&) = default;
};

[[nodiscard]] OKIHeader ReadOKIHeader(std::span<const uint8_t> bytes, uint32_t version, uint32_t dataOffset);
// The same when UsesOKIStream's answer is already known (from a one-pass scan).
[[nodiscard]] OKIHeader ReadOKIHeader(std::span<const uint8_t> bytes, uint32_t version, uint32_t dataOffset,
                                      bool usesOkiStream);

// Header values read for playback. `dataOffset` is not yet
// checked against the file end here; `loopOffset` is the raw field.
struct VGMHeader {
    uint32_t gd3offset = 0;  // absolute
    uint32_t vgmVersion = 0;
    uint32_t vgmLoopOffset = 0;  // relative to 0x1C, raw
    uint32_t dataOffset = 0;     // absolute
    uint32_t gd3Length = 0;      // 0 = no usable tags
    GD3Strings gd3;
};

// GD3 offset, version, loop and data offset. Throws ReadError.
void ReadVGMHeaderFields(std::span<const uint8_t> bytes, VGMHeader& header);
// The lenient GD3 read for playback: a missing or damaged block gives empty tags.
void ReadVGMHeaderGD3(std::span<const uint8_t> bytes, VGMHeader& header);

// A 32-bit header field; throws "Truncated VGM field." when outside the file.
[[nodiscard]] uint32_t ReadVGMField(std::span<const uint8_t> bytes, uint64_t offset);

}  // namespace klink
