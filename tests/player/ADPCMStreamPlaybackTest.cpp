// The ADPCM stream path on simulated Keltra 4 boards, with tiny OKIM6258
// files at 4 MHz / 1024 (512 µs a stream byte): the stream and its events,
// other chips written by the host, the fade, the board's faults, stops, and
// files the source refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "ADPCMStreamTrace.h"
#include "PlayerTestSupport.h"
#include "SimFaultOptions.h"
#include "SimProfile.h"
#include "common/Errors.h"
#include "platform/Clock.h"
#include "player/ADPCMStreamPlayback.h"
#include "player/KLINKFadeOut.h"

namespace klink::test {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::SimTraceEvent;
using sim::SimTraceOp;

constexpr uint32_t kByteUs = 512;  // 4 MHz / 1024

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes YM(uint8_t reg, uint8_t value) { return {0x54, reg, value}; }
Bytes OKI(uint8_t reg, uint8_t value) { return {0xB7, reg, value}; }
Bytes Wait(uint16_t samples) {
    return {0x61, static_cast<uint8_t>(samples), static_cast<uint8_t>(samples >> 8)};
}

// A YM2151 + OKIM6258 (4 MHz, divider 1024) file; `loop`: the loop starts
// at `body`.
Bytes OKIFile(const Bytes& intro, const Bytes& body = {}, bool loop = false, uint32_t ym2413Clock = 0) {
    VGMBuilder b;
    b.Field(0x30, 4000000);  // YM2151
    b.Field(0x90, 4000000);  // OKIM6258, divider 1024
    if (ym2413Clock != 0) b.Field(0x10, ym2413Clock);
    b.Raw(intro);
    if (loop) b.LoopHere();
    b.Raw(body).End();
    return b.Build();
}

// Two register writes before the first sound, then the chip plays input
// while the YM2151 keys on and off; `samples` long in all.
Bytes Song(uint16_t samples, bool ym2413 = false) {
    const uint16_t first = samples / 3;
    return Cat({YM(0x20, 0xC7), YM(0x30, 0x10), OKI(0x00, 0x02), OKI(0x01, 0x17), OKI(0x01, 0x71),
                YM(0x08, 0x78), Wait(first), YM(0x28, 0x4A), ym2413 ? Bytes{0x51, 0x10, 0x20} : Bytes{},
                Wait(first), YM(0x08, 0x00), Wait(static_cast<uint16_t>(samples - 2 * first))});
}

std::vector<SimTraceEvent> Only(const std::vector<SimTraceEvent>& trace, SimTraceOp op) {
    std::vector<SimTraceEvent> out;
    for (const auto& e : trace)
        if (e.op == op) out.push_back(e);
    return out;
}

// Plays `file` on the host's boards with a playback thread.
struct ThreadRun {
    ThreadRun(RecordingHost& host, const Bytes& file, int32_t repeat = 1, int32_t fade = 0)
        : vgm(file, ".vgm"), thread(host, vgm.Path().string(), repeat, fade) {}
    TempFile vgm;
    VGMPlayerThread thread;
};

// The board's last status line, logged after the path.
std::string ReportLine(RecordingHost& host) {
    const auto lines = host.LogStarting("ADPCM: accepted=");
    return lines.empty() ? std::string() : lines.back();
}

// What one play left.
struct Played {
    std::string error;
    bool completed = false;
    std::string report;  // the board's last status line in the log
};

// Plays `file` with a playback thread on `boards` (connection 1, then 2),
// with their traces cleared first.
Played PlayOn(std::initializer_list<SimConnection*> boards, const Bytes& file, int32_t repeat = 1,
              int32_t fade = 0) {
    RecordingHost host;
    int index = 0;
    for (SimConnection* b : boards) {
        b->board->ClearTrace();
        host.SetPort(index, b->port.Get(), "COM" + std::to_string(index + 1));
        ++index;
    }
    ThreadRun run(host, file, repeat, fade);
    RunToEnd(run.thread);
    return {run.thread.PlaybackError(), run.thread.PlaybackCompleted(), ReportLine(host)};
}

// The same, once more when the board ran dry. The simulated board runs on
// the test's machine: a pause of the whole machine longer than the stream's
// 80 ms lead (a virtual machine's stolen time) stops host and board alike,
// and the board, catching up on its clock, runs dry although no byte came
// late. A player that starves the board does so on the second play as well.
Played PlayOnceMoreIfDry(std::initializer_list<SimConnection*> boards, const Bytes& file, int32_t repeat = 1,
                         int32_t fade = 0) {
    Played played = PlayOn(boards, file, repeat, fade);
    if (played.error.empty() && played.report.find(", underflows=0,") == std::string::npos) {
        std::cout << "the board ran dry (" << played.report << "); playing once more\n";
        played = PlayOn(boards, file, repeat, fade);
    }
    return played;
}

void ExpectCleanEnd(const Played& played) {
    EXPECT_EQ(played.error, "");
    EXPECT_TRUE(played.completed);
    EXPECT_NE(played.report.find(", underflows=0,"), std::string::npos) << played.report;
    EXPECT_NE(played.report.find(", flags=3,"), std::string::npos) << played.report;  // started, finished
}

TEST(ADPCMStreamPlayback, PlaysTheStreamWithItsEventsAndTheOtherChipAtItsTime) {
    // 30 ms: the whole stream, end included, goes out before STREAM_START.
    for (const uint16_t samples : {uint16_t{1323}, uint16_t{13230}}) {
        SCOPED_TRACE(samples);
        SimConnection kl4("Keltra 4", {}, false);
        SimConnection kl3("Keltra 3", {}, false);
        const Bytes file = OKIFile(Song(samples, true), {}, false, 3579545);
        ExpectCleanEnd(PlayOnceMoreIfDry({&kl4, &kl3}, file));

        const VGMAnalysis a = AnalyseVGMBytes(file);
        const FileFacts facts = WalkYM2151Writes(a);
        ASSERT_EQ(facts.beforeFirstSound, 2u);
        (void)CheckStreamTrace(FromBoard(*kl4.board), facts);

        // The YM2413 write is the host's, at its time on the stream's axis:
        // compare the two boards' clocks at one moment.
        const int64_t offsetUs =
            static_cast<int64_t>(kl4.board->NowUS()) - static_cast<int64_t>(kl3.board->NowUS());
        const auto start = Only(kl4.board->Trace(), SimTraceOp::kStreamStart);
        const auto writes = kl3.HostWrites();
        ASSERT_EQ(start.size(), 1u);
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].writeId, 0x51);
        EXPECT_EQ(writes[0].reg, 0x10);
        EXPECT_EQ(writes[0].value, 0x20);
        const int64_t due =
            static_cast<int64_t>(start[0].timeUs) + 5120 + int64_t{samples / 3} * 1000000 / 44100;
        const int64_t at = static_cast<int64_t>(writes[0].timeUs) + offsetUs;
        // The host counts from when it sent STREAM_START, the board from when
        // it took it in: the write may seem early by that delivery time, which
        // a busy machine (or a sanitizer) stretches to milliseconds. Late only
        // by the line and the scheduler (generous both ways).
        EXPECT_GE(at, due - 20000);
        EXPECT_LE(at, due + 500000);
    }
}

