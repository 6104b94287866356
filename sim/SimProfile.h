#pragma once
// What a simulated Keltra board is: its model and firmware texts, the
// capability pages it answers with, its stream capacities, its KL2 DAC
// record and the clock-sharing rules of its chips. Built-in models for the
// four Keltra boards, or a JSON profile that replaces any of it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/KLINKCapabilities.h"

namespace klink::sim {

// How the chips of a board share clock lines.
enum class SimClockSharing : uint8_t {
    kNone,
    kKL2,  // YM2612 and the second SN76489 run from one line (CLK0)
    kKL3,  // YM2203/AY8910 share one physical chip, YM3812/YM3526/YMF262 another
};

// One capability entry plus the clock the chip runs at after RESET.
struct SimTarget {
    KLINKCapability capability;
    // Clock after RESET in Hz; for a fixed clock always FixedClockHz.
    uint32_t defaultHz = 0;
};

// One page as the board sends it. When `raw` is set, those bytes are the reply
// data unchanged (for tests of broken boards); otherwise the page is encoded
// from the header fields and the entries.
struct SimPage {
    uint16_t offset = 0;
    KLINKCapabilityPage page;
    std::optional<std::vector<uint8_t>> raw;
};

// The KL2 DAC capability record (DAC_CAPABILITIES reply data).
struct SimDACCapabilities {
    uint32_t revision = 40;
    uint32_t tickRate = 44100;
    uint32_t recordCapacity = 16384;
    uint16_t eventCapacity = 1024;
    uint8_t maxRecords = 60;
    uint8_t profile = 4;
    uint32_t maxLateUs = 100;
};

// The board's receive buffer: how many wire bytes of packets (each frame with
// both zero delimiters) it holds that no answered request has yet proved
// taken in. Answering a request frees them all. The limits apply in two
// phases only; otherwise the board keeps up with the line.
struct SimReceiveBuffer {
    // From RESET until the host's start-up is over; 0 = no limit.
    uint32_t startupBytes = 2048;
    // How the board tells that the start-up is over. True: when it answers
    // the first empty PING (a host fences this board's start-up with them).
    // False: when it answers the first request after RESET (a host opens no
    // start-up window for this board and sends its set-up requests first).
    bool fencedStartup = false;
    // From a DAC_START the board took until RESET: data packets while the
    // bytes held stay within windowDataBytes, control packets (SET_OUTPUT_VOLUME,
    // DAC_END) within windowControlBytes.
    uint32_t windowDataBytes = 4096;
    uint32_t windowControlBytes = 6144;
};

struct SimProfile {
    std::string model;
    std::string firmware;
    uint16_t maxPayload = 256;
    uint32_t dataCapacity = 0;   // ADPCM stream bytes buffered
    uint16_t eventCapacity = 0;  // ADPCM stream events held
    uint16_t controlFeatures = 0;
    std::vector<SimTarget> targets;  // every target the board serves, in table order
    std::vector<SimPage> pages;      // the CAPABILITIES pages, first at offset 0
    SimDACCapabilities dac;
    SimClockSharing clockSharing = SimClockSharing::kNone;
    SimReceiveBuffer receive;

    // The target entry for (writeId, instance, page), or null.
    [[nodiscard]] const SimTarget* Find(uint8_t writeId, uint8_t instance, uint8_t page) const noexcept;
    [[nodiscard]] bool HasADPCMStream() const noexcept;
    [[nodiscard]] bool HasKL2DAC() const noexcept { return (controlFeatures & kControlKL2DAC) != 0; }
};

// The model names klinksim knows: "Keltra 2", "Keltra 2.1", "Keltra 3", "Keltra 4".
[[nodiscard]] std::vector<std::string> BuiltInModels();

// The default profile of a model; nullopt for an unknown name.
[[nodiscard]] std::optional<SimProfile> BuiltInProfile(std::string_view model);

// Lays the targets out over CAPABILITIES pages: at least two pages (when
// there are at least two targets), each page's offset being the index of its
// first entry, the last page naming 0xFFFF as next.
void BuildPages(SimProfile& profile);

// Reads a JSON profile. Throws ReadError with a message naming the file and
// the problem. Format (every key optional except where a base is missing):
//   { "base": "Keltra 4", "model": "...", "firmware": "...",
//     "max_payload": 256, "data_capacity": 65536, "event_capacity": 4096,
//     "control_features": 1, "clock_sharing": "none" | "kl2" | "kl3",
//     "targets": [ { "write_id": 84, "instance": 0, "page": 0, "features": 7,
//                    "clock_mode": "variable", "clock_hz": 0, "default_hz": 4000000 } ],
//     "pages": [ { "offset": 0, "next": 65535, "max_payload": 256, "data_capacity": 0,
//                  "event_capacity": 0, "control_features": 1,
//                  "entries": [ ...same as targets... ] } | { "offset": 0, "raw": "0001..." } ],
//     "dac": { "revision": 40, "tick_rate": 44100, "record_capacity": 16384,
//              "event_capacity": 1024, "max_records": 60, "profile": 4, "max_late_us": 100 },
//     "receive": { "startup_bytes": 2048, "fenced_startup": false,
//                  "window_data_bytes": 4096, "window_control_bytes": 6144 } }
// Numbers may also be strings such as "0x54". Without "pages" the pages are
// built from the targets; with "pages" but without "targets" the targets are
// the entries of those pages.
[[nodiscard]] SimProfile LoadProfile(const std::filesystem::path& file);
[[nodiscard]] SimProfile ParseProfile(std::string_view json, const std::string& origin);

// The port-name stem of a model: "Keltra 2.1" -> "keltra2.1".
[[nodiscard]] std::string ModelStem(std::string_view model);

}  // namespace klink::sim
