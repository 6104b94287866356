#pragma once
// How the header summary is written for people, the same in the window and
// in `klinkplay info`: offsets and the version as "0x" and at least four
// upper-case hex digits, counts and clocks in decimal, the file size as
// "<n> bytes". An empty text is a value that is not shown.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "vgm/VGMHeaderSummary.h"

namespace klink {

enum class VGMHeaderField : uint8_t {
    kFileSize,
    kEofOffset,
    kVersion,
    kLoopOffset,
    kTotalSamples,
    kGD3Offset,
    kLoopSamples,
    kDataOffset,
    kYM2151Clock,
    kYM2612Clock,
    kOKIM6258Clock,
    kSN76489Clock,
    kSN76489SecondClock,
    kYM2203Clock,
    kAY8910Clock,
    kYM3812Clock,
    kYM3526Clock,
    kYM2608Clock,
};
inline constexpr size_t kVGMHeaderFieldCount = 18;

// Every field, in the order above.
[[nodiscard]] std::array<VGMHeaderField, kVGMHeaderFieldCount> AllVGMHeaderFields() noexcept;

// The field's camelCase name ("fileSize", "ym2151Clock"): the keys of
// `klinkplay info --json`.
[[nodiscard]] std::string_view VGMHeaderFieldName(VGMHeaderField field) noexcept;

struct VGMHeaderTexts {
    std::array<std::string, kVGMHeaderFieldCount> texts;  // indexed by VGMHeaderField

    std::string& operator[](VGMHeaderField f) { return texts[static_cast<size_t>(f)]; }
    const std::string& operator[](VGMHeaderField f) const { return texts[static_cast<size_t>(f)]; }
};

// The texts of every field. Shown only when set: the SN76489 and OKIM6258
// clocks when not 0, the optional clocks when the header has them; the
// YM2151 and YM2612 clocks always, 0 included.
[[nodiscard]] VGMHeaderTexts FormatVGMHeader(const VGMHeaderSummary& header);

}  // namespace klink
