#pragma once
// The header values a person is shown for a file, read once while the file
// is analysed for playback. Values only: how they are written is
// FormatVGMHeader's business (VGMHeaderText.h).

#include <cstdint>
#include <optional>
#include <span>

#include "vgm/VGMHeader.h"

namespace klink {

struct VGMHeaderSummary {
    uint64_t fileSize = 0;      // bytes, after decompression
    uint32_t eofOffset = 0;     // field 0x04 as stored (relative)
    uint32_t version = 0;       // BCD: 0x150 is 1.50
    uint32_t loopOffset = 0;    // field 0x1C as stored (relative); 0 once the loop is rejected
    uint32_t totalSamples = 0;  // field 0x18
    uint32_t gd3Offset = 0;     // absolute; 0x14 when the file has no tags
    uint32_t loopSamples = 0;   // field 0x20
    // Field 0x34 + 0x34, absolute, whatever the version (files before 1.50
    // still start their commands at 0x40).
    uint64_t dataOffset = 0;

    // Chip clocks in Hz with the flag bits 30 and 31 cleared; 0 = chip unused.
    uint32_t ym2151Clock = 0;
    uint32_t ym2612Clock = 0;
    // Field 0x0C less the dual-chip flag 0x40000000 when the field is above it.
    uint32_t sn76489Clock = 0;
    // The fields below exist only in some headers; nullopt where this one has none.
    // Set when field 0x0C declares a second SN76489: its clock as playback
    // determines it, less 0x40000000 when above it.
    std::optional<uint32_t> sn76489SecondClock;
    // From version 1.61, when both the header and the file reach field 0x90.
    std::optional<uint32_t> okim6258Clock;
    // When the header reaches 0x78 (data offset 0x78 or more).
    std::optional<uint32_t> ym2203Clock;
    std::optional<uint32_t> ay8910Clock;
    std::optional<uint32_t> ym3812Clock;
    std::optional<uint32_t> ym3526Clock;
    std::optional<uint32_t> ym2608Clock;

    friend bool operator==(const VGMHeaderSummary&, const VGMHeaderSummary&) = default;
};

// Reads the summary of a file whose header fields (ReadVGMHeaderFields) are
// in `header`; the loop offset is the stored one. Throws ReadError "Truncated
// VGM field." for a field outside the file, and ReadSecondChipClock's errors
// for a malformed extra header.
[[nodiscard]] VGMHeaderSummary ReadVGMHeaderSummary(std::span<const uint8_t> bytes, const VGMHeader& header);

}  // namespace klink
