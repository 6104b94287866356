#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "VGMTestBuilder.h"
#include "common/Bytes.h"
#include "common/Errors.h"
#include "kl2/KL2DACCodec.h"
#include "kl2/KL2DACVGM.h"
#include "kl2/KL2RegisterState.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMCommand.h"
#include "vgm/VGMFile.h"
#include "vgm/VGMHeader.h"

namespace klink {
namespace {

using Bytes = std::vector<uint8_t>;
using test::VGMBuilder;

// The builder's header is 0x100 bytes; commands start right after it.
constexpr uint32_t kDataOffset = 0x100;

Bytes Le32(uint32_t v) {
    const auto bytes = LE32Bytes(v);
    return {bytes.begin(), bytes.end()};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A data block of YM2612 PCM data (type 0x00) or of another type.
Bytes Block(const Bytes& content, uint8_t type = 0x00) {
    return Cat({{0x67, 0x66, type}, Le32(static_cast<uint32_t>(content.size())), content});
}
// Bytes 0, 1, 2 ... so that a sample's value names its bank position.
Bytes Ramp(size_t n, uint8_t from = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
}
Bytes Repeat(const Bytes& b, size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; ++i) out.insert(out.end(), b.begin(), b.end());
    return out;
}
Bytes Wait(uint16_t n) { return {0x61, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)}; }
Bytes StreamSetup(uint8_t id, uint8_t chip = 0x02, uint8_t port = 0x00, uint8_t reg = 0x2A) {
    return {0x90, id, chip, port, reg};
}
Bytes StepData(uint8_t id, uint8_t step, uint8_t base, uint8_t bank = 0) {
    return {0x91, id, bank, step, base};
}
Bytes Frequency(uint8_t id, uint32_t hz) { return Cat({{0x92, id}, Le32(hz)}); }
Bytes Start(uint8_t id, uint32_t offset, uint8_t mode, uint32_t length) {
    return Cat({{0x93, id}, Le32(offset), {mode}, Le32(length)});
}
Bytes Stop(uint8_t id) { return {0x94, id}; }
Bytes StartBlock(uint8_t id, uint16_t block, uint8_t flags) {
    return {0x95, id, static_cast<uint8_t>(block), static_cast<uint8_t>(block >> 8), flags};
}
Bytes Seek(uint32_t p) { return Cat({{0xE0}, Le32(p)}); }

// A DAC record at its absolute tick.
struct Rec {
    uint64_t tick;
    uint8_t kind;
    uint8_t value;
    friend bool operator==(const Rec&, const Rec&) = default;
};
std::ostream& operator<<(std::ostream& os, const Rec& r) {
    return os << "{" << r.tick << ", " << int{r.kind} << ", " << int{r.value} << "}";
}

// A register event as (tick, WriteID, Instance, Page, address, value, initial).
using Ev = std::tuple<uint64_t, int, int, int, int, int, bool>;
Ev ToEv(const KL2RegisterEvent& e) {
    return {e.tick, e.target.writeId, e.target.instance, e.target.page, e.address, e.value, e.initial};
}

struct Rendered {
    std::vector<KL2DACChunk> chunks;
    std::vector<Rec> records;  // kinds 0 and 1 only
    std::vector<KL2RegisterEvent> events;
    uint64_t endTick = 0;
    bool finished = false;
    bool fadeStarted = false;
    uint64_t fadeStartTick = 0;
};

struct Options {
    int32_t repeat = 1;
    int32_t fade = 0;
    int32_t maxRecords = 60;
    size_t chunkLimit = 1'000'000;  // stop early (endless music)
};

// Checks what every chunk promises: contiguous, at most 220 ticks, 1 to
// maxRecords records whose waits add up to the span, at most 4096 events each
// inside the span and in tick order, and a packet the board would take.
void CheckChunk(const KL2DACChunk& c, uint64_t expectedStart, int32_t maxRecords, uint64_t& lastEventTick,
                uint32_t sequence) {
    EXPECT_EQ(c.startTick, expectedStart) << "chunks are contiguous";
    EXPECT_LE(c.endTick - c.startTick, kKL2ChunkTicks) << "at " << c.startTick;
    EXPECT_GE(c.records.size(), 1u);
    EXPECT_LE(c.records.size(), static_cast<size_t>(maxRecords)) << "at " << c.startTick;
    EXPECT_LE(c.events.size(), kKL2MaxChunkEvents);
    uint64_t sum = c.startTick;
    for (const auto& r : c.records) sum += r.wait;
    EXPECT_EQ(sum, c.endTick) << "at " << c.startTick;
    for (const auto& e : c.events) {
        EXPECT_GE(e.tick, c.startTick);
        EXPECT_LT(e.tick, c.endTick) << "an event at the chunk's end tick";
        EXPECT_GE(e.tick, lastEventTick) << "events in tick order";
        lastEventTick = e.tick;
        // YM2612 0x2A/0x2B travel as DAC records only; the encoder refuses them.
        EXPECT_NO_THROW((void)EncodeKL2RegisterEvents(std::span(&e, 1), 0, 1));
    }
    EXPECT_NO_THROW((void)EncodeKL2DACRecords(sequence, c)) << "at " << c.startTick;
}

Rendered RenderSpan(std::span<const uint8_t> file, uint32_t dataOffset, uint32_t loopOffset,
                    const Options& o) {
    KL2DACVGM source(file, dataOffset, loopOffset, o.repeat, o.fade);
    Rendered out;
    KL2DACChunk chunk;
    uint64_t lastEventTick = 0;
    uint32_t sequence = 0;
    while (out.chunks.size() < o.chunkLimit && source.Next(chunk, o.maxRecords)) {
        CheckChunk(chunk, out.chunks.empty() ? 0 : out.chunks.back().endTick, o.maxRecords, lastEventTick,
                   sequence);
        sequence += static_cast<uint32_t>(chunk.records.size());
        uint64_t tick = chunk.startTick;
        for (const auto& r : chunk.records) {
            if (r.kind != KL2RecordKind::kDelay)
                out.records.push_back({tick, static_cast<uint8_t>(r.kind), r.value});
            tick += r.wait;
        }
        out.events.insert(out.events.end(), chunk.events.begin(), chunk.events.end());
        out.chunks.push_back(chunk);
    }
    out.finished = source.Finished();
    if (out.finished) {
        EXPECT_FALSE(source.Next(chunk, o.maxRecords));
        EXPECT_TRUE(chunk.records.empty() && chunk.events.empty());
        EXPECT_EQ(source.EndTick(), out.chunks.empty() ? 0 : out.chunks.back().endTick);
    }
    out.endTick = source.EndTick();
    out.fadeStarted = source.FadeStarted();
    out.fadeStartTick = source.FadeStartTick();
    return out;
}

uint32_t LoopField(const Bytes& file) { return LoadLE32(file, 0x1C); }

Rendered Render(const Bytes& file, const Options& o = {}) {
    return RenderSpan(file, kDataOffset, LoopField(file), o);
}

// A file: the data blocks, then the commands, then the end command.
Bytes File(const Bytes& blocks, const Bytes& commands) {
    return VGMBuilder().Raw(blocks).Raw(commands).End().Build();
}

std::vector<Rec> Samples(const Rendered& r) {
    std::vector<Rec> s;
    for (const Rec& x : r.records)
        if (x.kind == static_cast<uint8_t>(KL2RecordKind::kSample)) s.push_back(x);
    return s;
}

// ---------------------------------------------------------------- direct DAC

TEST(KL2DACVGM, DirectDACCommandsPlayTheBankWithSeeksAndRegisterWrites) {
    const Bytes file = File(Cat({Block(Ramp(4, 10)), Block(Ramp(4, 20), 0x04), Block(Ramp(4, 30))}),
                            Cat({Wait(1),
                                 {0x81, 0x82},        // 10 at 1, 11 at 2
                                 Seek(5),             // the second YM2612 block: the type 0x04 one is skipped
                                 {0x80, 0x81},        // 31 at 4, 32 at 4
                                 {0x52, 0x2A, 0x77},  // a plain DAC write at 5
                                 Wait(3),
                                 {0x52, 0x2B, 0xC0},  // enable: value AND 0x80
                                 {0x52, 0x2B, 0x7F},
                                 {0x53, 0x2A, 0x11},  // port 1 has no DAC: dropped
                                 Seek(8),             // the bank's end is a valid seek
                                 Wait(2)}));
    const Rendered r = Render(file);
    const std::vector<Rec> expected = {{1, 0, 10},   {2, 0, 11},   {4, 0, 31},  {4, 0, 32},
                                       {5, 0, 0x77}, {8, 1, 0x80}, {8, 1, 0x00}};
    EXPECT_EQ(r.records, expected);
    EXPECT_TRUE(r.events.empty());
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.endTick, 10u);
}

