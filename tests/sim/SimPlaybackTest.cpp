// The buffered playback of the board models at explicit times: the KL4 ADPCM
// stream and the KL2 DAC, their clocks, events, counters and failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "SimTestSupport.h"
#include "adpcm/OKICodec.h"
#include "kl2/KL2DACCodec.h"
#include "sim/SimWavWriter.h"

namespace klink::sim {
namespace {

using testing::Cat;
using testing::ModelDriver;
using testing::Read32;
using testing::U32;
using testing::U64;

constexpr int64_t kMs = 1'000'000;

std::vector<uint8_t> StreamData(uint32_t position, size_t n, uint8_t byte = 0x17) {
    return Cat({{0xB7, 0}, U32(position), std::vector<uint8_t>(n, byte)});
}
std::vector<uint8_t> StreamEvent(uint32_t position, uint8_t kind, const std::vector<uint8_t>& data) {
    return Cat({{0xB7, 0}, U32(position), {kind}, data});
}
std::vector<uint8_t> StreamStart(uint32_t clock, uint16_t divider) {
    return Cat({{0xB7, 0}, U32(clock), {static_cast<uint8_t>(divider), static_cast<uint8_t>(divider >> 8)}});
}

SimStreamStatus AudioStatus(ModelDriver& d) {
    auto r = d.Request(Opcode::kAudioStatus, {0xB7, 0});
    SimStreamStatus s;
    EXPECT_EQ(r.size(), 41u);
    if (r.size() != 41) return s;
    EXPECT_EQ(r[0], 0);
    s.accepted = Read32(r, 1);
    s.played = Read32(r, 5);
    s.pending = Read32(r, 9);
    s.underflows = Read32(r, 13);
    s.overflows = Read32(r, 17);
    s.rejected = Read32(r, 21);
    s.maxPending = Read32(r, 25);
    s.flags = Read32(r, 29);
    s.lateEvents = Read32(r, 33);
    s.maxEventLag = Read32(r, 37);
    EXPECT_LE(s.played, s.accepted);
    EXPECT_EQ(s.pending, s.accepted - s.played);
    return s;
}

TEST(SimADPCMStream, PlaysAtTheByteRateAndAppliesEventsAtTheirPositions) {
    ModelDriver d("Keltra 4");
    d.Packet(Opcode::kStreamEvents, StreamEvent(10, 0, {0x54, 0, 0, 0x08, 0x78, 0x20, 0xC0}));
    d.Packet(Opcode::kStreamEvents, StreamEvent(16, 2, {3}));
    d.Packet(Opcode::kStreamData, StreamData(0, 40));
    d.Packet(Opcode::kStreamData, StreamData(40, 40));
    d.Packet(Opcode::kStreamEvents, StreamEvent(80, 3, {0x80}));
    EXPECT_EQ(AudioStatus(d).flags, 0u);  // nothing plays before STREAM_START

    d.now = 1 * kMs;
    d.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));  // 128 us per byte
    d.now = 6 * kMs;
    SimStreamStatus s = AudioStatus(d);
    EXPECT_EQ(s.flags, kStreamStarted);
    EXPECT_NEAR(s.played, 5000 / 128, 1);
    EXPECT_EQ(s.accepted, 80u);

    d.now = 20 * kMs;
    s = AudioStatus(d);
    EXPECT_EQ(s.flags, kStreamStarted | kStreamFinished);
    EXPECT_EQ(s.played, 80u);
    EXPECT_EQ(s.pending, 0u);
    EXPECT_EQ(s.underflows, 0u);
    EXPECT_EQ(s.maxPending, 80u);

    const auto regs = d.TraceOf(SimTraceOp::kReg);
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0].source, SimWriteSource::kStream);
    EXPECT_EQ(regs[0].timeUs, 1000u + 10 * 128);
    EXPECT_EQ(regs[1].reg, 0x20);
    EXPECT_EQ(d.Model().Chips().Register(0x54, 0, 0, 0x20), 0xC0);
    ASSERT_EQ(d.TraceOf(SimTraceOp::kPan).size(), 1u);
    EXPECT_EQ(d.TraceOf(SimTraceOp::kPan)[0].timeUs, 1000u + 16 * 128);
    const auto start = d.TraceOf(SimTraceOp::kStreamStart);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(FormatTraceLine(start[0], "b"),
              R"({"t_us":1000,"board":"b","op":"stream_start","clock":8000000,"div":512})");
    const auto end = d.TraceOf(SimTraceOp::kStreamEnd);
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0].timeUs, 1000u + 80 * 128);
}

