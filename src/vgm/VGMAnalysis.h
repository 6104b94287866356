#pragma once
// Loading and analysing one VGM file for playback: everything a playback run
// needs before it touches a board, and the header summary and log lines that
// a host shows on the way. The playback thread and `klinkplay info` both use
// this one pass.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vgm/KLINKVGMTarget.h"
#include "vgm/VGMFile.h"
#include "vgm/VGMHeader.h"
#include "vgm/VGMHeaderSummary.h"

namespace klink {

// The last step that completed; later fields of VGMAnalysis are meaningful
// only once their step is reached.
enum class VGMAnalysisStage : uint8_t {
    kNone,
    kLoaded,             // vgmBuffer
    kHeaderRead,         // gd3offset, vgmVersion, dataOffset, gd3Length, gd3
    kHeaderSummarised,   // header
    kLoopValidated,      // vgmLoopOffset validated, data offset checked
    kTargetsCollected,   // registerTargets, registerClocks
    kOKIHeaderRead,      // okiClock, okiDivider
    kKL2RegistersKnown,  // hasKl2Registers
    kKL2DACKnown,        // useKl2Dac
    kDone,               // the refusals passed and the summary was logged
};

enum class VGMPlaybackPath : uint8_t { kRegister, kADPCM, kKL2DAC };

struct VGMAnalysis {
    VGMBytes vgmBuffer;  // the whole uncompressed file; move it out
    uint32_t gd3offset = 0;
    uint32_t vgmVersion = 0;
    uint32_t vgmLoopOffset = 0;  // relative to 0x1C; validated once kLoopValidated
    uint32_t dataOffset = 0;
    uint32_t gd3Length = 0;
    GD3Strings gd3;
    std::vector<KLINKVGMTarget> registerTargets;
    std::vector<KLINKVGMClock> registerClocks;
    uint32_t okiClock = 0;
    uint16_t okiDivider = 0;
    bool hasKl2Registers = false;
    bool useKl2Dac = false;

    std::optional<VGMHeaderSummary> header;  // set once kHeaderSummarised
    std::vector<std::string> log;            // lines in order (without the failure)

    VGMAnalysisStage stage = VGMAnalysisStage::kNone;
    bool ok = false;
    std::string error;           // the failure's message when !ok
    std::exception_ptr failure;  // the failure itself (its kind), to rethrow

    [[nodiscard]] bool Reached(VGMAnalysisStage s) const noexcept { return stage >= s; }
};

// Told as the analysis goes, for a host that shows progress live. Both are
// optional. headerRead runs once the header summary is read and again when
// the loop is rejected (its loop offset becomes 0); logLine for every log line.
struct VGMAnalysisObserver {
    std::function<void(const VGMHeaderSummary&)> headerRead;
    std::function<void(const std::string&)> logLine;
};

// Never throws for a bad file: the result carries the failure and everything
// filled before it. Failures of the observer end the analysis the same way.
[[nodiscard]] VGMAnalysis AnalyseVGMFile(const std::filesystem::path& path,
                                         const VGMAnalysisObserver& observer = {});
// The same for raw file content already in memory (gzip or plain).
[[nodiscard]] VGMAnalysis AnalyseVGMBytes(VGMBytes raw, const VGMAnalysisObserver& observer = {});
[[nodiscard]] VGMAnalysis AnalyseVGMBytes(std::span<const uint8_t> raw,
                                          const VGMAnalysisObserver& observer = {});

// The playback path a successful analysis leads to.
[[nodiscard]] VGMPlaybackPath PlaybackPathFor(const VGMAnalysis& analysis) noexcept;
// "register", "adpcm" or "kl2-dac".
[[nodiscard]] std::string_view PlaybackPathName(VGMPlaybackPath path) noexcept;

}  // namespace klink