// ---------------------------------------------------------------- streams

struct StreamCase {
    const char* name;
    Bytes commands;  // after one 200-byte bank of bytes 0..199 and before the end
    std::vector<Rec> samples;
};

TEST(KL2DACVGM, StreamsPlayEveryLengthModeDirectionAndRestart) {
    const Bytes ready = Cat({StreamSetup(0), Frequency(0, 44100)});  // one step per tick
    const StreamCase cases[] = {
        {"mode 1: a number of steps",
         Cat({ready, Start(0, 10, 0x01, 4), Wait(10)}),
         {{0, 0, 10}, {1, 0, 11}, {2, 0, 12}, {3, 0, 13}}},
        {"step size 2 and step base 1",
         Cat({ready, StepData(0, 2, 1), Start(0, 10, 0x01, 3), Wait(10)}),
         {{0, 0, 11}, {1, 0, 13}, {2, 0, 15}}},
        {"mode 2: milliseconds at 1000 Hz, one step per 44.1 ticks",
         Cat({StreamSetup(0), Frequency(0, 1000), Start(0, 10, 0x02, 3), Wait(200)}),
         {{0, 0, 10}, {44, 0, 11}, {88, 0, 12}}},
        {"mode 3: to the end of the bank",
         Cat({ready, Start(0, 197, 0x03, 0), Wait(10)}),
         {{0, 0, 197}, {1, 0, 198}, {2, 0, 199}}},
        {"mode 3 with step 2 and base 1 rounds the last step up",
         Cat({ready, StepData(0, 2, 1), Start(0, 194, 0x03, 0), Wait(10)}),
         {{0, 0, 195}, {1, 0, 197}, {2, 0, 199}}},
        {"mode 0 keeps the previous length; offset $FFFFFFFF the previous start",
         Cat({ready, StepData(0, 1, 2), Start(0, 10, 0x01, 2), Wait(3), Start(0, 0xFFFFFFFF, 0x00, 0),
              Wait(3), Start(0, 50, 0x00, 0), Wait(3)}),
         {{0, 0, 12}, {1, 0, 13}, {3, 0, 12}, {4, 0, 13}, {6, 0, 52}, {7, 0, 53}}},
        {"the fastest stream: four steps per tick",
         Cat({StreamSetup(0), Frequency(0, kKL2MaxStreamFrequency), Start(0, 10, 0x01, 6), Wait(3)}),
         {{0, 0, 10}, {0, 0, 11}, {0, 0, 12}, {0, 0, 13}, {1, 0, 14}, {1, 0, 15}}},
        {"reverse plays the last step first",
         Cat({ready, Start(0, 10, 0x11, 3), Wait(10)}),
         {{0, 0, 12}, {1, 0, 11}, {2, 0, 10}}},
        {"loop wraps until stopped",
         Cat({ready, Start(0, 10, 0x81, 3), Wait(5), Stop(0), Wait(5)}),
         {{0, 0, 10}, {1, 0, 11}, {2, 0, 12}, {3, 0, 10}, {4, 0, 11}}},
        {"reverse loop",
         Cat({ready, Start(0, 10, 0x91, 2), Wait(3), Stop(0xFF)}),
         {{0, 0, 11}, {1, 0, 10}, {2, 0, 11}}},
        {"a stop at a sample's tick comes before the sample",
         Cat({ready, Start(0, 10, 0x01, 10), Wait(2), Stop(0), Wait(5)}),
         {{0, 0, 10}, {1, 0, 11}}},
        {"a new frequency restarts the timing at the command, not the data",
         Cat({StreamSetup(0), Frequency(0, 22050), Start(0, 10, 0x01, 5), Wait(3), Frequency(0, 44100),
              Wait(10)}),
         {{0, 0, 10}, {2, 0, 11}, {3, 0, 12}, {4, 0, 13}, {5, 0, 14}}},
        {"frequency 0 stops; a later frequency does not restart",
         Cat({ready, Start(0, 10, 0x01, 5), Wait(2), Frequency(0, 0), Wait(2), Frequency(0, 44100), Wait(5)}),
         {{0, 0, 10}, {1, 0, 11}}},
        {"a new start replaces the playing one",
         Cat({ready, Start(0, 10, 0x01, 5), Wait(2), Start(0, 100, 0x01, 2), Wait(5)}),
         {{0, 0, 10}, {1, 0, 11}, {2, 0, 100}, {3, 0, 101}}},
        {"two streams interleave by tick, the lower ID first on a tie",
         Cat({StreamSetup(1), Frequency(1, 22050), StreamSetup(0), Frequency(0, 44100), Start(1, 50, 0x01, 2),
              Start(0, 10, 0x01, 3), Wait(10)}),
         {{0, 0, 10}, {0, 0, 50}, {1, 0, 11}, {2, 0, 12}, {2, 0, 51}}},
        {"0x94 $FF stops every stream",
         Cat({ready, StreamSetup(7), Frequency(7, 44100), Start(0, 10, 0x81, 2), Start(7, 20, 0x81, 2),
              Wait(2), Stop(0xFF), Wait(5)}),
         {{0, 0, 10}, {0, 0, 20}, {1, 0, 11}, {1, 0, 21}}},
        {"a set-up stops the stream and keeps its data settings",
         Cat({ready, StepData(0, 2, 0), Start(0, 10, 0x01, 5), Wait(1), StreamSetup(0), Wait(2),
              Start(0, 20, 0x01, 2), Wait(5)}),
         {{0, 0, 10}, {3, 0, 20}, {4, 0, 22}}},
        {"streams for another chip are ignored whatever they say",
         Cat({StreamSetup(3, 0x17, 0x00, 0x01), StepData(3, 0, 9, 5), Frequency(3, 0),
              Start(3, 0xFFFFFF, 0x0F, 0), StartBlock(3, 99, 0xFF), Stop(3), Wait(5)}),
         {}},
        {"a YM2612 stream set up again for another chip goes quiet",
         Cat({ready, Start(0, 10, 0x81, 5), Wait(1), StreamSetup(0, 0x17), Start(0, 10, 0x81, 5), Wait(3)}),
         {{0, 0, 10}}},
        {"samples stop at the end command",
         Cat({ready, Start(0, 10, 0x81, 5), Wait(3)}),
         {{0, 0, 10}, {1, 0, 11}, {2, 0, 12}}},
    };
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Rendered r = Render(File(Block(Ramp(200)), c.commands));
        EXPECT_EQ(Samples(r), c.samples);
    }
}