TEST(SimADPCMStream, AClockEventChangesTheRateFromItsPosition) {
    ModelDriver d("Keltra 4");
    d.Packet(Opcode::kStreamData, StreamData(0, 40));
    d.Packet(Opcode::kStreamEvents,
             StreamEvent(20, 1, Cat({U32(4000000), {0x00, 0x04}})));  // 512 us per byte
    d.Packet(Opcode::kStreamEvents, StreamEvent(40, 3, {0x80}));
    d.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));
    d.AdvanceMs(100);
    const auto end = d.TraceOf(SimTraceOp::kStreamEnd);
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0].timeUs, 20u * 128 + 20u * 512);
    ASSERT_EQ(d.TraceOf(SimTraceOp::kClock).size(), 1u);
    EXPECT_EQ(d.TraceOf(SimTraceOp::kClock)[0].divider, 1024u);
}

TEST(SimADPCMStream, UnderflowWaitsForDataAndCountsOnce) {
    ModelDriver d("Keltra 4");
    d.Packet(Opcode::kStreamData, StreamData(0, 10));
    d.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));
    d.now = 5 * kMs;
    SimStreamStatus s = AudioStatus(d);
    EXPECT_EQ(s.played, 10u);
    EXPECT_EQ(s.underflows, 1u);
    EXPECT_EQ(s.flags, kStreamStarted | kStreamPCMUnderflow);
    d.Packet(Opcode::kStreamData, StreamData(10, 10));
    d.now = 5 * kMs + 640'000;  // five more bytes
    s = AudioStatus(d);
    EXPECT_NEAR(s.played, 15, 1);
    EXPECT_EQ(s.underflows, 1u);
    EXPECT_EQ(s.flags & kStreamFailed, 0u);
}

TEST(SimADPCMStream, LateEventsAreAppliedAtOnceAndCounted) {
    ModelDriver d("Keltra 4");
    d.Packet(Opcode::kStreamData, StreamData(0, 100));
    d.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));
    d.now = 5 * kMs;  // about 39 bytes played
    d.Packet(Opcode::kStreamEvents, StreamEvent(30, 0, {0x54, 0, 0, 0x08, 0x01}));
    const SimStreamStatus s = AudioStatus(d);
    EXPECT_EQ(s.lateEvents, 1u);
    EXPECT_NEAR(s.maxEventLag, 40 - 30, 1);
    EXPECT_EQ(d.Model().Chips().Register(0x54, 0, 0, 0x08), 0x01);
}

TEST(SimADPCMStream, BrokenStreamsFailWithTheirReason) {
    struct Case {
        const char* name;
        uint32_t dataCapacity;
        uint16_t eventCapacity;
        std::vector<std::pair<Opcode, std::vector<uint8_t>>> packets;
        uint32_t flags;
    };
    const std::vector<Case> cases = {
        {"data overflow", 16, 100, {{Opcode::kStreamData, StreamData(0, 20)}}, kStreamPCMOverflow},
        {"event overflow",
         1024,
         2,
         {{Opcode::kStreamEvents, StreamEvent(5, 0, {0x54, 0, 0, 1, 1, 2, 2, 3, 3})}},
         kStreamEventOverflow},
        {"gap",
         1024,
         100,
         {{Opcode::kStreamData, StreamData(0, 4)}, {Opcode::kStreamData, StreamData(5, 4)}},
         kStreamInvalidCommand},
        {"bad event kind",
         1024,
         100,
         {{Opcode::kStreamEvents, StreamEvent(0, 9, {1})}},
         kStreamInvalidCommand},
    };
    for (const Case& c : cases) {
        SimProfile p = *BuiltInProfile("Keltra 4");
        p.dataCapacity = c.dataCapacity;
        p.eventCapacity = c.eventCapacity;
        BuildPages(p);
        ModelDriver d(std::move(p));
        for (const auto& [op, payload] : c.packets) d.Packet(op, payload);
        const SimStreamStatus s = AudioStatus(d);
        EXPECT_EQ(s.flags, kStreamFailed | c.flags) << c.name;
    }
}

