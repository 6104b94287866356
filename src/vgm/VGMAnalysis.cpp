#include "vgm/VGMAnalysis.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "common/Errors.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMCommand.h"
#include "vgm/VGMFile.h"

namespace klink {

namespace {

using F = VGMDisplayField;

std::string Hex4(uint64_t value) { return fmt::format("0x{:04X}", value); }

std::string Masked(uint32_t value) { return std::to_string(value & 0x3FFFFFFFu); }

class Analyser {
public:
    Analyser(VGMAnalysis& result, const VGMAnalysisObserver& observer) : r_(result), observer_(observer) {}

    void Run(std::vector<uint8_t> raw) {
        r_.vgmBuffer = DecodeVGMBytes(std::move(raw));
        Analyse();
    }

    void Analyse() {
        r_.stage = VGMAnalysisStage::kLoaded;
        const std::span<const uint8_t> bytes = r_.vgmBuffer;

        VGMHeader header;
        ReadVGMHeaderFields(bytes, header);
        ReadVGMHeaderGD3(bytes, header);
        r_.gd3offset = header.gd3offset;
        r_.vgmVersion = header.vgmVersion;
        r_.vgmLoopOffset = header.vgmLoopOffset;
        r_.dataOffset = header.dataOffset;
        r_.gd3Length = header.gd3Length;
        r_.gd3 = std::move(header.gd3);
        r_.stage = VGMAnalysisStage::kHeaderRead;

        // Filled aside and shown whole: a failed read leaves the controls empty.
        r_.display = FillDisplay(bytes);
        r_.stage = VGMAnalysisStage::kDisplayFilled;
        if (observer_.displayFilled) observer_.displayFilled(r_.display);

        if (r_.dataOffset < 0x40 || r_.dataOffset >= bytes.size()) {
            throw ReadError("Invalid VGM data offset.");
        }
        const uint32_t rawLoop = ReadVGMField(bytes, 0x1C);
        r_.vgmLoopOffset = ValidateLoopOffset(r_.vgmLoopOffset, r_.dataOffset, bytes.size());
        if (r_.vgmLoopOffset != rawLoop) {
            AddLog(fmt::format(
                "Invalid VGM loop offset ${:08X}; looping disabled. Playback ends at the VGM end command.",
                rawLoop));
            r_.display[F::kLoopOffset] = Hex4(0);
            if (observer_.displayFilled) observer_.displayFilled(r_.display);
        }
        r_.stage = VGMAnalysisStage::kLoopValidated;

        // One walk answers the target list, the OKIM6258 use and the DAC use.
        auto scan = ScanVGMCommands(bytes, r_.dataOffset);
        r_.registerTargets = std::move(scan.targetsAndClocks.targets);
        r_.registerClocks = std::move(scan.targetsAndClocks.clocks);
        r_.stage = VGMAnalysisStage::kTargetsCollected;

        const OKIHeader oki = ReadOKIHeader(bytes, r_.vgmVersion, r_.dataOffset, scan.usesOkiStream);
        r_.okiClock = oki.clock;
        r_.okiDivider = oki.divider;
        r_.stage = VGMAnalysisStage::kOKIHeaderRead;

        r_.hasKl2Registers =
            std::any_of(r_.registerClocks.begin(), r_.registerClocks.end(), [](const KLINKVGMClock& c) {
                return c.writeId == 0x30 || c.writeId == 0x50 || c.writeId == 0x52 || c.writeId == 0x53;
            });
        r_.stage = VGMAnalysisStage::kKL2RegistersKnown;

        r_.useKl2Dac = scan.usesKl2Dac;
        r_.stage = VGMAnalysisStage::kKL2DACKnown;

        if (r_.hasKl2Registers && r_.okiClock != 0) {
            throw ReadError(
                "Concurrent KL2 FM/DAC/PSG and KL4 OKI streaming are not supported in one VGM playback.");
        }
        if (r_.registerTargets.empty() && r_.okiClock == 0) {
            throw ReadError("No supported KLINK register or audio commands in this VGM.");
        }

        if (r_.okiClock == 0 && r_.vgmVersion > 0x160 && r_.dataOffset > 0x97 &&
            ReadVGMField(bytes, 0x90) != 0) {
            AddLog("OKI header definition is unused; using register playback.");
        }
        if (r_.hasKl2Registers && !r_.useKl2Dac) {
            AddLog("KL2 playback=register; KL3 timing; DAC FIFO disabled; DAC detection=output-enable.");
        }
        AddLog(fmt::format("VGM register routes={}; OKI={} Hz, divider={} (clock 0 = unused).",
                           r_.registerTargets.size(), r_.okiClock, r_.okiDivider));
        r_.stage = VGMAnalysisStage::kDone;
        r_.ok = true;
    }

private:
    VGMDisplay FillDisplay(std::span<const uint8_t> bytes) const {
        VGMDisplay d;
        const uint32_t version = r_.vgmVersion;
        const uint32_t dataOffset = r_.dataOffset;
        d[F::kFileSize] = fmt::format("{} bytes", bytes.size());
        d[F::kEofOffset] = Hex4(ReadVGMField(bytes, 0x04));
        d[F::kVersion] = Hex4(version);
        d[F::kLoopOffset] = Hex4(ReadVGMField(bytes, 0x1C));
        d[F::kTotalSamples] = std::to_string(ReadVGMField(bytes, 0x18));
        d[F::kGD3Offset] = Hex4(r_.gd3offset);
        d[F::kLoopSamples] = std::to_string(ReadVGMField(bytes, 0x20));
        d[F::kVGMDataOffset] = Hex4(uint64_t{ReadVGMField(bytes, 0x34)} + 0x34);
        d[F::kClockYM2151] = Masked(ReadVGMField(bytes, 0x30));
        d[F::kClockYM2612] = Masked(ReadVGMField(bytes, 0x2C));
        if (version > 0x160 && dataOffset > 0x97 && bytes.size() > 0x97) {
            const uint32_t oki = ReadVGMField(bytes, 0x90) & 0x3FFFFFFFu;
            if (oki != 0) d[F::kClockM6258] = std::to_string(oki);
        }
        const uint32_t sn = ReadVGMField(bytes, 0x0C);
        if (sn != 0) {
            d[F::kClockSN76489] = std::to_string(sn > 0x40000000u ? sn - 0x40000000u : sn);
        }
        if (sn > 0x40000000u) {
            const uint32_t second = ReadSecondChipClock(bytes, dataOffset, 0, sn);
            d[F::kClockSN76489Second] = std::to_string(second > 0x40000000u ? second - 0x40000000u : second);
        }
        if (dataOffset >= 0x78) {
            d[F::kClockYM2203] = Masked(ReadVGMField(bytes, 0x44));
            d[F::kClockAY8910] = Masked(ReadVGMField(bytes, 0x74));
            d[F::kClockYM3812] = Masked(ReadVGMField(bytes, 0x50));
            d[F::kClockYM3526] = Masked(ReadVGMField(bytes, 0x54));
            d[F::kClockYM2608] = Masked(ReadVGMField(bytes, 0x48));
        }
        return d;
    }