TEST(KL2DACVGM, BlockStartsAndLongStreamsCountTheirSteps) {
    // 0x95 on a 1000-byte block (the second one), step 2, base 1: 500 steps at start+1, start+3 ...
    // start+999.
    Bytes big(1000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i % 2 == 1 ? i / 2 : 0xEE);
    Rendered r = Render(File(
        Cat({Block(Ramp(7)), Block(big)}),
        Cat({StreamSetup(0), StepData(0, 2, 1), Frequency(0, 44100), StartBlock(0, 1, 0x00), Wait(2000)})));
    auto s = Samples(r);
    ASSERT_EQ(s.size(), 500u);
    for (size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(s[i], (Rec{i, 0, static_cast<uint8_t>(i)})) << i;
    }

    // Block flags: bit 4 reverse, bit 0 loop.
    r = Render(File(Cat({Block(Ramp(7)), Block(Ramp(3, 40))}),
                    Cat({StreamSetup(0), Frequency(0, 44100), StartBlock(0, 1, 0x11), Wait(4)})));
    EXPECT_EQ(Samples(r), (std::vector<Rec>{{0, 0, 42}, {1, 0, 41}, {2, 0, 40}, {3, 0, 42}}));

    // Mode 2 at 44100 Hz for 100 ms: 4410 steps; reversed, the last step's byte comes first.
    Bytes bank(5000);
    for (size_t i = 0; i < bank.size(); ++i) bank[i] = static_cast<uint8_t>(i * 7);
    for (const uint8_t mode : {uint8_t{0x02}, uint8_t{0x12}}) {
        r = Render(File(Block(bank),
                        Cat({StreamSetup(0), Frequency(0, 44100), Start(0, 100, mode, 100), Wait(5000)})));
        s = Samples(r);
        ASSERT_EQ(s.size(), 4410u);
        EXPECT_EQ(s.front().value, mode == 0x02 ? bank[100] : bank[100 + 4409]);
        EXPECT_EQ(s.back().tick, 4409u);
    }
}

// ---------------------------------------------------------------- time zero and start-up

TEST(KL2DACVGM, TimeZeroKeysAndDACCollapseToTheirFinalState) {
    const Bytes timeZero = Cat({{0x52, 0x28, 0xF0},  // slot 0 on
                                {0x52, 0x28, 0xF1},  // slot 1 on
                                {0x52, 0x30, 0x71},  // another register: kept, Initial
                                {0x52, 0x28, 0x00},  // slot 0 off: now written third
                                {0x52, 0x2A, 0x10},
                                {0x52, 0x2B, 0x80},  // enable: kept in place
                                {0x80},              // bank byte 0x20 is the last DAC value
                                {0x52, 0x28, 0x01}});
    const Bytes bank = Block({0x20});

    const Rendered r = Render(File(bank, Cat({timeZero, Wait(10), {0x52, 0x28, 0xF2}, Wait(5)})));
    const std::vector<Ev> events = {
        {0, 0x52, 0, 0, 0x30, 0x71, true},    // start-up state
        {0, 0x52, 0, 0, 0x28, 0x00, false},   // slot 0 last written before slot 1
        {0, 0x52, 0, 0, 0x28, 0x01, false},   //
        {10, 0x52, 0, 0, 0x28, 0xF2, false},  // past time zero: as written
    };
    std::vector<Ev> got;
    for (const auto& e : r.events) got.push_back(ToEv(e));
    EXPECT_EQ(got, events);
    EXPECT_EQ(r.records, (std::vector<Rec>{{0, 1, 0x80}, {0, 0, 0x20}}));

    // A file that never leaves time zero gets neither the keys nor the DAC value.
    const Rendered still = Render(File(bank, timeZero));
    ASSERT_EQ(still.events.size(), 1u);
    EXPECT_EQ(ToEv(still.events[0]), (Ev{0, 0x52, 0, 0, 0x30, 0x71, true}));
    EXPECT_EQ(still.records, (std::vector<Rec>{{0, 1, 0x80}}));

    const Bytes file = File(bank, Cat({timeZero, Wait(1)}));
    KL2DACVGM source(file, kDataOffset, 0, 1, 0);
    EXPECT_EQ(source.Startup().FinalKeys(), (Bytes{0x00, 0x01}));
    EXPECT_EQ(source.Startup().dacWrites, 2u);
    EXPECT_EQ(source.Startup().dacValue, 0x20);
}