// The host sends the end event after the last data; a board that has run dry
// by then must still play the end and report finished.
TEST(SimADPCMStream, AnEndEventAfterTheBufferRanDryFinishesTheStream) {
    ModelDriver d("Keltra 4");
    d.Packet(Opcode::kStreamData, StreamData(0, 10));
    d.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));
    d.now = 5 * kMs;
    EXPECT_EQ(AudioStatus(d).flags, kStreamStarted | kStreamPCMUnderflow);  // stalled at byte 10
    d.now = 6 * kMs;
    d.Packet(Opcode::kStreamEvents, StreamEvent(10, 3, {0x80}));
    const SimStreamStatus s = AudioStatus(d);
    EXPECT_EQ(s.flags, kStreamStarted | kStreamFinished | kStreamPCMUnderflow);
    EXPECT_EQ(s.played, 10u);
    EXPECT_EQ(s.underflows, 1u);
    const auto end = d.TraceOf(SimTraceOp::kStreamEnd);
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0].timeUs, 6000u);  // at once: the board was waiting
}

TEST(SimADPCMStream, PlaysTheSilenceByteAfterTheLastStreamByte) {
    const auto path =
        std::filesystem::temp_directory_path() / ("klinksim-end-" + std::to_string(getpid()) + ".wav");
    ModelDriver d("Keltra 4");
    {
        SimWavWriter wav(path);
        d.Model().SetAudioOutput(&wav);
        d.Packet(Opcode::kStreamData, StreamData(0, 4, 0x77));
        d.Packet(Opcode::kStreamEvents, StreamEvent(4, 3, {0x08}));
        d.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));
        d.AdvanceMs(10);
        EXPECT_EQ(wav.Frames(), 4u * 2 + 2);  // the stream bytes, then the two nibbles of the silence byte
        d.Model().SetAudioOutput(nullptr);
    }
    // The same decoder run by hand: the last two samples are the silence byte's.
    OKICodec codec;
    std::vector<int16_t> expected;
    for (const uint8_t byte : {0x77, 0x77, 0x77, 0x77, 0x08}) {
        expected.push_back(static_cast<int16_t>(codec.Decode(byte & 0x0F)));
        expected.push_back(static_cast<int16_t>(codec.Decode(static_cast<uint8_t>(byte >> 4))));
    }
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::filesystem::remove(path);
    ASSERT_EQ(file.size(), 44u + expected.size() * 2);
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto sample = static_cast<int16_t>(file[44 + 2 * i] | (file[45 + 2 * i] << 8));
        EXPECT_EQ(sample, expected[i] * 16) << i;  // 12-bit samples in a 16-bit file
    }
    const auto end = d.TraceOf(SimTraceOp::kStreamEnd);
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0].timeUs, 4u * 128);
    EXPECT_EQ(FormatTraceLine(end[0], "b"),
              R"({"t_us":512,"board":"b","op":"stream_end","pos":4,"silence":8})");
    EXPECT_EQ(AudioStatus(d).played, 4u);  // the silence byte is no stream byte
}

TEST(SimADPCMStream, ASecondStreamStartIsOnlyCounted) {
    ModelDriver d("Keltra 4");
    d.Packet(Opcode::kStreamData, StreamData(0, 100));
    d.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));
    d.now = 2 * kMs;
    d.Packet(Opcode::kStreamStart, StreamStart(4000000, 1024));
    d.now = 5 * kMs;
    const SimStreamStatus s = AudioStatus(d);
    EXPECT_EQ(s.flags, kStreamStarted);
    EXPECT_EQ(s.rejected, 1u);
    EXPECT_NEAR(s.played, 5000 / 128, 1);  // still at the first start's rate
    ASSERT_EQ(d.TraceOf(SimTraceOp::kReject).size(), 1u);
    EXPECT_EQ(d.TraceOf(SimTraceOp::kReject)[0].what, "STREAM_START while playing");
}

