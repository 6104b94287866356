// The board model on its own, at explicit times: what it answers, what it
// applies, what it records, and the faults it can be told to show.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "SimTestSupport.h"
#include "common/Errors.h"
#include "kl2/KL2DACCodec.h"
#include "protocol/KLINKCapabilities.h"

namespace klink::sim {
namespace {

using testing::Cat;
using testing::DecodeWire;
using testing::ModelDriver;
using testing::U32;

// Reads every capability page the way the host does; throws what AddPage throws.
KLINKCapabilities QueryCapabilities(ModelDriver& d, int* pages = nullptr) {
    KLINKCapabilities caps;
    int count = 0;
    while (!caps.Complete()) {
        const uint16_t offset = caps.NextOffset();
        auto reply = d.Request(Opcode::kCapabilities,
                               {static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8)});
        if (reply.empty() || reply[0] != 0) throw ReadError("refused");
        caps.AddPage(offset, std::span(reply).subspan(1));
        if (++count > 100) throw ReadError("endless");
    }
    if (pages != nullptr) *pages = count;
    return caps;
}

// The host's checks of a DEVICE_INFO reply; returns the model or the failure.
std::string ParseDeviceInfo(std::span<const uint8_t> data) {
    const size_t l = data.size();
    if (l < 2) return "Invalid KLINK device info.";
    const size_t m = data[0];
    if (m + 1 >= l) return "Invalid KLINK model length.";
    const size_t f = data[m + 1];
    if (m + f + 2 != l) return "Invalid KLINK firmware length.";
    return std::string(data.begin() + 1, data.begin() + 1 + static_cast<std::ptrdiff_t>(m));
}

class EveryModel : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryModel, AnswersProbeIdentityAndCapabilitiesTheHostAccepts) {
    ModelDriver d(GetParam());
    const std::vector<uint8_t> probe{'K', 'L', 'I', 'N', 'K'};
    EXPECT_EQ(d.Request(Opcode::kPing, probe), Cat({{0}, probe}));
    EXPECT_EQ(d.Request(Opcode::kPing), std::vector<uint8_t>{0});  // the start-up fence
    auto info = d.Request(Opcode::kDeviceInfo);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info[0], 0);
    EXPECT_EQ(ParseDeviceInfo(std::span(info).subspan(1)), GetParam());
    int pages = 0;
    const KLINKCapabilities caps = QueryCapabilities(d, &pages);
    EXPECT_GE(pages, 2);
    EXPECT_EQ(caps.MaxPayload(), 256);
    EXPECT_TRUE(caps.ControlFeatures() & kControlAttenuation);
    EXPECT_EQ(caps.Entries().size(), d.Model().Profile().targets.size());
    EXPECT_EQ(d.Request(Opcode::kReset), std::vector<uint8_t>{0});
    EXPECT_EQ(d.Request(Opcode::kSetOutputVolume, {0}), std::vector<uint8_t>{0});
}

INSTANTIATE_TEST_SUITE_P(Models, EveryModel,
                         ::testing::Values("Keltra 2", "Keltra 2.1", "Keltra 3", "Keltra 4"),
                         [](const auto& param) {
                             std::string n = param.param;
                             for (char& c : n) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return n;
                         });

TEST(SimBoardModel, AdvertisesEachModelsTargets) {
    struct Case {
        const char* model;
        uint8_t writeId, instance, page, features;
        bool expected;
    };
    const Case cases[] = {
        {"Keltra 4", 0x54, 0, 0, 0x07, true},   {"Keltra 4", 0xB7, 0, 0, 0x0C, true},
        {"Keltra 4", 0x52, 0, 0, 0x01, false},  {"Keltra 2.1", 0x52, 0, 0, 0x05, true},
        {"Keltra 2.1", 0x53, 0, 1, 0x01, true}, {"Keltra 2.1", 0x50, 0, 0, 0x05, true},
        {"Keltra 2", 0x30, 1, 0, 0x05, true},   {"Keltra 3", 0x55, 0, 0, 0x05, true},
        {"Keltra 3", 0xA0, 1, 0, 0x05, true},   {"Keltra 3", 0x5F, 0, 1, 0x05, true},
        {"Keltra 3", 0x51, 0, 0, 0x04, false},  // fixed clock
    };
    for (const Case& c : cases) {
        ModelDriver d(c.model);
        EXPECT_EQ(QueryCapabilities(d).Supports(c.writeId, c.instance, c.page, c.features), c.expected)
            << c.model << " $" << std::hex << int{c.writeId};
    }
    ModelDriver kl4("Keltra 4");
    const auto caps = QueryCapabilities(kl4);
    EXPECT_GE(caps.DataCapacity(), 875u * 16);
    EXPECT_GE(caps.EventCapacity(), 1024);
    ModelDriver kl2("Keltra 2.1");
    EXPECT_EQ(QueryCapabilities(kl2).ControlFeatures(), kControlAttenuation | kControlKL2DAC);
    auto dac = kl2.Request(Opcode::kDACCapabilities);
    ASSERT_EQ(dac.size(), 22u);
    KL2DACCapabilities decoded;
    decoded.Decode(std::span(dac).subspan(1));
    EXPECT_EQ(decoded.revision, 40u);
    EXPECT_EQ(decoded.tickRate, 44100u);
    EXPECT_GT(decoded.recordCapacity, 3528u * 2);
}

