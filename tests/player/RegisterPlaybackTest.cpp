// The register path on simulated boards: batching, timing origin, loops,
// fade-out, the KL2 rewrites and stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

#include "PlayerTestSupport.h"
#include "player/RegisterPlayback.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMAnalysis.h"

namespace klink::test {
namespace {

using sim::SimTraceEvent;
using sim::SimTraceOp;
using Clock = std::chrono::steady_clock;

// Writes of one batch reach the board in one frame, so they carry one board
// time; frames at line rate never share a microsecond.
std::vector<size_t> BatchSizes(const std::vector<SimTraceEvent>& writes) {
    std::vector<size_t> sizes;
    uint64_t last = ~uint64_t{0};
    for (const auto& w : writes) {
        if (w.timeUs != last) sizes.push_back(0);
        ++sizes.back();
        last = w.timeUs;
    }
    return sizes;
}

struct BatchCase {
    const char* name;
    std::vector<uint8_t> commands;
    std::vector<size_t> batches;
};

class RegisterBatching : public ::testing::TestWithParam<BatchCase> {};

TEST_P(RegisterBatching, GroupsConsecutiveWritesToOneTarget) {
    const BatchCase& c = GetParam();
    SimConnection board("Keltra 2.1");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMBuilder file = KL2TestFile();
    file.Raw(c.commands).Cmd({0x62}).End();
    TempFile vgm(file.Build(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
    RunToEnd(thread);
    ASSERT_EQ(thread.PlaybackError(), "");
    EXPECT_TRUE(thread.PlaybackCompleted());
    EXPECT_EQ(BatchSizes(board.HostWrites()), c.batches);
}

std::vector<uint8_t> ManyYM2612Writes(int count) {
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) {
        out.insert(out.end(), {0x52, static_cast<uint8_t>(0x30 + i % 0x60), static_cast<uint8_t>(i)});
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegisterBatching,
    ::testing::Values(
        // (0x52, 0, 0) with 4 bytes, then (0x53, 0, 1) with 2 bytes.
        BatchCase{"PortChange", {0x52, 0x30, 0x01, 0x52, 0x31, 0x02, 0x53, 0x30, 0x03}, {2, 1}},
        // 254 bytes, then 2: a batch never exceeds 127 register pairs.
        BatchCase{"FullBatch", ManyYM2612Writes(128), {127, 1}},
        // A zero wait neither sends nor waits.
        BatchCase{"ZeroWait", {0x52, 0x30, 0x01, 0x61, 0x00, 0x00, 0x52, 0x31, 0x02}, {2}},
        // A real wait sends the batch before it.
        BatchCase{"FrameWait", {0x52, 0x30, 0x01, 0x62, 0x52, 0x31, 0x02}, {1, 1}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(RegisterPlayback, SendsEveryWriteInOrderAtItsSamplePosition) {
    SimConnection board("Keltra 4");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    // A key-on, then five frames of one write each.
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78});
    for (uint8_t i = 0; i < 5; ++i) file.Cmd({0x62, 0x54, 0x20, i});
    file.Cmd({0x62}).End();
    TempFile vgm(file.Build(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
    RunToEnd(thread);
    ASSERT_EQ(thread.PlaybackError(), "");

    const auto writes = board.HostWrites();
    ASSERT_EQ(writes.size(), 6u);
    EXPECT_EQ(writes[0].reg, 0x08);
    for (size_t i = 1; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].reg, 0x20);
        EXPECT_EQ(writes[i].value, i - 1);
        // 735 samples apart; generous for a loaded machine.
        const auto gap = static_cast<int64_t>(writes[i].timeUs - writes[i - 1].timeUs);
        EXPECT_GT(gap, 12000) << i;
        EXPECT_LT(gap, 40000) << i;
    }
    // The position is taken on the running total: 6 * 735 samples = 100 ms.
    EXPECT_EQ(thread.PositionMS(), 100);
}

TEST(RegisterPlayback, RepeatCountTwoPlaysTheLoopTwiceThenEnds) {
    SimConnection board("Keltra 4");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78, 0x62});  // intro
    file.LoopHere();
    file.Cmd({0x54, 0x20, 0x11, 0x62, 0x54, 0x20, 0x22, 0x62}).End();
    TempFile vgm(file.Build(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 2, 0);
    RunToEnd(thread);
    ASSERT_EQ(thread.PlaybackError(), "");
    EXPECT_TRUE(thread.PlaybackCompleted());

    std::vector<int> values;
    for (const auto& w : board.HostWrites()) values.push_back(w.value);
    EXPECT_EQ(values, (std::vector<int>{0x78, 0x11, 0x22, 0x11, 0x22}));
    EXPECT_EQ(thread.PositionMS(), 5 * 735 * 1000 / 44100);
}

// A loop whose body never waits would replay at once, forever with endless
// repeat. It fails as the streaming sources do, after the intro has played.
struct ZeroLoopCase {
    const char* name;
    std::vector<uint8_t> body;  // commands between the loop start and the end
    int32_t fadeSeconds;
};

class ZeroDurationLoop : public ::testing::TestWithParam<ZeroLoopCase> {};

TEST_P(ZeroDurationLoop, FailsWithItsMessageInsteadOfSpinning) {
    SimConnection board("Keltra 4");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78, 0x62});  // intro
    file.LoopHere();
    file.Raw(GetParam().body).End();
    TempFile vgm(file.Build(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 0, GetParam().fadeSeconds);
    RunToEnd(thread);
    EXPECT_EQ(thread.PlaybackError(), "Zero-duration VGM loop.");
    EXPECT_FALSE(thread.PlaybackCompleted());
    ASSERT_FALSE(board.HostWrites().empty());
    EXPECT_EQ(board.HostWrites().front().value, 0x78);
}

INSTANTIATE_TEST_SUITE_P(Cases, ZeroDurationLoop,
                         ::testing::Values(ZeroLoopCase{"LoopAtTheEndCommand", {}, 0},
                                           ZeroLoopCase{"WritesWithoutAWait", {0x54, 0x20, 0x11}, 0},
                                           ZeroLoopCase{"WithAFadeThatNeverStarts", {0x54, 0x20, 0x11}, 10}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(RegisterPlayback, OneSecondFadeSendsSixtyTwoStepsAndEndsAtTheLast) {
    SimConnection board("Keltra 4");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78});
    file.LoopHere();
    file.Cmd({0x54, 0x20, 0x11, 0x61, 0x44, 0x11}).End();  // 0.1 s loop body
    TempFile vgm(file.Build(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 1);
    const auto start = Clock::now();
    RunToEnd(thread);
    const auto took = Clock::now() - start;
    ASSERT_EQ(thread.PlaybackError(), "");
    EXPECT_TRUE(thread.PlaybackCompleted());

    // Start's full volume, then the fade's 62 steps ending at 96.
    const auto volumes = board.Events(SimTraceOp::kVolume);
    ASSERT_EQ(volumes.size(), 63u);
    EXPECT_EQ(volumes.front().number, 0u);
    EXPECT_EQ(volumes.back().number, 96u);
    const uint64_t fadeUs = volumes.back().timeUs - volumes[1].timeUs;
    EXPECT_GT(fadeUs, 800000u);
    EXPECT_LT(fadeUs, 1300000u);
    // The loop kept playing during the fade, and nothing followed its end.
    const auto writes = board.HostWrites();
    EXPECT_GE(writes.size(), 9u);
    EXPECT_LT(writes.back().timeUs, volumes.back().timeUs);
    // The position is the elapsed time: 0.1 s of loop before the fade, 1 s of fade.
    EXPECT_GE(thread.PositionMS(), 1090);
    EXPECT_LT(thread.PositionMS(), 1400);
    EXPECT_LT(took, std::chrono::seconds(8));
}

TEST(RegisterPlayback, KL2BoardGetsCollapsedTimeZeroKeysAndSelfContainedPSGBytes) {
    SimConnection board("Keltra 2.1");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMBuilder file = KL2TestFile();
    file.Cmd({0x52, 0x28, 0xF0, 0x52, 0x28, 0x00, 0x52, 0x28, 0xF1});  // keys of slots 0, 0, 1
    file.Cmd({0x52, 0x2A, 0x80, 0x52, 0x2A, 0x7F});                    // DAC data
    file.Cmd({0x50, 0x9F, 0x50, 0x03});                                // latch ch0 attenuation, data
    file.Cmd({0x50, 0x85, 0x50, 0x12});                                // latch ch0 tone, data
    file.Cmd({0x62, 0x52, 0x28, 0xF2, 0x62}).End();                    // after time 0: sent as it is
    TempFile vgm(file.Build(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
    RunToEnd(thread);
    ASSERT_EQ(thread.PlaybackError(), "");
    EXPECT_EQ(host.LogStarting("KL2 playback=register").size(), 1u);

    std::vector<std::pair<int, int>> seen;
    for (const auto& w : board.HostWrites()) seen.emplace_back(w.reg, w.value);
    const std::vector<std::pair<int, int>> expected{
        {-1, 0x9F},   {-1, 0x93},                  // the data byte names its register
        {-1, 0x85},   {-1, 0x85},   {-1, 0x12},    // the tone latch goes again in front
        {0x28, 0x00}, {0x28, 0xF1}, {0x2A, 0x7F},  // final keys in order of last write, last DAC
        {0x28, 0xF2}};
    EXPECT_EQ(seen, expected);
}

// A write that makes a chip audible synchronises the boards' startup (one
// more request on the wire); a file that never sounds does not, and its
// waits still take their real time.
TEST(RegisterPlayback, OnlyAnAudibleWriteSynchronisesTheStartup) {
    std::map<bool, uint64_t> requests;
    for (const bool audible : {false, true}) {
        SimConnection board("Keltra 4");
        RecordingHost host;
        host.SetPort(0, board.port.Get(), "sim");
        VGMBuilder file = TestFile();
        file.Cmd({0x54, 0x08, static_cast<uint8_t>(audible ? 0x78 : 0x00), 0x61, 0x44, 0x11}).End();
        TempFile vgm(file.Build(), ".vgm");
        VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
        const auto start = Clock::now();
        RunToEnd(thread);
        ASSERT_EQ(thread.PlaybackError(), "");
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100)) << audible;
        requests[audible] = board.board->Requests();
    }
    EXPECT_EQ(requests[true], requests[false] + 1);
}

TEST(RegisterPlayback, StopDuringALongWaitEndsTheRunPromptly) {
    SimConnection board("Keltra 4");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78});
    for (int i = 0; i < 20; ++i) file.Cmd({0x61, 0xFF, 0xFF});  // about 30 s
    file.End();
    TempFile vgm(file.Build(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
    thread.Start();
    ASSERT_TRUE(board.board->WaitForTrace(
        [](const auto& trace) {
            return std::any_of(trace.begin(), trace.end(),
                               [](const auto& e) { return e.op == SimTraceOp::kReg; });
        },
        std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto stopAt = Clock::now();
    thread.Stop();
    // The wait ends within a millisecond; resetting the board and draining
    // take a few more. The bound is generous for a loaded machine.
    ASSERT_TRUE(thread.WaitFor(3000));
    EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(1500));
    EXPECT_FALSE(thread.PlaybackCompleted());
    EXPECT_EQ(thread.PlaybackError(), "");
    EXPECT_TRUE(host.LogStarting("エラー: ").empty());
    // The board was reset at the end.
    EXPECT_EQ(board.Events(SimTraceOp::kReset).size(), 2u);
}

}  // namespace
}  // namespace klink::test

namespace klink::test {
namespace {

// The path on its own, over a context with a fake clock: a 30 s file plays
// at once, every wait slept through on the context's clock and not a moment
// less, and the position lands on the sample total.
TEST(RegisterPlayback, RunsOnTheContextClockWithoutTheThread) {
    SimConnection board("Keltra 4");
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78});
    for (int i = 0; i < 20; ++i) file.Cmd({0x61, 0xFF, 0xFF});
    file.Cmd({0x54, 0x20, 0x01}).End();
    PathHarness harness(board, file.Build());
    const PlaybackContext context = harness.Context();
    RegisterPlayback(context).Play();

    constexpr uint64_t kSamples = 20 * 0xFFFF;
    EXPECT_EQ(harness.position.samples, kSamples);
    EXPECT_EQ(harness.position.ms.load(), static_cast<int32_t>(kSamples * 1000 / kVGMSampleRate));
    EXPECT_GE(harness.clock.now, context.clock.Ticks(kSamples));
    EXPECT_GT(harness.clock.sleptMs, 29000u);
    harness.Router().Drain();
    ASSERT_TRUE(board.board->WaitForTrace(
        [](const auto& trace) {
            return std::count_if(trace.begin(), trace.end(),
                                 [](const auto& e) { return e.op == SimTraceOp::kReg; }) == 2;
        },
        std::chrono::seconds(10)));
}

// Where the system has an absolute sleep, the waits use it: never past the
// deadline, and awake often enough for a stop request (10 ms) and each fade
// step (1 ms).
TEST(RegisterPlayback, AbsoluteSleepsEndBeforeTheDeadlineAndStayShort) {
    SimConnection board("Keltra 4");
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78});
    file.LoopHere();
    file.Cmd({0x54, 0x20, 0x11, 0x61, 0x44, 0x11}).End();  // 0.1 s loop body
    PathHarness harness(board, file.Build(), 2, 1);
    PlaybackContext context = harness.Context();
    struct Sleep {
        int64_t from;
        int64_t until;
    };
    std::vector<Sleep> sleeps;
    FakePlaybackClock& fake = harness.clock;
    context.clock.sleepUntil = [&](int64_t until) {
        sleeps.push_back({fake.now, until});
        fake.now = std::max(fake.now, until);
        return true;
    };
    RegisterPlayback(context).Play();