// A host that sends, say, the divider's register value instead of the
// divider must not play at a rate the chip cannot make.
TEST(SimADPCMStream, RefusesAClockOrDividerTheOKIM6258CannotTake) {
    struct Case {
        uint32_t clock;
        uint16_t divider;
        bool taken;
    };
    const Case cases[] = {
        {8000000, 512, true},  {4000000, 1024, true},   {4000000, 768, true}, {8000000, 2, false},
        {8000000, 0, false},   {8000000, 1000, false},  {15625, 512, false},  {0, 512, false},
        {3579545, 512, false}, {16000000, 1024, false},
    };
    for (const Case& c : cases) {
        ModelDriver start("Keltra 4");
        start.Packet(Opcode::kStreamData, StreamData(0, 100));
        start.Packet(Opcode::kStreamStart, StreamStart(c.clock, c.divider));
        start.now = 5 * kMs;
        SimStreamStatus s = AudioStatus(start);
        EXPECT_EQ(s.flags, c.taken ? kStreamStarted : kStreamFailed | kStreamInvalidCommand)
            << c.clock << "/" << c.divider;
        EXPECT_EQ(s.played > 0, c.taken) << c.clock << "/" << c.divider;

        ModelDriver change("Keltra 4");
        change.Packet(Opcode::kStreamData, StreamData(0, 100));
        change.Packet(
            Opcode::kStreamEvents,
            StreamEvent(10, 1,
                        Cat({U32(c.clock),
                             {static_cast<uint8_t>(c.divider), static_cast<uint8_t>(c.divider >> 8)}})));
        change.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));
        change.now = 5 * kMs;
        s = AudioStatus(change);
        EXPECT_EQ(s.flags & (kStreamFailed | kStreamInvalidCommand),
                  c.taken ? 0u : kStreamFailed | kStreamInvalidCommand)
            << "clock event " << c.clock << "/" << c.divider;

        ModelDriver clock("Keltra 4");
        const bool clockTaken = c.clock == 4000000 || c.clock == 8000000;
        EXPECT_EQ(clock.Request(Opcode::kSetChipClock, Cat({{0xB7, 0}, U32(c.clock)})),
                  std::vector<uint8_t>{clockTaken ? kStatusDone : kStatusOutOfRange})
            << c.clock;
    }
}

TEST(SimADPCMStream, FaultSwitchesFailTheStreamOrHideTheStart) {
    ModelDriver d("Keltra 4");
    SimFaults f;
    f.adpcmFaultFlags = kStreamRxOverflow;
    f.adpcmFaultAfterBytes = 20;
    d.Model().SetFaults(f);
    d.Packet(Opcode::kStreamData, StreamData(0, 100));
    d.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));
    d.now = 10 * kMs;
    SimStreamStatus s = AudioStatus(d);
    EXPECT_EQ(s.played, 20u);
    EXPECT_EQ(s.flags, kStreamStarted | kStreamFailed | kStreamRxOverflow);

    ModelDriver never("Keltra 4");
    SimFaults n;
    n.neverStartStream = true;
    never.Model().SetFaults(n);
    never.Packet(Opcode::kStreamData, StreamData(0, 100));
    never.Packet(Opcode::kStreamStart, StreamStart(8000000, 512));
    never.now = 10 * kMs;
    s = AudioStatus(never);
    EXPECT_EQ(s.flags, 0u);
    EXPECT_EQ(s.accepted, 100u);
    EXPECT_EQ(s.played, 0u);
}

// --- KL2 DAC -------------------------------------------------------------

KL2DACStatus DACStatus(ModelDriver& d) {
    auto r = d.Request(Opcode::kDACStatus, {1});
    KL2DACStatus s;
    EXPECT_EQ(r.size(), 73u);
    if (r.size() == 73 && r[0] == 0) s.Decode(std::span(r).subspan(1));  // throws on an inconsistent record
    return s;
}

// What the host checks after RESET.
bool Cleared(const KL2DACStatus& s) {
    return s.state == KL2DACState::kCleared && s.fault == 0 && s.accepted == 0 && s.consumed == 0 &&
           s.queued == 0 && s.eventQueued == 0 && s.playedTick == 0 && s.acceptedTick == 0;
}

KL2DACChunk SampleChunk(uint64_t start, size_t n, uint16_t wait) {
    KL2DACChunk c;
    c.startTick = start;
    for (size_t i = 0; i < n; ++i)
        c.records.push_back({KL2RecordKind::kSample, static_cast<uint8_t>(i), wait});
    c.endTick = start + n * wait;
    return c;
}