TEST(SimBoardModel, RefusesWhatItDoesNotOfferWithNonzeroStatus) {
    struct Case {
        const char* model;
        Opcode opcode;
        std::vector<uint8_t> payload;
        uint8_t status;
    };
    const std::vector<Case> cases = {
        {"Keltra 4", Opcode{0x0F}, {}, kStatusUnknownOpcode},
        {"Keltra 4", Opcode::kStreamData, {0xB7, 0, 0, 0, 0, 0, 1}, kStatusUnknownOpcode},  // packet-only
        {"Keltra 4", WriteOpcode(0x54), {0, 0, 0x20, 0x01}, kStatusUnknownOpcode},          // register write
        {"Keltra 4", Opcode::kDACStatus, {1}, kStatusUnknownOpcode},
        {"Keltra 2.1", Opcode::kAudioStatus, {0xB7, 0}, kStatusUnknownOpcode},
        {"Keltra 4", Opcode::kAudioStatus, {0x54, 0}, kStatusUnsupported},
        {"Keltra 4", Opcode::kAudioStatus, {0xB7}, kStatusMalformed},
        {"Keltra 4", Opcode::kCapabilities, {7, 0}, kStatusOutOfRange},
        {"Keltra 4", Opcode::kCapabilities, {0}, kStatusMalformed},
        {"Keltra 4", Opcode::kSetOutputVolume, {97}, kStatusOutOfRange},
        {"Keltra 4", Opcode::kSetChipClock, Cat({{0x54, 0}, U32(0)}), kStatusOutOfRange},
        {"Keltra 4", Opcode::kSetChipClock, Cat({{0xB7, 0}, U32(15625)}), kStatusOutOfRange},
        {"Keltra 4", Opcode::kSetChipClock, Cat({{0x52, 0}, U32(7670453)}), kStatusUnsupported},
        {"Keltra 3", Opcode::kSetChipClock, Cat({{0x51, 0}, U32(4000000)}), kStatusUnsupported},
        {"Keltra 2.1", Opcode::kDACStart, {1, 0}, kStatusMalformed},
    };
    for (const Case& c : cases) {
        ModelDriver d(c.model);
        EXPECT_EQ(d.Request(c.opcode, c.payload), std::vector<uint8_t>{c.status})
            << c.model << " $" << std::hex << int{OpcodeByte(c.opcode)};
    }
}

TEST(SimBoardModel, SetsVolumeAndClocksAndRecordsThem) {
    ModelDriver d("Keltra 4");
    d.now = 2'000'000;
    EXPECT_EQ(d.Request(Opcode::kSetOutputVolume, {40}), std::vector<uint8_t>{0});
    d.Packet(Opcode::kSetOutputVolume, {12});  // fade step, sent without waiting
    EXPECT_EQ(d.Model().Attenuation(), 12);
    EXPECT_EQ(d.Request(Opcode::kSetChipClock, Cat({{0xB7, 0}, U32(4000000)})), std::vector<uint8_t>{0});
    EXPECT_EQ(d.Model().Chips().ClockHz(0xB7, 0), 4000000u);
    const auto volume = d.TraceOf(SimTraceOp::kVolume);
    ASSERT_EQ(volume.size(), 2u);
    EXPECT_EQ(volume[0].number, 40u);
    EXPECT_EQ(volume[0].timeUs, 2000u);
    const auto clock = d.TraceOf(SimTraceOp::kClock);
    ASSERT_EQ(clock.size(), 1u);
    EXPECT_EQ(FormatTraceLine(clock[0], "sim-keltra4-1"),
              R"({"t_us":2000,"board":"sim-keltra4-1","op":"clock","id":183,"inst":0,"hz":4000000})");
}

TEST(SimBoardModel, KeepsTheClockRulesOfSharedClockLines) {
    struct Step {
        uint8_t writeId, instance;
        uint32_t hz;
        uint8_t status;
    };
    struct Case {
        const char* model;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        // KL3: one OPN input clock (AY x2), one OPL input clock (OPL1/OPL2 x4).
        {"Keltra 3", {{0x55, 0, 4000000, 0}, {0xA0, 1, 2000000, 0}, {0xA0, 0, 1500000, kStatusConflict}}},
        {"Keltra 3", {{0x55, 0, 3993600, 0}, {0xA0, 1, 1996800, 0}}},
        {"Keltra 3",
         {{0x5A, 0, 3579545, 0},
          {0x5A, 1, 3580000, 0},
          {0x5E, 0, 14318180, 0},
          {0x5B, 0, 3600000, kStatusConflict}}},
        {"Keltra 3", {{0x51, 0, 3579540, 0}, {0x54, 0, 3579545, 0}}},  // fixed clocks that match
        // KL2: the YM2612 and the second SN76489 share CLK0; the first SN76489 has its own.
        {"Keltra 2.1",
         {{0x52, 0, 7670453, 0},
          {0x30, 1, 7670000, 0},
          {0x50, 0, 3579545, 0},
          {0x30, 1, 3579545, kStatusConflict}}},
    };
    for (const Case& c : cases) {
        ModelDriver d(c.model);
        for (const Step& s : c.steps) {
            EXPECT_EQ(d.Request(Opcode::kSetChipClock, Cat({{s.writeId, s.instance}, U32(s.hz)})),
                      std::vector<uint8_t>{s.status})
                << c.model << " $" << std::hex << int{s.writeId} << " " << std::dec << s.hz;
        }
    }
    ModelDriver kl2("Keltra 2.1");
    (void)kl2.Request(Opcode::kSetChipClock, Cat({{0x52, 0}, U32(8000000)}));
    EXPECT_EQ(kl2.Model().Chips().ClockHz(0x30, 1), 8000000u);  // the line carries both
    EXPECT_EQ(kl2.Model().Chips().ClockHz(0x53, 0), 8000000u);
    EXPECT_EQ(kl2.Request(Opcode::kReset), std::vector<uint8_t>{0});
    EXPECT_EQ(kl2.Model().Chips().ClockHz(0x52, 0), 7670453u);
    EXPECT_EQ(kl2.Request(Opcode::kSetChipClock, Cat({{0x30, 1}, U32(3579545)})), std::vector<uint8_t>{0});
}

