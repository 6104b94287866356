// The KL2 DAC path through the playback thread on simulated KL2 boards, with
// tiny generated files: timed writes on one and two boards, the fade, the
// switch to host-timed writes, a slow line, and the ways a run can fail.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <thread>

#include "KL2DACTestSupport.h"
#include "PlayerTestSupport.h"
#include "player/KLINKFadeOut.h"

namespace klink::test {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t kYM2612 = 0x52;
constexpr uint8_t kYM2612Port1 = 0x53;
constexpr uint8_t kSN76489 = 0x50;
constexpr uint8_t kYM2151 = 0x54;

// What a generated tune holds besides its DAC samples.
struct Tune {
    uint32_t samples = 2000;   // DAC samples, `step` ticks apart
    uint8_t step = 5;          // 1..15 (command 0x80 + step)
    uint32_t fmEvery = 32;     // a YM2612 write on each port every so many samples (0: none)
    uint32_t fmBurst = 1;      // writes per port at each such point
    uint32_t psgEvery = 0;     // an SN76489 latch and data byte every so many samples
    uint32_t ym2151Every = 0;  // a YM2151 write every so many samples (a second board)
    uint32_t loopAt = 0;       // the loop starts before this sample (0: no loop)
};

std::vector<uint8_t> TuneFile(const Tune& t) {
    VGMBuilder file = KL2TestFile();
    if (t.ym2151Every != 0) file.Field(0x30, 3579545);
    // The PCM bank: one byte per sample.
    file.Cmd({0x67, 0x66, 0x00});
    file.Raw({static_cast<uint8_t>(t.samples), static_cast<uint8_t>(t.samples >> 8),
              static_cast<uint8_t>(t.samples >> 16), 0});
    for (uint32_t i = 0; i < t.samples; ++i) file.Cmd({static_cast<uint8_t>(i * 7)});
    file.Cmd({0x52, 0x2B, 0x80, 0x52, 0xB4, 0xC0});
    for (uint32_t i = 0; i < t.samples; ++i) {
        if (t.loopAt != 0 && i == t.loopAt) {
            file.LoopHere();
            // The loop seeks back to its own samples.
            file.Cmd({0xE0, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8),
                      static_cast<uint8_t>(i >> 16), 0});
        }
        const auto v = static_cast<uint8_t>(i);
        if (t.fmEvery != 0 && i % t.fmEvery == 0) {
            for (uint32_t k = 0; k < t.fmBurst; ++k) {
                file.Cmd({kYM2612, static_cast<uint8_t>(0x30 + k), v, kYM2612Port1,
                          static_cast<uint8_t>(0x40 + k), static_cast<uint8_t>(v ^ 0x55)});
            }
        }
        if (t.psgEvery != 0 && i % t.psgEvery == 0)
            file.Cmd({kSN76489, 0x8A, kSN76489, static_cast<uint8_t>(v & 0x3F)});
        if (t.ym2151Every != 0 && i % t.ym2151Every == 0) file.Cmd({kYM2151, 0x20, v});
        file.Cmd({static_cast<uint8_t>(0x80 | t.step)});
    }
    file.End();
    return file.Build();
}

// A run of the playback thread on the given boards (connection 1, then 2).
struct ThreadRun {
    ThreadRun(const std::vector<uint8_t>& bytes, std::vector<SimConnection*> boards, int32_t repeat = 1,
              int32_t fade = 0)
        : vgm(bytes, ".vgm") {
        for (size_t i = 0; i < boards.size(); ++i)
            host.SetPort(static_cast<int>(i), boards[i]->port.Get(), "sim" + std::to_string(i + 1));
        thread = std::make_unique<VGMPlayerThread>(host, vgm.Path().string(), repeat, fade);
    }
    TempFile vgm;
    RecordingHost host;
    std::unique_ptr<VGMPlayerThread> thread;
};

VGMAnalysis Analyse(const std::vector<uint8_t>& bytes) {
    VGMAnalysis a = AnalyseVGMBytes(bytes);
    EXPECT_TRUE(a.ok) << a.error;
    return a;
}

