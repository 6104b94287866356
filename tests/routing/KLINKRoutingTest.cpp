#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "routing/KLINKRouting.h"

namespace klink {
namespace {

// A board's capability table, built the way a board sends it.
struct BoardTable {
    std::vector<KLINKCapability> entries;
    uint16_t controlFeatures = kControlAttenuation;
    uint16_t maxPayload = 256;
    uint32_t dataCapacity = 0;
    uint16_t eventCapacity = 0;

    [[nodiscard]] KLINKCapabilities Table() const {
        KLINKCapabilityPage page;
        page.maxPayload = maxPayload;
        page.dataCapacity = dataCapacity;
        page.eventCapacity = eventCapacity;
        page.controlFeatures = controlFeatures;
        page.entries = entries;
        KLINKCapabilities caps;
        caps.AddPage(0, EncodeCapabilityPage(page));
        return caps;
    }
};

// A register target with a settable clock.
KLINKCapability Variable(uint8_t writeId, uint8_t instance = 0, uint8_t page = 0, uint8_t extra = 0) {
    return {writeId,
            instance,
            page,
            static_cast<uint8_t>(kFeatureBurst | kFeatureSetClock | extra),
            ClockMode::kVariable,
            0};
}

// A register target whose clock is fixed.
KLINKCapability Fixed(uint8_t writeId, uint8_t instance, uint8_t page, uint32_t hertz) {
    return {writeId, instance, page, kFeatureBurst, ClockMode::kFixed, hertz};
}

// An OKIM6258 stream target with room for the stream's lead.
BoardTable AudioBoard(std::vector<KLINKCapability> entries) {
    entries.push_back({0xB7, 0, 0, kFeatureADPCMStream, ClockMode::kVariable, 0});
    entries.back().features |= kFeatureSetClock;
    BoardTable b{std::move(entries)};
    b.dataCapacity = 875;
    b.eventCapacity = 1;
    return b;
}

struct RouteInput {
    std::optional<BoardTable> board1;
    std::optional<BoardTable> board2;
    std::vector<KLINKVGMTarget> targets;
    std::vector<KLINKVGMClock> clocks;
    bool useAudio = false;
    bool useDac = false;
    KLINKDeviceNames names{};
};

// Builds the plan and returns it, or the refusal's message.
struct RouteOutcome {
    std::optional<KLINKRoutePlan> plan;
    std::string error;
};

RouteOutcome Route(const RouteInput& in) {
    std::optional<KLINKCapabilities> t1, t2;
    if (in.board1) t1 = in.board1->Table();
    if (in.board2) t2 = in.board2->Table();
    KLINKDeviceCapabilities caps{t1 ? &*t1 : nullptr, t2 ? &*t2 : nullptr};
    RouteOutcome out;
    try {
        out.plan = KLINKRoutePlan::Create(caps, in.names, in.targets, in.clocks, in.useAudio, in.useDac);
    } catch (const ReadError& e) {
        out.error = e.what();
    }
    return out;
}

// Each connection's index per target, or the refusal.
std::string Devices(const RouteInput& in) {
    RouteOutcome out = Route(in);
    if (!out.plan) return out.error;
    std::string text;
    for (const KLINKRoute& r : out.plan->Routes()) text += std::to_string(r.device + 1);
    return text;
}

const KLINKVGMTarget kYM2612P0{0x52, 0, 0};
const KLINKVGMTarget kYM2612P1{0x53, 0, 1};
const KLINKVGMTarget kSN{0x50, 0, 0};
const KLINKVGMTarget kSN2{0x30, 1, 0};
const KLINKVGMTarget kYM2151{0x54, 0, 0};
const KLINKVGMClock kYM2612Clock{0x52, 0, 7670453};
const KLINKVGMClock kSNClock{0x50, 0, 3579545};
const KLINKVGMClock kYM2151Clock{0x54, 0, 4000000};

// A KL2-like board: YM2612 on both ports, two SN76489s, the DAC requests.
BoardTable KL2Board() {
    BoardTable b{{Variable(0x52), Variable(0x53, 0, 1), Variable(0x50), Variable(0x30, 1)}};
    b.controlFeatures = kControlAttenuation | kControlKL2DAC;
    return b;
}

std::string NoTarget(const std::string& target) {
    return "No connected device supports VGM target " + target + " and its requested clock.";
}

const char* const kNoVolume =
    "Selected device has no KLINK output volume control; update its firmware (KL2: 3.1dev9 or later).";
const char* const kProfileSplit =
    "This KL2 buffered profile requires YM2612 and both PSG routes on one device.";

TEST(KLINKRoutePlan, RefusalsNameTheFirstFailure) {
    BoardTable ym2151{{Variable(0x54)}};
    BoardTable narrow = ym2151;
    narrow.maxPayload = 255;
    BoardTable smallAudio = AudioBoard({Variable(0x54, 0, 0, kFeatureStreamEvents)});
    smallAudio.dataCapacity = 874;
    BoardTable noEvents = AudioBoard({Variable(0x54, 0, 0, kFeatureStreamEvents)});
    noEvents.eventCapacity = 0;
    BoardTable noVolume = ym2151;
    noVolume.controlFeatures = 0;
    BoardTable audioNoVolume = AudioBoard({});
    audioNoVolume.controlFeatures = 0;
    BoardTable kl2NoDac = KL2Board();
    kl2NoDac.controlFeatures = kControlAttenuation;
    BoardTable noBurst{{{0x54, 0, 0, kFeatureSetClock, ClockMode::kVariable, 0}}};
    BoardTable unknownClock{{{0x54, 0, 0, kFeatureBurst, ClockMode::kUnknown, 0}}};
    BoardTable fixed{{Fixed(0x54, 0, 0, 3579545)}};

    struct Case {
        const char* name;
        RouteInput input;
        std::string expected;  // the connection of each target, or the refusal
    } cases[] = {
        {"no audio board",
         {ym2151, ym2151, {kYM2151}, {kYM2151Clock}, true},
         "No connected device supports the required OKIM6258 stream/capacity."},
        {"audio buffer too small",
         {smallAudio, std::nullopt, {}, {}, true},
         "No connected device supports the required OKIM6258 stream/capacity."},
        {"audio without event room",
         {noEvents, std::nullopt, {}, {}, true},
         "No connected device supports the required OKIM6258 stream/capacity."},
        {"audio checked before targets",
         {ym2151, std::nullopt, {{0x51, 0, 0}}, {}, true},
         "No connected device supports the required OKIM6258 stream/capacity."},
        {"first unsupported target is named",
         {ym2151, ym2151, {kYM2151, {0x5A, 1, 0}, {0x51, 0, 0}}, {kYM2151Clock, {0x5A, 1, 3579545}}},
         NoTarget("$5A/1/0")},
        {"no board at all", {std::nullopt, std::nullopt, {{0xA0, 1, 0}}, {}}, NoTarget("$A0/1/0")},
        {"payload below 256 bytes", {narrow, std::nullopt, {kYM2151}, {kYM2151Clock}}, NoTarget("$54/0/0")},
        {"no BURST", {noBurst, std::nullopt, {kYM2151}, {kYM2151Clock}}, NoTarget("$54/0/0")},
        {"clock neither fixed nor settable",
         {unknownClock, std::nullopt, {kYM2151}, {kYM2151Clock}},
         NoTarget("$54/0/0")},
        {"fixed clock differs", {fixed, std::nullopt, {kYM2151}, {kYM2151Clock}}, NoTarget("$54/0/0")},
        {"fixed clock equal", {fixed, std::nullopt, {kYM2151}, {{0x54, 0, 3579545}}}, "1"},
        {"YM2413 crystal pair matches",
         {BoardTable{{Fixed(0x51, 0, 0, 3579540)}}, std::nullopt, {{0x51, 0, 0}}, {{0x51, 0, 3579545}}},
         "1"},
        {"clock of the second instance has no entry",
         {BoardTable{{Variable(0x5A)}}, std::nullopt, {{0x5A, 0, 0}, {0x5A, 1, 0}}, {{0x5A, 1, 3579545}}},
         NoTarget("$5A/1/0")},
        {"YM2151 not on the audio board",
         {AudioBoard({Variable(0x54)}), ym2151, {kYM2151}, {kYM2151Clock}, true},
         NoTarget("$54/0/0")},
        {"YM2612 ports split across boards",
         {BoardTable{{Variable(0x53, 0, 1)}},
          BoardTable{{Variable(0x52)}},
          {kYM2612P0, kYM2612P1},
          {kYM2612Clock}},
         NoTarget("$52/0/0")},
        {"KL2 profile split without DAC",
         {BoardTable{{Variable(0x52), Variable(0x53, 0, 1)}},
          BoardTable{{Variable(0x50)}},
          {kYM2612P0, kSN},
          {kYM2612Clock, kSNClock}},
         kProfileSplit},
        {"second YM2612 belongs to the profile",
         {BoardTable{{Variable(0x52), Variable(0x50)}},
          BoardTable{{Variable(0x52, 1)}},
          {kYM2612P0, kSN, {0x52, 1, 0}},
          {kYM2612Clock, kSNClock, {0x52, 1, 7670453}}},
         kProfileSplit},
        {"DAC wanted, board without the DAC query",
         {kl2NoDac, std::nullopt, {kSN, kYM2612P0}, {kSNClock, kYM2612Clock}, false, true},
         "KL2 buffered DAC capability query is unavailable."},
        {"DAC query needed only with DAC playback",
         {kl2NoDac, std::nullopt, {kSN, kYM2612P0}, {kSNClock, kYM2612Clock}},
         "11"},
        {"unused board without volume control is fine", {ym2151, noVolume, {kYM2151}, {kYM2151Clock}}, "1"},
        {"used board without volume control",
         {BoardTable{{Variable(0x52)}}, noVolume, {kYM2612P0, kYM2151}, {kYM2612Clock, kYM2151Clock}},
         kNoVolume},
        {"audio-only board without volume control", {audioNoVolume, ym2151, {}, {}, true}, kNoVolume},
        {"profile split reported before volume control",
         {BoardTable{{Variable(0x52)}, 0}, BoardTable{{Variable(0x50)}}, {kYM2612P0, kSN}, {}},
         kProfileSplit},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Devices(c.input), c.expected) << c.name;
    }
}

TEST(KLINKRoutePlan, ClockRulesOfTheUsedBoards) {
    BoardTable kl3{{Variable(0x55), Variable(0xA0), Variable(0xA0, 1), Variable(0x5A), Variable(0x5E),
                    Variable(0x5F, 0, 1)}};
    BoardTable kl2 = KL2Board();
    struct Case {
        const char* name;
        RouteInput input;
        std::string expected;
    } cases[] = {
        {"AY and YM2203 of one instance on a Keltra 3",
         {kl3,
          std::nullopt,
          {{0x55, 0, 0}, {0xA0, 0, 0}},
          {{0x55, 0, 4000000}, {0xA0, 0, 2000000}},
          false,
          false,
          {"Keltra 3", ""}},
         "KL3 AY and YM2203 cannot independently share one physical chip."},
        {"the same on another model",
         {kl3,
          std::nullopt,
          {{0x55, 0, 0}, {0xA0, 0, 0}},
          {{0x55, 0, 4000000}, {0xA0, 0, 2000000}},
          false,
          false,
          {"Keltra 3.1", ""}},
         "11"},
        {"KL3 check sees only its own board's clocks",
         {BoardTable{{Variable(0x55)}},
          kl3,
          {{0x55, 0, 0}, {0xA0, 0, 0}},
          {{0x55, 0, 4000000}, {0xA0, 0, 2000000}},
          false,
          false,
          {"", "Keltra 3"}},
         "12"},
        {"KL3 shared clock agrees",
         {kl3,
          std::nullopt,
          {{0x55, 0, 0}, {0xA0, 1, 0}},
          {{0x55, 0, 4000000}, {0xA0, 1, 2000000}},
          false,
          false,
          {"Keltra 3", ""}},
         "11"},
        {"two OPL generations",
         {kl3,
          std::nullopt,
          {{0x5A, 0, 0}, {0x5F, 0, 1}},
          {{0x5A, 0, 3579545}, {0x5E, 0, 14318180}},
          false,
          false,
          {"Keltra 3", ""}},
         "KL3 OPL1/OPL2/OPL3 routes share one physical chip."},
        {"CLK0 conflict",
         {kl2, std::nullopt, {kYM2612P0, kSN2}, {{0x52, 0, 7670453}, {0x30, 1, 3579545}}},
         "KL2 YM2612 and second SN76489 share CLK0; requested clocks conflict."},
        {"CLK0 within the snap tolerance",
         {kl2, std::nullopt, {kYM2612P0, kSN2}, {{0x52, 0, 7670000}, {0x30, 1, 7670453}}},
         "11"},
        {"first SN76489 is on its own clock",
         {kl2, std::nullopt, {kYM2612P0, kSN}, {{0x52, 0, 7670453}, {0x50, 0, 3579545}}},
         "11"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Devices(c.input), c.expected) << c.name;
    }
}

TEST(KLINKRoutePlan, ChoosesConnectionsPerChip) {
    BoardTable all{{Variable(0x54), Variable(0x52), Variable(0x53, 0, 1), Variable(0x50), Variable(0x30, 1),
                    Variable(0x5E), Variable(0x5F, 0, 1)}};
    BoardTable kl2 = KL2Board();
    struct Case {
        const char* name;
        RouteInput input;
        std::string expected;
    } cases[] = {
        {"connection 1 preferred", {all, all, {kYM2151, kYM2612P0, kYM2612P1, kSN}, {}}, "1111"},
        {"only connection 2 qualifies", {std::nullopt, all, {kYM2151}, {kYM2151Clock}}, "2"},
        {"a chip follows its first target",
         {BoardTable{{Variable(0x5E)}}, all, {{0x5E, 0, 0}, {0x5F, 0, 1}}, {{0x5E, 0, 14318180}}},
         "22"},
        {"YM2612 port 1 alone decides the board",
         {BoardTable{{Variable(0x52)}}, all, {kYM2612P0, kYM2612P1}, {kYM2612Clock}},
         "22"},
        {"second SN76489 is a chip of its own",
         {BoardTable{{Variable(0x50)}}, BoardTable{{Variable(0x30, 1)}}, {kSN, kSN2}, {}},
         kProfileSplit},
        {"YM2151 pinned to the audio board",
         {all, AudioBoard({Variable(0x54, 0, 0, kFeatureStreamEvents)}), {kYM2151}, {kYM2151Clock}, true},
         "2"},
        {"without audio the YM2151 goes to connection 1",
         {all, AudioBoard({Variable(0x54, 0, 0, kFeatureStreamEvents)}), {kYM2151}, {kYM2151Clock}},
         "1"},
        // The KL2 group stays together on the board that can hold all of it,
        // even where another board could take one of its chips.
        {"profile to the board holding the group",
         {BoardTable{{Variable(0x52), Variable(0x53, 0, 1)}},
          kl2,
          {kYM2612P0, kSN, kYM2612P1},
          {kYM2612Clock, kSNClock}},
         "222"},
        {"later profile chips follow the group's board",
         {BoardTable{{Variable(0x50)}}, kl2, {kYM2612P0, kSN}, {kYM2612Clock, kSNClock}},
         "22"},
        {"DAC playback prefers the board with the DAC query",
         {all, kl2, {kYM2612P0, kSN}, {kYM2612Clock, kSNClock}, false, true},
         "22"},
        {"register playback keeps connection 1",
         {all, kl2, {kYM2612P0, kSN}, {kYM2612Clock, kSNClock}},
         "11"},
        {"non-profile chips still prefer connection 1",
         {all, kl2, {kYM2612P0, kYM2151, kSN}, {kYM2612Clock, kYM2151Clock}, false, true},
         "212"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Devices(c.input), c.expected) << c.name;
    }
}

TEST(KLINKRoutePlan, DeviceForAndUsesDevice) {
    BoardTable kl2 = KL2Board();
    RouteOutcome out = Route({std::nullopt, kl2, {kYM2612P0, kSN}, {kYM2612Clock, kSNClock}});
    ASSERT_TRUE(out.plan) << out.error;
    const KLINKRoutePlan& plan = *out.plan;
    EXPECT_EQ(plan.DeviceFor(0x52, 0, 0), 1);
    EXPECT_EQ(plan.DeviceFor(0x53, 0, 1), 1) << "port 1 follows port 0 without a target of its own";
    EXPECT_EQ(plan.DeviceFor(0x53, 0, 0), 1) << "the page is ignored";
    EXPECT_EQ(plan.DeviceFor(0x52, 1, 0), -1);
    EXPECT_EQ(plan.DeviceFor(0x30, 1, 0), -1);
    EXPECT_EQ(plan.DeviceFor(0x54, 0, 0), -1);
    EXPECT_EQ(plan.DeviceFor(0xB7, 0, 0), -1);
    EXPECT_FALSE(plan.UsesDevice(0));
    EXPECT_TRUE(plan.UsesDevice(1));
    EXPECT_FALSE(plan.UsesDevice(-1));
    EXPECT_FALSE(plan.UsesDevice(2));
    EXPECT_EQ(plan.DACDevice(), 1);
    EXPECT_EQ(plan.AudioDevice(), -1);

    RouteOutcome audio = Route({BoardTable{{Variable(0x54)}}, AudioBoard({}), {}, {}, true});
    ASSERT_TRUE(audio.plan) << audio.error;
    EXPECT_EQ(audio.plan->DeviceFor(0xB7, 0, 0), 1);
    EXPECT_EQ(audio.plan->AudioDevice(), 1);
    EXPECT_FALSE(audio.plan->UsesDevice(0));
    EXPECT_TRUE(audio.plan->UsesDevice(1));
    EXPECT_EQ(audio.plan->DACDevice(), -1);
    EXPECT_EQ(audio.plan->Describe(), "OKIM6258 stream -> connection 2\r\n");
}

TEST(KLINKRoutePlan, EmptyPlanUsesNothing) {
    RouteOutcome out = Route({KL2Board(), KL2Board(), {}, {}});
    ASSERT_TRUE(out.plan) << out.error;
    EXPECT_EQ(out.plan->Describe(), "");
    EXPECT_FALSE(out.plan->UsesDevice(0));
    EXPECT_FALSE(out.plan->UsesDevice(1));
    EXPECT_EQ(KLINKRoutePlan().Describe(), "");
    EXPECT_EQ(KLINKRoutePlan().DeviceFor(0xB7, 0, 0), -1);
}

TEST(KLINKRoutePlan, Describe) {
    RouteInput in{KL2Board(), std::nullopt, {kYM2612P0, kYM2612P1, kSN}, {kYM2612Clock, kSNClock},
                  false,      true};
    RouteOutcome dac = Route(in);
    ASSERT_TRUE(dac.plan) << dac.error;
    EXPECT_EQ(dac.plan->Describe(),
              "$52/0/0 -> connection 1\r\n"
              "$53/0/1 -> connection 1\r\n"
              "$50/0/0 -> connection 1\r\n"
              "KL2 buffered DAC/FM/PSG -> connection 1\r\n");

    in.useDac = false;
    in.board2 = in.board1;
    in.board1 = BoardTable{{Variable(0xA0, 1)}};
    in.targets.insert(in.targets.begin(), KLINKVGMTarget{0xA0, 1, 0});
    RouteOutcome reg = Route(in);
    ASSERT_TRUE(reg.plan) << reg.error;
    EXPECT_EQ(reg.plan->Describe(),
              "$A0/1/0 -> connection 1\r\n"
              "$52/0/0 -> connection 2\r\n"
              "$53/0/1 -> connection 2\r\n"
              "$50/0/0 -> connection 2\r\n"
              "KL2 FM/PSG register playback (KL3 timing, no DAC FIFO) -> connection 2\r\n");
}

TEST(KLINKRouting, SameChip) {
    struct Case {
        uint8_t w1, i1, w2, i2;
        bool same;
    } cases[] = {
        {0x52, 0, 0x53, 0, true},  {0x53, 1, 0x52, 1, true},  {0x52, 0, 0x53, 1, false},
        {0x5E, 0, 0x5F, 0, true},  {0x55, 1, 0xA5, 1, true},  {0x30, 1, 0x50, 1, true},
        {0x30, 1, 0x50, 0, false}, {0x54, 0, 0x54, 1, false}, {0x5A, 0, 0x5B, 0, false},
        {0xA0, 1, 0xA0, 1, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameChip(c.w1, c.i1, c.w2, c.i2), c.same)
            << std::hex << int{c.w1} << "/" << int{c.i1} << " " << int{c.w2} << "/" << int{c.i2};
    }
    for (uint8_t id : {0x30, 0x50, 0x52, 0x53}) EXPECT_TRUE(IsKL2ProfileTarget(id)) << int{id};
    for (uint8_t id : {0x51, 0x54, 0x55, 0xA5, 0xB7}) EXPECT_FALSE(IsKL2ProfileTarget(id)) << int{id};
}

TEST(KLINKRouting, ClockSupported) {
    KLINKCapabilities caps = BoardTable{
        {Fixed(0x51, 0, 0, 3579540),
         Variable(0x54),
         {0x5A, 0, 0, kFeatureBurst, ClockMode::kUnknown, 0},
         Fixed(0x52, 0, 0, 7670453),
         Fixed(0x52, 0, 1,
               7670453)}}.Table();
    EXPECT_TRUE(ClockSupported(caps, {0x51, 0, 3579545}));
    EXPECT_TRUE(ClockSupported(caps, {0x51, 0, 3579540}));
    EXPECT_FALSE(ClockSupported(caps, {0x51, 0, 4000000}));
    EXPECT_TRUE(ClockSupported(caps, {0x54, 0, 1}));
    EXPECT_FALSE(ClockSupported(caps, {0x54, 1, 4000000})) << "no entry";
    EXPECT_FALSE(ClockSupported(caps, {0x5A, 0, 3579545})) << "unknown clock, not settable";
    EXPECT_TRUE(ClockSupported(caps, {0x52, 0, 7670453}));
    EXPECT_FALSE(ClockSupported(caps, {0x52, 0, 7670000})) << "fixed clocks match exactly";
}

TEST(KLINKRouting, SnapClock) {
    struct Case {
        uint32_t in, out;
    } cases[] = {
        {3579545, 3579545},
        {3579000, 3579545},
        {3570000, 3570000},
        {0, 0},
        {7670000, 7670453},
        {14318180, 14318180},
        {14300000, 14300000},
        {1250000, 1250000},
        // The tolerance is 0.1 % of the requested frequency.
        {1248752, 1250000},
        {1248750, 1248750},
        {4000000, 4000000},
        {3996004, 4000000},
        {3996000, 3996000},
        {4003999, 4000000},
        {4004005, 4004005},
        {0xFFFFFFFF, 0xFFFFFFFF},
        // Halfway between 7987000 and 8000000: the lower one stays.
        {7993500, 7987000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SnapClock(c.in), c.out) << c.in;
    }
}

TEST(KLINKRouting, CheckKL2SharedClock) {
    auto check = [](std::vector<KLINKVGMClock> clocks) -> std::string {
        try {
            CheckKL2SharedClock(clocks);
        } catch (const ReadError& e) {
            return e.what();
        }
        return "ok";
    };
    const std::string conflict = "KL2 YM2612 and second SN76489 share CLK0; requested clocks conflict.";
    EXPECT_EQ(check({{0x52, 0, 7670453}, {0x30, 1, 3579545}}), conflict);
    EXPECT_EQ(check({{0x52, 0, 7670000}, {0x30, 1, 7670453}}), "ok");
    EXPECT_EQ(check({{0x52, 0, 7670453}}), "ok");
    EXPECT_EQ(check({{0x30, 1, 3579545}, {0x50, 0, 4000000}}), "ok");
    // The last request of each kind counts.
    EXPECT_EQ(check({{0x52, 0, 3579545}, {0x30, 1, 3579545}, {0x52, 1, 7670453}}), conflict);
    EXPECT_EQ(check({{0x52, 0, 7670453}, {0x52, 1, 3579545}, {0x30, 1, 3579545}}), "ok");
}

}  // namespace
}  // namespace klink