TEST(SimBoardModel, AppliesRegisterBatchesInOrderAndTracesEachWrite) {
    ModelDriver d("Keltra 4");
    d.now = 5'000'123;
    d.Packet(WriteOpcode(0x54), {0, 0, 0x20, 0xC7, 0x08, 0x01, 0x20, 0xC0});
    EXPECT_EQ(d.Model().Chips().Register(0x54, 0, 0, 0x20), 0xC0);
    EXPECT_EQ(d.Model().Chips().Register(0x54, 0, 0, 0x08), 0x01);
    const auto regs = d.TraceOf(SimTraceOp::kReg);
    ASSERT_EQ(regs.size(), 3u);
    EXPECT_EQ(regs[0].value, 0xC7);
    EXPECT_EQ(regs[2].value, 0xC0);
    EXPECT_EQ(
        FormatTraceLine(regs[1], "b"),
        R"({"t_us":5000,"board":"b","op":"reg","id":84,"inst":0,"page":0,"reg":8,"val":1,"src":"host"})");

    ModelDriver kl2("Keltra 2.1");
    kl2.Packet(WriteOpcode(0x50), {0, 0, 0x8E, 0x0F, 0x90});  // tone 0 = 0x3FE, volume 0 = 0
    kl2.Packet(WriteOpcode(0x30), {1, 0, 0xDF});              // second PSG, volume 2 = 15
    EXPECT_EQ(kl2.Model().Chips().PSGRegister(0x50, 0, 0), 0x0FE);
    EXPECT_EQ(kl2.Model().Chips().PSGRegister(0x50, 0, 1), 0);
    EXPECT_EQ(kl2.Model().Chips().PSGRegister(0x30, 1, 5), 15);
    const auto psg = kl2.TraceOf(SimTraceOp::kReg);
    ASSERT_EQ(psg.size(), 4u);
    EXPECT_EQ(psg[0].reg, -1);
    EXPECT_EQ(psg[3].writeId, 0x30);
    EXPECT_EQ(psg[3].instance, 1);
    kl2.Packet(WriteOpcode(0x53), {0, 1, 0xB4, 0xC0});
    EXPECT_EQ(kl2.Model().Chips().Register(0x53, 0, 1, 0xB4), 0xC0);
}

TEST(SimBoardModel, RejectsRegisterWritesItCannotTakeWithoutApplyingAnyPart) {
    struct Case {
        const char* model;
        Opcode opcode;
        std::vector<uint8_t> payload;
    };
    const std::vector<Case> cases = {
        {"Keltra 3", WriteOpcode(0xA0), {0, 0, 0x07, 0x38, 0x10, 0x01}},  // AY register above 15
        {"Keltra 3", WriteOpcode(0x51), {0, 0, 0x40, 0x01}},              // YM2413 register above 0x3F
        {"Keltra 4", WriteOpcode(0x54), {1, 0, 0x20, 0x01}},              // no second YM2151
        {"Keltra 4", WriteOpcode(0x54), {0, 0, 0x20}},                    // odd register batch
        {"Keltra 2.1", WriteOpcode(0x50), {0, 1, 0x9F}},                  // byte batch on page 1
        {"Keltra 4", Opcode{0x0A}, {0, 0}},                               // unknown packet opcode
    };
    for (const Case& c : cases) {
        ModelDriver d(c.model);
        d.Packet(c.opcode, c.payload);
        EXPECT_TRUE(d.TraceOf(SimTraceOp::kReg).empty()) << c.model;
        EXPECT_EQ(d.TraceOf(SimTraceOp::kReject).size(), 1u) << c.model;
        EXPECT_EQ(d.Model().Rejected(), 1u);
        EXPECT_EQ(d.Model().Chips().Register(0xA0, 0, 0, 0x07), 0);
    }
}

TEST(SimBoardModel, ResetReturnsToTheClearedState) {
    ModelDriver d("Keltra 4");
    d.Packet(WriteOpcode(0x54), {0, 0, 0x20, 0xC7});
    (void)d.Request(Opcode::kSetOutputVolume, {50});
    (void)d.Request(Opcode::kSetChipClock, Cat({{0x54, 0}, U32(3579545)}));
    d.Packet(Opcode::kStreamData, Cat({{0xB7, 0}, U32(0), {0x11, 0x22}}));
    EXPECT_EQ(d.Request(Opcode::kReset), std::vector<uint8_t>{0});
    EXPECT_EQ(d.Model().Chips().Register(0x54, 0, 0, 0x20), 0);
    EXPECT_EQ(d.Model().Attenuation(), 0);
    EXPECT_EQ(d.Model().Chips().ClockHz(0x54, 0), 4000000u);
    const auto status = d.Request(Opcode::kAudioStatus, {0xB7, 0});
    EXPECT_EQ(status, Cat({{0}, std::vector<uint8_t>(40, 0)}));
    EXPECT_EQ(d.TraceOf(SimTraceOp::kReset).size(), 1u);
}

