#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "AudioSourceTestSupport.h"
#include "ExpectError.h"
#include "VGMTestBuilder.h"
#include "adpcm/KLINKAudioVGM.h"
#include "common/Bytes.h"
#include "common/Errors.h"

namespace klink {
namespace {

using test::ExpectError;
using test::ModelStream;
using test::RunSource;
using test::SourceRun;
using test::VGMBuilder;
using Bytes = std::vector<uint8_t>;
using Kind = AudioEventKind;

// Most fixtures play at 8 MHz / 1024: 256 µs a byte, so VGM time 0 (5120 µs)
// falls on byte 20.
constexpr uint32_t kClock = 8'000'000;
constexpr uint16_t kDivider = 1024;
constexpr uint32_t kStreamRate = 3906;  // bytes a second at 8 MHz / 1024 (3906.25)
constexpr uint64_t kByteUnits = 256 * 441;
constexpr uint32_t kDataOffset = 0x100;  // VGMBuilder's header size

// The first byte that a command at VGM sample `samples` precedes.
size_t ByteAt(uint64_t samples, uint64_t byteUnits = kByteUnits) {
    const uint64_t units = 2'257'920 + samples * 10'000;
    return static_cast<size_t>((units + byteUnits - 1) / byteUnits);
}
// Stream length when the music ends before byte `endByte`: 50 ms of zeros follow.
size_t TotalBytes(size_t endByte, uint64_t byteUnits = kByteUnits) {
    return endByte + static_cast<size_t>((22'050'000 + byteUnits - 1) / byteUnits);
}
uint64_t TimeUsAt(uint64_t samples) { return (2'257'920 + samples * 10'000) / 441; }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes LE32(uint32_t v) {
    const auto bytes = LE32Bytes(v);
    return {bytes.begin(), bytes.end()};
}
Bytes YM(uint8_t reg, uint8_t value) { return {0x54, reg, value}; }
Bytes OKI(uint8_t reg, uint8_t value) { return {0xB7, reg, value}; }
Bytes Wait(uint16_t samples) {
    return {0x61, static_cast<uint8_t>(samples), static_cast<uint8_t>(samples >> 8)};
}
Bytes KeyOn() { return YM(0x08, 0x78); }
Bytes Block(const Bytes& payload, uint8_t type = 0x04) {
    return Cat({{0x67, 0x66, type}, LE32(static_cast<uint32_t>(payload.size())), payload});
}
Bytes StreamSetup(uint8_t id = 0) { return {0x90, id, 0x17, 0x00, 0x01}; }
Bytes StreamData(uint8_t id = 0, uint8_t bank = 4, uint8_t step = 1, uint8_t base = 0) {
    return {0x91, id, bank, step, base};
}
Bytes Frequency(uint32_t hz, uint8_t id = 0) { return Cat({{0x92, id}, LE32(hz)}); }
Bytes StartAt(uint32_t start, uint8_t mode, uint32_t length, uint8_t id = 0) {
    return Cat({{0x93, id}, LE32(start), {mode}, LE32(length)});
}
Bytes StartBlock(uint16_t block, uint8_t flags, uint8_t id = 0) {
    return {0x95, id, static_cast<uint8_t>(block), static_cast<uint8_t>(block >> 8), flags};
}

// A file and the loop offset its header holds.
struct Song {
    Bytes bytes;
    uint32_t loopOffset = 0;
};

// Commands from the data offset, then the end command unless `end` is false.
Song MakeSong(const Bytes& commands, bool end = true) {
    VGMBuilder b;
    b.Raw(commands);
    if (end) b.End();
    return {b.Build(), 0};
}
// `intro`, then the loop point, then `body` and the end command.
Song MakeLoopSong(const Bytes& intro, const Bytes& body) {
    VGMBuilder b;
    b.Raw(intro).LoopHere().Raw(body).End();
    const Bytes bytes = b.Build();
    return {bytes, LoadLE32(bytes, 0x1C)};
}

KLINKAudioVGM Open(const Song& song, int32_t repeatCount = 1, int32_t fadeSeconds = 0,
                   uint32_t clock = kClock, uint16_t divider = kDivider) {
    return KLINKAudioVGM(song.bytes, kDataOffset, song.loopOffset, clock, divider, repeatCount, fadeSeconds);
}

SourceRun Play(const Song& song, int32_t repeatCount = 1, int32_t fadeSeconds = 0) {
    KLINKAudioVGM source = Open(song, repeatCount, fadeSeconds);
    return RunSource(source);
}

struct Ev {
    Kind kind;
    Bytes payload;
    friend bool operator==(const Ev&, const Ev&) = default;
};
std::vector<Ev> KindsAndPayloads(const std::vector<AudioEvent>& events) {
    std::vector<Ev> out;
    for (const AudioEvent& e : events) out.push_back({e.kind, Bytes(e.Payload().begin(), e.Payload().end())});
    return out;
}
void PrintTo(const Ev& e, std::ostream* os) {
    *os << "kind " << int(e.kind) << " {";
    for (uint8_t b : e.payload) *os << ' ' << int(b);
    *os << " }";
}

// --- Creation, rates and chunks ------------------------------------------------------------

TEST(KLINKAudioVGM, RefusesClocksAndDividersTheChipDoesNotHave) {
    const Song song = MakeSong(Wait(10));
    const struct {
        uint32_t clock;
        uint16_t divider;
    } bad[] = {{3'579'545, 1024}, {0, 1024}, {8'000'000, 256}, {4'000'000, 0}, {16'000'000, 512}};
    for (const auto& c : bad) {
        ExpectError<ReadError>([&] { (void)Open(song, 1, 0, c.clock, c.divider); },
                               "Unsupported OKI clock/divider.");
    }
}

TEST(KLINKAudioVGM, ByteDurationFollowsClockAndDivider) {
    const struct {
        uint32_t clock;
        uint16_t divider;
        uint64_t byteUs;
    } cases[] = {{4'000'000, 1024, 512}, {4'000'000, 768, 384}, {4'000'000, 512, 256},
                 {8'000'000, 1024, 256}, {8'000'000, 768, 192}, {8'000'000, 512, 128}};
    const Song song = MakeSong(Wait(4410));  // 100 ms
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.clock << " / " << c.divider);
        KLINKAudioVGM source = Open(song, 1, 0, c.clock, c.divider);
        uint32_t position = 99;
        Bytes pcm;
        std::vector<AudioEvent> events;
        ASSERT_TRUE(source.Next(position, pcm, events));
        // A chunk covers 5.12 ms of stream, 10 to 40 bytes, and starts where the last ended;
        // the last one may end past it.
        const size_t chunkBytes = (KLINKAudioVGM::kChunkUs + c.byteUs - 1) / c.byteUs;
        EXPECT_EQ(position, 0u);
        EXPECT_EQ(pcm.size(), chunkBytes);
        EXPECT_EQ(source.TimeUs(), chunkBytes * c.byteUs);
        ASSERT_TRUE(source.Next(position, pcm, events));
        EXPECT_EQ(position, chunkBytes);

        while (source.Next(position, pcm, events)) {
        }
        const uint64_t byteUnits = c.byteUs * 441;
        const size_t total = TotalBytes(ByteAt(4410, byteUnits), byteUnits);
        EXPECT_EQ(source.BytePosition(), total);
        EXPECT_EQ(source.TimeUs(), total * c.byteUs);
    }
}

TEST(KLINKAudioVGM, StreamLengthEndsFiftyMillisecondsAfterTheMusic) {
    const Song song = MakeSong(Cat({KeyOn(), Wait(441)}));
    KLINKAudioVGM source = Open(song);
    ExpectError<WriteError>([&] { (void)source.SilenceByte(); }, "ADPCM zero tail is not complete.");
    const SourceRun run = RunSource(source);
    ASSERT_FALSE(run.capped);
    EXPECT_TRUE(source.Finished());
    EXPECT_EQ(ByteAt(441), 60u);
    EXPECT_EQ(run.stream.size(), TotalBytes(60));  // 60 + 196
    EXPECT_EQ(source.PositionSamples(), 441u);
    EXPECT_FALSE(source.FadeStarted());

    // Finished: nothing more, and the outputs come back empty.
    uint32_t position = 0;
    Bytes pcm{1, 2};
    std::vector<AudioEvent> events(3);
    EXPECT_FALSE(source.Next(position, pcm, events));
    EXPECT_TRUE(pcm.empty());
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(position, run.stream.size());
}

// --- Commands and events ---------------------------------------------------------------------

TEST(KLINKAudioVGM, CommandsBecomeEventsInFileOrder) {
    const Bytes clock8M = LE32(8'000'000);
    const Bytes clock4M = LE32(4'000'000);
    const struct Case {
        const char* name;
        Bytes commands;
        std::vector<Ev> events;
    } cases[] = {
        {"YM2151 write", YM(0x20, 0xC7), {{Kind::kYM2151Write, {0x20, 0xC7}}}},
        {"second YM2151 is another chip",
         {0xA4, 0x20, 0xC7},
         {{Kind::kExternalWrite, {0x54, 1, 0, 0x20, 0xC7}}}},
        {"SN76489", {0x50, 0x9F}, {{Kind::kExternalWrite, {0x50, 0, 0, 0, 0x9F}}}},
        {"second AY8910", {0xA0, 0x88, 0x0F}, {{Kind::kExternalWrite, {0xA0, 1, 0, 8, 0x0F}}}},
        {"YM2612 port 1", {0x53, 0xB6, 0xC0}, {{Kind::kExternalWrite, {0x53, 0, 1, 0xB6, 0xC0}}}},
        {"YM2612 timer write is dropped", {0x52, 0x24, 0x10}, {}},
        {"pan change", OKI(0x02, 0x01), {{Kind::kPan, {1}}}},
        {"pan repeated adds nothing", Cat({OKI(0x02, 0x02), OKI(0x02, 0x06)}), {{Kind::kPan, {2}}}},
        {"pan 0 is where it starts", OKI(0x02, 0x00), {}},
        {"divider 768", OKI(0x0C, 0x01), {{Kind::kClockDivider, Cat({clock8M, {0x00, 0x03}})}}},
        {"divider 512 from 3", OKI(0x0C, 0x03), {{Kind::kClockDivider, Cat({clock8M, {0x00, 0x02}})}}},
        {"divider unchanged", OKI(0x0C, 0x00), {}},
        // 8 MHz is 0x007A1200, 4 MHz 0x003D0900: the third byte completes it.
        {"clock by its bytes",
         Cat({OKI(0x08, 0x00), OKI(0x09, 0x09), OKI(0x0A, 0x3D), OKI(0x0B, 0x00)}),
         {{Kind::kClockDivider, Cat({clock4M, {0x00, 0x04}})}}},
        {"other OKIM6258 registers are ignored", OKI(0x05, 0xFF), {}},
        {"data block of another chip", Block({0xAA, 0xBB}, 0x00), {}},
        {"PCM RAM write", {0x68, 0x66, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}},
        {"stream for another chip is ignored", {0x90, 0x00, 0x02, 0x05, 0x2A}, {}},
        {"stream commands for an ID never set up",
         Cat({StreamData(3), Frequency(1, 3), StartAt(0, 1, 1, 3), StartBlock(0, 0, 3), {0x94, 0x03}}),
         {}},
        {"mixed, in order",
         Cat({YM(0x20, 0x01), OKI(0x02, 0x01), {0x50, 0x9F}, OKI(0x0C, 0x02), YM(0x21, 0x02)}),
         {{Kind::kYM2151Write, {0x20, 0x01}},
          {Kind::kPan, {1}},
          {Kind::kExternalWrite, {0x50, 0, 0, 0, 0x9F}},
          {Kind::kClockDivider, Cat({clock8M, {0x00, 0x02}})},
          {Kind::kYM2151Write, {0x21, 0x02}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SourceRun run = Play(MakeSong(Cat({KeyOn(), c.commands, Wait(100)})));
        std::vector<Ev> events = KindsAndPayloads(run.events);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front(), (Ev{Kind::kYM2151Write, {0x08, 0x78}}));  // the first sound
        events.erase(events.begin());
        EXPECT_EQ(events, c.events);
        for (const AudioEvent& e : run.events) {
            EXPECT_EQ(e.position, 20u);
            EXPECT_EQ(e.timeUs, 5120u);
        }
    }
}

TEST(KLINKAudioVGM, EventsCarryCommandTimeAndTheByteTheyPrecede) {
    // Waits of every form, 0x80-0x8F included (they wait after their DAC sample).
    const Song song = MakeSong(Cat({KeyOn(),
                                    Wait(441),
                                    YM(0x20, 1),
                                    {0x70},
                                    YM(0x20, 2),
                                    {0x80, 0x8F},
                                    YM(0x20, 3),
                                    {0x62},
                                    YM(0x20, 4),
                                    {0x63},
                                    YM(0x20, 5),
                                    Wait(0),
                                    YM(0x20, 6),
                                    Wait(100)}));
    const SourceRun run = Play(song);
    const uint64_t samples[] = {0, 441, 442, 457, 457 + 735, 457 + 735 + 882, 457 + 735 + 882};
    ASSERT_EQ(run.events.size(), std::size(samples));
    for (size_t i = 0; i < run.events.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(run.events[i].timeUs, TimeUsAt(samples[i]));
        EXPECT_EQ(run.events[i].position, ByteAt(samples[i]));
    }
    EXPECT_EQ(run.events[1].timeUs, 15120u);
    EXPECT_EQ(run.events[1].position, 60u);  // byte 59 starts at 15104 µs, before the write
}

TEST(KLINKAudioVGM, DividerChangeSetsTheByteDurationFromItsByteOn) {
    // At VGM time 0 (byte 20) the bytes shrink from 256 to 128 µs.
    const Song song = MakeSong(Cat({KeyOn(), OKI(0x0C, 0x02), Wait(441), YM(0x20, 1), Wait(10)}));
    KLINKAudioVGM source = Open(song);
    const SourceRun run = RunSource(source);
    ASSERT_EQ(run.events.size(), 3u);
    EXPECT_EQ(run.events[1].kind, Kind::kClockDivider);
    EXPECT_EQ(run.events[1].position, 20u);
    EXPECT_EQ(run.events[2].position, 20u + 79u);  // 10 ms later: 78.125 bytes of 128 µs
    EXPECT_EQ(source.TimeUs(), 5120 + (source.BytePosition() - 20) * 128);
}

TEST(KLINKAudioVGM, FirstSoundSplitsInitialStateFromEvents) {
    const struct Case {
        const char* name;
        Bytes commands;
        Bytes initialYM;
        std::vector<Ev> events;
    } cases[] = {
        {"YM2151 key-on",
         Cat({YM(0x20, 0x01), YM(0x30, 0x02), YM(0x08, 0x78), YM(0x40, 0x03)}),
         {0x20, 0x01, 0x30, 0x02},
         {{Kind::kYM2151Write, {0x08, 0x78}}, {Kind::kYM2151Write, {0x40, 0x03}}}},
        {"key-on of one operator",
         Cat({YM(0x08, 0x07), YM(0x08, 0x08)}),
         {0x08, 0x07},
         {{Kind::kYM2151Write, {0x08, 0x08}}}},
        {"OKIM6258 told to play",
         Cat({YM(0x20, 0x01), OKI(0x00, 0x02), YM(0x21, 0x02)}),
         {0x20, 0x01},
         {{Kind::kYM2151Write, {0x21, 0x02}}}},
        {"OKIM6258 control without the play bit",
         Cat({YM(0x20, 0x01), OKI(0x00, 0x01), YM(0x08, 0x78)}),
         {0x20, 0x01},
         {{Kind::kYM2151Write, {0x08, 0x78}}}},
        {"stream start",
         Cat({YM(0x20, 0x01), StartAt(0, 1, 1, 7), YM(0x21, 0x02)}),
         {0x20, 0x01},
         {{Kind::kYM2151Write, {0x21, 0x02}}}},
        {"stream start by block",
         Cat({YM(0x20, 0x01), StartBlock(0, 0, 7), YM(0x21, 0x02)}),
         {0x20, 0x01},
         {{Kind::kYM2151Write, {0x21, 0x02}}}},
        // The second YM2151 is another chip: its key-on is no first sound, and
        // other chips' writes are events whatever their time.
        {"no sound at all",
         Cat({{0xA4, 0x08, 0x78}, YM(0x20, 0x01), {0x50, 0x9F}}),
         {0x20, 0x01},
         {{Kind::kExternalWrite, {0x54, 1, 0, 0x08, 0x78}}, {Kind::kExternalWrite, {0x50, 0, 0, 0, 0x9F}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Song song = MakeSong(Cat({c.commands, Wait(100)}));
        KLINKAudioVGM source = Open(song);
        EXPECT_EQ(source.InitialYM(), c.initialYM);
        const SourceRun run = RunSource(source);
        EXPECT_EQ(KindsAndPayloads(run.events), c.events);
    }
}

TEST(KLINKAudioVGM, WithoutASoundYM2151WritesBecomeEventsOnlyAfterTheLoop) {
    const Song song = MakeLoopSong(YM(0x20, 0x01), Cat({YM(0x21, 0x02), Wait(100)}));
    KLINKAudioVGM source = Open(song, 3);
    EXPECT_EQ(source.InitialYM(), (Bytes{0x20, 0x01, 0x21, 0x02}));
    const SourceRun run = RunSource(source);
    // Passes 2 and 3.
    EXPECT_EQ(KindsAndPayloads(run.events),
              (std::vector<Ev>{{Kind::kYM2151Write, {0x21, 0x02}}, {Kind::kYM2151Write, {0x21, 0x02}}}));
    EXPECT_EQ(run.events[0].timeUs, TimeUsAt(100));
    EXPECT_EQ(run.events[1].timeUs, TimeUsAt(200));
}

// --- Loop, repeat, fade ------------------------------------------------------------------------

TEST(KLINKAudioVGM, RepeatCountSetsThePassesThroughTheLoop) {
    const Song song = MakeLoopSong(KeyOn(), Cat({YM(0x20, 0x01), Wait(100)}));
    for (int32_t repeat : {1, 2, 3, 5}) {
        SCOPED_TRACE(repeat);
        KLINKAudioVGM source = Open(song, repeat);
        const SourceRun run = RunSource(source);
        ASSERT_EQ(run.events.size(), 1u + repeat);
        for (int32_t pass = 0; pass < repeat; ++pass) {
            EXPECT_EQ(run.events[1 + pass].timeUs, TimeUsAt(100u * pass));
            EXPECT_EQ(run.events[1 + pass].position, ByteAt(100u * pass));
        }
        EXPECT_EQ(source.PositionSamples(), 100u * repeat);
        EXPECT_EQ(run.stream.size(), TotalBytes(ByteAt(100u * repeat)));
        EXPECT_FALSE(source.FadeStarted());
    }
}

TEST(KLINKAudioVGM, RepeatCountZeroNeverEnds) {
    const Song song = MakeLoopSong(KeyOn(), Cat({YM(0x20, 0x01), Wait(4410)}));
    KLINKAudioVGM source = Open(song, 0, 10);
    const SourceRun run = RunSource(source, 2000);  // about 10 s of stream
    EXPECT_TRUE(run.capped);
    EXPECT_FALSE(source.Finished());
    EXPECT_FALSE(source.FadeStarted());
    EXPECT_GE(run.events.size(), 100u);
}

TEST(KLINKAudioVGM, FadeKeepsTheLoopGoingThenEndsTheMusic) {
    const struct Case {
        int32_t repeat;
        int32_t fade;
        bool loops;
        bool fadeStarts;
        uint64_t musicEndUs;  // on the stream's axis
    } cases[] = {
        {1, 1, true, true, 105'120 + 1'000'000},
        {2, 1, true, true, 205'120 + 1'000'000},
        {1, 3, true, true, 105'120 + 3'000'000},
        {1, 0, true, false, 105'120},
        {3, 0, true, false, 305'120},
        {1, 5, false, false, 105'120},  // without a loop there is nothing to fade
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "repeat " << c.repeat << " fade " << c.fade << " loops " << c.loops);
        const Bytes body = Cat({YM(0x20, 0x01), Wait(4410)});  // 100 ms
        const Song song = c.loops ? MakeLoopSong(KeyOn(), body) : MakeSong(Cat({KeyOn(), body}));
        KLINKAudioVGM source = Open(song, c.repeat, c.fade);
        const SourceRun run = RunSource(source);
        ASSERT_FALSE(run.capped);
        EXPECT_EQ(source.FadeStarted(), c.fadeStarts);
        if (c.fadeStarts) {
            EXPECT_EQ(source.FadeStartUs(), 5'120 + 100'000u * c.repeat);
        }

        // Every pass writes once, at 100 ms steps, until the music ends.
        ASSERT_GE(run.events.size(), 2u);
        EXPECT_EQ(run.events.size() - 1, (c.musicEndUs - 5'120 + 99'999) / 100'000);
        EXPECT_LT(run.events.back().timeUs, c.musicEndUs);

        // The music ends at the first byte from its end on; 50 ms of zeros follow.
        const size_t endByte = static_cast<size_t>((c.musicEndUs + 255) / 256);
        EXPECT_EQ(source.BytePosition(), TotalBytes(endByte));
        EXPECT_EQ(source.TimeUs(), TotalBytes(endByte) * 256);
        EXPECT_EQ(source.PositionSamples(), (c.musicEndUs - 5'120) * 441 / 10'000);
    }
}

TEST(KLINKAudioVGM, FadeStartIsReportedWithTheChunkThatReachesIt) {
    const Song song = MakeLoopSong(KeyOn(), Cat({YM(0x20, 0x01), Wait(4410)}));
    KLINKAudioVGM source = Open(song, 2, 1);
    uint32_t position = 0;
    Bytes pcm;
    std::vector<AudioEvent> events;
    while (!source.FadeStarted()) {
        ASSERT_TRUE(source.Next(position, pcm, events));
        EXPECT_TRUE(source.FadeStarted() || source.TimeUs() < 205'120 + 256);
    }
    EXPECT_GT(source.TimeUs(), 205'120u);
    EXPECT_LT(source.TimeUs(), 205'120u + KLINKAudioVGM::kChunkUs + 256);
    EXPECT_EQ(source.FadeStartUs(), 205'120u);
}

TEST(KLINKAudioVGM, LoopWithoutWaitFailsOnItsSecondJump) {
    const Song song = MakeLoopSong(KeyOn(), YM(0x20, 0x01));
    // Two passes need one jump only.
    KLINKAudioVGM twice = Open(song, 2);
    EXPECT_FALSE(RunSource(twice).capped);
    for (auto [repeat, fade] : {std::pair{3, 0}, std::pair{0, 0}, std::pair{1, 5}}) {
        ExpectError<ReadError>(
            [&] {
                KLINKAudioVGM source = Open(song, repeat, fade);
                (void)RunSource(source);
            },
            "Zero-duration VGM loop.");
    }
}

// --- The stream itself -----------------------------------------------------------------------

// Commands at VGM time 0 (byte 20), more at sample 220 (byte 40), the end at
// sample 441 (byte 60); the model gives the stream up to byte 60.
struct StreamCase {
    const char* name;
    Bytes atZero;
    Bytes at220;
    ModelStream model;
};

// Bank: block 0 = 17 2B, block 1 = 71 9C 45.
Bytes StreamSetUp() {
    return Cat({Block({0x17, 0x2B}), Block({0x71, 0x9C, 0x45}), StreamSetup(), StreamData(),
                Frequency(kStreamRate)});
}

Bytes Repeated(const Bytes& pattern, size_t count) {
    Bytes out;
    while (out.size() < count) out.push_back(pattern[out.size() % pattern.size()]);
    return out;
}

TEST(KLINKAudioVGM, StreamIsTheFileInputReEncoded) {
    ASSERT_EQ(ByteAt(220), 40u);
    ASSERT_EQ(ByteAt(441), 60u);
    const Bytes loop3 = Repeated({0x2B, 0x71, 0x9C}, 40);
    const Bytes loop2 = Repeated({0x17, 0x2B}, 40);
    const StreamCase cases[] = {
        {"data register writes",
         Cat({OKI(0, 2), OKI(1, 0x17), OKI(1, 0x2B), OKI(1, 0x71)}),
         {},
         ModelStream().Off(20).Start().Input({0x17, 0x2B, 0x71}).Hold(60)},
        {"writes while off are dropped",
         Cat({OKI(1, 0x55), OKI(0, 2), OKI(1, 0x2B)}),
         {},
         ModelStream().Off(20).Start().Input({0x2B}).Hold(60)},
        {"stream of a length",
         Cat({StreamSetUp(), StartAt(1, 0x01, 3)}),
         {},
         ModelStream().Off(20).Start().Input({0x2B, 0x71, 0x9C}).Hold(60)},
        {"stream looped",
         Cat({StreamSetUp(), StartAt(1, 0x81, 3)}),
         {},
         ModelStream().Off(20).Start().Input(loop3)},
        {"stream reversed",
         Cat({StreamSetUp(), StartAt(1, 0x11, 3)}),
         {},
         ModelStream().Off(20).Start().Input({0x9C, 0x71, 0x2B}).Hold(60)},
        {"length in ms",
         Cat({StreamSetUp(), StartAt(0, 0x02, 1)}),
         {},  // 3.906 bytes
         ModelStream().Off(20).Start().Input({0x17, 0x2B, 0x71}).Hold(60)},
        {"to the end of the bank",
         Cat({StreamSetUp(), StartAt(2, 0x03, 0)}),
         {},
         ModelStream().Off(20).Start().Input({0x71, 0x9C, 0x45}).Hold(60)},
        {"start $FFFFFFFF keeps the start",
         Cat({StreamSetUp(), StartAt(3, 0x01, 1), StartAt(0xFFFFFFFF, 1, 2)}),
         {},
         ModelStream().Off(20).Start().Input({0x9C, 0x45}).Hold(60)},
        {"block by ID",
         Cat({StreamSetUp(), StartBlock(1, 0x00)}),
         {},
         ModelStream().Off(20).Start().Input({0x71, 0x9C, 0x45}).Hold(60)},
        {"block reversed",
         Cat({StreamSetUp(), StartBlock(1, 0x10)}),
         {},
         ModelStream().Off(20).Start().Input({0x45, 0x9C, 0x71}).Hold(60)},
        {"block looped",
         Cat({StreamSetUp(), StartBlock(0, 0x01)}),
         {},
         ModelStream().Off(20).Start().Input(loop2)},
        {"second setup of the same ID",
         Cat({StreamSetUp(), StreamSetup(), StartBlock(1, 0x00)}),
         {},
         ModelStream().Off(20).Start().Input({0x71, 0x9C, 0x45}).Hold(60)},
        {"data writes during a stream are dropped",
         Cat({StreamSetUp(), StartBlock(0, 0x00), OKI(1, 0x77)}),
         {},
         ModelStream().Off(20).Start().Input({0x17, 0x2B}).Hold(60)},
        {"a stream that ran out leaves the chip on", Cat({StreamSetUp(), StartBlock(0, 0x00)}), OKI(1, 0x45),
         ModelStream().Off(20).Start().Input({0x17, 0x2B}).Hold(40).Input({0x45}).Hold(60)},
        {"stream of another ID plays nothing",
         Cat({StreamSetUp(), StartBlock(1, 0x00, 1)}),
         {},
         ModelStream()},
        {"stop all streams",
         Cat({StreamSetUp(), StartBlock(1, 0x01)}),
         {0x94, 0xFF},
         ModelStream().Off(20).Start().Input(Repeated({0x71, 0x9C, 0x45}, 20))},
        {"control 3 stops", Cat({OKI(0, 2), OKI(1, 0x71)}), OKI(0, 3),
         ModelStream().Off(20).Start().Input({0x71}).Hold(40)},
        {"play while playing keeps the decoder", Cat({OKI(0, 2), OKI(1, 0x71)}),
         Cat({OKI(0, 2), OKI(1, 0x9C)}),
         ModelStream().Off(20).Start().Input({0x71}).Hold(40).Input({0x9C}).Hold(60)},
        {"play after stop starts afresh", Cat({OKI(0, 2), OKI(1, 0x71)}),
         Cat({OKI(0, 1), OKI(0, 2), OKI(1, 0x9C)}),
         ModelStream().Off(20).Start().Input({0x71}).Hold(40).Start().Input({0x9C}).Hold(60)},
        {"stream drops the writes still queued",
         Cat({OKI(0, 2), Repeated(OKI(1, 0x71), 25 * 3), StreamSetUp()}), StartBlock(0, 0x00),
         ModelStream().Off(20).Start().Input(Bytes(20, 0x71)).Input({0x17, 0x2B}).Hold(60)},
        {"stream takes over from queued writes", Cat({OKI(0, 2), OKI(1, 0x71), OKI(1, 0x71), StreamSetUp()}),
         StartBlock(0, 0x00),
         ModelStream().Off(20).Start().Input({0x71, 0x71}).Hold(40).Input({0x17, 0x2B}).Hold(60)},
    };
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Song song = MakeSong(Cat({c.atZero, Wait(220), c.at220, Wait(221)}));
        const SourceRun run = Play(song);
        ModelStream model = c.model;
        ASSERT_LE(model.Size(), 60u);
        EXPECT_EQ(run.stream, model.Off(TotalBytes(60)).Encode());
    }
}

TEST(KLINKAudioVGM, BlocksInTheLoopJoinTheBankOnce) {
    // Each pass plays the bank to its end: the same two bytes when the block is taken once.
    const Song song = MakeLoopSong(Cat({StreamSetup(), StreamData(), Frequency(kStreamRate)}),
                                   Cat({Block({0x71, 0x9C}), StartAt(0, 0x03, 0), Wait(441)}));
    const SourceRun run = Play(song, 3);
    const ModelStream model = ModelStream()
                                  .Off(20)
                                  .Start()
                                  .Input({0x71, 0x9C})
                                  .Hold(ByteAt(441))
                                  .Input({0x71, 0x9C})
                                  .Hold(ByteAt(882))
                                  .Input({0x71, 0x9C})
                                  .Hold(ByteAt(1323));
    ModelStream expected = model;
    EXPECT_EQ(run.stream, expected.Off(TotalBytes(ByteAt(1323))).Encode());
}

TEST(KLINKAudioVGM, StreamRateMustMatchTheChip) {
    // 4 MHz / 1024 plays 1953.125 bytes a second.
    const struct {
        uint32_t frequency;
        bool accepted;
    } cases[] = {{1953, true}, {1954, true}, {1952, false}, {1955, false}, {1951, false}, {0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frequency);
        const Song song = MakeSong(Cat({Block({0x11}), StreamSetup(), StreamData(), Frequency(c.frequency),
                                        StartBlock(0, 0), Wait(10)}));
        auto run = [&] {
            KLINKAudioVGM source = Open(song, 1, 0, 4'000'000, 1024);
            (void)RunSource(source);
        };
        if (c.accepted) {
            EXPECT_NO_THROW(run());
        } else {
            ExpectError<ReadError>(run, "OKI stream rate does not match the physical clock/divider.");
        }
    }
}

TEST(KLINKAudioVGM, ZeroTailLeavesTheBoardDecoderAtRest) {
    // Loud input right up to the end: the tail walks the decoder down.
    Bytes loud;
    for (int i = 0; i < 40; ++i) loud = Cat({loud, OKI(1, i % 2 ? 0x77 : 0x7F)});
    const Song loudSong = MakeSong(Cat({OKI(0, 2), loud, Wait(441)}));
    for (const auto& [clock, divider] :
         {std::pair{8'000'000u, uint16_t{512}}, std::pair{4'000'000u, uint16_t{1024}}}) {
        KLINKAudioVGM source = Open(loudSong, 1, 0, clock, divider);
        const SourceRun run = RunSource(source);
        const uint8_t silence = source.SilenceByte();

        OKICodec board;
        for (uint8_t b : run.stream) {
            board.Decode(static_cast<uint8_t>(b & 0x0F));
            board.Decode(static_cast<uint8_t>(b >> 4));
        }
        const OKICodec end = board;
        EXPECT_EQ(end.stepIndex, 0);
        EXPECT_LE(std::abs(end.signal), 4);
        for (int i = 0; i < 100; ++i) {
            board.Decode(static_cast<uint8_t>(silence & 0x0F));
            EXPECT_LE(std::abs(board.signal - end.signal), 4);
            board.Decode(static_cast<uint8_t>(silence >> 4));
            EXPECT_EQ(board.signal, end.signal);
            EXPECT_EQ(board.stepIndex, 0);
        }
    }
}

// --- Bad files ---------------------------------------------------------------------------------

TEST(KLINKAudioVGM, BadCommandsFailWithTheirMessages) {
    const Bytes stream = StreamSetUp();  // 5 bytes in two blocks, stream 0 ready
    const struct Case {
        const char* name;
        Bytes commands;
        bool end;
        const char* message;
        int32_t repeat = 1;
    } cases[] = {
        {"clock register value", OKI(0x0B, 0x01), true, "Unsupported OKI clock register value."},
        {"second OKIM6258", OKI(0x81, 0x00), true, "Dual OKIM6258 is not supported."},
        {"recording", OKI(0x00, 0x06), true, "OKI recording is not supported."},
        // Behind a first sound: before it, the scan for it meets them first.
        {"data block marker", Cat({KeyOn(), {0x67, 0x00, 0x04, 1, 0, 0, 0, 0}}), true,
         "Invalid VGM data block."},
        {"data block marker before the first sound",
         {0x67, 0x00, 0x04, 1, 0, 0, 0, 0},
         true,
         "Invalid VGM data block marker."},
        {"second chip's data block",
         {0x67, 0x66, 0x04, 1, 0, 0, 0x80, 0},
         true,
         "Second-chip data block is not supported."},
        {"compressed bank", Block({1, 2}, 0x44), true, "Compressed OKI bank is not supported yet."},
        {"data block past the end", Cat({KeyOn(), {0x67, 0x66, 0x04, 0x10, 0, 0, 0, 0xAA}}), false,
         "Truncated ADPCM VGM command at $0000010B."},
        {"stream start cut short", {0x93, 0x00, 0x01}, false, "Truncated ADPCM VGM command at $00000103."},
        {"OKIM6258 write cut short", Cat({KeyOn(), {0xB7, 0x01}}), false,
         "Truncated ADPCM VGM command at $00000105."},
        {"OKIM6258 write cut short before the first sound",
         {0xB7, 0x01},
         false,
         "Truncated VGM command at $00000100."},
        {"no end command", Wait(1), false, "Truncated ADPCM VGM command at $00000103."},
        {"unsupported command", Cat({KeyOn(), {0x40, 0x00}}), true,
         "Unsupported VGM command $40 at $00000103."},
        {"unsupported before the first sound",
         {0x40, 0x00},
         true,
         "Unsupported VGM command $40 at $00000100."},
        {"YM2151 write cut short", Cat({KeyOn(), {0x54, 0x20}}), false, "Truncated VGM register command."},
        {"stream for another ID", Cat({StreamSetup(0), StreamSetup(1)}), true,
         "Only one OKI data stream is supported."},
        {"stream to the control register",
         {0x90, 0x00, 0x17, 0x00, 0x00},
         true,
         "Only one OKI data stream is supported."},
        {"stream to port 1", {0x90, 0x00, 0x17, 0x01, 0x01}, true, "Only one OKI data stream is supported."},
        {"stream to the second chip",
         {0x90, 0x00, 0x97, 0x00, 0x01},
         true,
         "Only one OKI data stream is supported."},
        {"bank type", Cat({stream, StreamData(0, 0), StartBlock(0, 0)}), true,
         "This prototype requires OKI bank 4, step 1, base 0."},
        {"step size", Cat({stream, StreamData(0, 4, 2), StartBlock(0, 0)}), true,
         "This prototype requires OKI bank 4, step 1, base 0."},
        {"step base", Cat({stream, StreamData(0, 4, 1, 1), StartBlock(0, 0)}), true,
         "This prototype requires OKI bank 4, step 1, base 0."},
        {"stream past the bank", Cat({stream, StartAt(4, 0x01, 2)}), true, "OKI stream is outside bank 4."},
        {"empty stream", Cat({stream, StartAt(0, 0x01, 0)}), true, "OKI stream is outside bank 4."},
        {"stream from the bank's end", Cat({stream, StartAt(5, 0x03, 0)}), true,
         "OKI stream is outside bank 4."},
        {"length mode 0", Cat({stream, StartAt(0, 0x00, 1)}), true, "Unsupported OKI stream length mode."},
        {"length mode 4", Cat({stream, StartAt(0, 0x04, 1)}), true, "Unsupported OKI stream length mode."},
        {"length in ms too long", Cat({stream, StartAt(0, 0x02, 0xFFFFFFFF)}), true,
         "OKI stream length overflow."},
        {"offset past the bank", Cat({stream, StartAt(6, 0x03, 0)}), true, "Invalid stream offset."},
        {"block ID", Cat({stream, StartBlock(2, 0x00)}), true, "Invalid OKI block ID."},
        {"block flags", Cat({stream, StartBlock(0, 0x02)}), true, "Invalid OKI stream flags."},
        {"block without blocks",
         Cat({StreamSetup(), StreamData(), Frequency(kStreamRate), StartBlock(0, 0x00)}), true,
         "Invalid OKI block ID."},
        {"stream rate", Cat({Block({1}), StreamSetup(), StreamData(), Frequency(3908), StartBlock(0, 0)}),
         true, "OKI stream rate does not match the physical clock/divider."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Song song = c.end ? MakeSong(Cat({c.commands, Wait(10)})) : MakeSong(c.commands, false);
        ExpectError<ReadError>(
            [&] {
                KLINKAudioVGM source = Open(song, c.repeat);
                (void)RunSource(source);
            },
            c.message);
    }
}

TEST(KLINKAudioVGM, BadLoopsAndRepeatCountsFail) {
    const Song song = MakeLoopSong(KeyOn(), Cat({YM(0x20, 0x01), Wait(10)}));
    ExpectError<ReadError>(
        [&] {
            KLINKAudioVGM source = Open(song, -1);
            (void)RunSource(source);
        },
        "Invalid VGM repeat count.");

    // A loop offset that the header check would have refused reads nothing outside the file.
    Song farLoop = MakeSong(Cat({KeyOn(), Wait(10)}));
    for (uint32_t loop : {0xFFFFFFF0u, 0x00100000u}) {
        farLoop.loopOffset = loop;
        ExpectError<ReadError>(
            [&] {
                KLINKAudioVGM source = Open(farLoop, 2);
                (void)RunSource(source);
            },
            loop == 0xFFFFFFF0u ? "Truncated ADPCM VGM command at $FFFFFFFF."
                                : "Truncated ADPCM VGM command at $0010001C.");
    }
}

TEST(KLINKAudioVGM, CommandsThatNeverAdvanceTimeFail) {
    // The key-on, 999,999 waits of 0 and the wait of 10: one call, 1,000,001 commands.
    Bytes zeroWaits;
    for (int i = 0; i < 999'999; ++i) zeroWaits.insert(zeroWaits.end(), {0x61, 0x00, 0x00});
    const Song song = MakeSong(Cat({KeyOn(), zeroWaits, Wait(10)}));
    ExpectError<ReadError>(
        [&] {
            KLINKAudioVGM source = Open(song);
            (void)RunSource(source);
        },
        "VGM has no advancing wait.");

    // One fewer is still music.
    const Song fewer = MakeSong(Cat({KeyOn(), Bytes(zeroWaits.begin() + 3, zeroWaits.end()), Wait(10)}));
    KLINKAudioVGM source = Open(fewer);
    EXPECT_FALSE(RunSource(source).capped);
}

}  // namespace
}  // namespace klink
