#pragma once
// What a Keltra board offers: its capability table, read page by page with
// CAPABILITIES requests, and the rule by which a requested clock matches a
// chip's fixed clock.
//
// Capability page (reply data after the status byte, little-endian):
//   0 MaxPayload (2, 1..256) | 2 DataCapacity (4) | 6 EventCapacity (2) |
//   8 ControlFeatures (2) | 10 NextOffset (2, 0xFFFF = last page) |
//   12 entry count c | 13 + 9k entry k: writeId, instance, page, features,
//   clockMode, fixedClockHz (4)
// A page is 13 + 9c bytes and at most 255 bytes (26 entries).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace klink {

// Feature bits of one capability entry.
inline constexpr uint8_t kFeatureBurst = 0x01;         // register and byte batches
inline constexpr uint8_t kFeatureStreamEvents = 0x02;  // timed events inside the ADPCM stream
inline constexpr uint8_t kFeatureSetClock = 0x04;      // SET_CHIP_CLOCK
inline constexpr uint8_t kFeatureADPCMStream = 0x08;   // accepts an ADPCM stream

// Clock modes of one capability entry. A table may carry other values, which
// no entry is valid with.
enum class ClockMode : uint8_t {
    kUnknown = 0,
    kFixed = 1,
    kVariable = 2,
};

// Board-wide control feature bits.
inline constexpr uint16_t kControlAttenuation = 0x01;  // SET_OUTPUT_VOLUME
inline constexpr uint16_t kControlKL2DAC = 0x02;       // the KL2 buffered DAC requests

// Marks the last page in NextOffset.
inline constexpr uint16_t kCapabilitiesEnd = 0xFFFF;
inline constexpr int kCapabilityPageHeader = 13;
inline constexpr int kCapabilityEntrySize = 9;
inline constexpr int kMaxCapabilityPage = 255;
inline constexpr int kMaxCapabilityEntries = 26;

// One target a board accepts: (writeId, instance, page) with its features and clock.
struct KLINKCapability {
    uint8_t writeId = 0;
    uint8_t instance = 0;
    uint8_t page = 0;
    uint8_t features = 0;  // kFeature* bits
    ClockMode clockMode = ClockMode::kUnknown;
    uint32_t fixedClockHz = 0;  // the chip clock when clockMode is fixed, else 0

    friend bool operator==(const KLINKCapability&, const KLINKCapability&) = default;
};

// The capability table of one board. Empty after construction and Clear;
// complete once a page naming NextOffset 0xFFFF has been added. Only a
// complete table answers Supports, Find and Describe.
class KLINKCapabilities {
public:
    KLINKCapabilities() = default;

    // Forgets every page; the next page expected is the one at offset 0.
    void Clear() noexcept;

    // Checks and adds the page requested at `offset` (`reply` is the reply
    // data after the status byte). Throws ReadError on any inconsistency;
    // the table then stays incomplete until the next Clear.
    void AddPage(uint16_t offset, std::span<const uint8_t> reply);

    // True when the table is complete and the target carries every bit of `features`.
    [[nodiscard]] bool Supports(uint8_t writeId, uint8_t instance, uint8_t page,
                                uint8_t features) const noexcept;

    // The first entry for the target; nothing when the table is incomplete
    // or has no such entry.
    [[nodiscard]] std::optional<KLINKCapability> Find(uint8_t writeId, uint8_t instance,
                                                      uint8_t page) const noexcept;

    // One line per entry in table order, joined by CR LF without a final
    // line break; empty while the table is incomplete.
    [[nodiscard]] std::string Describe() const;

    [[nodiscard]] bool Complete() const noexcept { return nextOffset_ == kCapabilitiesEnd; }
    // Offset of the next page to request; 0xFFFF once the last page is in.
    [[nodiscard]] uint16_t NextOffset() const noexcept { return nextOffset_; }
    [[nodiscard]] uint16_t MaxPayload() const noexcept { return maxPayload_; }
    // Bytes of ADPCM stream data the board can buffer.
    [[nodiscard]] uint32_t DataCapacity() const noexcept { return dataCapacity_; }
    // Timed events the board can hold for the ADPCM stream.
    [[nodiscard]] uint16_t EventCapacity() const noexcept { return eventCapacity_; }
    // kControl* bits.
    [[nodiscard]] uint16_t ControlFeatures() const noexcept { return controlFeatures_; }
    // Every entry received so far, in order (also those of an incomplete table).
    [[nodiscard]] const std::vector<KLINKCapability>& Entries() const noexcept { return entries_; }

private:
    std::vector<KLINKCapability> entries_;
    std::vector<uint16_t> offsets_;
    uint16_t nextOffset_ = 0;
    uint16_t maxPayload_ = 0;
    uint16_t eventCapacity_ = 0;
    uint16_t controlFeatures_ = 0;
    uint32_t dataCapacity_ = 0;
};

// The header and entries of one capability page, as a board sends it.
struct KLINKCapabilityPage {
    uint16_t maxPayload = 256;
    uint32_t dataCapacity = 0;
    uint16_t eventCapacity = 0;
    uint16_t controlFeatures = 0;
    uint16_t nextOffset = kCapabilitiesEnd;
    std::vector<KLINKCapability> entries;
};

// Serialises a page for the board side (simulators, tests). Performs no
// checks beyond the entry count fitting its byte; more than 26 entries make
// a page that AddPage rejects.
[[nodiscard]] std::vector<uint8_t> EncodeCapabilityPage(const KLINKCapabilityPage& page);

// True when clock `a` matches clock `b` for the chip `writeId`: equal, or the
// two common YM2413 crystal values 3579540 and 3579545 Hz.
[[nodiscard]] bool ClocksMatch(uint8_t writeId, uint32_t a, uint32_t b) noexcept;

}  // namespace klink
