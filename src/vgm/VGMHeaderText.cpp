#include "vgm/VGMHeaderText.h"

#include <fmt/format.h>

#include <optional>

namespace klink {
namespace {

using F = VGMHeaderField;

constexpr std::array<std::string_view, kVGMHeaderFieldCount> kNames = {
    "fileSize",           "eofOffset",   "version",     "loopOffset",  "totalSamples",  "gd3Offset",
    "loopSamples",        "dataOffset",  "ym2151Clock", "ym2612Clock", "okim6258Clock", "sn76489Clock",
    "sn76489SecondClock", "ym2203Clock", "ay8910Clock", "ym3812Clock", "ym3526Clock",   "ym2608Clock",
};

std::string Hex4(uint64_t value) { return fmt::format("0x{:04X}", value); }

std::string Decimal(uint64_t value) { return std::to_string(value); }

std::string DecimalIfPresent(const std::optional<uint32_t>& value) {
    return value ? Decimal(*value) : std::string();
}

std::string DecimalUnlessZero(uint32_t value) { return value != 0 ? Decimal(value) : std::string(); }

}  // namespace

std::array<VGMHeaderField, kVGMHeaderFieldCount> AllVGMHeaderFields() noexcept {
    std::array<VGMHeaderField, kVGMHeaderFieldCount> fields{};
    for (size_t i = 0; i < fields.size(); ++i) {
        fields[i] = static_cast<VGMHeaderField>(i);
    }
    return fields;
}

std::string_view VGMHeaderFieldName(VGMHeaderField field) noexcept {
    return kNames[static_cast<size_t>(field)];
}

VGMHeaderTexts FormatVGMHeader(const VGMHeaderSummary& h) {
    VGMHeaderTexts t;
    t[F::kFileSize] = fmt::format("{} bytes", h.fileSize);
    t[F::kEofOffset] = Hex4(h.eofOffset);
    t[F::kVersion] = Hex4(h.version);
    t[F::kLoopOffset] = Hex4(h.loopOffset);
    t[F::kTotalSamples] = Decimal(h.totalSamples);
    t[F::kGD3Offset] = Hex4(h.gd3Offset);
    t[F::kLoopSamples] = Decimal(h.loopSamples);
    t[F::kDataOffset] = Hex4(h.dataOffset);
    t[F::kYM2151Clock] = Decimal(h.ym2151Clock);
    t[F::kYM2612Clock] = Decimal(h.ym2612Clock);
    t[F::kOKIM6258Clock] = DecimalUnlessZero(h.okim6258Clock.value_or(0));
    t[F::kSN76489Clock] = DecimalUnlessZero(h.sn76489Clock);
    t[F::kSN76489SecondClock] = DecimalIfPresent(h.sn76489SecondClock);
    t[F::kYM2203Clock] = DecimalIfPresent(h.ym2203Clock);
    t[F::kAY8910Clock] = DecimalIfPresent(h.ay8910Clock);
    t[F::kYM3812Clock] = DecimalIfPresent(h.ym3812Clock);
    t[F::kYM3526Clock] = DecimalIfPresent(h.ym3526Clock);
    t[F::kYM2608Clock] = DecimalIfPresent(h.ym2608Clock);
    return t;
}

}  // namespace klink