TEST(KL2DACVGM, WritesBeforeTheFirstAudibleOneAreInitial) {
    struct Case {
        const char* name;
        Bytes trigger;
        bool audible;
    };
    const Case cases[] = {
        {"YM2612 key on", {0x52, 0x28, 0x10}, true},
        {"YM2612 key off", {0x52, 0x28, 0x00}, false},
        {"DAC sample command", {0x80}, true},
        {"DAC register write", {0x52, 0x2A, 0x00}, true},
        {"DAC enable", {0x52, 0x2B, 0x80}, true},
        {"DAC disable", {0x52, 0x2B, 0x00}, false},
        {"PSG volume", {0x50, 0x90}, true},
        {"silent PSG volume", {0x50, 0x9F}, false},
        {"PSG volume as a data byte after a volume latch", {0x50, 0xBF, 0x50, 0x02}, true},
        {"stream sample", Cat({StreamSetup(0), Frequency(0, 44100), Start(0, 0, 0x01, 1)}), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Rendered r =
            Render(File(Block({0x80}),
                        Cat({Wait(5), {0x52, 0x30, 0x01}, c.trigger, Wait(1), {0x52, 0x40, 0x02}, Wait(1)})));
        ASSERT_GE(r.events.size(), 2u);
        EXPECT_TRUE(r.events.front().initial) << "before";
        EXPECT_EQ(r.events.front().tick, 5u);
        EXPECT_EQ(r.events.back().initial, !c.audible) << "after";
        EXPECT_EQ(r.events.back().tick, 6u);
    }
}

TEST(KL2DACVGM, PSGDataBytesNameTheirRegisterAndLatchesComeFirst) {
    const Rendered r = Render(File({}, Cat({Wait(3),
                                            {0x50, 0xA5},  // PSG 0 channel 1 tone latch
                                            {0x50, 0xD0},  // channel 2 attenuation latch
                                            {0x50, 0x12},  // data: a latch of its own
                                            {0x50, 0xA0},
                                            {0x50, 0x12},  // tone data: latch first
                                            {0x30, 0xC3},  // PSG 1 keeps its own latches
                                            {0x30, 0x05},
                                            {0x50, 0x07},
                                            Wait(1)})));
    std::vector<std::pair<int, int>> got;
    for (const auto& e : r.events) {
        EXPECT_EQ(e.tick, 3u);
        EXPECT_EQ(e.initial, got.empty()) << "audible from the channel 2 volume latch on";
        got.emplace_back(e.target.writeId, e.value);
    }
    const std::vector<std::pair<int, int>> expected = {{0x50, 0xA5}, {0x50, 0xD0}, {0x50, 0xD2}, {0x50, 0xA0},
                                                       {0x50, 0xA0}, {0x50, 0x12}, {0x30, 0xC3}, {0x30, 0xC3},
                                                       {0x30, 0x05}, {0x50, 0xA0}, {0x50, 0x07}};
    EXPECT_EQ(got, expected);
}

// ---------------------------------------------------------------- loops, repeats and the fade

TEST(KL2DACVGM, LoopsRepeatAndFadeOut) {
    // Intro of 100 ticks, then a 50-tick loop with one audible write at its start.
    const Bytes looped =
        VGMBuilder().Cmd({0x61, 100, 0}).LoopHere().Cmd({0x50, 0x90, 0x61, 50, 0}).End().Build();
    const Bytes unlooped = VGMBuilder().Cmd({0x61, 100, 0, 0x50, 0x90, 0x61, 50, 0}).End().Build();
    struct Case {
        const char* name;
        const Bytes* file;
        int32_t repeat, fade;
        uint64_t end;
        size_t writes;
        bool fading;
        uint64_t fadeStart;
    };
    const Case cases[] = {
        {"one pass", &looped, 1, 0, 150, 1, false, 0},
        {"two passes", &looped, 2, 0, 200, 2, false, 0},
        {"three passes", &looped, 3, 0, 250, 3, false, 0},
        {"a fade after two passes loops on and ends 1 s later", &looped, 2, 1, 200 + 44100, 884, true, 200},
        {"a fade after one pass", &looped, 1, 1, 150 + 44100, 883, true, 150},
        {"no loop point: no fade", &unlooped, 2, 5, 150, 1, false, 0},
        {"a negative fade is none", &looped, 1, -3, 150, 1, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Rendered r = Render(*c.file, {.repeat = c.repeat, .fade = c.fade});
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.endTick, c.end);
        EXPECT_EQ(r.chunks.back().endTick, c.end);
        EXPECT_EQ(r.events.size(), c.writes);
        EXPECT_EQ(r.fadeStarted, c.fading);
        EXPECT_EQ(r.fadeStartTick, c.fadeStart);
        for (size_t i = 0; i < r.events.size(); ++i) EXPECT_EQ(r.events[i].tick, 100 + 50 * i);
    }

    // Endless: still going after 100 chunks.
    const Rendered endless = Render(looped, {.repeat = 0, .chunkLimit = 100});
    EXPECT_FALSE(endless.finished);
    EXPECT_EQ(endless.chunks.back().endTick, 100u * 220);
}

TEST(KL2DACVGM, AFadeOfThreeSecondsEndsInTheMiddleOfTheThirdPass) {
    // A 10 s loop after a short intro, repeat count 2: the fade starts at the
    // second end command and the music ends exactly 132300 ticks later.
    VGMBuilder b;
    b.Cmd({0x61, 0xE8, 0x03}).LoopHere().Cmd({0x50, 0x90});  // intro of 1000 ticks
    for (int i = 0; i < 600; ++i) b.Cmd({0x62});             // 600 * 735 = 441000 ticks
    const Rendered r = Render(b.End().Build(), {.repeat = 2, .fade = 3});
    EXPECT_TRUE(r.fadeStarted);
    EXPECT_EQ(r.fadeStartTick, 1000u + 2 * 441000);
    EXPECT_EQ(r.endTick, r.fadeStartTick + 132300);
    ASSERT_EQ(r.events.size(), 3u);
    EXPECT_EQ(r.events[2].tick, 1000u + 2 * 441000);
}

TEST(KL2DACVGM, StreamsPlayUpToTheEndOfTheMusic) {
    // A looping stream started in the intro plays through the fade and stops
    // exactly at its end; without a fade at the end command.
    const Bytes file = VGMBuilder()
                           .Raw(Cat({Block(Ramp(10)), StreamSetup(0), Frequency(0, 44100),
                                     Start(0, 0, 0x81, 10), Wait(100)}))
                           .LoopHere()
                           .Raw(Wait(100))
                           .End()
                           .Build();
    Rendered r = Render(file, {.repeat = 1, .fade = 1});
    EXPECT_EQ(r.endTick, 200u + 44100);
    auto s = Samples(r);
    ASSERT_EQ(s.size(), 200u + 44100);
    EXPECT_EQ(s.back(), (Rec{200 + 44100 - 1, 0, (200 + 44100 - 1) % 10}));

    r = Render(file, {.repeat = 2});
    EXPECT_EQ(r.endTick, 300u);
    EXPECT_EQ(Samples(r).size(), 300u);
}

// ---------------------------------------------------------------- chunks

TEST(KL2DACVGM, ChunksSpanAtMost220TicksAndMergeGapsIntoTheLastRecord) {
    // One DAC sample then 16 ticks: one chunk of one record (the sample
    // arrives through the time-zero collapse).
    Rendered r = Render(File(Block({0x42}), Cat({{0x80}, Wait(16)})));
    ASSERT_EQ(r.chunks.size(), 1u);
    EXPECT_EQ(r.chunks[0].startTick, 0u);
    EXPECT_EQ(r.chunks[0].endTick, 16u);
    EXPECT_EQ(r.chunks[0].records, (std::vector<KL2DACRecord>{{KL2RecordKind::kSample, 0x42, 16}}));

    // A 1000-tick wait: the sample's record covers 220 ticks, then delay
    // records of 220, 220, 220 and 120.
    r = Render(File(Block({0x42}), Cat({{0x80}, Wait(1000)})));
    ASSERT_EQ(r.chunks.size(), 5u);
    EXPECT_EQ(r.chunks[0].records, (std::vector<KL2DACRecord>{{KL2RecordKind::kSample, 0x42, 220}}));
    const uint16_t waits[] = {220, 220, 220, 120};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(r.chunks[i + 1].records, (std::vector<KL2DACRecord>{{KL2RecordKind::kDelay, 0, waits[i]}}));
    }
    EXPECT_TRUE(r.finished);

    // Samples every 5 ticks after a 3-tick lead: a delay record only where no
    // sample opens the chunk, every gap merged into the record before it.
    r = Render(File(Block(Ramp(1)), Cat({Wait(3), Seek(0), Repeat({0x85, 0xE0, 0, 0, 0, 0}, 100)})));
    for (const auto& c : r.chunks) {
        for (size_t i = 1; i < c.records.size(); ++i) EXPECT_EQ(c.records[i].kind, KL2RecordKind::kSample);
    }
    EXPECT_EQ(r.chunks[0].records.front(), (KL2DACRecord{KL2RecordKind::kDelay, 0, 3}));
    EXPECT_EQ(Samples(r).size(), 100u);
    EXPECT_EQ(r.endTick, 503u);
}