TEST(SimKL2DAC, PlaysRecordsAndEventsOnItsTickClockUntilTheEnd) {
    ModelDriver d("Keltra 2.1");
    EXPECT_TRUE(Cleared(DACStatus(d)));
    KL2DACChunk chunk = SampleChunk(0, 60, 10);  // 600 ticks
    chunk.records[0] = {KL2RecordKind::kEnable, 0x80, 10};
    std::vector<KL2RegisterEvent> events = {{100, false, {0x52, 0, 0}, 0x28, 0xF0},
                                            {300, false, {0x50, 0, 0}, 0, 0x9F}};
    d.Packet(Opcode::kRegisterEvents, EncodeKL2RegisterEvents(events, 0, 1));
    d.Packet(Opcode::kRegisterEvents, EncodeKL2RegisterEvents(events, 1, 1));
    d.Packet(Opcode::kDACRecords, EncodeKL2DACRecords(0, chunk));
    d.Packet(Opcode::kDACEnd, EncodeKL2DACEnd(60, 600));
    KL2DACStatus s = DACStatus(d);
    EXPECT_EQ(s.state, KL2DACState::kPlaying);
    EXPECT_EQ(s.accepted, 60u);
    EXPECT_EQ(s.acceptedTick, 600u);
    EXPECT_EQ(s.eventQueued, 2u);
    EXPECT_EQ(s.sealed, 1);

    d.now = 1 * kMs;
    EXPECT_EQ(d.Request(Opcode::kDACStart, EncodeKL2DACStart(3528)), std::vector<uint8_t>{0});
    EXPECT_EQ(d.Request(Opcode::kDACStart, EncodeKL2DACStart(3528)), std::vector<uint8_t>{kStatusConflict});
    d.now = 1 * kMs + 5 * kMs;
    s = DACStatus(d);
    EXPECT_NEAR(static_cast<double>(s.playedTick), 5 * 44.1, 2);
    EXPECT_EQ(s.eventConsumed, 1u);
    EXPECT_NEAR(s.consumed, 23, 1);

    d.now = 30 * kMs;
    s = DACStatus(d);
    EXPECT_EQ(s.state, KL2DACState::kEnded);
    EXPECT_EQ(s.consumed, 60u);
    EXPECT_EQ(s.queued, 0u);
    EXPECT_EQ(s.eventConsumed, 2u);
    EXPECT_EQ(s.eventQueued, 0u);
    EXPECT_EQ(s.playedTick, 600u);
    EXPECT_EQ(s.underflows, 0u);

    std::vector<SimTraceEvent> dac, event;
    for (const auto& e : d.TraceOf(SimTraceOp::kReg))
        (e.source == SimWriteSource::kDAC ? dac : event).push_back(e);
    ASSERT_EQ(dac.size(), 60u);
    EXPECT_EQ(dac[0].reg, 0x2B);
    EXPECT_EQ(dac[1].reg, 0x2A);
    EXPECT_EQ(dac[1].writeId, 0x52);
    EXPECT_EQ(dac[59].timeUs, 1000u + 590u * 1'000'000 / 44100);
    ASSERT_EQ(event.size(), 2u);
    EXPECT_EQ(event[0].timeUs, 1000u + 100u * 1'000'000 / 44100);
    EXPECT_EQ(event[1].reg, -1);
    EXPECT_EQ(FormatTraceLine(event[0], "b"),
              R"({"t_us":)" + std::to_string(1000u + 100u * 1'000'000 / 44100) +
                  R"(,"board":"b","op":"reg","id":82,"inst":0,"page":0,"reg":40,"val":240,"src":"event"})");
    ASSERT_EQ(d.TraceOf(SimTraceOp::kDACStart).size(), 1u);
    EXPECT_EQ(d.TraceOf(SimTraceOp::kDACStart)[0].number, 3528u);
    ASSERT_EQ(d.TraceOf(SimTraceOp::kDACEnd).size(), 1u);
    EXPECT_EQ(d.TraceOf(SimTraceOp::kDACEnd)[0].timeUs, 1000u + 600u * 1'000'000 / 44100);

    EXPECT_EQ(d.Request(Opcode::kReset), std::vector<uint8_t>{0});
    EXPECT_TRUE(Cleared(DACStatus(d)));
}