TEST(ADPCMStreamPlayback, FadesFromTheSourcesFadeStartAndEndsAfterTheZeroTail) {
    SimConnection kl4("Keltra 4", {}, false);
    // 100 ms of intro, a 200 ms loop: with two passes the fade starts at VGM
    // time 500 ms.
    const Bytes file = OKIFile(Cat({YM(0x20, 0xC7), OKI(0x00, 0x02), YM(0x08, 0x78), Wait(4410)}),
                               Cat({OKI(0x01, 0x17), YM(0x28, 0x4A), Wait(8820)}), true);
    ExpectCleanEnd(PlayOnceMoreIfDry({&kl4}, file, 2, 3));

    const auto trace = kl4.board->Trace();
    const auto start = Only(trace, SimTraceOp::kStreamStart);
    const auto end = Only(trace, SimTraceOp::kStreamEnd);
    ASSERT_EQ(start.size(), 1u);
    ASSERT_EQ(end.size(), 1u);
    std::vector<SimTraceEvent> steps;
    for (const auto& e : Only(trace, SimTraceOp::kVolume))
        if (e.timeUs > start[0].timeUs) steps.push_back(e);
    ASSERT_EQ(steps.size(), static_cast<size_t>(kFadeStepCount));
    const uint64_t fadeStartUs = 5120 + 500000;
    const uint64_t durationUs = 3000000;
    std::vector<int64_t> lateness;
    for (size_t k = 0; k < steps.size(); ++k) {
        EXPECT_EQ(steps[k].number, kFadeAttenuation[k]) << "step " << k;
        // The host sends a step when it falls due on the stream's axis; the
        // board sees it after the line's delay. Never early.
        const uint64_t due = start[0].timeUs + fadeStartUs + ((k + 1) * durationUs + 61) / 62;
        EXPECT_GE(steps[k].timeUs + 3000, due) << "step " << k;
        lateness.push_back(static_cast<int64_t>(steps[k].timeUs) - static_cast<int64_t>(due));
    }
    // Mostly on time; the median is immune to a pause of the machine.
    std::nth_element(lateness.begin(), lateness.begin() + 31, lateness.end());
    EXPECT_LE(lateness[31], 20000);
    // The music ends at the fade's end, then 50 ms of zeros: the stream ends
    // on the first byte boundary after that.
    const uint64_t endUs = fadeStartUs + durationUs + 50000;
    const uint64_t streamEnd = end[0].timeUs - start[0].timeUs;
    EXPECT_GE(streamEnd + 1, endUs);
    EXPECT_LE(streamEnd, endUs + 2 * kByteUs + 1);
}