TEST(KL2DACVGM, TheRecordLimitCutsChunksAndKeepsEventsInside) {
    // A 44100 Hz stream with a register write at every tick: each tick holds a
    // write and a sample, so the record limit cuts chunks in the middle of a
    // tick's events; every event must still lie inside its chunk (checked by
    // Render) and arrive once, in order.
    Bytes commands = Cat({StreamSetup(0), Frequency(0, 44100), Start(0, 0, 0x81, 100), Wait(1)});
    for (int i = 0; i < 300; ++i)
        commands = Cat({commands, {0x50, static_cast<uint8_t>(0x80 | (i & 0x0F))}, Wait(1)});
    const Bytes file = File(Block(Ramp(100)), commands);
    for (const int32_t maxRecords : {1, 7, 60}) {
        SCOPED_TRACE(maxRecords);
        const Rendered r = Render(file, {.maxRecords = maxRecords});
        EXPECT_EQ(Samples(r).size(), 301u);
        ASSERT_EQ(r.events.size(), 300u);
        for (size_t i = 0; i < r.events.size(); ++i) {
            EXPECT_EQ(r.events[i].tick, i + 1);
            EXPECT_EQ(r.events[i].value, 0x80 | (i & 0x0F));
        }
        bool cut = false;
        for (const auto& c : r.chunks) cut |= c.records.size() == static_cast<size_t>(maxRecords);
        EXPECT_TRUE(cut);
    }
}

