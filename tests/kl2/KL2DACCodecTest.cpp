#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "kl2/KL2DACCodec.h"

namespace klink {
namespace {

using Bytes = std::vector<uint8_t>;

// Independent little-endian writer for building replies by hand.
void Put(Bytes& b, size_t offset, uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        b.at(offset + static_cast<size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
}

template <typename E, typename F>
void ExpectFailure(F&& f, const std::string& message, const std::string& context) {
    try {
        f();
        ADD_FAILURE() << context << ": no failure";
    } catch (const E& e) {
        EXPECT_EQ(e.what(), message) << context;
    } catch (const std::exception& e) {
        ADD_FAILURE() << context << ": wrong kind of failure: " << e.what();
    }
}

// ---------------------------------------------------------------- fields

TEST(KL2DACCodec, ReadFieldReadsLittleEndianWithinBounds) {
    const Bytes b = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    struct Case {
        int32_t offset, width;
        uint64_t value;
    };
    const Case cases[] = {
        {0, 0, 0},    {9, 0, 0},  // empty field right at the end
        {8, 1, 0x09}, {1, 2, 0x0302}, {0, 8, 0x0807060504030201}, {1, 8, 0x0908070605040302}};
    for (const Case& c : cases) {
        EXPECT_EQ(ReadKL2Field(b, c.offset, c.width), c.value) << c.offset << "/" << c.width;
    }
    const Bytes high(8, 0xFF);
    EXPECT_EQ(ReadKL2Field(high, 0, 8), std::numeric_limits<uint64_t>::max());
}

TEST(KL2DACCodec, ReadFieldRejectsEveryOutOfBoundsRead) {
    const Bytes b(9, 0xAA);
    const std::pair<int32_t, int32_t> cases[] = {{-1, 1},
                                                 {0, -1},
                                                 {0, 9},
                                                 {8, 2},
                                                 {9, 1},
                                                 {10, 0},
                                                 {std::numeric_limits<int32_t>::max(), 8},
                                                 {std::numeric_limits<int32_t>::min(), 0}};
    for (auto [offset, width] : cases) {
        ExpectFailure<ReadError>([&] { (void)ReadKL2Field(b, offset, width); }, "Truncated KL2 DAC field.",
                                 std::to_string(offset) + "/" + std::to_string(width));
    }
    ExpectFailure<ReadError>([] { (void)ReadKL2Field(Bytes{}, 0, 1); }, "Truncated KL2 DAC field.", "empty");
}

TEST(KL2DACCodec, WriteFieldStoresLowBytesWithoutGrowingTheBuffer) {
    Bytes b(10, 0);
    WriteKL2Field(b, 2, 0x1122334455667788, 3);
    EXPECT_EQ(b, (Bytes{0, 0, 0x88, 0x77, 0x66, 0, 0, 0, 0, 0}));
    WriteKL2Field(b, 2, 0xFFFF, 0);
    EXPECT_EQ(b[2], 0x88);
    WriteKL2Field(b, 2, 0x0102030405060708, 8);
    EXPECT_EQ(b, (Bytes{0, 0, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
}

TEST(KL2DACCodec, WriteFieldRejectsBadPlacesAndLeavesTheBufferAlone) {
    const std::pair<int32_t, int32_t> cases[] = {{-1, 1}, {0, -1}, {0, 9},
                                                 {8, 3},  {11, 0}, {std::numeric_limits<int32_t>::max(), 1}};
    for (auto [offset, width] : cases) {
        Bytes b(10, 0x55);
        ExpectFailure<WriteError>([&] { WriteKL2Field(b, offset, 0, width); }, "Invalid KL2 DAC field.",
                                  std::to_string(offset) + "/" + std::to_string(width));
        EXPECT_EQ(b, Bytes(10, 0x55));
    }
}

// ---------------------------------------------------------------- capabilities

Bytes GoodCapabilities() {
    Bytes b(21, 0);
    Put(b, 0, 1, 1);
    Put(b, 1, 40, 4);
    Put(b, 5, 44100, 4);
    Put(b, 9, 2000, 4);
    Put(b, 13, 0x0102, 2);
    Put(b, 15, 60, 1);
    Put(b, 16, 4, 1);
    Put(b, 17, 0xA1B2C3D4, 4);
    return b;
}

TEST(KL2DACCapabilities, DecodesEveryFieldFromItsOffset) {
    KL2DACCapabilities caps;
    caps.Decode(GoodCapabilities());
    EXPECT_EQ(caps.revision, 40u);
    EXPECT_EQ(caps.tickRate, 44100u);
    EXPECT_EQ(caps.recordCapacity, 2000u);
    EXPECT_EQ(caps.eventCapacity, 0x0102);
    EXPECT_EQ(caps.maxRecords, 60);
    EXPECT_EQ(caps.maxLateUs, 0xA1B2C3D4u);

    Bytes one = GoodCapabilities();
    Put(one, 15, 1, 1);
    caps.Decode(one);
    EXPECT_EQ(caps.maxRecords, 1);
}

TEST(KL2DACCapabilities, RejectsForeignFormatsAndProfiles) {
    const std::string format = "Unsupported KL2 DAC capability format.";
    const std::string profile = "Unsupported KL2 DAC profile/revision/capacity.";
    struct Case {
        const char* name;
        std::function<void(Bytes&)> change;
        std::string message;
    };
    const Case cases[] = {
        {"20 bytes", [](Bytes& b) { b.pop_back(); }, format},
        {"22 bytes", [](Bytes& b) { b.push_back(0); }, format},
        {"empty", [](Bytes& b) { b.clear(); }, format},
        {"format 2", [](Bytes& b) { b[0] = 2; }, format},
        {"revision 41", [](Bytes& b) { Put(b, 1, 41, 4); }, profile},
        {"tick rate 48000", [](Bytes& b) { Put(b, 5, 48000, 4); }, profile},
        {"no record capacity", [](Bytes& b) { Put(b, 9, 0, 4); }, profile},
        {"no event capacity", [](Bytes& b) { Put(b, 13, 0, 2); }, profile},
        {"0 records per packet", [](Bytes& b) { b[15] = 0; }, profile},
        {"61 records per packet", [](Bytes& b) { b[15] = 61; }, profile},
        {"profile 3", [](Bytes& b) { b[16] = 3; }, profile},
    };
    for (const Case& c : cases) {
        Bytes b = GoodCapabilities();
        c.change(b);
        KL2DACCapabilities caps;
        caps.recordCapacity = 77;
        ExpectFailure<ReadError>([&] { caps.Decode(b); }, c.message, c.name);
        EXPECT_EQ(caps.recordCapacity, 77u) << c.name << ": record changed by a failed decode";
    }
}

// ---------------------------------------------------------------- status

struct StatusFields {
    uint8_t state = 1, fault = 0, sealed = 0;
    uint32_t accepted = 10, consumed = 7, queued = 3;
    uint64_t acceptedTick = 520, playedTick = 300;
};

Bytes StatusReply(const StatusFields& f) {
    Bytes b(72, 0);
    b[0] = 1;
    b[1] = f.state;
    b[2] = f.fault;
    b[3] = f.sealed;
    Put(b, 4, f.accepted, 4);
    Put(b, 8, f.consumed, 4);
    Put(b, 12, f.queued, 4);
    Put(b, 48, f.acceptedTick, 8);
    Put(b, 56, f.playedTick, 8);
    return b;
}

TEST(KL2DACStatus, DecodesEveryFieldFromItsOffset) {
    Bytes b(72, 0);
    b[0] = 1;
    b[1] = 3;
    b[2] = 0x42;
    b[3] = 0x99;
    const uint32_t counters[11] = {0x20000000, 0x10000000, 0x10000000, 4, 5, 6, 7, 8, 9, 10, 11};
    for (size_t i = 0; i < 11; ++i) Put(b, 4 + 4 * i, counters[i], 4);
    Put(b, 48, 0x0102030405060708, 8);
    Put(b, 56, 0x0102030405060707, 8);
    Put(b, 64, 0xF1F2F3F4F5F6F7F8, 8);
    KL2DACStatus s;
    s.Decode(b);
    EXPECT_EQ(s.state, KL2DACState::kFaulted);
    EXPECT_EQ(s.fault, 0x42);
    EXPECT_EQ(s.sealed, 0x99);
    EXPECT_EQ(s.accepted, 0x20000000u);
    EXPECT_EQ(s.consumed, 0x10000000u);
    EXPECT_EQ(s.queued, 0x10000000u);
    EXPECT_EQ(s.free, 4u);
    EXPECT_EQ(s.eventQueued, 5u);
    EXPECT_EQ(s.eventConsumed, 6u);
    EXPECT_EQ(s.underflows, 7u);
    EXPECT_EQ(s.overflows, 8u);
    EXPECT_EQ(s.rejected, 9u);
    EXPECT_EQ(s.lateDac, 10u);
    EXPECT_EQ(s.maxLateUs, 11u);
    EXPECT_EQ(s.acceptedTick, 0x0102030405060708u);
    EXPECT_EQ(s.playedTick, 0x0102030405060707u);
    EXPECT_EQ(s.executedTick, 0xF1F2F3F4F5F6F7F8u);
}

TEST(KL2DACStatus, AcceptsConsistentPositions) {
    const StatusFields cases[] = {
        {},                                                   // the documented example
        {0, 0, 0, 0, 0, 0, 0, 0},                             // cleared
        {2, 0, 0, 5, 5, 0, 100, 100},                         // ended, everything played
        {1, 0, 0, 0xFFFFFFFF, 0, 0xFFFFFFFF, UINT64_MAX, 0},  // extremes
    };
    for (const StatusFields& f : cases) {
        KL2DACStatus s;
        EXPECT_NO_THROW(s.Decode(StatusReply(f))) << "accepted " << f.accepted;
        EXPECT_EQ(s.accepted, f.accepted);
        EXPECT_EQ(s.playedTick, f.playedTick);
    }
}

TEST(KL2DACStatus, RejectsMalformedAndInconsistentReplies) {
    const std::string invalid = "Invalid KL2 DAC status.";
    const std::string inconsistent = "Inconsistent KL2 DAC status positions.";
    struct Case {
        const char* name;
        std::function<void(Bytes&)> change;
        std::string message;
    };
    const Case cases[] = {
        {"71 bytes", [](Bytes& b) { b.pop_back(); }, invalid},
        {"73 bytes", [](Bytes& b) { b.push_back(0); }, invalid},
        {"empty", [](Bytes& b) { b.clear(); }, invalid},
        {"format 0", [](Bytes& b) { b[0] = 0; }, invalid},
        {"state 4", [](Bytes& b) { b[1] = 4; }, invalid},
        {"queued 4", [](Bytes& b) { Put(b, 12, 4, 4); }, inconsistent},
        // 7 - 10 wraps to 0xFFFFFFFD, so a matching Queued must not pass either.
        {"consumed above accepted",
         [](Bytes& b) {
             Put(b, 8, 10, 4);
             Put(b, 4, 7, 4);
             Put(b, 12, 0xFFFFFFFD, 4);
         },
         inconsistent},
        {"played past accepted", [](Bytes& b) { Put(b, 56, 521, 8); }, inconsistent},
    };
    for (const Case& c : cases) {
        Bytes b = StatusReply({});
        c.change(b);
        KL2DACStatus s;
        s.eventConsumed = 123;
        ExpectFailure<ReadError>([&] { s.Decode(b); }, c.message, c.name);
        EXPECT_EQ(s.eventConsumed, 123u) << c.name << ": record changed by a failed decode";
    }
}

TEST(KL2DACStatus, DescribeWritesTheLogLine) {
    KL2DACStatus s;
    s.Decode(StatusReply({}));
    EXPECT_EQ(s.Describe(),
              "DAC: state=1 fault=0 accepted=10 consumed=7 queued=3; underflows=0 overflows=0 rejected=0; "
              "max DAC late=0 us; ticks=300/520");

    KL2DACStatus big;
    big.state = KL2DACState::kFaulted;
    big.fault = 255;
    big.accepted = big.consumed = big.queued = 0xFFFFFFFF;
    big.underflows = 1;
    big.overflows = 2;
    big.rejected = 0x80000000;
    big.maxLateUs = 0xFFFFFFFF;
    big.playedTick = 0x8000000000000000;
    big.acceptedTick = UINT64_MAX;
    EXPECT_EQ(
        big.Describe(),
        "DAC: state=3 fault=255 accepted=4294967295 consumed=4294967295 queued=4294967295; underflows=1 "
        "overflows=2 rejected=2147483648; max DAC late=4294967295 us; "
        "ticks=9223372036854775808/18446744073709551615");
}

// ---------------------------------------------------------------- DAC records

KL2DACChunk Chunk(uint64_t start, std::vector<KL2DACRecord> records) {
    KL2DACChunk c;
    c.startTick = start;
    c.endTick = start;
    for (const auto& r : records) c.endTick += r.wait;
    c.records = std::move(records);
    return c;
}

TEST(KL2DACRecords, EncodesOneSampleRecord) {
    KL2DACChunk c = Chunk(3528, {{KL2RecordKind::kSample, 0x7F, 220}});
    ASSERT_EQ(c.endTick, 3748u);
    EXPECT_EQ(EncodeKL2DACRecords(5, c), (Bytes{0x01, 0x52, 0x00, 0x05, 0x00, 0x00, 0x00, 0xC8, 0x0D, 0x00,
                                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7F, 0xDC, 0x00}));
    c.endTick = 3747;
    ExpectFailure<WriteError>([&] { (void)EncodeKL2DACRecords(5, c); }, "KL2 DAC chunk end mismatch.",
                              "end 3747");
    c.endTick = 3749;
    ExpectFailure<WriteError>([&] { (void)EncodeKL2DACRecords(5, c); }, "KL2 DAC chunk end mismatch.",
                              "end 3749");
}

TEST(KL2DACRecords, EncodesEveryKindInOrder) {
    const KL2DACChunk c = Chunk(0x0102030405060708, {{KL2RecordKind::kEnable, 0x80, 0},
                                                     {KL2RecordKind::kSample, 0x40, 100},
                                                     {KL2RecordKind::kDelay, 0, 0x1234},
                                                     {KL2RecordKind::kEnable, 0x00, 1}});
    EXPECT_EQ(
        EncodeKL2DACRecords(0xAABBCCDD, c),
        (Bytes{0x01, 0x52, 0x00, 0xDD, 0xCC, 0xBB, 0xAA, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x01,
               0x80, 0x00, 0x00, 0x00, 0x40, 0x64, 0x00, 0x02, 0x00, 0x34, 0x12, 0x01, 0x00, 0x01, 0x00}));
}

TEST(KL2DACRecords, SixtyRecordsFillTheLargestPacket) {
    const KL2DACChunk c = Chunk(0, std::vector<KL2DACRecord>(60, {KL2RecordKind::kSample, 0x80, 1}));
    const Bytes packet = EncodeKL2DACRecords(0xFFFFFFFF - 60, c);
    EXPECT_EQ(packet.size(), 255u);
    EXPECT_EQ(packet[251], 0x00);
    EXPECT_EQ(packet[252], 0x80);
    EXPECT_EQ(packet[253], 0x01);
}

TEST(KL2DACRecords, RejectsBadCountsAndSequenceNumbers) {
    struct Case {
        const char* name;
        uint32_t first;
        size_t count;
    };
    const Case cases[] = {{"no records", 0, 0},
                          {"61 records", 0, 61},
                          {"numbers past 2^32", 0xFFFFFFF0, 16},
                          {"last number 2^32", 0xFFFFFFFF, 1}};
    for (const Case& c : cases) {
        const KL2DACChunk chunk =
            Chunk(0, std::vector<KL2DACRecord>(c.count, {KL2RecordKind::kSample, 0, 1}));
        ExpectFailure<WriteError>([&] { (void)EncodeKL2DACRecords(c.first, chunk); },
                                  "Invalid KL2 DAC record count/sequence.", c.name);
    }
    EXPECT_NO_THROW((void)EncodeKL2DACRecords(
        0xFFFFFFF0, Chunk(0, std::vector<KL2DACRecord>(15, {KL2RecordKind::kSample, 0, 1}))));
}

TEST(KL2DACRecords, RejectsRecordsTheBoardDoesNotTake) {
    struct Case {
        const char* name;
        KL2DACRecord record;
    };
    const Case cases[] = {{"kind 3", {KL2RecordKind{3}, 0, 1}},
                          {"kind 255", {KL2RecordKind{255}, 0, 1}},
                          {"enable 0x81", {KL2RecordKind::kEnable, 0x81, 1}},
                          {"enable 0x01", {KL2RecordKind::kEnable, 0x01, 0}},
                          {"delay with value", {KL2RecordKind::kDelay, 1, 1}},
                          {"delay of 0", {KL2RecordKind::kDelay, 0, 0}}};
    for (const Case& c : cases) {
        // The good record in front must not hide the bad one behind it.
        const KL2DACChunk chunk = Chunk(0, {{KL2RecordKind::kSample, 0, 1}, c.record});
        ExpectFailure<WriteError>([&] { (void)EncodeKL2DACRecords(0, chunk); }, "Invalid KL2 DAC record.",
                                  c.name);
    }
    const KL2DACChunk fine = Chunk(0, {{KL2RecordKind::kEnable, 0x00, 0},
                                       {KL2RecordKind::kEnable, 0x80, 0},
                                       {KL2RecordKind::kSample, 0xFF, 0},
                                       {KL2RecordKind::kDelay, 0, 65535}});
    EXPECT_NO_THROW((void)EncodeKL2DACRecords(0, fine));
}

TEST(KL2DACRecords, RejectsATickPastTheLastRepresentable) {
    KL2DACChunk edge =
        Chunk(UINT64_MAX - 10, {{KL2RecordKind::kSample, 0, 4}, {KL2RecordKind::kSample, 0, 6}});
    EXPECT_EQ(edge.endTick, UINT64_MAX);
    EXPECT_NO_THROW((void)EncodeKL2DACRecords(0, edge));

    KL2DACChunk over;
    over.startTick = UINT64_MAX - 10;
    over.endTick = 0;  // where a wrapped sum would land
    over.records = {{KL2RecordKind::kSample, 0, 5}, {KL2RecordKind::kSample, 0, 6}};
    ExpectFailure<WriteError>([&] { (void)EncodeKL2DACRecords(0, over); }, "Invalid KL2 DAC record.",
                              "overflow");
}

// ---------------------------------------------------------------- register events

constexpr KLINKVGMTarget kYMPort0{0x52, 0, 0};
constexpr KLINKVGMTarget kYMPort1{0x53, 0, 1};
constexpr KLINKVGMTarget kPSG{0x50, 0, 0};
constexpr KLINKVGMTarget kPSG2{0x30, 1, 0};

std::vector<KL2RegisterEvent> Events(size_t n, uint64_t tick, KLINKVGMTarget target) {
    std::vector<KL2RegisterEvent> events(n);
    for (size_t i = 0; i < n; ++i) {
        events[i] = {tick, false, target, static_cast<uint8_t>(0x30 + i % 0x80), static_cast<uint8_t>(i)};
    }
    return events;
}

TEST(KL2RegisterEvents, EventWidthIsOneForThePSGs) {
    EXPECT_EQ(KL2EventWidth(kPSG), 1);
    EXPECT_EQ(KL2EventWidth(kPSG2), 1);
    EXPECT_EQ(KL2EventWidth(kYMPort0), 2);
    EXPECT_EQ(KL2EventWidth(kYMPort1), 2);
}

TEST(KL2RegisterEvents, EncodesTwoByteEvents) {
    const std::vector<KL2RegisterEvent> events = {{0x1122334455667788, false, kYMPort1, 0xB4, 0xC0},
                                                  {0x1122334455667788, true, kYMPort1, 0x2A, 0x11}};
    EXPECT_EQ(EncodeKL2RegisterEvents(events, 0, 2), (Bytes{0x01, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22,
                                                            0x11, 0x53, 0x00, 0x01, 0xB4, 0xC0, 0x2A, 0x11}));
}

TEST(KL2RegisterEvents, EncodesValueOnlyPSGEventsFromTheMiddleOfAList) {
    const std::vector<KL2RegisterEvent> events = {{1, false, kYMPort0, 0x28, 0xF0},
                                                  {44100, false, kPSG2, 0x00, 0x9F},
                                                  {44100, false, kPSG2, 0x2A, 0x05},
                                                  {44101, false, kPSG2, 0x00, 0x06}};
    EXPECT_EQ(EncodeKL2RegisterEvents(events, 1, 2),
              (Bytes{0x01, 0x44, 0xAC, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x01, 0x00, 0x9F, 0x05}));
}

TEST(KL2RegisterEvents, PayloadLimitDependsOnTheEventWidth) {
    const auto psg = Events(245, 7, kPSG);
    EXPECT_EQ(EncodeKL2RegisterEvents(psg, 0, 244).size(), 256u);
    ExpectFailure<WriteError>([&] { (void)EncodeKL2RegisterEvents(psg, 0, 245); },
                              "KL2 register event payload too large.", "245 PSG events");
    const auto ym = Events(123, 7, kYMPort1);
    EXPECT_EQ(EncodeKL2RegisterEvents(ym, 0, 122).size(), 256u);
    ExpectFailure<WriteError>([&] { (void)EncodeKL2RegisterEvents(ym, 0, 123); },
                              "KL2 register event payload too large.", "123 YM2612 events");
}

TEST(KL2RegisterEvents, RejectsRangesOutsideTheList) {
    const auto events = Events(4, 0, kPSG);
    const std::pair<int32_t, int32_t> cases[] = {{-1, 1},
                                                 {0, 0},
                                                 {0, -1},
                                                 {0, 5},
                                                 {4, 1},
                                                 {3, 2},
                                                 {1, std::numeric_limits<int32_t>::max()},
                                                 {std::numeric_limits<int32_t>::max(), 1}};
    for (auto [first, count] : cases) {
        ExpectFailure<WriteError>([&] { (void)EncodeKL2RegisterEvents(events, first, count); },
                                  "Invalid KL2 register event batch.",
                                  std::to_string(first) + "+" + std::to_string(count));
    }
    ExpectFailure<WriteError>([] { (void)EncodeKL2RegisterEvents({}, 0, 1); },
                              "Invalid KL2 register event batch.", "empty list");
}

TEST(KL2RegisterEvents, RejectsMixedBatchesAndDACRegisters) {
    struct Case {
        const char* name;
        KL2RegisterEvent second;
    };
    const Case cases[] = {
        {"other tick", {11, false, kYMPort1, 0x30, 0}},
        {"other chip", {10, false, {0x54, 0, 1}, 0x30, 0}},
        {"other instance", {10, false, {0x53, 1, 1}, 0x30, 0}},
        {"other page", {10, false, {0x53, 0, 0}, 0x30, 0}},
    };
    for (const Case& c : cases) {
        const std::vector<KL2RegisterEvent> events = {{10, false, kYMPort1, 0x30, 0}, c.second};
        ExpectFailure<WriteError>([&] { (void)EncodeKL2RegisterEvents(events, 0, 2); },
                                  "Invalid KL2 register event target/order.", c.name);
    }
    for (uint8_t address : {uint8_t{0x2A}, uint8_t{0x2B}}) {
        const std::vector<KL2RegisterEvent> port0 = {{10, false, kYMPort0, 0x28, 0xF0},
                                                     {10, false, kYMPort0, address, 0x80}};
        ExpectFailure<WriteError>([&] { (void)EncodeKL2RegisterEvents(port0, 0, 2); },
                                  "Invalid KL2 register event target/order.", "port 0 DAC register");
        ExpectFailure<WriteError>([&] { (void)EncodeKL2RegisterEvents(port0, 1, 1); },
                                  "Invalid KL2 register event target/order.", "port 0 DAC register alone");
        const std::vector<KL2RegisterEvent> port1 = {{10, false, kYMPort1, address, 0x80}};
        EXPECT_NO_THROW((void)EncodeKL2RegisterEvents(port1, 0, 1));
        // The same register numbers of another chip (YM2413, YM2151) are no DAC registers.
        for (const KLINKVGMTarget other : {KLINKVGMTarget{0x51, 0, 0}, KLINKVGMTarget{0x54, 0, 0}}) {
            const std::vector<KL2RegisterEvent> write = {{10, false, other, address, 0x17}};
            EXPECT_NO_THROW((void)EncodeKL2RegisterEvents(write, 0, 1)) << int{other.writeId};
        }
    }
    // The PSGs carry no register byte, so their Address does not matter.
    const std::vector<KL2RegisterEvent> psg = {{10, false, kPSG, 0x2A, 0x9F}};
    EXPECT_NO_THROW((void)EncodeKL2RegisterEvents(psg, 0, 1));
}

// ---------------------------------------------------------------- other messages

TEST(KL2DACMessages, StartEndAndStatusPayloads) {
    EXPECT_EQ(EncodeKL2DACStart(3528), (Bytes{0x01, 0xC8, 0x0D, 0x00, 0x00}));
    EXPECT_EQ(EncodeKL2DACEnd(0x01020304, 0x1122334455667788),
              (Bytes{0x01, 0x04, 0x03, 0x02, 0x01, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(EncodeKL2DACStatusRequest(), Bytes{0x01});
}

// ---------------------------------------------------------------- flow control

TEST(KL2EventCreditsFit, ComparesOutstandingEventsWithTheCapacity) {
    struct Case {
        uint32_t sent, consumed;
        uint16_t capacity;
        int32_t count;
        bool fits;
    };
    const Case cases[] = {
        {10, 4, 8, 2, true},
        {10, 4, 8, 3, false},
        {4, 4, 8, 0, true},
        {4, 4, 0, 0, true},
        {4, 4, 0, 1, false},
        {0, 0, 65535, 65535, true},
        {0, 0, 65535, 65536, false},
        // Outstanding plus Count passes 2^32: must not wrap round to "fits".
        {0xFFFFFFFF, 0, 65535, 1, false},
        {0xFFFFFFFF, 0xFFFFFFFF, 65535, std::numeric_limits<int32_t>::max(), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KL2EventCreditsFit(c.sent, c.consumed, c.capacity, c.count), c.fits)
            << c.sent << " " << c.consumed << " " << c.capacity << " " << c.count;
    }
}

TEST(KL2EventCreditsFit, RejectsImpossibleCounters) {
    ExpectFailure<ReadError>([] { (void)KL2EventCreditsFit(3, 4, 8, 0); },
                             "Invalid KL2 register event credits.", "consumed above sent");
    ExpectFailure<ReadError>([] { (void)KL2EventCreditsFit(4, 4, 8, -1); },
                             "Invalid KL2 register event credits.", "negative count");
}

TEST(KL2RegisterBudget, LimitsByWindowPacketAndBytesInFlight) {
    struct Case {
        uint64_t pending;
        bool startup;
        uint64_t inFlight;
        int32_t budget;
    };
    const Case cases[] = {
        {0, false, 0, 128},
        {900, false, 0, 92},
        {991, false, 0, 1},
        {992, false, 0, 0},
        {5000, false, 0, 0},
        {0, false, 200, 24},
        {0, false, 223, 1},
        {0, false, 224, 0},
        {950, false, 200, 24},
        {980, false, 200, 12},
        {0, false, UINT64_MAX, 0},
        {UINT64_MAX, false, 0, 0},
        {0, true, 5000, 254},
        {8100, true, 0, 60},
        {8159, true, 0, 1},
        {8160, true, 0, 0},
        {7906, true, UINT64_MAX, 254},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KL2RegisterBudget(c.pending, c.startup, c.inFlight), c.budget)
            << c.pending << " " << c.startup << " " << c.inFlight;
    }
}

}  // namespace
}  // namespace klink