uint64_t DACStartUs(const SimConnection& board) {
    const auto starts = board.Events(sim::SimTraceOp::kDACStart);
    EXPECT_EQ(starts.size(), 1u);
    return starts.empty() ? 0 : starts[0].timeUs;
}

// Every write the file asks of the KL2 board (on connection 2) lands at its
// tick: the DAC samples, YM2612 and SN76489 writes; the YM2151 writes reach
// the board on connection 1 in their order; the run ends with the KL2
// board's status line.
TEST(KL2DACPlayback, PlaysEveryWriteAtItsTickOnTheKL2BoardAndOtherChipsOnTheOther) {
    Tune t;
    t.psgEvery = 50;
    t.ym2151Every = 40;
    const std::vector<uint8_t> bytes = TuneFile(t);
    const VGMAnalysis file = Analyse(bytes);
    const SourceDAC dac = SourceDACWrites(file);
    for (int attempt = 1;; ++attempt) {
        SimConnection kl4("Keltra 4", {}, false);
        SimConnection kl2("Keltra 2", {}, false);
        ThreadRun run(bytes, {&kl4, &kl2});
        RunToEnd(*run.thread);
        EXPECT_EQ(run.thread->PlaybackError(), "");
        EXPECT_TRUE(run.thread->PlaybackCompleted());
        EXPECT_EQ(run.thread->PositionMS(), static_cast<int32_t>(dac.endTick * 1000 / 44100));
        if (RanDryOnABusyMachine(run.host, attempt)) continue;
        const auto log = run.host.LogLines();
        // The board's last status, then the run's one-line account of the link.
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], EndedStatusLine(dac));
        EXPECT_EQ(log.back(), "Link: 0 underflows, 0 late events on the board.");

        const uint64_t startUs = DACStartUs(kl2);
        const auto trace = kl2.board->Trace();
        ExpectPlayedAtTicks(dac.writes, BoardWrites(trace, sim::SimWriteSource::kDAC, {kYM2612}), startUs,
                            "DAC");
        ExpectPlayedAtTicks(
            FileWrites(file, {kYM2612, kYM2612Port1}),
            BoardWrites(trace, sim::SimWriteSource::kEvent, {kYM2612, kYM2612Port1}, startUs + 11), startUs,
            "YM2612");
        ExpectPlayedAtTicks(FileWrites(file, {kSN76489}),
                            BoardWrites(trace, sim::SimWriteSource::kEvent, {kSN76489}, startUs + 11),
                            startUs, "SN76489");

        // The second board's writes are the host's, in order, none lost.
        std::vector<std::pair<int16_t, uint8_t>> wanted;
        for (const TimedWrite& w : FileWrites(file, {kYM2151}, false)) wanted.emplace_back(w.reg, w.value);
        std::vector<std::pair<int16_t, uint8_t>> got;
        for (const auto& e : BoardWrites(kl4.board->Trace(), sim::SimWriteSource::kHost, {kYM2151}))
            got.emplace_back(e.reg, e.value);
        EXPECT_EQ(got, wanted);
        EXPECT_TRUE(kl4.Events(sim::SimTraceOp::kDACStart).empty());
        break;
    }
}