TEST(SimKL2DAC, ClockWaitsForTheLeadThenForDataWhenItRunsOut) {
    ModelDriver d("Keltra 2.1");
    d.Packet(Opcode::kDACRecords, EncodeKL2DACRecords(0, SampleChunk(0, 10, 10)));  // 100 ticks
    EXPECT_EQ(d.Request(Opcode::kDACStart, EncodeKL2DACStart(200)), std::vector<uint8_t>{0});
    d.now = 10 * kMs;
    EXPECT_EQ(DACStatus(d).playedTick, 0u);  // less than the lead is buffered
    d.Packet(Opcode::kDACRecords, EncodeKL2DACRecords(10, SampleChunk(100, 10, 10)));
    d.now = 12 * kMs;  // 88 ticks after the clock started
    EXPECT_NEAR(static_cast<double>(DACStatus(d).playedTick), 2 * 44.1, 2);
    d.now = 30 * kMs;  // 200 ticks run out after about 4.5 ms
    KL2DACStatus s = DACStatus(d);
    EXPECT_EQ(s.playedTick, 200u);
    EXPECT_EQ(s.underflows, 1u);
    EXPECT_EQ(s.state, KL2DACState::kPlaying);
    d.Packet(Opcode::kDACRecords, EncodeKL2DACRecords(20, SampleChunk(200, 10, 10)));
    d.now = 31 * kMs;
    s = DACStatus(d);
    EXPECT_NEAR(static_cast<double>(s.playedTick), 200 + 44.1, 2);
    EXPECT_EQ(s.underflows, 1u);
}

TEST(SimKL2DAC, BrokenStreamsStopInTheFaultState) {
    struct Case {
        const char* name;
        std::vector<std::pair<Opcode, std::vector<uint8_t>>> packets;
        uint8_t fault;
    };
    std::vector<uint8_t> dacEvent = Cat({{1}, U64(0), {0x52, 0, 0, 0x2A, 0x80}});
    const std::vector<Case> cases = {
        {"sequence gap",
         {{Opcode::kDACRecords, EncodeKL2DACRecords(5, SampleChunk(0, 4, 1))}},
         kDACFaultSequence},
        {"tick gap",
         {{Opcode::kDACRecords, EncodeKL2DACRecords(0, SampleChunk(7, 4, 1))}},
         kDACFaultSequence},
        {"record overflow",
         {{Opcode::kDACRecords, EncodeKL2DACRecords(0, SampleChunk(0, 60, 1))},
          {Opcode::kDACRecords, EncodeKL2DACRecords(60, SampleChunk(60, 60, 1))}},
         kDACFaultRecordOverflow},
        {"DAC register as event", {{Opcode::kRegisterEvents, dacEvent}}, kDACFaultInvalid},
        {"end mismatch",
         {{Opcode::kDACRecords, EncodeKL2DACRecords(0, SampleChunk(0, 4, 1))},
          {Opcode::kDACEnd, EncodeKL2DACEnd(4, 5)}},
         kDACFaultEndMismatch},
    };
    for (const Case& c : cases) {
        SimProfile p = *BuiltInProfile("Keltra 2.1");
        p.dac.recordCapacity = 100;
        ModelDriver d(std::move(p));
        for (const auto& [op, payload] : c.packets) d.Packet(op, payload);
        const KL2DACStatus s = DACStatus(d);
        EXPECT_EQ(s.state, KL2DACState::kFaulted) << c.name;
        EXPECT_EQ(s.fault, c.fault) << c.name;
        EXPECT_EQ(d.TraceOf(SimTraceOp::kReg).size(), 0u) << c.name;
    }
}

TEST(SimKL2DAC, RefusesMorePacketRecordsThanItAdvertises) {
    struct Case {
        uint8_t maxRecords;
        size_t records;
        bool taken;
    };
    const Case cases[] = {{60, 60, true}, {20, 20, true}, {20, 21, false},
                          {1, 1, true},   {1, 2, false},  {59, 60, false}};
    for (const Case& c : cases) {
        SimProfile p = *BuiltInProfile("Keltra 2.1");
        p.dac.maxRecords = c.maxRecords;
        ModelDriver d(std::move(p));
        auto caps = d.Request(Opcode::kDACCapabilities);
        ASSERT_EQ(caps.size(), 22u);
        EXPECT_EQ(caps[16], c.maxRecords);
        d.Packet(Opcode::kDACRecords, EncodeKL2DACRecords(0, SampleChunk(0, c.records, 10)));
        const KL2DACStatus s = DACStatus(d);
        EXPECT_EQ(s.state, c.taken ? KL2DACState::kPlaying : KL2DACState::kFaulted)
            << int{c.maxRecords} << " " << c.records;
        EXPECT_EQ(s.fault, c.taken ? 0 : kDACFaultInvalid) << int{c.maxRecords} << " " << c.records;
        EXPECT_EQ(s.accepted, c.taken ? c.records : 0u);
        EXPECT_EQ(s.rejected, c.taken ? 0u : 1u);
    }
}

