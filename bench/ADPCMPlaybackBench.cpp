// The ADPCM stream path's own processor time: each Ys III OKIM6258 file of
// the shared samples streams in real time to a simulated Keltra 4 in this
// process on an unthrottled line, and the benchmark's thread, which runs the
// path itself, reports its CPU time over wall time ("cpu_percent", % of one
// core). The board, the serial writer and the trace run on threads of their
// own and are not counted. About 41 s.
// Run: KLINK_SHARED_DIR=/path/to/shared ./build/bench/adpcm_playback_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "SimBoard.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "platform/Thread.h"
#include "player/ADPCMStreamPlayback.h"
#include "player/PlaybackContext.h"
#include "routing/KLINKRouter.h"
#include "transport/BufferedSerialWriter.h"
#include "vgm/VGMAnalysis.h"

namespace {

std::filesystem::path Sample(const std::string& name) {
    const char* env = std::getenv("KLINK_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples" / name;
}

void BM_ADPCMStreamPlayback(benchmark::State& state, const std::string& name) {
    const klink::VGMAnalysis analysis = klink::AnalyseVGMFile(Sample(name));
    if (!analysis.ok) {
        state.SkipWithError(analysis.error.c_str());
        return;
    }
    klink::sim::SimBoardOptions options;
    options.throttled = false;
    options.keepTrace = false;
    auto board = klink::sim::SimBoard::Start("Keltra 4", options);
    klink::platform::UniqueSerialPort port(klink::platform::OpenSerialPort(board->DevicePath()));
    klink::platform::ConfigureSerialPort(port.Get(), klink::platform::SerialLineSettings{});
    klink::ConfigureWriteTimeouts(port.Get());
    klink::KLINKPorts ports;
    ports[0] = {port.Get(), "sim"};
    const klink::KLINKCancel cancel;

    for (auto _ : state) {
        klink::KLINKRouter router(ports);
        router.Prepare(analysis.registerTargets, analysis.registerClocks, analysis.okiClock, cancel,
                       analysis.useKl2Dac);
        router.Start(analysis.registerClocks, analysis.okiClock, cancel);
        klink::PlaybackPosition position;
        std::string report;
        const klink::PlaybackContext context{.file = analysis,
                                             .repeatCount = 1,
                                             .fadeSeconds = 0,
                                             .router = router,
                                             .cancel = cancel,
                                             .clock = klink::PlaybackClock::System(),
                                             .position = position,
                                             .report = report};
        klink::ADPCMStreamPlayback playback(context);
        const auto wallStart = std::chrono::steady_clock::now();
        const uint64_t cpuStart = klink::platform::CurrentThreadCPUTimeUs();
        playback.Play();
        const uint64_t cpuUs = klink::platform::CurrentThreadCPUTimeUs() - cpuStart;
        const auto wallUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - wallStart)
                                .count();
        router.Stop();
        state.SetIterationTime(static_cast<double>(wallUs) / 1e6);
        state.counters["cpu_percent"] = 100.0 * static_cast<double>(cpuUs) / static_cast<double>(wallUs);
        state.counters["underflows"] = board->StreamStatus().underflows;
        state.SetLabel(report);
    }
}

BENCHMARK_CAPTURE(BM_ADPCMStreamPlayback, quickening_dream, "a_x68k_ys3_13_quickening_dream.vgz")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_ADPCMStreamPlayback, prayer_for_love, "a_x68k_ys3_17_prayer_for_love.vgz")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
