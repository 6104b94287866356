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

class Analyser {
public:
    Analyser(VGMAnalysis& result, const VGMAnalysisObserver& observer) : r_(result), observer_(observer) {}

    void Run(VGMBytes raw) {
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

        // Read aside and stored whole: a failed read leaves no summary.
        r_.header = ReadVGMHeaderSummary(bytes, header);
        r_.stage = VGMAnalysisStage::kHeaderSummarised;
        if (observer_.headerRead) observer_.headerRead(*r_.header);

        if (r_.dataOffset < 0x40 || r_.dataOffset >= bytes.size()) {
            throw ReadError("Invalid VGM data offset.");
        }
        const uint32_t rawLoop = ReadVGMField(bytes, 0x1C);
        r_.vgmLoopOffset = ValidateLoopOffset(r_.vgmLoopOffset, r_.dataOffset, bytes.size());
        if (r_.vgmLoopOffset != rawLoop) {
            AddLog(fmt::format(
                "Invalid VGM loop offset ${:08X}; looping disabled. Playback ends at the VGM end command.",
                rawLoop));
            r_.header->loopOffset = 0;
            if (observer_.headerRead) observer_.headerRead(*r_.header);
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

VGMAnalysis AnalyseVGMBytes(VGMBytes raw, const VGMAnalysisObserver& observer) {
    return Guarded([&](VGMAnalysis& result) {
        Analyser analyser(result, observer);
        analyser.Run(std::move(raw));
    });
}

VGMAnalysis AnalyseVGMBytes(std::span<const uint8_t> raw, const VGMAnalysisObserver& observer) {
    return AnalyseVGMBytes(VGMBytes(raw.begin(), raw.end()), observer);
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