TEST(SimBoardModel, ReplyRulesChangeOnlyTheRepliesTheyMatch) {
    ModelDriver d("Keltra 4");
    SimFaults f;
    f.replies = {{SimReplyAction::kDrop, Opcode::kPing, 2, 0, 0},
                 {SimReplyAction::kStatus, Opcode::kSetOutputVolume, 0, 0, 9},
                 {SimReplyAction::kDelay, Opcode::kDeviceInfo, 1, 1200, 0},
                 {SimReplyAction::kStaleRequestID, Opcode::kReset, 0, 0, 0},
                 {SimReplyAction::kEmptyPayload, Opcode::kCapabilities, 0, 0, 0},
                 {SimReplyAction::kCorruptCrc, Opcode::kSetChipClock, 0, 0, 0}};
    d.Model().SetFaults(f);

    EXPECT_EQ(d.RawRequest(Opcode::kPing, {}).size(), 1u);
    EXPECT_TRUE(d.RawRequest(Opcode::kPing, {}).empty());  // the second one only
    EXPECT_EQ(d.RawRequest(Opcode::kPing, {}).size(), 1u);

    EXPECT_EQ(d.Request(Opcode::kSetOutputVolume, {0}), std::vector<uint8_t>{9});
    EXPECT_EQ(d.Model().Attenuation(), 0);

    d.now = 10'000'000;
    auto late = d.RawRequest(Opcode::kDeviceInfo, {});
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].readyNs, 10'000'000 + 1'200'000'000);
    EXPECT_EQ(d.RawRequest(Opcode::kDeviceInfo, {})[0].readyNs, 10'000'000);

    auto stale = DecodeWire(d.RawRequest(Opcode::kReset, {})[0].wire);
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(stale[0].opcode, Opcode::kReset);
    EXPECT_EQ(stale[0].requestId, static_cast<uint16_t>(d.lastId - 1));

    auto empty = DecodeWire(d.RawRequest(Opcode::kCapabilities, {0, 0})[0].wire);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_TRUE(empty[0].payload.empty());

    auto corrupt = d.RawRequest(Opcode::kSetChipClock, Cat({{0x54, 0}, U32(3579545)}));
    ASSERT_EQ(corrupt.size(), 1u);
    EXPECT_TRUE(DecodeWire(corrupt[0].wire).empty());
    EXPECT_EQ(d.Model().Chips().ClockHz(0x54, 0), 3579545u);  // carried out all the same

    EXPECT_EQ(d.TraceOf(SimTraceOp::kFault).size(), 6u);
}

TEST(SimBoardModel, WrongPingEchoDiffersFromWhatWasSent) {
    ModelDriver d("Keltra 2.1");
    SimFaults f;
    f.replies = {{SimReplyAction::kWrongEcho, Opcode::kPing, 0, 0, 0}};
    d.Model().SetFaults(f);
    const std::vector<uint8_t> probe{'K', 'L', 'I', 'N', 'K'};
    auto echo = d.Request(Opcode::kPing, probe);
    ASSERT_EQ(echo.size(), 6u);
    EXPECT_NE(std::vector<uint8_t>(echo.begin() + 1, echo.end()), probe);
    EXPECT_EQ(d.Request(Opcode::kPing), (std::vector<uint8_t>{0, '?'}));
}

TEST(SimBoardModel, BrokenDeviceInfoFailsTheHostsMatchingCheck) {
    const std::pair<SimDeviceInfoFault, const char*> cases[] = {
        {SimDeviceInfoFault::kShort, "Invalid KLINK device info."},
        {SimDeviceInfoFault::kModelLength, "Invalid KLINK model length."},
        {SimDeviceInfoFault::kFirmwareLength, "Invalid KLINK firmware length."},
    };
    for (const auto& [fault, message] : cases) {
        ModelDriver d("Keltra 4");
        SimFaults f;
        f.deviceInfo = fault;
        d.Model().SetFaults(f);
        auto info = d.Request(Opcode::kDeviceInfo);
        ASSERT_FALSE(info.empty());
        EXPECT_EQ(ParseDeviceInfo(std::span(info).subspan(1)), message);
    }
}

TEST(SimBoardModel, InconsistentCapabilityPagesFailTheHostsQuery) {
    const std::pair<SimCapabilityFault, const char*> cases[] = {
        {SimCapabilityFault::kHeaderChanged, "KLINK capabilities changed during query."},
        {SimCapabilityFault::kDuplicateEntry, "Duplicate KLINK capability entry."},
        {SimCapabilityFault::kClockMismatch, "Inconsistent KLINK clock across pages."},
        {SimCapabilityFault::kSelfNext, "Invalid KLINK capabilities header."},
        {SimCapabilityFault::kBadLength, "Invalid KLINK capabilities length."},
    };
    for (const std::string model : {"Keltra 4", "Keltra 3", "Keltra 2.1"}) {
        for (const auto& [fault, message] : cases) {
            ModelDriver d(model);
            SimFaults f;
            f.capabilities = fault;
            d.Model().SetFaults(f);
            try {
                (void)QueryCapabilities(d);
                ADD_FAILURE() << model << ": no failure, expected " << message;
            } catch (const ReadError& e) {
                EXPECT_STREQ(e.what(), message) << model;
            }
        }
    }
    ModelDriver d("Keltra 4");
    SimFaults f;
    f.capabilities = SimCapabilityFault::kSmallPayload;
    d.Model().SetFaults(f);
    EXPECT_EQ(QueryCapabilities(d).MaxPayload(), 128);
}

TEST(SimBoardModel, ServesAProfilesPagesAndDACRecordAsWritten) {
    ModelDriver d(ParseProfile(R"({
        "base": "Keltra 2.1",
        "pages": [ {"offset": 0, "next": 16, "entries": [{"write_id": 82, "features": 5, "clock_mode": 2}]},
                   {"offset": 16, "max_payload": 128, "entries": []} ],
        "dac": {"revision": 41} })",
                               "t.json"));
    try {
        (void)QueryCapabilities(d);
        ADD_FAILURE() << "pages accepted";
    } catch (const ReadError& e) {
        EXPECT_STREQ(e.what(), "KLINK capabilities changed during query.");
    }
    auto dac = d.Request(Opcode::kDACCapabilities);
    ASSERT_EQ(dac.size(), 22u);
    KL2DACCapabilities caps;
    EXPECT_THROW(caps.Decode(std::span(dac).subspan(1)), ReadError);

    ModelDriver raw(
        ParseProfile(R"({"model": "Keltra 4", "pages": [{"offset": 0, "raw": "0001"}]})", "t.json"));
    EXPECT_EQ(raw.Request(Opcode::kCapabilities, {0, 0}), (std::vector<uint8_t>{0, 0x00, 0x01}));
}