TEST(ADPCMStreamPlayback, WaitsPastTheEndForABoardThatIsBehindButPlays) {
    // The host pauses for 300 ms in the middle of the stream: the board
    // plays its 80 ms lead and waits for data, then gets the rest in a rush
    // and plays on some 220 ms behind the host's clock, past the stream's
    // end plus 100 ms.
    SimConnection kl4("Keltra 4", {}, false);
    PathHarness harness(kl4, OKIFile(Song(26460)));  // 600 ms
    PlaybackContext context = harness.Context();
    int sleeps = 0;
    context.clock = PlaybackClock::System();
    context.clock.sleepMs = [&sleeps](uint32_t ms) { platform::SleepMs(++sleeps == 150 ? 300 : ms); };
    ADPCMStreamPlayback playback(context);
    playback.Play();
    EXPECT_NE(harness.report.find(", flags=67,"), std::string::npos) << harness.report;  // finished, ran dry
    EXPECT_EQ(Only(kl4.board->Trace(), SimTraceOp::kStreamEnd).size(), 1u);
}

struct FaultCase {
    const char* name;
    std::vector<std::string> switches;  // klinksim's
    std::string message;                // exact, or the start of it
    bool statusFollows;                 // the board's status text completes the message
};

class ADPCMStreamPlaybackFault : public ::testing::TestWithParam<FaultCase> {};