TEST(SimKL2DAC, InjectedFaultStopsTheClockAtItsTick) {
    ModelDriver d("Keltra 2.1");
    SimFaults f;
    f.dacFaultCode = 0x42;
    f.dacFaultAtTick = 100;
    d.Model().SetFaults(f);
    d.Packet(Opcode::kDACRecords, EncodeKL2DACRecords(0, SampleChunk(0, 50, 10)));
    (void)d.Request(Opcode::kDACStart, EncodeKL2DACStart(0));
    d.now = 20 * kMs;
    const KL2DACStatus s = DACStatus(d);
    EXPECT_EQ(s.state, KL2DACState::kFaulted);
    EXPECT_EQ(s.fault, 0x42);
    EXPECT_EQ(s.playedTick, 100u);
    EXPECT_EQ(d.TraceOf(SimTraceOp::kFault).size(), 1u);
}

}  // namespace
}  // namespace klink::sim

namespace klink::sim {
namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SimWavWriter, RecordsWhatTheStreamAndTheDACPlay) {
    const auto dir = std::filesystem::temp_directory_path();
    const auto okiPath = dir / ("klinksim-oki-" + std::to_string(getpid()) + ".wav");
    const auto dacPath = dir / ("klinksim-dac-" + std::to_string(getpid()) + ".wav");
    {
        SimWavWriter wav(okiPath);
        ModelDriver d("Keltra 4");
        d.Model().SetAudioOutput(&wav);
        d.Packet(Opcode::kStreamData, Cat({{0xB7, 0}, U32(0), std::vector<uint8_t>(80, 0x77)}));
        d.Packet(Opcode::kStreamEvents, Cat({{0xB7, 0}, U32(80), {3, 0x80}}));
        d.Packet(Opcode::kStreamStart, Cat({{0xB7, 0}, U32(8000000), {0x00, 0x02}}));
        d.AdvanceMs(50);
        EXPECT_EQ(wav.Frames(), 160u + 2);  // and the silence byte
    }
    {
        SimWavWriter wav(dacPath);
        ModelDriver d("Keltra 2.1");
        d.Model().SetAudioOutput(&wav);
        KL2DACChunk c;
        c.records = {{KL2RecordKind::kEnable, 0x80, 1}, {KL2RecordKind::kSample, 0xF0, 599}};
        c.endTick = 600;
        d.Packet(Opcode::kDACRecords, EncodeKL2DACRecords(0, c));
        d.Packet(Opcode::kDACEnd, EncodeKL2DACEnd(2, 600));
        (void)d.Request(Opcode::kDACStart, EncodeKL2DACStart(3528));
        d.AdvanceMs(50);
        EXPECT_EQ(wav.Frames(), 600u);
    }
    const auto oki = ReadFile(okiPath);
    ASSERT_EQ(oki.size(), 44u + 162 * 2);
    EXPECT_EQ(Read32(oki, 24), 15625u);  // 8 MHz / 512
    EXPECT_EQ(oki[34], 16);
    EXPECT_EQ(Read32(oki, 40), 324u);
    const auto dac = ReadFile(dacPath);
    ASSERT_EQ(dac.size(), 44u + 600);
    EXPECT_EQ(Read32(dac, 24), 44100u);
    EXPECT_EQ(dac[34], 8);
    EXPECT_EQ(dac[44], 0x80);  // before the first sample: the DAC's rest value
    EXPECT_EQ(dac[45], 0xF0);
    EXPECT_EQ(dac.back(), 0xF0);
    std::filesystem::remove(okiPath);
    std::filesystem::remove(dacPath);
}

}  // namespace
}  // namespace klink::sim