TEST(SimBoardModel, IgnoresFramesTheHostShouldNeverSendAndResynchronises) {
    ModelDriver d("Keltra 4");
    // A reply frame, garbage and a frame cut short must not upset the next request.
    auto reply = EncodeFrame(MessageType::kReply, Opcode::kPing, 1, std::vector<uint8_t>{0});
    for (uint8_t b : reply) d.Model().Feed(b, 0);
    for (uint8_t b : {0x00, 0x13, 0x37, 0x42}) d.Model().Feed(b, 0);
    auto cut = EncodeFrame(MessageType::kRequest, Opcode::kReset, 2, std::vector<uint8_t>{});
    cut.resize(cut.size() - 3);
    for (uint8_t b : cut) d.Model().Feed(b, 0);
    EXPECT_TRUE(d.Model().TakeReplies().empty());
    EXPECT_EQ(d.Request(Opcode::kPing, {'x'}), (std::vector<uint8_t>{0, 'x'}));
}

TEST(SimBoardModel, ACorruptCrcReplyKeepsItsStuffingAndFailsOnlyTheCrc) {
    // Many request IDs and payloads, so that now and then a CRC byte is zero.
    for (uint32_t id = 0; id < 3000; ++id) {
        const std::vector<uint8_t> payload(id % 5, static_cast<uint8_t>(id >> 3));
        std::vector<uint8_t> wire =
            EncodeFrameWithBadCrc(MessageType::kReply, Opcode::kPing, static_cast<uint16_t>(id), payload);
        const auto good = EncodeFrame(MessageType::kReply, Opcode::kPing, static_cast<uint16_t>(id), payload);
        ASSERT_EQ(wire.size(), good.size()) << id;
        ASSERT_EQ(std::count(wire.begin() + 1, wire.end() - 1, 0), 0) << id;
        wire.insert(wire.end(), good.begin(), good.end());
        const auto frames = DecodeWire(wire);  // the good frame behind it still decodes
        ASSERT_EQ(frames.size(), 1u) << id;
        EXPECT_EQ(frames[0].payload, payload) << id;
    }
}

// --- Receive buffer ------------------------------------------------------

// A register-write packet of `pairs` writes, and its size on the wire as the host counts it.
struct RegisterPacket {
    Opcode opcode;
    std::vector<uint8_t> payload;
    size_t wireBytes;
};
RegisterPacket Registers(uint8_t writeId, size_t pairs) {
    std::vector<uint8_t> data;
    for (size_t i = 0; i < pairs; ++i) {
        data.push_back(static_cast<uint8_t>(0x30 + i % 8));
        data.push_back(static_cast<uint8_t>(i + 1));
    }
    std::vector<uint8_t> payload = EncodeRegisterBatch(0, 0, data);
    const size_t wire = EncodeFrame(MessageType::kPacket, WriteOpcode(writeId), 1, payload).size();
    return {WriteOpcode(writeId), std::move(payload), wire};
}

// A register write each model serves, for flooding it.
uint8_t FloodTarget(const std::string& model) {
    if (model == "Keltra 3") return 0x55;
    if (model == "Keltra 4") return 0x54;
    return 0x52;
}

size_t Rejects(ModelDriver& d) { return d.TraceOf(SimTraceOp::kReject).size(); }

TEST_P(EveryModel, AFloodRightAfterResetOverflowsTheReceiveBuffer) {
    ModelDriver d(GetParam());
    EXPECT_EQ(d.Request(Opcode::kReset), std::vector<uint8_t>{0});
    const RegisterPacket packet = Registers(FloodTarget(GetParam()), 127);
    const size_t fit = 2048 / packet.wireBytes;
    for (int i = 0; i < 40; ++i) d.Packet(packet.opcode, packet.payload);  // about 10.8 KB, no request
    EXPECT_EQ(d.Model().Packets(), fit);
    EXPECT_EQ(d.Model().Rejected(), 40 - fit);
    ASSERT_EQ(Rejects(d), 40 - fit);
    EXPECT_EQ(d.TraceOf(SimTraceOp::kReject)[0].what,
              fmt::format("receive buffer overflow: ${:02X} packet of {} bytes after {} unanswered bytes",
                          FloodTarget(GetParam()), packet.wireBytes, fit * packet.wireBytes));
    EXPECT_EQ(d.TraceOf(SimTraceOp::kReg).size(), fit * 127);
    // The board's own overflow flags.
    if (d.Model().Profile().HasADPCMStream()) {
        const auto status = d.Request(Opcode::kAudioStatus, {0xB7, 0});
        ASSERT_EQ(status.size(), 41u);
        EXPECT_EQ(testing::Read32(status, 29), kStreamFailed | kStreamRxOverflow);
    }
    if (d.Model().Profile().HasKL2DAC()) {
        const KL2DACStatus dac = d.Model().DACStatus(d.now);
        EXPECT_EQ(dac.state, KL2DACState::kFaulted);
        EXPECT_EQ(dac.fault, kDACFaultReceiveOverflow);
        EXPECT_EQ(dac.overflows, 40 - fit);
    }
}

