// The KL2 DAC stream source rendering whole files made by others, from the
// shared sample folder (KLINK_SHARED_DIR, overridden by the environment
// variable of that name). The "x_realtime" counter is seconds of music per
// second of rendering; playback needs 1, the goal is at least 200.
// Run: ./build/bench/kl2_dac_source_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kl2/KL2DACCodec.h"
#include "kl2/KL2DACVGM.h"
#include "vgm/VGMFile.h"
#include "vgm/VGMHeader.h"

namespace {

struct LoadedFile {
    klink::VGMBytes bytes;
    uint32_t dataOffset = 0;
    uint32_t loopOffset = 0;
    std::string error;
};

const LoadedFile& Load(const std::string& name) {
    static std::map<std::string, LoadedFile> files;
    auto [it, added] = files.try_emplace(name);
    if (!added) return it->second;
    LoadedFile& f = it->second;
    const char* env = std::getenv("KLINK_SHARED_DIR");
    const std::filesystem::path path =
        std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples" / name;
    try {
        f.bytes = klink::LoadVGMFile(path);
        klink::VGMHeader header;
        klink::ReadVGMHeaderFields(f.bytes, header);
        f.dataOffset = header.dataOffset;
        f.loopOffset = klink::ValidateLoopOffset(header.vgmLoopOffset, header.dataOffset, f.bytes.size());
    } catch (const std::exception& e) {
        f.error = path.string() + ": " + e.what();
    }
    return f;
}

// One playback's worth of chunks (one pass, no fade), as the player pulls
// them from a board that takes 60 records per packet; the source is created
// inside the timed loop, as the player creates it per playback.
void BM_RenderFile(benchmark::State& state, const std::string& name) {
    const LoadedFile& f = Load(name);
    if (!f.error.empty()) {
        state.SkipWithError(f.error.c_str());
        return;
    }
    klink::KL2DACChunk chunk;
    uint64_t endTick = 0;
    size_t records = 0;
    for (auto _ : state) {
        klink::KL2DACVGM source(f.bytes, f.dataOffset, f.loopOffset, 1, 0);
        records = 0;
        while (source.Next(chunk, klink::kKL2MaxRecordsPerPacket)) records += chunk.records.size();
        endTick = source.EndTick();
        benchmark::DoNotOptimize(records);
    }
    const double musicSeconds = static_cast<double>(endTick) / klink::kKL2TickRate;
    state.counters["music_s"] = musicSeconds;
    state.counters["records"] = static_cast<double>(records);
    state.counters["x_realtime"] =
        benchmark::Counter(musicSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(BM_RenderFile, sonic2_act_clear, std::string("b_md_sonic2_04_act_clear.vgz"))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RenderFile, deflemask_green_hill, std::string("b_md_deflemask_green_hill.vgm"))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RenderFile, contra_stage_clear, std::string("b_md_contra_hc_stage_clear.vgm"))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