// With a repeat count of 2 and a 3 s fade, the volume steps come while the
// board plays and the stream ends exactly 3 s of ticks after the fade began,
// at the second arrival at the end command.
TEST(KL2DACPlayback, FadesOutDuringPlaybackAndEndsWithTheFade) {
    Tune t;
    t.samples = 1764;  // 10 + 1754 samples of 5 ticks: an intro of 50 ticks, a loop of 8770
    t.loopAt = 10;
    const std::vector<uint8_t> bytes = TuneFile(t);
    SimConnection kl2("Keltra 2.1", {}, false);
    ThreadRun run(bytes, {&kl2}, 2, 3);
    RunToEnd(*run.thread);
    EXPECT_EQ(run.thread->PlaybackError(), "");
    EXPECT_TRUE(run.thread->PlaybackCompleted());

    const uint64_t fadeStartTick = 50 + 2 * 8770;
    const auto ends = kl2.Events(sim::SimTraceOp::kDACEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].number, fadeStartTick + 3 * 44100);

    // The start's full volume, then the 62 steps of the fade in order.
    const auto volumes = kl2.Events(sim::SimTraceOp::kVolume);
    ASSERT_EQ(volumes.size(), 1u + kFadeStepCount);
    size_t beforeEnd = 0;
    for (int i = 0; i < kFadeStepCount; ++i) {
        EXPECT_EQ(volumes[static_cast<size_t>(i) + 1].number, kFadeAttenuation[static_cast<size_t>(i)]);
        if (volumes[static_cast<size_t>(i) + 1].timeUs < ends[0].timeUs) ++beforeEnd;
    }
    // Spread over the fade, not sent in a burst at the end.
    EXPECT_GE(beforeEnd, 55u);
    const uint64_t startUs = DACStartUs(kl2);
    EXPECT_GT(volumes[1].timeUs, startUs + fadeStartTick * 1000000 / 44100);
}

// A board with room for only four timed events: once a chunk's writes do not
// fit, the host writes every timed KL2 write itself, never before its tick
// and never before the board's own events have run, and none is lost.
TEST(KL2DACPlayback, HostWritesTheRegistersOnceTheBoardHasNoEventCredits) {
    sim::SimProfile profile = *sim::BuiltInProfile("Keltra 2.1");
    profile.dac.eventCapacity = 4;
    Tune t;
    t.fmEvery = 20;
    t.fmBurst = 3;
    const std::vector<uint8_t> bytes = TuneFile(t);
    const VGMAnalysis file = Analyse(bytes);
    SimConnection kl2(profile, {}, false);
    ThreadRun run(bytes, {&kl2});
    RunToEnd(*run.thread);
    EXPECT_EQ(run.thread->PlaybackError(), "");
    EXPECT_TRUE(run.thread->PlaybackCompleted());

    const uint64_t startUs = DACStartUs(kl2);
    const auto wanted = FileWrites(file, {kYM2612, kYM2612Port1});
    std::vector<sim::SimTraceEvent> got;
    size_t byHost = 0;
    for (const auto& e : kl2.board->Trace()) {
        const bool fm = e.op == sim::SimTraceOp::kReg &&
                        (e.writeId == kYM2612 || e.writeId == kYM2612Port1) && e.reg != 0x2A &&
                        e.reg != 0x2B && e.timeUs > startUs + 11;
        if (!fm || (e.source != sim::SimWriteSource::kHost && e.source != sim::SimWriteSource::kEvent))
            continue;
        got.push_back(e);
    }
    ASSERT_EQ(got.size(), wanted.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].reg, wanted[i].reg) << i;
        EXPECT_EQ(got[i].value, wanted[i].value) << i;
        if (got[i].source == sim::SimWriteSource::kHost) {
            ++byHost;
            EXPECT_GE(got[i].timeUs + 1, startUs + wanted[i].tick * 1000000 / 44100) << i;
        }
    }
    EXPECT_GT(byHost, wanted.size() / 2);
}

// On a 115200-baud line a 44100/4 Hz DAC stream cannot keep up: the board
// runs dry again and again, yet the run ends normally and its last line
// counts the underflows.
TEST(KL2DACPlayback, ASlowLineEndsCleanlyAndReportsItsUnderflows) {
    Tune t;
    t.samples = 5000;
    t.step = 4;
    t.fmEvery = 0;
    SimConnection kl2("Keltra 2.1");
    ThreadRun run(TuneFile(t), {&kl2});
    RunToEnd(*run.thread, 60s);
    EXPECT_EQ(run.thread->PlaybackError(), "");
    EXPECT_TRUE(run.thread->PlaybackCompleted());
    const auto log = run.host.LogLines();
    ASSERT_GE(log.size(), 2u);
    const std::string& status = log[log.size() - 2];
    std::smatch m;
    ASSERT_TRUE(std::regex_match(status, m, std::regex(R"(DAC: state=2 fault=0 .*; underflows=(\d+) .*)")))
        << status;
    EXPECT_GT(std::stoul(m[1]), 0u);
    EXPECT_TRUE(log.back().starts_with("Link: " + m[1].str() + " underflows, ")) << log.back();
}