    EXPECT_EQ(fake.sleptMs, 0u);
    ASSERT_GT(sleeps.size(), 100u);
    // The fade starts after the second pass, at 0.2 s; a sleep begun before
    // it may last 10 ms into it.
    const int64_t surelyFading = context.clock.Ticks(2 * 0x1144) + context.clock.frequency / 100;
    for (const Sleep& s : sleeps) {
        EXPECT_GT(s.until, s.from);
        EXPECT_LE(s.until - s.from, context.clock.frequency / 100);
        if (s.from > surelyFading) {
            EXPECT_LE(s.until - s.from, context.clock.frequency / 1000);
        }
    }
    // Two passes of 0.1 s, then the 1 s fade: its last step ends the run.
    EXPECT_GE(harness.position.ms.load(), 1200);
    EXPECT_LE(harness.position.ms.load(), 1203);
}

// On the fake clock the fade's end is exact: 0.1 s of loop, then a 1 s fade
// whose last step ends the run, the position being the time it took.
TEST(RegisterPlayback, OnTheContextClockAFadeEndsAtItsLastStep) {
    SimConnection board("Keltra 4");
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78});
    file.LoopHere();
    file.Cmd({0x54, 0x20, 0x11, 0x61, 0x44, 0x11}).End();  // 0.1 s loop body
    PathHarness harness(board, file.Build(), 1, 1);
    const PlaybackContext context = harness.Context();
    RegisterPlayback(context).Play();

    EXPECT_GE(harness.position.ms.load(), 1100);
    EXPECT_LE(harness.position.ms.load(), 1102);
    EXPECT_GE(harness.position.samples, 48510u);
    EXPECT_LE(harness.position.samples, 48510u + 100);
}