TEST(SimBoardModel, TheStartupLimitLastsUntilTheHostsStartupIsOver) {
    struct Step {
        enum Kind { kRequest, kPackets } kind;
        Opcode opcode = Opcode::kPing;
        std::vector<uint8_t> payload;
        int packets = 0;
    };
    struct Case {
        const char* name;
        const char* model;
        std::vector<Step> steps;
        size_t rejected;
    };
    const Step reset{Step::kRequest, Opcode::kReset, {}, 0};
    const Step volume{Step::kRequest, Opcode::kSetOutputVolume, {0}, 0};
    const Step fence{Step::kRequest, Opcode::kPing, {}, 0};
    const Step probe{Step::kRequest, Opcode::kPing, {'K', 'L', 'I', 'N', 'K'}, 0};
    const auto packets = [](int n) { return Step{Step::kPackets, Opcode::kPing, {}, n}; };
    // Register packets of 127 pairs: 7 fit into 2048 bytes, 8 do not.
    const std::vector<Case> cases = {
        {"KL2, fenced start-up", "Keltra 2.1", {reset, volume, packets(7), fence, packets(7), fence}, 0},
        {"KL2, unfenced start-up", "Keltra 2.1", {reset, volume, packets(8)}, 1},
        {"KL2, a set-up request frees but does not end it",
         "Keltra 2",
         {reset, packets(7), volume, packets(8)},
         1},
        {"KL2, a PING with data is no fence", "Keltra 2.1", {reset, packets(7), probe, packets(8)}, 1},
        {"KL2, playback after the last fence",
         "Keltra 2.1",
         {reset, volume, packets(5), fence, packets(40)},
         0},
        {"KL2, never reset", "Keltra 2.1", {packets(40)}, 0},
        {"KL3, unfenced start-up after its set-up", "Keltra 3", {reset, volume, packets(40)}, 0},
        {"KL4, unfenced start-up after its set-up", "Keltra 4", {reset, volume, packets(40)}, 0},
        {"KL4, nothing between RESET and the flood", "Keltra 4", {reset, packets(8)}, 1},
        {"KL4, never reset", "Keltra 4", {packets(40)}, 0},
    };
    for (const Case& c : cases) {
        ModelDriver d(c.model);
        const RegisterPacket packet = Registers(FloodTarget(c.model), 127);
        ASSERT_EQ(2048 / packet.wireBytes, 7u);
        for (const Step& s : c.steps) {
            if (s.kind == Step::kRequest) {
                EXPECT_EQ(d.Request(s.opcode, s.payload).at(0), 0) << c.name;
            } else {
                for (int i = 0; i < s.packets; ++i) d.Packet(packet.opcode, packet.payload);
            }
        }
        EXPECT_EQ(d.Model().Rejected(), c.rejected) << c.name;
    }
}

TEST(SimBoardModel, AProfileSetsTheReceiveLimits) {
    struct Case {
        const char* profile;
        bool volumeFirst;
        size_t rejected;
    };
    const Case cases[] = {
        {R"({"base": "Keltra 4", "receive": {"startup_bytes": 0}})", false, 0},
        {R"({"base": "Keltra 4", "receive": {"fenced_startup": true}})", true, 1},
        {R"({"base": "Keltra 2.1", "receive": {"startup_bytes": 4096}})", false, 0},
    };
    for (const Case& c : cases) {
        ModelDriver d(ParseProfile(c.profile, "t.json"));
        const RegisterPacket packet = Registers(FloodTarget(d.Model().Profile().model), 127);
        (void)d.Request(Opcode::kReset);
        if (c.volumeFirst) (void)d.Request(Opcode::kSetOutputVolume, {0});
        for (int i = 0; i < 8; ++i) d.Packet(packet.opcode, packet.payload);
        EXPECT_EQ(d.Model().Rejected(), c.rejected) << c.profile;
    }
}

TEST(SimBoardModel, TheStartupLimitCountsWireBytesExactly) {
    const RegisterPacket full = Registers(0x52, 127);
    const size_t room = 2048 - 7 * full.wireBytes;
    // SN76489 byte batches come in every size: the last one fills the buffer to the byte, or one more.
    const auto psgPacket = [](size_t wireBytes) {
        for (size_t n = 1; n <= 254; ++n) {
            std::vector<uint8_t> payload = EncodeByteBatch(0, 0, std::vector<uint8_t>(n, 0x9F));
            if (EncodeFrame(MessageType::kPacket, WriteOpcode(0x50), 1, payload).size() == wireBytes)
                return payload;
        }
        ADD_FAILURE() << "no byte batch of " << wireBytes << " wire bytes";
        return std::vector<uint8_t>{};
    };
    for (const size_t last : {room, room + 1}) {
        ModelDriver d("Keltra 2.1");
        (void)d.Request(Opcode::kReset);
        for (int i = 0; i < 7; ++i) d.Packet(full.opcode, full.payload);
        d.Packet(WriteOpcode(0x50), psgPacket(last));
        EXPECT_EQ(d.Model().Rejected(), last == room ? 0u : 1u) << last;
    }
}

// DAC_RECORDS packets of 60 records each that continue the stream.
class DACRecordSender {
public:
    std::vector<uint8_t> Next() {
        KL2DACChunk chunk;
        chunk.startTick = tick_;
        for (int i = 0; i < 60; ++i) chunk.records.push_back({KL2RecordKind::kSample, 0x80, 100});
        chunk.endTick = tick_ + 6000;
        auto payload = EncodeKL2DACRecords(sequence_, chunk);
        sequence_ += 60;
        tick_ = chunk.endTick;
        return payload;
    }
    [[nodiscard]] std::vector<uint8_t> End() const { return EncodeKL2DACEnd(sequence_, tick_); }
    static size_t WireBytes() {
        return EncodeFrame(MessageType::kPacket, Opcode::kDACRecords, 1, DACRecordSender().Next()).size();
    }

private:
    uint32_t sequence_ = 0;
    uint64_t tick_ = 0;
};