// Bad files end with the source's messages.
TEST(KL2DACPlayback, BadFilesEndWithTheSourcesMessages) {
    struct Case {
        const char* message;
        std::vector<uint8_t> file;
    };
    VGMBuilder compressed = KL2TestFile();
    compressed.Cmd({0x67, 0x66, 0x40, 4, 0, 0, 0, 1, 2, 3, 4, 0x52, 0x2B, 0x80, 0x80, 0x61, 0x10, 0x00})
        .End();
    VGMBuilder noBank = KL2TestFile();
    noBank.Cmd({0x52, 0x2B, 0x80, 0x81, 0x81}).End();
    const Case cases[] = {{"Compressed YM2612 PCM banks are not supported.", compressed.Build()},
                          {"YM2612 PCM read exceeds bank.", noBank.Build()}};
    SimConnection kl2("Keltra 2.1", {}, false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ThreadRun run(c.file, {&kl2});
        RunToEnd(*run.thread);
        EXPECT_EQ(run.thread->PlaybackError(), c.message);
        EXPECT_EQ(run.host.LogStarting("エラー: "),
                  std::vector<std::string>{std::string("エラー: ") + c.message});
    }
}

// ---------------------------------------------------------------- failures

// A run that fails or is stopped, then the next play on the same board.
struct FaultCase {
    const char* name;
    bool throttled = false;
    uint32_t recordCapacity = 0;  // 0: the model's
    sim::SimFaults faults;
    // Acts on the board while the run goes on (the stops, late faults).
    std::function<void(SimConnection&, VGMPlayerThread&)> during;
    Tune tune;
    // The run's error: exact, or a pattern when it is a status line. A stop
    // ends with none, or with "Playback cancelled." when a link operation
    // noticed it first.
    std::string error;
    bool errorIsPattern = false;
    bool stopped = false;
    bool started = true;  // the board got DAC_START
};

void WaitForDACStart(SimConnection& board) {
    ASSERT_TRUE(board.board->WaitForTrace(
        [](const auto& trace) {
            return std::any_of(trace.begin(), trace.end(),
                               [](const auto& e) { return e.op == sim::SimTraceOp::kDACStart; });
        },
        5000ms));
}