    void AddLog(std::string line) {
        r_.log.push_back(std::move(line));
        if (observer_.logLine) observer_.logLine(r_.log.back());
    }

    VGMAnalysis& r_;
    const VGMAnalysisObserver& observer_;
};

template <typename Body>
VGMAnalysis Guarded(Body&& body) {
    VGMAnalysis result;
    try {
        body(result);
    } catch (const std::exception& e) {
        result.ok = false;
        result.error = e.what();
        result.failure = std::current_exception();
    }
    return result;
}

}  // namespace

VGMAnalysis AnalyseVGMFile(const std::filesystem::path& path, const VGMAnalysisObserver& observer) {
    return Guarded([&](VGMAnalysis& result) {
        Analyser analyser(result, observer);
        analyser.Run(ReadWholeFile(path));
    });
}

VGMAnalysis AnalyseVGMBytes(std::vector<uint8_t> raw, const VGMAnalysisObserver& observer) {
    return Guarded([&](VGMAnalysis& result) {
        Analyser analyser(result, observer);
        analyser.Run(std::move(raw));
    });
}

VGMPlaybackPath PlaybackPathFor(const VGMAnalysis& analysis) noexcept {
    if (analysis.useKl2Dac) return VGMPlaybackPath::kKL2DAC;
    if (analysis.okiClock != 0) return VGMPlaybackPath::kADPCM;
    return VGMPlaybackPath::kRegister;
}

std::string_view PlaybackPathName(VGMPlaybackPath path) noexcept {
    switch (path) {
        case VGMPlaybackPath::kKL2DAC:
            return "kl2-dac";
        case VGMPlaybackPath::kADPCM:
            return "adpcm";
        case VGMPlaybackPath::kRegister:
        default:
            return "register";
    }
}

}  // namespace klink