TEST(SimBoardModel, TheReceiveWindowHoldsDataAndAControlReserve) {
    const size_t data = DACRecordSender::WireBytes();
    const size_t volume =
        EncodeFrame(MessageType::kPacket, Opcode::kSetOutputVolume, 1, std::vector<uint8_t>{9}).size();
    const size_t dataFit = 4096 / data;
    struct Case {
        const char* name;
        size_t volumesBefore;  // control packets first
        size_t records;        // then data packets
        bool statusBetween;    // a DAC_STATUS after dataFit data packets
        size_t volumesAfter;   // then more control packets
        size_t rejected;
    };
    const std::vector<Case> cases = {
        {"data up to 4096 bytes", 0, dataFit, false, 0, 0},
        {"one data packet too many", 0, dataFit + 1, false, 0, 1},
        {"a request frees the window", 0, dataFit * 2, true, 0, 0},
        {"control packets up to 6144 bytes", 0, dataFit, false, (6144 - dataFit * data) / volume, 0},
        {"one control packet too many", 0, dataFit, false, (6144 - dataFit * data) / volume + 1, 1},
        {"data counts the control bytes held", 2048 / volume, (4096 - 2048 / volume * volume) / data + 1,
         false, 0, 1},
    };
    for (const Case& c : cases) {
        ModelDriver d("Keltra 2.1");
        DACRecordSender records;
        (void)d.Request(Opcode::kReset);
        d.Packet(Opcode::kDACRecords, records.Next());
        ASSERT_EQ(d.Request(Opcode::kDACStart, EncodeKL2DACStart(3528)), std::vector<uint8_t>{0});
        EXPECT_EQ(d.Model().ReceivePhase(), SimReceivePhase::kWindow);
        for (size_t i = 0; i < c.volumesBefore; ++i) d.Packet(Opcode::kSetOutputVolume, {9});
        for (size_t i = 0; i < c.records; ++i) {
            if (c.statusBetween && i == dataFit) (void)d.Request(Opcode::kDACStatus, {1});
            d.Packet(Opcode::kDACRecords, records.Next());
        }
        for (size_t i = 0; i < c.volumesAfter; ++i) d.Packet(Opcode::kSetOutputVolume, {9});
        EXPECT_EQ(d.Model().Rejected(), c.rejected) << c.name;
        const KL2DACStatus s = d.Model().DACStatus(d.now);
        EXPECT_EQ(s.state == KL2DACState::kFaulted, c.rejected != 0) << c.name;
        EXPECT_EQ(s.fault, c.rejected != 0 ? kDACFaultReceiveOverflow : 0) << c.name;
        EXPECT_EQ(s.overflows, c.rejected) << c.name;
    }
    // DAC_END is a control packet too, and RESET ends the window.
    ModelDriver d("Keltra 2.1");
    DACRecordSender records;
    d.Packet(Opcode::kDACRecords, records.Next());
    ASSERT_EQ(d.Request(Opcode::kDACStart, EncodeKL2DACStart(3528)), std::vector<uint8_t>{0});
    for (size_t i = 0; i < dataFit; ++i) d.Packet(Opcode::kDACRecords, records.Next());
    d.Packet(Opcode::kDACEnd, records.End());
    EXPECT_EQ(d.Model().Rejected(), 0u);
    EXPECT_EQ(d.Model().DACStatus(d.now).sealed, 1);
    (void)d.Request(Opcode::kReset);
    EXPECT_EQ(d.Model().ReceivePhase(), SimReceivePhase::kStartup);
}

