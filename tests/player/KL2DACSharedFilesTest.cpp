// Mega Drive music made by others, played through the playback thread on a
// simulated Keltra 2.1 whose line carries the DAC stream: the board must play
// every YM2612 write and every DAC sample at its tick and reach the end
// without running dry. Each file takes as long as its music (3-53 s).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "PlayerTestSupport.h"
#include "kl2/KL2DACVGM.h"
#include "vgm/KLINKVGM.h"

namespace klink::test {
namespace {

std::filesystem::path SharedSamples() {
    // KLINK_SHARED_DIR in the environment overrides the build's idea (worktrees sit elsewhere).
    const char* env = std::getenv("KLINK_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples";
}

// One YM2612 write: its tick and what it writes.
struct TimedWrite {
    uint64_t tick = 0;
    uint8_t writeId = 0;
    int16_t reg = 0;
    uint8_t value = 0;
};

// The file's own account, walked once to its end command: every YM2612 FM
// write after time zero (the DAC registers 0x2A/0x2B excepted) with its tick.
std::vector<TimedWrite> FileFMWrites(const VGMAnalysis& file) {
    std::vector<TimedWrite> writes;
    uint32_t pointer = file.dataOffset;
    uint64_t tick = 0;
    for (;;) {
        KLINKVGMTarget target;
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        const VGMDecodeKind kind = DecodeRegisterCommand(file.vgmBuffer, pointer, target, reg, value, wait);
        if (kind == VGMDecodeKind::kEnd) break;
        tick += wait;
        const bool ym2612 = (target.writeId == 0x52 || target.writeId == 0x53) && target.instance == 0;
        const bool dacRegister = target.writeId == 0x52 && (reg == 0x2A || reg == 0x2B);
        if (kind == VGMDecodeKind::kRegisterWrite && ym2612 && !dacRegister && tick > 0)
            writes.push_back({tick, target.writeId, reg, value});
    }
    return writes;
}

// What the source hands the board: every DAC record (delays aside) at its
// tick; also the number of records with the delays and the end tick.
std::vector<TimedWrite> SourceDACWrites(const VGMAnalysis& file, uint64_t& records, uint64_t& endTick) {
    std::vector<TimedWrite> writes;
    KL2DACVGM source(file.vgmBuffer, file.dataOffset, file.vgmLoopOffset, 1, 0);
    KL2DACChunk chunk;
    while (source.Next(chunk, kKL2MaxRecordsPerPacket)) {
        uint64_t tick = chunk.startTick;
        records += chunk.records.size();
        for (const KL2DACRecord& r : chunk.records) {
            if (r.kind != KL2RecordKind::kDelay)
                writes.push_back(
                    {tick, 0x52, r.kind == KL2RecordKind::kSample ? int16_t{0x2A} : int16_t{0x2B}, r.value});
            tick += r.wait;
        }
    }
    endTick = source.EndTick();
    return writes;
}

// Compares what the board did with what was asked for, in order; every write
// must land at the board's DAC start plus its tick. Returns the largest
// timing error in microseconds.
double ExpectPlayedAtTicks(const std::vector<TimedWrite>& expected,
                           const std::vector<sim::SimTraceEvent>& played, uint64_t startUs,
                           const char* what) {
    EXPECT_EQ(played.size(), expected.size()) << what;
    double worst = 0;
    const size_t n = std::min(played.size(), expected.size());
    for (size_t i = 0; i < n; ++i) {
        const TimedWrite& e = expected[i];
        const sim::SimTraceEvent& p = played[i];
        if (p.writeId != e.writeId || p.reg != e.reg || p.value != e.value) {
            ADD_FAILURE() << what << " #" << i << " at tick " << e.tick << ": board wrote $" << std::hex
                          << int{p.writeId} << " reg $" << p.reg << " = $" << int{p.value} << ", file $"
                          << int{e.writeId} << " reg $" << e.reg << " = $" << int{e.value};
            return worst;
        }
        const double dueUs = static_cast<double>(startUs) + static_cast<double>(e.tick) * 1e6 / 44100.0;
        worst = std::max(worst, std::abs(static_cast<double>(p.timeUs) - dueUs));
    }
    // The simulated board plays on its exact tick clock; the trace counts
    // whole microseconds.
    EXPECT_LE(worst, 3.0) << what;
    return worst;
}

class KL2DACSharedFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(KL2DACSharedFiles, PlaysEveryWriteAtItsTickToTheEndWithoutUnderflow) {
    const std::filesystem::path path = SharedSamples() / GetParam();
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no shared sample " << path;
    const VGMAnalysis file = AnalyseVGMFile(path);
    ASSERT_TRUE(file.ok) << file.error;
    ASSERT_TRUE(file.useKl2Dac);

    SimConnection board("Keltra 2.1", {}, false);
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMPlayerThread thread(host, path.string(), 1, 0);
    const auto music = std::chrono::milliseconds(file.header->totalSamples * 1000 / 44100);
    RunToEnd(thread, music + std::chrono::seconds(30));
    EXPECT_EQ(thread.PlaybackError(), "");
    EXPECT_TRUE(thread.PlaybackCompleted());

    uint64_t records = 0;
    uint64_t endTick = 0;
    const std::vector<TimedWrite> dac = SourceDACWrites(file, records, endTick);
    const std::vector<std::string> log = host.LogLines();
    ASSERT_FALSE(log.empty());
    const std::string ending = "DAC: state=2 fault=0 accepted=" + std::to_string(records) +
                               " consumed=" + std::to_string(records) +
                               " queued=0; underflows=0 overflows=0 rejected=0; max DAC late=0 us; ticks=" +
                               std::to_string(endTick) + "/" + std::to_string(endTick);
    EXPECT_EQ(log.back(), ending);

    const auto trace = board.board->Trace();
    const auto starts = board.Events(sim::SimTraceOp::kDACStart);
    const auto ends = board.Events(sim::SimTraceOp::kDACEnd);
    ASSERT_EQ(starts.size(), 1u);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].number, endTick);
    const uint64_t startUs = starts[0].timeUs;

    std::vector<sim::SimTraceEvent> fm;
    std::vector<sim::SimTraceEvent> samples;
    for (const auto& e : trace) {
        if (e.op != sim::SimTraceOp::kReg) continue;
        if (e.source == sim::SimWriteSource::kDAC) samples.push_back(e);
        // Tick 0 is the start-up state (time-zero writes reduced to their end state).
        if (e.source == sim::SimWriteSource::kEvent && (e.writeId == 0x52 || e.writeId == 0x53) &&
            e.timeUs > startUs + 11)
            fm.push_back(e);
    }
    const double fmError = ExpectPlayedAtTicks(FileFMWrites(file), fm, startUs, "FM write");
    const double dacError = ExpectPlayedAtTicks(dac, samples, startUs, "DAC record");
    std::cout << GetParam() << ": " << fm.size() << " FM writes (max error " << fmError << " us), "
              << samples.size() << " DAC writes (max error " << dacError << " us), end tick " << endTick
              << "\n";
}

INSTANTIATE_TEST_SUITE_P(MegaDrive, KL2DACSharedFiles,
                         ::testing::Values("b_md_sonic2_04_act_clear.vgz", "b_md_contra_hc_stage_clear.vgm",
                                           "b_md_deflemask_green_hill.vgm"),
                         [](const auto& row) {
                             std::string name = row.param;
                             name = name.substr(0, name.find('.'));
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

}  // namespace
}  // namespace klink::test
