// The ADPCM event source run to its end on arbitrary file bytes, with the
// figures the analysis found (or a supported OKIM6258 set-up where it found
// none), two passes and a one-second fade: every chunk must be
// one the stream payloads can carry, in order, and the stream must end in
// its silence byte.

#include <vector>

#include "FuzzSupport.h"
#include "adpcm/ADPCMStreamPayloads.h"
#include "adpcm/KLINKAudioVGM.h"
#include "common/Errors.h"
#include "vgm/VGMAnalysis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const klink::VGMAnalysis file = klink::AnalyseVGMBytes(std::vector<uint8_t>(data, data + size));
    if (!file.Reached(klink::VGMAnalysisStage::kLoopValidated)) return 0;
    // A file without an OKIM6258 header still drives the source, as a 4 MHz chip.
    const bool okiKnown = file.Reached(klink::VGMAnalysisStage::kOKIHeaderRead) && file.okiClock != 0;
    const uint32_t clock = okiKnown ? file.okiClock : 4000000;
    const uint16_t divider = okiKnown ? file.okiDivider : 512;

    uint32_t position = 0;
    std::vector<uint8_t> pcm;
    std::vector<klink::AudioEvent> events;
    try {
        klink::KLINKAudioVGM source(file.vgmBuffer, file.dataOffset, file.vgmLoopOffset, clock, divider, 2,
                                    1);
        uint64_t lastTimeUs = source.TimeUs();
        while (source.Next(position, pcm, events)) {
            FUZZ_CHECK(pcm.size() <= klink::KLINKAudioVGM::kMaxChunkBytes);
            FUZZ_CHECK(position + pcm.size() == source.BytePosition());
            FUZZ_CHECK(source.TimeUs() >= lastTimeUs);
            lastTimeUs = source.TimeUs();
            std::vector<klink::AudioEvent> board;
            for (const klink::AudioEvent& e : events) {
                if (klink::IsBoardEvent(e.kind)) board.push_back(e);
            }
            for (const auto& payload : klink::EncodeStreamEvents(board)) {
                FUZZ_CHECK(payload.size() <= klink::kMaxStreamPayload);
            }
            if (!pcm.empty()) (void)klink::EncodeStreamData(position, pcm);
            if (source.Finished()) (void)klink::EncodeStreamEnd(source.BytePosition(), source.SilenceByte());
        }
        FUZZ_CHECK(source.Finished());
        FUZZ_CHECK(pcm.empty() && events.empty());
        (void)source.SilenceByte();
    } catch (const klink::ReadError&) {
        // The file's own faults, with their messages.
    }
    return 0;
}