// Random frames that a broken or hostile host might send: mostly near-valid
// payloads for every opcode the boards know (so the checks deep inside the
// stream and DAC players run), plus garbage bytes between frames and long
// pauses that let the buffers play out. The board must never crash and must
// answer every request with one reply of the same opcode and request ID.
TEST(SimBoardModel, SurvivesRandomFramesAndStillAnswersEveryRequest) {
    const std::vector<Opcode> opcodes{
        Opcode::kReset,        Opcode::kPing,         Opcode::kDeviceInfo,      Opcode::kSetOutputVolume,
        Opcode::kSetChipClock, Opcode::kCapabilities, Opcode::kStreamData,      Opcode::kStreamEvents,
        Opcode::kStreamStart,  Opcode::kAudioStatus,  Opcode::kDACCapabilities, Opcode::kDACRecords,
        Opcode::kDACStart,     Opcode::kDACEnd,       Opcode::kDACStatus,       Opcode::kRegisterEvents,
        WriteOpcode(0x30),     WriteOpcode(0x50),     WriteOpcode(0x52),        WriteOpcode(0x53),
        WriteOpcode(0x54),     WriteOpcode(0xB7)};
    for (const std::string& name : BuiltInModels()) {
        std::mt19937 rng(20261210);
        const auto random = [&rng](uint32_t below) { return static_cast<uint32_t>(rng() % below); };
        SimBoardModel model(*BuiltInProfile(name), "sim-fuzz");
        const auto& targets = model.Profile().targets;
        int64_t now = 0;
        uint16_t id = 0;
        for (int i = 0; i < 4000; ++i) {
            now += random(4) == 0 ? int64_t{random(3000)} * 1'000'000 : int64_t{random(2'000'000)};
            if (random(10) == 0) {
                for (uint32_t n = random(40); n > 0; --n) model.Feed(static_cast<uint8_t>(rng()), now);
                (void)model.TakeReplies();
                continue;
            }
            const Opcode opcode = random(8) == 0 ? static_cast<Opcode>(static_cast<uint8_t>(rng()))
                                                 : opcodes[random(opcodes.size())];
            // Short payloads mostly; now and then up to the largest a frame carries.
            std::vector<uint8_t> p(random(8) == 0 ? 256 : random(4) == 0 ? random(257) : random(24));
            for (uint8_t& b : p) b = static_cast<uint8_t>(rng());
            const KL2DACStatus dac = model.DACStatus(now);
            const auto put = [&p](size_t at, uint64_t v, size_t width) {
                for (size_t k = 0; k < width && at + k < p.size(); ++k)
                    p[at + k] = static_cast<uint8_t>(v >> (8 * k));
            };
            if (random(3) != 0) {  // make the header plausible
                switch (opcode) {
                    case Opcode::kStreamData:
                    case Opcode::kStreamEvents:
                    case Opcode::kStreamStart:
                    case Opcode::kAudioStatus:
                        put(0, 0xB7, 1);
                        put(1, 0, 1);
                        if (opcode == Opcode::kStreamData) put(2, model.StreamStatus().accepted, 4);
                        if (opcode == Opcode::kStreamEvents) {
                            put(2, model.StreamStatus().played + random(2000), 4);
                            put(6, random(5), 1);
                            put(7, 0x54, 1);
                            put(8, 0, 2);
                        }
                        if (opcode == Opcode::kStreamStart) p.resize(8);
                        if (opcode == Opcode::kAudioStatus) p.resize(2);
                        break;
                    case Opcode::kDACRecords:
                        p.resize(15 + 4 * (1 + random(60)));
                        put(0, 1, 1);
                        put(1, 0x52, 1);
                        put(2, 0, 1);
                        put(3, dac.accepted, 4);
                        put(7, dac.acceptedTick, 8);
                        for (size_t r = 15; r < p.size(); r += 4) {
                            p[r] = static_cast<uint8_t>(random(3));
                            if (p[r] == 1) p[r + 1] &= 0x80;
                            if (p[r] == 2) {
                                p[r + 1] = 0;
                                p[r + 2] |= 1;
                            }
                            p[r + 3] = 0;  // short waits keep the clock busy
                        }
                        if (random(10) == 0) p[15] = static_cast<uint8_t>(rng());
                        break;
                    case Opcode::kDACStart:
                        p = {1, static_cast<uint8_t>(rng()), static_cast<uint8_t>(random(4)), 0, 0};
                        break;
                    case Opcode::kDACEnd:
                        p.resize(13);
                        put(0, 1, 1);
                        put(1, dac.accepted, 4);
                        put(5, dac.acceptedTick, 8);
                        break;
                    case Opcode::kDACStatus:
                        p = {1};
                        break;
                    case Opcode::kRegisterEvents: {
                        const KLINKCapability& t = targets[random(targets.size())].capability;
                        const size_t width =
                            static_cast<size_t>(KL2EventWidth({t.writeId, t.instance, t.page}));
                        p.resize(12 + width * (1 + random(244 / static_cast<uint32_t>(width))));
                        put(0, 1, 1);
                        put(1, dac.playedTick + random(1000), 8);
                        put(9, t.writeId, 1);
                        put(10, t.instance, 1);
                        put(11, t.page, 1);
                        break;
                    }
                    default:
                        if (opcode >= Opcode::kRegisterWriteFirst && !targets.empty()) {
                            const KLINKCapability& t = targets[random(targets.size())].capability;
                            p.resize(std::max<size_t>(p.size(), 2));
                            put(0, t.instance, 1);
                            put(1, t.page, 1);
                        }
                        break;
                }
            }
            // Requests and packets alike, now and then a reply the host should never send.
            const MessageType type = random(8) == 0   ? MessageType::kReply
                                     : random(2) == 0 ? MessageType::kRequest
                                                      : MessageType::kPacket;
            model.Feed(0, now);  // any partial frame from the garbage ends here
            std::vector<uint8_t> wire = EncodeFrame(type, opcode, ++id, p);
            const bool damaged = random(10) == 0;  // a line error: the board may drop the frame
            if (damaged)
                wire[1 + random(static_cast<uint32_t>(wire.size() - 2))] ^=
                    static_cast<uint8_t>(1 + random(255));
            for (uint8_t b : wire) model.Feed(b, now);
            const auto replies = model.TakeReplies();
            if (damaged) {
                EXPECT_LE(replies.size(), 1u) << name << " frame " << i;
            } else if (type != MessageType::kRequest) {
                EXPECT_TRUE(replies.empty()) << name << " frame " << i;
            } else {
                ASSERT_EQ(replies.size(), 1u)
                    << name << " request " << i << " opcode " << int{OpcodeByte(opcode)};
                const auto frames = DecodeWire(replies[0].wire);
                ASSERT_EQ(frames.size(), 1u) << name << " request " << i;
                EXPECT_EQ(frames[0].messageType, MessageType::kReply);
                EXPECT_EQ(frames[0].opcode, opcode);
                EXPECT_EQ(frames[0].requestId, id);
                ASSERT_FALSE(frames[0].payload.empty());
                if (opcode == Opcode::kPing && p.size() < 256) {
                    EXPECT_EQ(frames[0].payload, Cat({{0}, p})) << name;
                } else if (opcode == Opcode::kPing) {
                    EXPECT_EQ(frames[0].payload, std::vector<uint8_t>{kStatusMalformed})
                        << "too long to echo";
                }
                if (opcode == Opcode::kDACStatus && frames[0].payload[0] == 0) {
                    KL2DACStatus s;
                    s.Decode(std::span(frames[0].payload).subspan(1));  // the host's own checks
                }
            }
            model.AdvanceTo(now);
            (void)model.TakeTrace();
        }
    }
}

}  // namespace
}  // namespace klink::sim
