#include "protocol/KLINKCapabilities.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/Bytes.h"
#include "common/Errors.h"
#include "vgm/VGMChips.h"

namespace klink {

namespace {

// Fixed clocks cannot be set; variable clocks must be settable; only fixed
// clocks carry a frequency.
bool ValidClock(const KLINKCapability& e) noexcept {
    switch (e.clockMode) {
        case ClockMode::kFixed:
            return e.fixedClockHz != 0 && (e.features & kFeatureSetClock) == 0;
        case ClockMode::kVariable:
            return e.fixedClockHz == 0 && (e.features & kFeatureSetClock) != 0;
        case ClockMode::kUnknown:
            return e.fixedClockHz == 0;
        default:
            return false;
    }
}

// The chip as the listing names it, or its WriteID.
std::string ListingName(uint8_t writeId) {
    const VGMChip* chip = FindVGMChip(writeId);
    if (chip != nullptr && !chip->listingName.empty()) return std::string(chip->listingName);
    return fmt::format("Write ${:02X}", writeId);
}

std::string ClockText(const KLINKCapability& e) {
    switch (e.clockMode) {
        case ClockMode::kFixed:
            return fmt::format("fixed {} Hz", e.fixedClockHz);
        case ClockMode::kVariable:
            return "variable";
        default:
            return "unknown";
    }
}

}  // namespace

void KLINKCapabilities::Clear() noexcept {
    entries_.clear();
    offsets_.clear();
    nextOffset_ = 0;
    maxPayload_ = 0;
    dataCapacity_ = 0;
    eventCapacity_ = 0;
    controlFeatures_ = 0;
}

void KLINKCapabilities::AddPage(uint16_t offset, std::span<const uint8_t> reply) {
    const auto alreadyRead = [this](uint16_t o) {
        return std::find(offsets_.begin(), offsets_.end(), o) != offsets_.end();
    };

    if (nextOffset_ == kCapabilitiesEnd || nextOffset_ != offset || alreadyRead(offset)) {
        throw ReadError("Cyclic KLINK capabilities.");
    }
    if (reply.size() < static_cast<size_t>(kCapabilityPageHeader) ||
        reply.size() > static_cast<size_t>(kMaxCapabilityPage) ||
        reply.size() != kCapabilityPageHeader + kCapabilityEntrySize * size_t{reply[12]}) {
        throw ReadError("Invalid KLINK capabilities length.");
    }

    const uint16_t maxPayload = LoadLE16(reply, 0);
    const uint32_t dataCapacity = LoadLE32(reply, 2);
    const uint16_t eventCapacity = LoadLE16(reply, 6);
    const uint16_t controlFeatures = LoadLE16(reply, 8);
    const uint16_t nextOffset = LoadLE16(reply, 10);
    if (maxPayload == 0 || maxPayload > 256 ||
        (nextOffset != kCapabilitiesEnd && (nextOffset == offset || alreadyRead(nextOffset)))) {
        throw ReadError("Invalid KLINK capabilities header.");
    }
    if (!offsets_.empty() && (maxPayload != maxPayload_ || dataCapacity != dataCapacity_ ||
                              eventCapacity != eventCapacity_ || controlFeatures != controlFeatures_)) {
        throw ReadError("KLINK capabilities changed during query.");
    }

    const size_t count = reply[12];
    for (size_t k = 0; k < count; ++k) {
        const size_t at = kCapabilityPageHeader + kCapabilityEntrySize * k;
        KLINKCapability e;
        e.writeId = reply[at];
        e.instance = reply[at + 1];
        e.page = reply[at + 2];
        e.features = reply[at + 3];
        e.clockMode = static_cast<ClockMode>(reply[at + 4]);
        e.fixedClockHz = LoadLE32(reply, at + 5);
        if (!ValidClock(e)) throw ReadError("Invalid KLINK clock capability.");

        // Stored entries of the same chip are checked in order and the first
        // conflict is reported: every register page of one chip shares its clock.
        for (const auto& s : entries_) {
            if (s.writeId != e.writeId || s.instance != e.instance) continue;
            if (s.page == e.page) throw ReadError("Duplicate KLINK capability entry.");
            if (s.clockMode != e.clockMode || s.fixedClockHz != e.fixedClockHz) {
                throw ReadError("Inconsistent KLINK clock across pages.");
            }
        }
        entries_.push_back(e);
    }

    offsets_.push_back(offset);
    nextOffset_ = nextOffset;
    maxPayload_ = maxPayload;
    dataCapacity_ = dataCapacity;
    eventCapacity_ = eventCapacity;
    controlFeatures_ = controlFeatures;
}

bool KLINKCapabilities::Supports(uint8_t writeId, uint8_t instance, uint8_t page,
                                 uint8_t features) const noexcept {
    if (!Complete()) return false;
    return std::any_of(entries_.begin(), entries_.end(), [&](const KLINKCapability& e) {
        return e.writeId == writeId && e.instance == instance && e.page == page &&
               (e.features & features) == features;
    });
}

std::optional<KLINKCapability> KLINKCapabilities::Find(uint8_t writeId, uint8_t instance,
                                                       uint8_t page) const noexcept {
    if (!Complete()) return std::nullopt;
    const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const KLINKCapability& e) {
        return e.writeId == writeId && e.instance == instance && e.page == page;
    });
    if (it == entries_.end()) return std::nullopt;
    return *it;
}

std::string KLINKCapabilities::Describe() const {
    std::string text;
    if (!Complete()) return text;
    for (const auto& e : entries_) {
        if (!text.empty()) text += "\r\n";
        text += fmt::format("{} / instance={} / page={} / clock={}", ListingName(e.writeId), e.instance,
                            e.page, ClockText(e));
    }
    return text;
}

std::vector<uint8_t> EncodeCapabilityPage(const KLINKCapabilityPage& page) {
    if (page.entries.size() > 0xFF) throw ArgumentOutOfRange("Too many KLINK capability entries.");
    std::vector<uint8_t> out;
    out.reserve(kCapabilityPageHeader + kCapabilityEntrySize * page.entries.size());
    AppendLE16(out, page.maxPayload);
    AppendLE32(out, page.dataCapacity);
    AppendLE16(out, page.eventCapacity);
    AppendLE16(out, page.controlFeatures);
    AppendLE16(out, page.nextOffset);
    out.push_back(static_cast<uint8_t>(page.entries.size()));
    for (const auto& e : page.entries) {
        out.push_back(e.writeId);
        out.push_back(e.instance);
        out.push_back(e.page);
        out.push_back(e.features);
        out.push_back(static_cast<uint8_t>(e.clockMode));
        AppendLE32(out, e.fixedClockHz);
    }
    return out;
}

bool ClocksMatch(uint8_t writeId, uint32_t a, uint32_t b) noexcept {
    if (a == b) return true;
    // YM2413 boards and files round the NTSC colour-burst crystal either way.
    return writeId == kWriteYM2413 && ((a == 3579540 && b == 3579545) || (a == 3579545 && b == 3579540));
}

}  // namespace klink