std::vector<FaultCase> FaultCases() {
    std::vector<FaultCase> cases;
    {
        FaultCase c;
        c.name = "BoardFault";
        c.faults.dacFaultCode = 7;
        c.faults.dacFaultAtTick = 4410;
        c.error = R"(DAC: state=3 fault=7 accepted=\d+ consumed=\d+ queued=\d+; underflows=\d+ overflows=0 )"
                  R"(rejected=\d+; max DAC late=0 us; ticks=\d+/\d+)";
        c.errorIsPattern = true;
        cases.push_back(c);
    }
    {
        FaultCase c;
        c.name = "NoStatusReplies";
        c.faults.replies.push_back({sim::SimReplyAction::kDrop, Opcode::kDACStatus});
        c.error = "KL2 DAC STATUS timeout after read-only retries.";
        c.started = false;
        cases.push_back(c);
    }
    {
        FaultCase c;
        c.name = "StatusRepliesStopWhileStreaming";
        c.during = [](SimConnection& board, VGMPlayerThread&) {
            WaitForDACStart(board);
            sim::SimFaults faults;
            faults.replies.push_back({sim::SimReplyAction::kDrop, Opcode::kDACStatus});
            board.board->SetFaults(faults);
        };
        c.error = "KL2 DAC STATUS timeout after read-only retries.";
        cases.push_back(c);
    }
    {
        // One record per tick after the two of tick 0 (the DAC enable and the
        // first sample), 60 per chunk: 33 chunks fit, the 34th not.
        FaultCase c;
        c.name = "RecordCapacityBelowThePrefill";
        c.recordCapacity = 2000;
        c.tune.samples = 4000;
        c.tune.step = 1;
        c.tune.fmEvery = 0;
        c.error =
            "KL2 DAC prefill record capacity exceeded: sent=1980 next=60 capacity=2000 lead=1979 ticks.";
        c.started = false;
        cases.push_back(c);
    }
    {
        // At line rate the 80 ms prefill of a 44100 Hz stream takes over a second.
        FaultCase c;
        c.name = "StopDuringThePrefill";
        c.throttled = true;
        c.tune.samples = 4000;
        c.tune.step = 1;
        c.tune.fmEvery = 0;
        c.during = [](SimConnection& board, VGMPlayerThread& thread) {
            const auto until = std::chrono::steady_clock::now() + 5s;
            while (board.board->BytesRead() < 4000 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(1ms);
            thread.Stop();
        };
        c.stopped = true;
        c.started = false;
        cases.push_back(c);
    }
    {
        FaultCase c;
        c.name = "StopWhileStreaming";
        c.tune.samples = 20000;
        c.during = [](SimConnection& board, VGMPlayerThread& thread) {
            WaitForDACStart(board);
            std::this_thread::sleep_for(200ms);
            thread.Stop();
        };
        c.stopped = true;
        cases.push_back(c);
    }
    return cases;
}

class KL2DACPlaybackFault : public ::testing::TestWithParam<FaultCase> {};

// Each failure ends the run with its message (a stop with none), the board is
// reset, and the next play on it succeeds.
TEST_P(KL2DACPlaybackFault, EndsWithItsMessageAndTheNextPlaySucceeds) {
    const FaultCase& c = GetParam();
    sim::SimProfile profile = *sim::BuiltInProfile("Keltra 2.1");
    if (c.recordCapacity != 0) profile.dac.recordCapacity = c.recordCapacity;
    SimConnection kl2(profile, c.faults, c.throttled);
    {
        ThreadRun run(TuneFile(c.tune), {&kl2});
        run.thread->Start();
        if (c.during) c.during(kl2, *run.thread);
        ASSERT_TRUE(run.thread->WaitFor(20000));
        EXPECT_FALSE(run.thread->PlaybackCompleted());
        const std::string& error = run.thread->PlaybackError();
        if (c.stopped) {
            EXPECT_TRUE(error.empty() || error == "Playback cancelled.") << error;
        } else if (c.errorIsPattern) {
            EXPECT_TRUE(std::regex_match(error, std::regex(c.error))) << error;
        } else {
            EXPECT_EQ(error, c.error);
        }
        const auto errors = run.host.LogStarting("エラー: ");
        const auto reports = run.host.LogStarting("DAC: ");
        if (c.stopped) {
            EXPECT_TRUE(errors.empty());
        } else {
            EXPECT_EQ(errors, std::vector<std::string>{"エラー: " + error});
        }
        // Once DAC_START went out, a stop or a failure still reports the board's last status.
        EXPECT_EQ(reports.size(), c.started ? 1u : 0u);
        EXPECT_EQ(kl2.Events(sim::SimTraceOp::kDACStart).size(), c.started ? 1u : 0u);
        // Reset at the start and again at the end.
        EXPECT_EQ(kl2.Events(sim::SimTraceOp::kReset).size(), 2u);
    }
    kl2.board->SetFaults({});
    kl2.board->ClearTrace();
    Tune next;
    next.samples = 400;
    next.step = 15;
    ThreadRun run(TuneFile(next), {&kl2});
    RunToEnd(*run.thread);
    EXPECT_EQ(run.thread->PlaybackError(), "");
    EXPECT_TRUE(run.thread->PlaybackCompleted());
    EXPECT_EQ(kl2.Events(sim::SimTraceOp::kDACEnd).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, KL2DACPlaybackFault, ::testing::ValuesIn(FaultCases()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace klink::test