TEST(KL2DACVGM, EventsWithoutARecordGetOneTickOfTheirOwn) {
    // Writes at the very end of the music still lie inside a chunk: a chunk
    // of events only gets a one-tick delay record, a chunk with records one
    // more tick on its last record, and the end moves with it.
    Rendered r = Render(File({}, Cat({Wait(220), {0x50, 0x90, 0x50, 0x9F}})));
    ASSERT_EQ(r.chunks.size(), 2u);
    EXPECT_EQ(r.chunks[1].startTick, 220u);
    EXPECT_EQ(r.chunks[1].records, (std::vector<KL2DACRecord>{{KL2RecordKind::kDelay, 0, 1}}));
    EXPECT_EQ(r.chunks[1].events.size(), 2u);
    EXPECT_EQ(r.endTick, 221u);

    r = Render(File(Block({7}), Cat({Wait(10), {0x80}, {0x50, 0x90}})));
    ASSERT_EQ(r.chunks.size(), 1u);
    EXPECT_EQ(r.chunks[0].records.back(), (KL2DACRecord{KL2RecordKind::kSample, 7, 1}));
    EXPECT_EQ(r.endTick, 11u);

    // Nothing at all: no chunk.
    r = Render(File({}, {}));
    EXPECT_TRUE(r.chunks.empty());
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.endTick, 0u);
}

TEST(KL2DACVGM, ChunkEventLimit) {
    for (const size_t writes : {kKL2MaxChunkEvents, kKL2MaxChunkEvents + 1}) {
        Bytes commands = Wait(5);
        for (size_t i = 0; i < writes; ++i) commands = Cat({commands, {0x50, 0x9F}});
        const Bytes file = File({}, Cat({commands, Wait(1)}));
        if (writes == kKL2MaxChunkEvents) {
            EXPECT_EQ(Render(file).events.size(), writes);
        } else {
            KL2DACVGM source(file, kDataOffset, 0, 1, 0);
            KL2DACChunk chunk;
            try {
                (void)source.Next(chunk, 60);
                ADD_FAILURE() << "no failure";
            } catch (const ReadError& e) {
                EXPECT_STREQ(e.what(), "Too many register events without a DAC time interval.");
            }
        }
    }
}

// ---------------------------------------------------------------- failures

enum class Kind { kRead, kWrite, kArgument };

struct ErrorCase {
    const char* name;
    Bytes file;
    std::string message;
    Kind kind = Kind::kRead;
    Options options{};
};

void ExpectFailure(const ErrorCase& c) {
    SCOPED_TRACE(c.name);
    try {
        (void)Render(c.file, c.options);
        ADD_FAILURE() << "no failure";
    } catch (const ReadError& e) {
        EXPECT_EQ(c.kind, Kind::kRead);
        EXPECT_EQ(e.what(), c.message);
    } catch (const WriteError& e) {
        EXPECT_EQ(c.kind, Kind::kWrite);
        EXPECT_EQ(e.what(), c.message);
    } catch (const ArgumentOutOfRange& e) {
        EXPECT_EQ(c.kind, Kind::kArgument);
        EXPECT_EQ(e.what(), c.message);
    }
}

