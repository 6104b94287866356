#pragma once
// Loading and analysing one VGM file for playback: everything a playback run
// needs before it touches a board, and what the window shows and logs on the
// way. The playback thread and `klinkplay info` both use this one pass.

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vgm/KLINKVGMTarget.h"
#include "vgm/VGMHeader.h"

namespace klink {

// The header controls, in display order; the values index TVGMDisplay::Texts.
enum class TVGMDisplayField : uint8_t {
    lblFileSize,
    edtEofOffset,
    edtVersion,
    edtLoopOffset,
    edtTotalSamples,
    edtGD3offset,
    edtLoopSamples,
    edtVGMDataOffset,
    lblClkYM2151,
    lblClkYM2612,
    lblClkM6258,
    lblClkSN76489,
    lblClkSN764892,
    lblClkYM2203,
    lblClkAY8910,
    lblClkYM3812,
    lblClkYM3526,
    lblClkYM2608,
};
inline constexpr size_t kVGMDisplayFieldCount = 18;

// Control name -> text, fixed order. An empty text is an empty control.
struct TVGMDisplay {
    static constexpr std::array<std::string_view, kVGMDisplayFieldCount> Names = {
        "lblFileSize",    "edtEofOffset",   "edtVersion",     "edtLoopOffset", "edtTotalSamples", "edtGD3offset",
        "edtLoopSamples", "edtVGMDataOffset", "lblClkYM2151", "lblClkYM2612",  "lblClkM6258",     "lblClkSN76489",
        "lblClkSN764892", "lblClkYM2203",   "lblClkAY8910",   "lblClkYM3812",  "lblClkYM3526",    "lblClkYM2608",
    };
    std::array<std::string, kVGMDisplayFieldCount> Texts;

    std::string& operator[](TVGMDisplayField f) { return Texts[static_cast<size_t>(f)]; }
    const std::string& operator[](TVGMDisplayField f) const { return Texts[static_cast<size_t>(f)]; }
};

// The last step that completed; later fields of TVGMAnalysis are meaningful
// only once their step is reached.
enum class TVGMAnalysisStage : uint8_t {
    None,
    Loaded,            // VGMBuffer
    HeaderRead,        // gd3offset, vgmVersion, dataOffset, gd3Length, gd3
    DisplayFilled,     // Display
    LoopValidated,     // vgmLoopOffset validated, data offset checked
    TargetsCollected,  // FRegisterTargets, FRegisterClocks
    OKIHeaderRead,     // FOKIClock, FOKIDivider
    KL2RegistersKnown, // FHasKL2Registers
    KL2DACKnown,       // FUseKL2DAC
    Done,              // the refusals passed and the summary was logged
};

enum class TVGMPlaybackPath : uint8_t { Register, ADPCM, KL2DAC };

struct TVGMAnalysis {
    std::vector<uint8_t> VGMBuffer;  // the whole uncompressed file; move it out
    uint32_t gd3offset = 0;
    uint32_t vgmVersion = 0;
    uint32_t vgmLoopOffset = 0;  // relative to 0x1C; validated once LoopValidated
    uint32_t dataOffset = 0;
    uint32_t gd3Length = 0;
    TGD3Strings gd3;
    std::vector<TKLINKVGMTarget> FRegisterTargets;
    std::vector<TKLINKVGMClock> FRegisterClocks;
    uint32_t FOKIClock = 0;
    uint16_t FOKIDivider = 0;
    bool FHasKL2Registers = false;
    bool FUseKL2DAC = false;

    TVGMDisplay Display;
    std::vector<std::string> Log;  // lines in order (without the failure)

    TVGMAnalysisStage Stage = TVGMAnalysisStage::None;
    bool Ok = false;
    std::string Error;          // the failure's message when !Ok
    std::exception_ptr Failure; // the failure itself (its kind), to rethrow

    [[nodiscard]] bool Reached(TVGMAnalysisStage s) const noexcept { return Stage >= s; }
};

// Told as the analysis goes, for a window that shows progress live. Both are
// optional. DisplayFilled runs once the header controls are filled and again
// when the loop offset control changes; LogLine for every log line.
struct TVGMAnalysisObserver {
    std::function<void(const TVGMDisplay&)> DisplayFilled;
    std::function<void(const std::string&)> LogLine;
};

// Never throws for a bad file: the result carries the failure and everything
// filled before it. Failures of the observer end the analysis the same way.
[[nodiscard]] TVGMAnalysis AnalyseVGMFile(const std::filesystem::path& path,
                                          const TVGMAnalysisObserver& observer = {});
// The same for raw file content already in memory (gzip or plain).
[[nodiscard]] TVGMAnalysis AnalyseVGMBytes(std::vector<uint8_t> raw, const TVGMAnalysisObserver& observer = {});

// The playback path a successful analysis leads to.
[[nodiscard]] TVGMPlaybackPath PlaybackPathFor(const TVGMAnalysis& analysis) noexcept;
// "register", "adpcm" or "kl2-dac".
[[nodiscard]] std::string_view PlaybackPathName(TVGMPlaybackPath path) noexcept;

}  // namespace klink