// A real file made by others (1.9 s, YM2413 only, no loop): the board
// receives every register write of the file, in order.
TEST(RegisterPlayback, ASharedSampleReachesTheBoardWriteForWrite) {
    const std::filesystem::path file =
        std::filesystem::path(KLINK_SHARED_DIR) / "vgm-samples" / "f_ym2413_mml2vgm_test_opll.vgm";
    if (!std::filesystem::exists(file)) GTEST_SKIP() << file << " is not there";

    const VGMAnalysis analysis = AnalyseVGMFile(file);
    ASSERT_TRUE(analysis.ok) << analysis.error;
    std::vector<std::tuple<int, int, int, int>> expected;
    uint32_t position = analysis.dataOffset;
    for (;;) {
        KLINKVGMTarget target;
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        const auto kind = DecodeRegisterCommand(analysis.vgmBuffer, position, target, reg, value, wait);
        if (kind == VGMDecodeKind::kEnd) break;
        if (kind == VGMDecodeKind::kRegisterWrite)
            expected.emplace_back(target.writeId, target.instance, reg, value);
    }

    SimConnection board("Keltra 3");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMPlayerThread thread(host, file.string(), 1, 0);
    RunToEnd(thread);
    ASSERT_EQ(thread.PlaybackError(), "");
    std::vector<std::tuple<int, int, int, int>> seen;
    for (const auto& w : board.HostWrites()) seen.emplace_back(w.writeId, w.instance, w.reg, w.value);
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(expected.empty());
}

}  // namespace
}  // namespace klink::test