TEST(KL2DACVGM, BadInputFailsWithItsMessage) {
    const Bytes bank = Block(Ramp(8));
    const Bytes ready = Cat({bank, StreamSetup(0), Frequency(0, 44100)});
    const Bytes noEnd = VGMBuilder().Raw(Cat({Wait(1), {0x92, 0x00, 0x01}})).Build();  // ends in the operands
    const Bytes noEndCommand = VGMBuilder().Raw(Cat({Wait(1), {0x50, 0x90}})).Build();
    // A loop that starts in the middle of a write whose register byte reads as a data block.
    VGMBuilder middle;
    middle.Cmd({0x61, 1, 0, 0x52});
    middle.LoopHere().Cmd({0x67, 0x00, 0x61, 1, 0}).End();

    const ErrorCase cases[] = {
        // The bank scan walks the whole file first.
        {"data ends inside a command", noEnd, "Truncated VGM command at $00000103."},
        {"data ends without the end command", noEndCommand, "Truncated KL2 VGM command at $00000105."},
        {"0x67 without its marker", File({0x67, 0x00, 0x00, 0, 0, 0, 0}, {}),
         "Invalid VGM data block marker."},
        {"data block past the end", VGMBuilder().Raw(Cat({{0x67, 0x66, 0x00}, Le32(10), {1, 2}})).Build(),
         "Truncated KL2 VGM command at $00000109."},
        {"second-chip bank", File(Cat({{0x67, 0x66, 0x00}, Le32(0x80000001), {1}}), {}),
         "Second-chip PCM bank is unsupported on KL2."},
        {"compressed bank", File(Block({1, 2}, 0x40), {}), "Compressed YM2612 PCM banks are not supported."},
        {"unsupported command in the bank scan", File({}, {0x40}),
         "Unsupported VGM command $40 at $00000100."},
        {"a loop into the middle of a command finds a broken data block",
         middle.Build(),
         "Invalid VGM data block.",
         Kind::kRead,
         {.repeat = 2}},
        {"DAC read without a bank", File({}, {0x80}), "YM2612 PCM read exceeds bank."},
        {"DAC read at the bank's end", File(bank, Cat({Seek(8), {0x80}})), "YM2612 PCM read exceeds bank."},
        {"seek past the bank", File(bank, Seek(9)), "YM2612 PCM seek exceeds bank."},
        {"stream for the second YM2612", File({}, StreamSetup(0, 0x82)),
         "Only YM2612 #0 port 0 DAC streams are supported."},
        {"stream for port 1", File({}, StreamSetup(0, 0x02, 0x01)),
         "Only YM2612 #0 port 0 DAC streams are supported."},
        {"stream for another register", File({}, StreamSetup(0, 0x02, 0x00, 0x28)),
         "Only YM2612 #0 port 0 DAC streams are supported."},
        {"stream from another bank", File({}, Cat({StreamSetup(0), StepData(0, 1, 0, 1)})),
         "YM2612 stream requires PCM bank 0 and a nonzero step."},
        {"stream step 0", File({}, Cat({StreamSetup(0), StepData(0, 0, 0)})),
         "YM2612 stream requires PCM bank 0 and a nonzero step."},
        {"milliseconds past 32 bits",
         File(bank, Cat({StreamSetup(0), Frequency(0, 0xFFFFFFFF), Start(0, 0, 0x02, 0xFFFFFFFF)})),
         "YM2612 stream duration overflow."},
        {"mode 3 from the bank's end", File(ready, Start(0, 8, 0x03, 0)),
         "YM2612 stream start exceeds bank."},
        {"mode 3 from the bank's end by the step base",
         File(ready, Cat({StepData(0, 1, 1), Start(0, 7, 0x03, 0)})), "YM2612 stream start exceeds bank."},
        {"length mode 4", File(ready, Start(0, 0, 0x04, 1)), "Unsupported YM2612 stream length mode."},
        {"block number past the blocks", File(ready, StartBlock(0, 1, 0)), "Invalid YM2612 PCM block/flags."},
        {"unknown block flags", File(ready, StartBlock(0, 0, 0x02)), "Invalid YM2612 PCM block/flags."},
        {"block no longer than the step base",
         File(Cat({ready, Block({1})}), Cat({StepData(0, 1, 1), StartBlock(0, 1, 0)})),
         "Empty YM2612 PCM block."},
        {"start without a frequency", File(bank, Cat({StreamSetup(0), Start(0, 0, 0x01, 1)})),
         "Invalid YM2612 stream frequency/step/length."},
        {"start of no steps", File(ready, Start(0, 0, 0x01, 0)),
         "Invalid YM2612 stream frequency/step/length."},
        {"mode 0 before any length", File(ready, Start(0, 0, 0x00, 0)),
         "Invalid YM2612 stream frequency/step/length."},
        {"a stream faster than four steps per tick",
         File(bank, Cat({StreamSetup(0), Frequency(0, kKL2MaxStreamFrequency + 1), Start(0, 0, 0x01, 1)})),
         "Invalid YM2612 stream frequency/step/length."},
        {"a playing stream sped up past four steps per tick",
         File(ready, Cat({Start(0, 0, 0x81, 8), Wait(2), Frequency(0, 0xE7001F40), Wait(5)})),
         "Invalid YM2612 stream frequency/step/length."},
        {"stream past the bank", File(ready, Start(0, 4, 0x01, 5)), "YM2612 stream exceeds its PCM bank."},
        {"stream past the bank by its step", File(ready, Cat({StepData(0, 2, 0), Start(0, 0, 0x01, 5)})),
         "YM2612 stream exceeds its PCM bank."},
        {"offset $FFFFFFFF below the step base",
         File(ready, Cat({StepData(0, 1, 1), Start(0, 0xFFFFFFFF, 0x01, 1)})),
         "YM2612 stream exceeds its PCM bank."},
        {"step size grown while playing",
         File(ready, Cat({Start(0, 0, 0x01, 8), Wait(2), StepData(0, 4, 0), Wait(5)})),
         "YM2612 stream exceeds its PCM bank."},
        {"a loop without a wait, jumped to twice",
         VGMBuilder().Cmd({0x61, 5, 0}).LoopHere().Cmd({0x50, 0x90}).End().Build(),
         "Zero-duration VGM loop.",
         Kind::kRead,
         {.repeat = 3}},
        {"the same, endless",
         VGMBuilder().Cmd({0x61, 5, 0}).LoopHere().Cmd({0x50, 0x90}).End().Build(),
         "Zero-duration VGM loop.",
         Kind::kRead,
         {.repeat = 0}},
        {"the same, while fading",
         VGMBuilder().Cmd({0x61, 5, 0}).LoopHere().Cmd({0x50, 0x90}).End().Build(),
         "Zero-duration VGM loop.",
         Kind::kRead,
         {.repeat = 1, .fade = 1}},
        {"negative repeat count",
         VGMBuilder().LoopHere().Cmd({0x61, 5, 0}).End().Build(),
         "Invalid VGM repeat count.",
         Kind::kRead,
         {.repeat = -1}},
        {"no records allowed",
         File({}, Wait(5)),
         "Invalid DAC chunk size.",
         Kind::kArgument,
         {.maxRecords = 0}},
        {"too many records per packet",
         File({}, Wait(5)),
         "Invalid DAC chunk size.",
         Kind::kArgument,
         {.maxRecords = 61}},
        {"register write cut short", VGMBuilder().Cmd({0x61, 1, 0, 0x52, 0x28}).Build(),
         "Truncated VGM command at $00000103."},
        {"AY register above 15", File({}, {0xA0, 0x10, 0x00}), "Invalid AY register address."},
        {"second YM2612", File({}, Cat({Wait(1), {0xA2, 0x30, 0x00}})), "Invalid KL2 YM2612 register target.",
         Kind::kWrite},
    };
    for (const ErrorCase& c : cases) ExpectFailure(c);

    // The loop without a wait is fine while it is never jumped to twice (the
    // writes at the end tick get one tick of their own).
    const Bytes once = VGMBuilder().Cmd({0x61, 5, 0}).LoopHere().Cmd({0x50, 0x90}).End().Build();
    EXPECT_EQ(Render(once, {.repeat = 1}).events.size(), 1u);
    EXPECT_EQ(Render(once, {.repeat = 2}).events.size(), 2u);
}

