// The KL2 DAC stream source run to its end on arbitrary file bytes, from
// where the analysis found the commands and the loop, for two passes and a
// one-second fade, in chunks of as many records as the input's size picks.
// Every chunk must keep the source's promises and encode to the packets the
// player sends; a bad file fails with the source's ReadError.

#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "common/Errors.h"
#include "kl2/KL2DACCodec.h"
#include "kl2/KL2DACVGM.h"
#include "vgm/VGMAnalysis.h"
#include "vgm/VGMChips.h"

namespace {

// The REGISTER_EVENTS packets of one chunk, grouped as the player groups them.
void EncodeEvents(const std::vector<klink::KL2RegisterEvent>& events) {
    for (size_t i = 0; i < events.size();) {
        const klink::KL2RegisterEvent& e = events[i];
        if (e.initial) {
            ++i;
            continue;
        }
        const size_t most =
            klink::KL2EventWidth(e.target) == 1 ? klink::kKL2MaxOneByteEvents : klink::kKL2MaxTwoByteEvents;
        size_t n = 1;
        while (i + n < events.size() && n < most && !events[i + n].initial && events[i + n].tick == e.tick &&
               events[i + n].target == e.target) {
            ++n;
        }
        (void)klink::EncodeKL2RegisterEvents(events, static_cast<int32_t>(i), static_cast<int32_t>(n));
        i += n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const klink::VGMAnalysis file = klink::AnalyseVGMBytes(std::vector<uint8_t>(data, data + size));
    if (!file.Reached(klink::VGMAnalysisStage::kLoopValidated)) return 0;
    const int32_t maxRecords = 1 + static_cast<int32_t>(size % klink::kKL2MaxRecordsPerPacket);

    klink::KL2DACChunk chunk;
    uint32_t sequence = 0;
    try {
        klink::KL2DACVGM source(file.vgmBuffer, file.dataOffset, file.vgmLoopOffset, 2, 1);
        uint64_t endTick = 0;
        while (source.Next(chunk, maxRecords)) {
            FUZZ_CHECK(chunk.startTick == endTick);
            FUZZ_CHECK(chunk.endTick - chunk.startTick <= klink::kKL2ChunkTicks);
            FUZZ_CHECK(!chunk.records.empty() && chunk.records.size() <= static_cast<size_t>(maxRecords));
            FUZZ_CHECK(chunk.events.size() <= klink::kKL2MaxChunkEvents);
            for (const klink::KL2RegisterEvent& e : chunk.events) {
                FUZZ_CHECK(e.tick >= chunk.startTick && e.tick < chunk.endTick);
            }
            FUZZ_CHECK(source.OutputTick() == chunk.endTick);
            endTick = chunk.endTick;
            EncodeEvents(chunk.events);
            (void)klink::EncodeKL2DACRecords(sequence, chunk);
            sequence += static_cast<uint32_t>(chunk.records.size());
        }
        FUZZ_CHECK(source.Finished());
        FUZZ_CHECK(chunk.records.empty() && chunk.events.empty());
        FUZZ_CHECK(source.EndTick() >= endTick || source.EndTick() == 0);
        (void)klink::EncodeKL2DACEnd(sequence, source.EndTick());
    } catch (const klink::ReadError&) {
        // The file's own faults, with their messages.
    } catch (const klink::WriteError& e) {
        // Chips a KL2 board cannot take (refused by the analysis before playback).
        const std::string_view what = e.what();
        FUZZ_CHECK(what == "Invalid KL2 YM2612 register target." || what == "Invalid KL2 PSG instance.");
    }
    return 0;
}
