// The ADPCM event source over the two Ys III OKIM6258 files, with and without
// the stream payloads the playback path builds from each chunk. Reports
// "x_realtime": seconds of stream produced per second of wall time.
// Run: KLINK_SHARED_DIR=/path/to/shared ./build/bench/adpcm_source_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "adpcm/ADPCMStreamPayloads.h"
#include "adpcm/KLINKAudioVGM.h"
#include "vgm/VGMAnalysis.h"

namespace {

const char* const kFiles[] = {"a_x68k_ys3_13_quickening_dream.vgz", "a_x68k_ys3_17_prayer_for_love.vgz"};

// Loaded and analysed once; the source reads the file in place.
const klink::VGMAnalysis* Load(const std::string& name) {
    static std::map<std::string, klink::VGMAnalysis> loaded;
    auto it = loaded.find(name);
    if (it == loaded.end()) {
        const char* env = std::getenv("KLINK_SHARED_DIR");
        const std::filesystem::path dir =
            std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples";
        it = loaded.emplace(name, klink::AnalyseVGMFile(dir / name)).first;
    }
    return it->second.ok ? &it->second : nullptr;
}

// One whole playback's worth of chunks; returns the stream length in µs.
uint64_t Produce(const klink::VGMAnalysis& a, bool payloads) {
    klink::KLINKAudioVGM source(a.vgmBuffer, a.dataOffset, a.vgmLoopOffset, a.okiClock, a.okiDivider, 1, 0);
    uint32_t position = 0;
    std::vector<uint8_t> pcm;
    std::vector<klink::AudioEvent> events;
    std::vector<klink::AudioEvent> boardEvents;
    while (source.Next(position, pcm, events)) {
        if (!payloads) {
            benchmark::DoNotOptimize(pcm.data());
            continue;
        }
        boardEvents.clear();
        for (const klink::AudioEvent& e : events) {
            if (klink::IsBoardEvent(e.kind)) boardEvents.push_back(e);
        }
        auto packets = klink::EncodeStreamEvents(boardEvents);
        auto data = klink::EncodeStreamData(position, pcm);
        benchmark::DoNotOptimize(packets.data());
        benchmark::DoNotOptimize(data.data());
    }
    if (payloads) {
        auto end = klink::EncodeStreamEnd(source.BytePosition(), source.SilenceByte());
        benchmark::DoNotOptimize(end.data());
    }
    return source.TimeUs();
}

void BM_ADPCMSource(benchmark::State& state, const char* name, bool payloads) {
    const klink::VGMAnalysis* a = Load(name);
    if (a == nullptr) {
        state.SkipWithError("Ys III sample not found; set KLINK_SHARED_DIR");
        return;
    }
    uint64_t streamUs = 0;
    std::chrono::steady_clock::duration wall{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        streamUs += Produce(*a, payloads);
        wall += std::chrono::steady_clock::now() - start;
    }
    const double wallSeconds = std::chrono::duration<double>(wall).count();
    state.counters["x_realtime"] = static_cast<double>(streamUs) / 1e6 / wallSeconds;
    state.counters["stream_s"] =
        static_cast<double>(streamUs) / 1e6 / static_cast<double>(state.iterations());
}

BENCHMARK_CAPTURE(BM_ADPCMSource, quickening_dream, kFiles[0], false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ADPCMSource, prayer_for_love, kFiles[1], false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ADPCMSource, quickening_dream_with_payloads, kFiles[0], true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ADPCMSource, prayer_for_love_with_payloads, kFiles[1], true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