TEST(KL2DACVGM, AMillionCommandsWithoutAnEventAreStuck) {
    // One call may read 1,000,000 commands (here 999,999 stream stops and the end command), not one more.
    for (const size_t stops : {size_t{999'999}, size_t{1'000'000}}) {
        Bytes commands = Wait(1);
        commands.reserve(commands.size() + 2 * stops);
        for (size_t i = 0; i < stops; ++i) {
            commands.push_back(0x94);
            commands.push_back(0x00);
        }
        const Bytes file = File({}, commands);
        if (stops == 999'999) {
            EXPECT_NO_THROW((void)Render(file));
        } else {
            ExpectFailure({"one command too many", file, "VGM has no advancing wait."});
        }
    }
}

// ---------------------------------------------------------------- files made by others

// What the source must produce for a file played once, worked out from the
// file with a plain walk: every register write past time zero in order at its
// tick (PSG data bytes rewritten as the board needs them), and the ticks of
// the DAC samples it plays.
struct Expected {
    std::vector<Ev> writes;
    std::vector<uint64_t> directSamples;  // direct DAC commands and 0x2A writes, time zero collapsed to one
    uint64_t streamSamples = 0;
    uint64_t endTick = 0;
};

// A YM2612 DAC stream as the files use it: started on a whole block at one
// step per byte, stopped, restarted or retimed; a start with 0x93 or a step
// other than 1 is outside what this count knows.
struct StreamModel {
    bool active = false;
    uint64_t segmentStart = 0;  // tick the current timing started at
    uint64_t remaining = 0;     // steps left
    uint32_t hz = 0;
    uint64_t played = 0;

    // Steps played from segmentStart up to (not including) `tick`: step k plays at segmentStart + floor(k *
    // 44100 / hz).
    void Close(uint64_t tick) {
        if (!active) return;
        const uint64_t due = ((tick - segmentStart) * hz + 44099) / 44100;
        const uint64_t n = std::min(due, remaining);
        played += n;
        remaining -= n;
        segmentStart = tick;
        active = remaining > 0;
    }
};

Expected WorkOut(std::span<const uint8_t> bytes, uint32_t dataOffset) {
    Expected x;
    KL2RegisterState psg;
    std::vector<uint32_t> blockSizes;
    std::vector<StreamModel> streams(256);
    uint64_t tick = 0;
    bool dacAtZero = false;
    uint32_t position = dataOffset;
    for (;;) {
        const uint32_t at = position;
        const uint8_t c = bytes[at];
        KLINKVGMTarget target;
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        const VGMDecodeKind kind = DecodeRegisterCommand(bytes, position, target, reg, value, wait);
        if (kind == VGMDecodeKind::kEnd) break;
        if (c == 0x67 && bytes[at + 2] == 0x00) blockSizes.push_back(LoadLE32(bytes, at + 3) & 0x7FFFFFFF);
        if (c == 0x91) {
            EXPECT_EQ(bytes[at + 3], 1) << "step size";
            EXPECT_EQ(bytes[at + 4], 0) << "step base";
        }
        EXPECT_NE(c, 0x93) << "not counted here";
        if (c == 0x92 || c == 0x94 || c == 0x95) {
            StreamModel& s = streams[bytes[at + 1]];
            s.Close(tick);
            if (c == 0x92) {
                s.hz = LoadLE32(bytes, at + 2);
                s.active = s.active && s.hz != 0;
            } else if (c == 0x94) {
                s.active = false;
            } else {
                EXPECT_EQ(bytes[at + 4], 0) << "flags";
                s.active = true;
                s.segmentStart = tick;
                s.remaining = blockSizes.at(bytes[at + 2] | bytes[at + 3] << 8);
            }
        }
        const bool dac =
            (kind == VGMDecodeKind::kDACEvent && c >= 0x80 && c <= 0x8F) ||
            (kind == VGMDecodeKind::kRegisterWrite && target == KLINKVGMTarget{0x52, 0, 0} && reg == 0x2A);
        if (dac) {
            if (tick == 0) {
                dacAtZero = true;
            } else {
                x.directSamples.push_back(tick);
            }
        } else if (kind == VGMDecodeKind::kRegisterWrite &&
                   !(target == KLINKVGMTarget{0x52, 0, 0} && reg == 0x2B)) {
            uint8_t prefix = 0;
            const bool twoBytes = psg.Transform(target, reg, value, prefix);
            if (tick > 0) {
                if (twoBytes)
                    x.writes.push_back(
                        {tick, target.writeId, target.instance, target.page, reg, prefix, false});
                x.writes.push_back({tick, target.writeId, target.instance, target.page, reg, value, false});
            }
        }
        tick += wait;
    }
    for (auto& s : streams) {
        s.Close(tick);
        x.streamSamples += s.played;
    }
    if (dacAtZero) x.directSamples.insert(x.directSamples.begin(), 0);
    x.endTick = tick;
    return x;
}

TEST(KL2DACVGM, SharedMegaDriveFilesPlayCompletely) {
    // KLINK_SHARED_DIR in the environment overrides the build's idea (worktrees sit elsewhere).
    const char* env = std::getenv("KLINK_SHARED_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples";
    const char* files[] = {"b_md_sonic2_04_act_clear.vgz", "b_md_deflemask_green_hill.vgm",
                           "b_md_contra_hc_stage_clear.vgm"};
    for (const char* name : files) {
        if (!std::filesystem::exists(dir / name)) GTEST_SKIP() << "no shared sample " << (dir / name);
    }
    for (const char* name : files) {
        SCOPED_TRACE(name);
        const VGMBytes bytes = LoadVGMFile(dir / name);
        VGMHeader header;
        ReadVGMHeaderFields(bytes, header);
        const uint32_t loop = ValidateLoopOffset(header.vgmLoopOffset, header.dataOffset, bytes.size());
        const Expected x = WorkOut(bytes, header.dataOffset);
        const uint32_t totalSamples = ReadVGMField(bytes, 0x18);

        for (const int32_t maxRecords : {60, 13}) {
            const Rendered r = RenderSpan(bytes, header.dataOffset, loop, {.maxRecords = maxRecords});
            EXPECT_TRUE(r.finished);
            EXPECT_EQ(r.endTick, totalSamples);
            EXPECT_EQ(x.endTick, totalSamples);

            std::vector<Ev> writes;
            for (const auto& e : r.events) {
                if (e.tick == 0) continue;
                Ev ev = ToEv(e);
                std::get<6>(ev) = false;  // Initial is checked on its own
                writes.push_back(ev);
            }
            EXPECT_EQ(writes.size(), x.writes.size());
            EXPECT_TRUE(writes == x.writes) << "register writes past time zero differ";

            const std::vector<Rec> samples = Samples(r);
            EXPECT_EQ(samples.size(), x.directSamples.size() + x.streamSamples);
            if (x.streamSamples == 0) {
                std::vector<uint64_t> ticks;
                for (const Rec& s : samples) ticks.push_back(s.tick);
                EXPECT_TRUE(ticks == x.directSamples) << "DAC sample ticks differ";
            }
        }
    }
    // The looping one, twice through: the loop's samples more.
    const VGMBytes bytes = LoadVGMFile(dir / "b_md_deflemask_green_hill.vgm");
    VGMHeader header;
    ReadVGMHeaderFields(bytes, header);
    const uint32_t loop = ValidateLoopOffset(header.vgmLoopOffset, header.dataOffset, bytes.size());
    ASSERT_NE(loop, 0u);
    const Rendered twice = RenderSpan(bytes, header.dataOffset, loop, {.repeat = 2});
    EXPECT_EQ(twice.endTick, uint64_t{ReadVGMField(bytes, 0x18)} + ReadVGMField(bytes, 0x20));
}

}  // namespace
}  // namespace klink
