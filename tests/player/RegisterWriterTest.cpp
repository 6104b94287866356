// The register writer as the streaming paths use it, driven through a
// playback context without the thread: batches, fade steps on the caller's
// time axis, and what a stop request drops.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "PlayerTestSupport.h"
#include "player/KLINKFadeOut.h"
#include "player/RegisterWriter.h"

namespace klink::test {
namespace {

using sim::SimTraceEvent;
using sim::SimTraceOp;

constexpr KLINKVGMTarget kYM2151{0x54, 0, 0};

std::vector<uint8_t> ShortFile() {
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78, 0x62}).End();
    return file.Build();
}

size_t CountOf(const std::vector<SimTraceEvent>& trace, SimTraceOp op) {
    return static_cast<size_t>(
        std::count_if(trace.begin(), trace.end(), [op](const SimTraceEvent& e) { return e.op == op; }));
}

TEST(RegisterWriter, FadeStepSendsThePendingBatchThenEveryStepThatIsDue) {
    SimConnection board("Keltra 4");
    PathHarness harness(board, ShortFile());
    const PlaybackContext context = harness.Context();
    RegisterWriter writer(context, false);

    writer.WriteVGMRegister(kYM2151, 0x20, 0x11);
    writer.WriteVGMRegister(kYM2151, 0x21, 0x22);
    writer.FadeStep(5000000);  // no fade yet: nothing is sent, the position stays
    EXPECT_EQ(harness.position.ms.load(), 0);

    writer.StartFade(1000000, 1);
    writer.FadeStep(1000000 + 48388);  // steps 0..2 are due 3/62 s after the start
    EXPECT_EQ(harness.position.ms.load(), 1048);
    EXPECT_FALSE(writer.FadeComplete());
    writer.FadeStep(2000000);  // every step left, back to back
    EXPECT_TRUE(writer.FadeComplete());
    EXPECT_EQ(harness.position.ms.load(), 2000);

    harness.Router().Drain();
    ASSERT_TRUE(board.board->WaitForTrace(
        [](const auto& trace) { return CountOf(trace, SimTraceOp::kVolume) == 1 + kFadeStepCount; },
        std::chrono::seconds(10)));
    // Start's full volume, the two writes, then the fade's steps in order.
    std::vector<int> seen;
    for (const auto& e : board.board->Trace()) {
        if (e.op == SimTraceOp::kVolume) seen.push_back(static_cast<int>(e.number));
        if (e.op == SimTraceOp::kReg) seen.push_back(-e.reg);
    }
    std::vector<int> expected{0, -0x20, -0x21};
    expected.insert(expected.end(), kFadeAttenuation.begin(), kFadeAttenuation.end());
    EXPECT_EQ(seen, expected);
}

TEST(RegisterWriter, AStopRequestDropsWritesAndDiscardsThePendingBatch) {
    SimConnection board("Keltra 4");
    PathHarness harness(board, ShortFile());
    const PlaybackContext context = harness.Context();
    RegisterWriter writer(context, false);

    writer.WriteVGMRegister(kYM2151, 0x20, 0x11);  // pending when the stop comes
    harness.stop = true;
    writer.WriteVGMRegister(kYM2151, 0x21, 0x22);
    writer.FlushWrites();
    harness.stop = false;
    writer.WriteVGMRegister(kYM2151, 0x22, 0x33);
    writer.FlushWrites();

    harness.Router().Drain();
    ASSERT_TRUE(board.board->WaitForTrace(
        [](const auto& trace) { return CountOf(trace, SimTraceOp::kReg) > 0; }, std::chrono::seconds(10)));
    const auto writes = board.HostWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].reg, 0x22);
    EXPECT_EQ(writes[0].value, 0x33);
}

}  // namespace
}  // namespace klink::test
