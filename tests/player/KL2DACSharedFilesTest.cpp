// Mega Drive music made by others, played through the playback thread on a
// simulated Keltra 2.1 whose line carries the DAC stream: the board must play
// every YM2612 write and every DAC sample at its tick and reach the end
// without running dry. Each file takes as long as its music (3-53 s).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "KL2DACTestSupport.h"
#include "PlayerTestSupport.h"

namespace klink::test {
namespace {

std::filesystem::path SharedSamples() {
    // KLINK_SHARED_DIR in the environment overrides the build's idea (worktrees sit elsewhere).
    const char* env = std::getenv("KLINK_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples";
}

class KL2DACSharedFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(KL2DACSharedFiles, PlaysEveryWriteAtItsTickToTheEndWithoutUnderflow) {
    const std::filesystem::path path = SharedSamples() / GetParam();
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no shared sample " << path;
    const VGMAnalysis file = AnalyseVGMFile(path);
    ASSERT_TRUE(file.ok) << file.error;
    ASSERT_TRUE(file.useKl2Dac);

    const SourceDAC dac = SourceDACWrites(file);
    for (int attempt = 1;; ++attempt) {
        SimConnection board("Keltra 2.1", {}, false);
        RecordingHost host;
        host.SetPort(0, board.port.Get(), "sim");
        VGMPlayerThread thread(host, path.string(), 1, 0);
        const auto music = std::chrono::milliseconds(file.header->totalSamples * 1000 / 44100);
        RunToEnd(thread, music + std::chrono::seconds(30));
        EXPECT_EQ(thread.PlaybackError(), "");
        EXPECT_TRUE(thread.PlaybackCompleted());
        if (RanDryOnABusyMachine(host, attempt)) continue;

        const std::vector<std::string> log = host.LogLines();
        // The board's last status, then the run's one-line account of the link.
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], EndedStatusLine(dac));
        EXPECT_EQ(log.back(), "Link: 0 underflows, 0 late events on the board.");

        const auto trace = board.board->Trace();
        const auto starts = board.Events(sim::SimTraceOp::kDACStart);
        const auto ends = board.Events(sim::SimTraceOp::kDACEnd);
        ASSERT_EQ(starts.size(), 1u);
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0].number, dac.endTick);
        const uint64_t startUs = starts[0].timeUs;

        // Tick 0 is the start-up state (time-zero writes reduced to their end state).
        const auto fm = BoardWrites(trace, sim::SimWriteSource::kEvent, {0x52, 0x53}, startUs + 11);
        const auto samples = BoardWrites(trace, sim::SimWriteSource::kDAC, {0x52});
        const double fmError = ExpectPlayedAtTicks(FileWrites(file, {0x52, 0x53}), fm, startUs, "FM write");
        const double dacError = ExpectPlayedAtTicks(dac.writes, samples, startUs, "DAC record");
        std::cout << GetParam() << ": " << fm.size() << " FM writes (max error " << fmError << " us), "
                  << samples.size() << " DAC writes (max error " << dacError << " us), end tick "
                  << dac.endTick << "\n";
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(MegaDrive, KL2DACSharedFiles,
                         ::testing::Values("b_md_sonic2_04_act_clear.vgz", "b_md_contra_hc_stage_clear.vgm",
                                           "b_md_deflemask_green_hill.vgm"),
                         [](const auto& row) {
                             const std::string name = row.param;
                             return name.substr(0, name.find('.'));
                         });

}  // namespace
}  // namespace klink::test