// The failure ends the run with the exact message, the board is reset, and
// the next play on the same boards succeeds once the fault is gone.
TEST_P(ADPCMStreamPlaybackFault, FailsWithItsMessageAndTheNextPlaySucceeds) {
    const FaultCase& c = GetParam();
    SimConnection kl4("Keltra 4", sim::ParseFaultOptions(c.switches));
    RecordingHost host;
    host.SetPort(0, kl4.port.Get(), "COM1");
    const Bytes file = OKIFile(Song(8820));  // 200 ms
    {
        ThreadRun run(host, file);
        RunToEnd(run.thread);
        EXPECT_FALSE(run.thread.PlaybackCompleted());
        const std::string& error = run.thread.PlaybackError();
        if (c.statusFollows) {
            ASSERT_EQ(error.rfind(c.message, 0), 0u) << error;
            const std::string report = ReportLine(host);
            EXPECT_EQ(error, c.message + report);
            EXPECT_NE(report.find("; reason="), std::string::npos) << report;
        } else {
            EXPECT_EQ(error, c.message);
        }
        EXPECT_EQ(host.LogStarting("エラー: "), std::vector<std::string>{"エラー: " + error});
        EXPECT_EQ(host.LogStarting("ADPCM: accepted=").size(), 1u);
    }
    const auto trace = kl4.board->Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back().op, SimTraceOp::kReset);

    kl4.board->SetFaults({});
    const Played again = PlayOn({&kl4}, file);
    EXPECT_EQ(again.error, "");
    EXPECT_TRUE(again.completed);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ADPCMStreamPlaybackFault,
    ::testing::Values(
        FaultCase{"NeverStarted", {"--never-start"}, "KL4 ADPCM START was not confirmed.", false},
        FaultCase{"BoardFault", {"--adpcm-fault", "0x10@100"}, "KL4 ADPCM fault: ", true},
        // The first two AUDIO_STATUS replies (the cleared check and
        // the first poll) come; the third never does.
        FaultCase{"StatusUnanswered", {"--drop-opcode", "0x13:3"}, "KLINK AUDIO_STATUS timeout.", false}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

TEST(ADPCMStreamPlayback, StopDuringThePrefillSendsNoStartAndAsksNoFinalStatus) {
    SimConnection kl4("Keltra 4");
    PathHarness harness(kl4, OKIFile(Song(8820)));
    const PlaybackContext context = harness.Context();
    ADPCMStreamPlayback playback(context);
    const KLINKSerialLink& link = harness.Router().AudioConnection().Link();
    const uint16_t before = link.RequestID();
    // The cleared check, the YM2151 state, then the first data packet: the
    // stop comes in the prefill, during a packet or between two.
    harness.stopWhen = [&link, before] { return static_cast<uint16_t>(link.RequestID() - before) >= 3; };
    const uint64_t requests = kl4.board->Requests();
    try {
        playback.Play();
    } catch (const AbortError& e) {
        EXPECT_STREQ(e.what(), "Playback cancelled.");
    }
    EXPECT_EQ(kl4.board->Requests(), requests + 1);
    EXPECT_EQ(
        harness.report,
        "ADPCM: accepted=0, played=0, pending=0, underflows=0, overflows=0, rejected=0, max pending=0 bytes, "
        "flags=0, late events=0, max event lag=0 bytes");
    EXPECT_TRUE(Only(kl4.board->Trace(), SimTraceOp::kStreamStart).empty());
}

TEST(ADPCMStreamPlayback, StopWhileStreamingEndsWithoutTheEndCheck) {
    SimConnection kl4("Keltra 4");
    RecordingHost host;
    host.SetPort(0, kl4.port.Get(), "COM1");
    ThreadRun run(host, OKIFile(Song(44100)));  // 1 s
    run.thread.Start();
    ASSERT_TRUE(kl4.board->WaitForTrace(
        [](const auto& trace) { return !Only(trace, SimTraceOp::kStreamStart).empty(); },
        std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    run.thread.Stop();
    ASSERT_TRUE(run.thread.WaitFor(5000));
    EXPECT_FALSE(run.thread.PlaybackCompleted());
    EXPECT_TRUE(host.LogStarting("エラー: ").empty());
    const std::string report = ReportLine(host);
    EXPECT_NE(report, "");
    EXPECT_EQ(report.find("flags=3,"), std::string::npos) << report;  // not finished
    const auto trace = kl4.board->Trace();
    EXPECT_TRUE(Only(trace, SimTraceOp::kStreamEnd).empty());
    EXPECT_EQ(trace.back().op, SimTraceOp::kReset);
    EXPECT_GT(run.thread.PositionMS(), 0);
}

TEST(ADPCMStreamPlayback, MoreEventsThanTheBoardHoldsAreRefused) {
    sim::SimProfile profile = *sim::BuiltInProfile("Keltra 4");
    profile.eventCapacity = 8;
    sim::BuildPages(profile);
    sim::SimBoardOptions options;
    options.throttled = false;
    auto board = sim::SimBoard::Start(profile, options);
    platform::UniqueSerialPort port(platform::OpenSerialPort(board->DevicePath()));
    platform::ConfigureSerialPort(port.Get(), platform::SerialLineSettings{});
    ConfigureWriteTimeouts(port.Get());
    RecordingHost host;
    host.SetPort(0, port.Get(), "COM1");
    Bytes writes = Cat({OKI(0x00, 0x02), OKI(0x01, 0x17), YM(0x08, 0x78)});
    for (uint8_t r = 0x20; r < 0x28; ++r) writes = Cat({writes, YM(r, 0xC7)});
    ThreadRun run(host, OKIFile(Cat({writes, Wait(441)})));
    RunToEnd(run.thread);
    EXPECT_EQ(run.thread.PlaybackError(), "ADPCM register/event lead exceeds receiver capacity.");
}

struct BadFileCase {
    const char* name;
    Bytes commands;
    const char* message;
};

class ADPCMStreamPlaybackBadFile : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(ADPCMStreamPlaybackBadFile, FailsWithTheSourcesMessage) {
    const BadFileCase& c = GetParam();
    SimConnection kl4("Keltra 4");
    RecordingHost host;
    host.SetPort(0, kl4.port.Get(), "COM1");
    ThreadRun run(host, OKIFile(c.commands));
    RunToEnd(run.thread);
    EXPECT_EQ(run.thread.PlaybackError(), c.message);
    EXPECT_EQ(host.LogStarting("エラー: "), std::vector<std::string>{std::string("エラー: ") + c.message});
    EXPECT_EQ(kl4.board->Trace().back().op, SimTraceOp::kReset);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ADPCMStreamPlaybackBadFile,
    ::testing::Values(
        // Refused in the prefill.
        BadFileCase{"SecondChip", Cat({OKI(0x81, 0x17), Wait(100)}), "Dual OKIM6258 is not supported."},
        BadFileCase{"UnknownBlock",
                    Cat({{0x90, 0x00, 0x17, 0x00, 0x01}, {0x95, 0x00, 0x05, 0x00, 0x00}, Wait(100)}),
                    "Invalid OKI block ID."},
        // Refused while streaming, 200 ms in.
        BadFileCase{"CompressedBank",
                    Cat({OKI(0x00, 0x02),
                         OKI(0x01, 0x17),
                         Wait(8820),
                         {0x67, 0x66, 0x44, 0x01, 0x00, 0x00, 0x00, 0x00}}),
                    "Compressed OKI bank is not supported yet."}),
    [](const ::testing::TestParamInfo<BadFileCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace klink::test
