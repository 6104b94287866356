#include "protocol/KLINKCapabilities.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/Errors.h"

namespace klink {

namespace {

uint16_t Get16(std::span<const uint8_t> b, size_t at) noexcept {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t Get32(std::span<const uint8_t> b, size_t at) noexcept {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// Fixed clocks cannot be set; variable clocks must be settable; only fixed
// clocks carry a frequency.
bool ValidClock(const TKLINKCapability& e) noexcept {
    switch (e.ClockMode) {
        case KLINK_CLOCK_FIXED:
            return e.FixedClockHz != 0 && (e.Features & KLINK_FEATURE_SET_CLOCK) == 0;
        case KLINK_CLOCK_VARIABLE:
            return e.FixedClockHz == 0 && (e.Features & KLINK_FEATURE_SET_CLOCK) != 0;
        case KLINK_CLOCK_UNKNOWN:
            return e.FixedClockHz == 0;
        default:
            return false;
    }
}

std::string ChipName(uint8_t writeID) {
    switch (writeID) {
        case 0x51:
            return "YM2413";
        case 0x54:
            return "YM2151";
        case 0x55:
        case 0xA5:
            return "YM2203";
        case 0x5A:
            return "YM3812";
        case 0x5B:
            return "YM3526";
        case 0x5E:
        case 0x5F:
            return "YMF262";
        case 0xA0:
            return "AY-3-8910";
        case 0xB7:
            return "OKIM6258";
        default:
            return fmt::format("Write ${:02X}", writeID);
    }
}

std::string ClockText(const TKLINKCapability& e) {
    switch (e.ClockMode) {
        case KLINK_CLOCK_FIXED:
            return fmt::format("fixed {} Hz", e.FixedClockHz);
        case KLINK_CLOCK_VARIABLE:
            return "variable";
        default:
            return "unknown";
    }
}

}  // namespace

void TKLINKCapabilities::Clear() noexcept {
    FEntries.clear();
    FOffsets.clear();
    FNextOffset = 0;
    FMaxPayload = 0;
    FDataCapacity = 0;
    FEventCapacity = 0;
    FControlFeatures = 0;
}

void TKLINKCapabilities::AddPage(uint16_t offset, std::span<const uint8_t> reply) {
    const auto alreadyRead = [this](uint16_t o) {
        return std::find(FOffsets.begin(), FOffsets.end(), o) != FOffsets.end();
    };

    if (FNextOffset == KLINK_CAPABILITIES_END || FNextOffset != offset || alreadyRead(offset)) {
        throw ReadError("Cyclic KLINK capabilities.");
    }
    if (reply.size() < static_cast<size_t>(KLINK_CAPABILITY_PAGE_HEADER) ||
        reply.size() > static_cast<size_t>(KLINK_MAX_CAPABILITY_PAGE) ||
        reply.size() != KLINK_CAPABILITY_PAGE_HEADER + KLINK_CAPABILITY_ENTRY_SIZE * size_t{reply[12]}) {
        throw ReadError("Invalid KLINK capabilities length.");
    }

    const uint16_t maxPayload = Get16(reply, 0);
    const uint32_t dataCapacity = Get32(reply, 2);
    const uint16_t eventCapacity = Get16(reply, 6);
    const uint16_t controlFeatures = Get16(reply, 8);
    const uint16_t nextOffset = Get16(reply, 10);
    if (maxPayload == 0 || maxPayload > 256 ||
        (nextOffset != KLINK_CAPABILITIES_END && (nextOffset == offset || alreadyRead(nextOffset)))) {
        throw ReadError("Invalid KLINK capabilities header.");
    }
    if (!FOffsets.empty() && (maxPayload != FMaxPayload || dataCapacity != FDataCapacity ||
                              eventCapacity != FEventCapacity || controlFeatures != FControlFeatures)) {
        throw ReadError("KLINK capabilities changed during query.");
    }

    const size_t count = reply[12];
    for (size_t k = 0; k < count; ++k) {
        const size_t at = KLINK_CAPABILITY_PAGE_HEADER + KLINK_CAPABILITY_ENTRY_SIZE * k;
        TKLINKCapability e;
        e.WriteID = reply[at];
        e.Instance = reply[at + 1];
        e.Page = reply[at + 2];
        e.Features = reply[at + 3];
        e.ClockMode = reply[at + 4];
        e.FixedClockHz = Get32(reply, at + 5);
        if (!ValidClock(e)) throw ReadError("Invalid KLINK clock capability.");

        // Stored entries of the same chip are checked in order and the first
        // conflict is reported: every register page of one chip shares its clock.
        for (const auto& s : FEntries) {
            if (s.WriteID != e.WriteID || s.Instance != e.Instance) continue;
            if (s.Page == e.Page) throw ReadError("Duplicate KLINK capability entry.");
            if (s.ClockMode != e.ClockMode || s.FixedClockHz != e.FixedClockHz) {
                throw ReadError("Inconsistent KLINK clock across pages.");
            }
        }
        FEntries.push_back(e);
    }

    FOffsets.push_back(offset);
    FNextOffset = nextOffset;
    FMaxPayload = maxPayload;
    FDataCapacity = dataCapacity;
    FEventCapacity = eventCapacity;
    FControlFeatures = controlFeatures;
}

bool TKLINKCapabilities::Supports(uint8_t writeID, uint8_t instance, uint8_t page,
                                  uint8_t features) const noexcept {
    if (!Complete()) return false;
    return std::any_of(FEntries.begin(), FEntries.end(), [&](const TKLINKCapability& e) {
        return e.WriteID == writeID && e.Instance == instance && e.Page == page &&
               (e.Features & features) == features;
    });
}

bool TKLINKCapabilities::Find(uint8_t writeID, uint8_t instance, uint8_t page,
                              TKLINKCapability& entry) const noexcept {
    entry = TKLINKCapability{};
    if (!Complete()) return false;
    const auto it = std::find_if(FEntries.begin(), FEntries.end(), [&](const TKLINKCapability& e) {
        return e.WriteID == writeID && e.Instance == instance && e.Page == page;
    });
    if (it == FEntries.end()) return false;
    entry = *it;
    return true;
}

std::string TKLINKCapabilities::Describe() const {
    std::string text;
    if (!Complete()) return text;
    for (const auto& e : FEntries) {
        if (!text.empty()) text += "\r\n";
        text += fmt::format("{} / instance={} / page={} / clock={}", ChipName(e.WriteID), e.Instance, e.Page,
                            ClockText(e));
    }
    return text;
}

std::vector<uint8_t> EncodeCapabilityPage(const TKLINKCapabilityPage& page) {
    if (page.Entries.size() > 0xFF) throw ArgumentOutOfRange("Too many KLINK capability entries.");
    std::vector<uint8_t> out;
    out.reserve(KLINK_CAPABILITY_PAGE_HEADER + KLINK_CAPABILITY_ENTRY_SIZE * page.Entries.size());
    Put16(out, page.MaxPayload);
    Put32(out, page.DataCapacity);
    Put16(out, page.EventCapacity);
    Put16(out, page.ControlFeatures);
    Put16(out, page.NextOffset);
    out.push_back(static_cast<uint8_t>(page.Entries.size()));
    for (const auto& e : page.Entries) {
        out.push_back(e.WriteID);
        out.push_back(e.Instance);
        out.push_back(e.Page);
        out.push_back(e.Features);
        out.push_back(e.ClockMode);
        Put32(out, e.FixedClockHz);
    }
    return out;
}

bool ClocksMatch(uint8_t writeID, uint32_t a, uint32_t b) noexcept {
    if (a == b) return true;
    // YM2413 boards and files round the NTSC colour-burst crystal either way.
    constexpr uint8_t kYM2413 = 0x51;
    return writeID == kYM2413 && ((a == 3579540 && b == 3579545) || (a == 3579545 && b == 3579540));
}

}  // namespace klink
