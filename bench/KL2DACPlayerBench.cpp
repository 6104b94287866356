// The KL2 DAC player's load while it streams a Mega Drive file made by
// others (from the shared sample folder, KLINK_SHARED_DIR, overridden by the
// environment variable of that name) to a simulated Keltra 2.1 in this
// process whose line carries the stream (no 115200-baud limit). The player
// runs on the benchmark's thread, as the playback thread runs it: highest
// priority, 1 ms timer resolution. "cpu_pct" is that thread's processor time
// over wall time from the first progress call after DAC_START to the end, in
// % of one core (the board's and the writer's threads are not counted); the
// goal is at most 5. "underflows" comes from the board's last status line.
// Run: ./build/bench/kl2_dac_player_bench   (about 65 s: the music's length)
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "SimBoard.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "platform/Thread.h"
#include "player/KL2DACPlayer.h"
#include "player/PlaybackClock.h"
#include "routing/KLINKRouter.h"
#include "transport/BufferedSerialWriter.h"
#include "vgm/VGMAnalysis.h"

namespace {

std::filesystem::path SharedSample(const std::string& name) {
    const char* env = std::getenv("KLINK_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples" / name;
}

void BM_KL2DACPlayerCpu(benchmark::State& state, const std::string& name) {
    const klink::VGMAnalysis file = klink::AnalyseVGMFile(SharedSample(name));
    if (!file.ok || !file.useKl2Dac) {
        state.SkipWithError((name + ": " + (file.ok ? "no KL2 DAC" : file.error)).c_str());
        return;
    }
    (void)klink::platform::SetCurrentThreadPriority(klink::platform::ThreadPriority::kHighest);
    const klink::platform::TimerResolutionScope timerResolution(1);
    double cpuPct = 0;
    double underflows = 0;
    for (auto _ : state) {
        klink::sim::SimBoardOptions options;
        options.throttled = false;
        options.keepTrace = false;
        auto board = klink::sim::SimBoard::Start("Keltra 2.1", options);
        klink::platform::UniqueSerialPort port(klink::platform::OpenSerialPort(board->DevicePath()));
        klink::platform::ConfigureSerialPort(port.Get(), klink::platform::SerialLineSettings{});
        klink::ConfigureWriteTimeouts(port.Get());

        klink::KLINKPorts ports;
        ports[0] = {port.Get(), "sim"};
        klink::KLINKRouter router(ports);
        const klink::KLINKCancel cancel;
        router.Prepare(file.registerTargets, file.registerClocks, file.okiClock, cancel, true);
        router.Start(file.registerClocks, file.okiClock, cancel);
        const klink::PlaybackClock clock = klink::PlaybackClock::System();
        klink::KL2DACPlayer player(router, clock, file.vgmBuffer, file.dataOffset, file.vgmLoopOffset, 1, 0);
        // From the first progress call on, the player streams.
        uint64_t cpuStartUs = 0;
        int64_t wallStart = 0;
        player.Play(cancel, [&](uint64_t) {
            if (wallStart == 0) {
                cpuStartUs = klink::platform::CurrentThreadCPUTimeUs();
                wallStart = klink::platform::PerformanceCounter();
            }
        });
        const uint64_t cpuUs = klink::platform::CurrentThreadCPUTimeUs() - cpuStartUs;
        const uint64_t wallUs = clock.ElapsedUs(wallStart, klink::platform::PerformanceCounter());
        router.Stop();
        cpuPct = wallUs == 0 ? 0 : 100.0 * static_cast<double>(cpuUs) / static_cast<double>(wallUs);
        const std::string& report = player.Report();
        std::smatch m;
        if (std::regex_search(report, m, std::regex(R"(underflows=(\d+))"))) underflows = std::stod(m[1]);
    }
    state.counters["cpu_pct"] = cpuPct;
    state.counters["underflows"] = underflows;
    state.counters["music_s"] = static_cast<double>(file.header->totalSamples) / 44100.0;
}

BENCHMARK_CAPTURE(BM_KL2DACPlayerCpu, sonic2_act_clear, std::string("b_md_sonic2_04_act_clear.vgz"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_KL2DACPlayerCpu, contra_stage_clear, std::string("b_md_contra_hc_stage_clear.vgm"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_KL2DACPlayerCpu, deflemask_green_hill, std::string("b_md_deflemask_green_hill.vgm"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
