#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VGMTestBuilder.h"
#include "common/Errors.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMCommand.h"

namespace klink {
namespace {

using test::VGMBuilder;
using K = VGMDecodeKind;

template <typename F>
std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const ReadError& e) {
        return e.what();
    }
    return "(no error)";
}

struct Decoded {
    K kind;
    KLINKVGMTarget target;
    uint8_t reg, value;
    uint32_t wait, next;
};

Decoded Decode(std::vector<uint8_t> bytes) {
    Decoded d{};
    d.next = 0;
    d.kind = DecodeRegisterCommand(bytes, d.next, d.target, d.reg, d.value, d.wait);
    return d;
}

TEST(KLINKVGM, DecodesCommandsIntoTargets) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        K kind;
        KLINKVGMTarget target;
        uint8_t reg, value;
        uint32_t wait, length;
    } cases[] = {
        {"SN76489", {0x50, 0x9F}, K::kRegisterWrite, {0x50, 0, 0}, 0, 0x9F, 0, 2},
        {"second SN76489", {0x30, 0x9F}, K::kRegisterWrite, {0x30, 1, 0}, 0, 0x9F, 0, 2},
        {"YM2413", {0x51, 0x30, 0x11}, K::kRegisterWrite, {0x51, 0, 0}, 0x30, 0x11, 0, 3},
        {"second YM2413", {0xA1, 0x3F, 0x11}, K::kRegisterWrite, {0x51, 1, 0}, 0x3F, 0x11, 0, 3},
        {"YM2612 DAC data register", {0x52, 0x2A, 0x80}, K::kRegisterWrite, {0x52, 0, 0}, 0x2A, 0x80, 0, 3},
        {"YM2612 timer A dropped", {0x52, 0x24, 0x10}, K::kNothing, {}, 0, 0, 0, 3},
        {"YM2612 port 1 key on dropped", {0x53, 0x28, 0xF0}, K::kNothing, {}, 0, 0, 0, 3},
        {"YM2612 port 1", {0x53, 0xB6, 0xC0}, K::kRegisterWrite, {0x53, 0, 1}, 0xB6, 0xC0, 0, 3},
        {"second YM2612 port 1", {0xA3, 0x30, 0x01}, K::kRegisterWrite, {0x53, 1, 1}, 0x30, 0x01, 0, 3},
        {"second YM2612 filtered", {0xA2, 0xB7, 0x01}, K::kNothing, {}, 0, 0, 0, 3},
        {"YM2151", {0x54, 0x08, 0x78}, K::kRegisterWrite, {0x54, 0, 0}, 0x08, 0x78, 0, 3},
        {"second YM2151", {0xA4, 0x08, 0x78}, K::kRegisterWrite, {0x54, 1, 0}, 0x08, 0x78, 0, 3},
        {"YM2203", {0x55, 0x28, 0xF0}, K::kRegisterWrite, {0x55, 0, 0}, 0x28, 0xF0, 0, 3},
        {"second YM2203 keeps its byte",
         {0xA5, 0x28, 0xF0},
         K::kRegisterWrite,
         {0xA5, 1, 0},
         0x28,
         0xF0,
         0,
         3},
        {"YM3812", {0x5A, 0xB0, 0x20}, K::kRegisterWrite, {0x5A, 0, 0}, 0xB0, 0x20, 0, 3},
        {"second YM3812", {0xAA, 0xB0, 0x20}, K::kRegisterWrite, {0x5A, 1, 0}, 0xB0, 0x20, 0, 3},
        {"YM3526", {0x5B, 0xB0, 0x20}, K::kRegisterWrite, {0x5B, 0, 0}, 0xB0, 0x20, 0, 3},
        {"second YM3526", {0xAB, 0xB0, 0x20}, K::kRegisterWrite, {0x5B, 1, 0}, 0xB0, 0x20, 0, 3},
        {"YMF262 port 0", {0x5E, 0xB0, 0x20}, K::kRegisterWrite, {0x5E, 0, 0}, 0xB0, 0x20, 0, 3},
        {"YMF262 port 1", {0x5F, 0xB0, 0x20}, K::kRegisterWrite, {0x5F, 0, 1}, 0xB0, 0x20, 0, 3},
        {"second YMF262 port 0", {0xAE, 0xB0, 0x20}, K::kRegisterWrite, {0x5E, 1, 0}, 0xB0, 0x20, 0, 3},
        {"second YMF262 port 1", {0xAF, 0xB0, 0x20}, K::kRegisterWrite, {0x5F, 1, 1}, 0xB0, 0x20, 0, 3},
        {"AY8910", {0xA0, 0x08, 0x0F}, K::kRegisterWrite, {0xA0, 0, 0}, 8, 0x0F, 0, 3},
        {"second AY8910", {0xA0, 0x88, 0x0F}, K::kRegisterWrite, {0xA0, 1, 0}, 8, 0x0F, 0, 3},
        {"DAC sample", {0x83}, K::kDACEvent, {0x52, 0, 0}, 0, 0, 3, 1},
        {"DAC stream setup", {0x90, 0x00, 0x02, 0x00, 0x2A}, K::kDACEvent, {0x52, 0, 0}, 0, 0, 0, 5},
        {"second YM2612 DAC stream", {0x90, 0x01, 0x82, 0x00, 0x2A}, K::kDACEvent, {0x52, 1, 0}, 0, 0, 0, 5},
        {"stream for another chip", {0x90, 0x00, 0x17, 0x00, 0x01}, K::kNothing, {}, 0, 0, 0, 5},
        {"waits come through the walker", {0x61, 0x10, 0x00}, K::kWait, {}, 0, 0, 16, 3},
        {"end", {0x66}, K::kEnd, {}, 0, 0, 0, 1},
        {"YM2608 is no target", {0x56, 0x28, 0xF0}, K::kNothing, {}, 0, 0, 0, 3},
        {"OKIM6258 is no target", {0xB7, 0x01, 0x80}, K::kNothing, {}, 0, 0, 0, 3},
    };
    for (const auto& c : cases) {
        auto bytes = c.bytes;
        bytes.push_back(0x66);
        const Decoded d = Decode(bytes);
        EXPECT_EQ(d.kind, c.kind) << c.name;
        EXPECT_EQ(d.target, c.target) << c.name;
        EXPECT_EQ(d.reg, c.reg) << c.name;
        EXPECT_EQ(d.value, c.value) << c.name;
        EXPECT_EQ(d.wait, c.wait) << c.name;
        EXPECT_EQ(d.next, c.length) << c.name;
    }
}

TEST(KLINKVGM, DecoderFailures) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* message;
    } cases[] = {
        {{}, "Missing VGM end command."},
        {{0x50}, "Truncated SN76489 byte."},
        {{0x30}, "Truncated SN76489 byte."},
        {{0x54, 0x08}, "Truncated VGM register command."},
        {{0xAF}, "Truncated VGM register command."},
        {{0x90, 0, 2, 0}, "Truncated DAC stream setup."},
        {{0x90, 0, 2, 1, 0x2A}, "YM2612 stream must target port 0/register $2A."},
        {{0x90, 0, 0x82, 0, 0x2B}, "YM2612 stream must target port 0/register $2A."},
        {{0xA0, 0x10, 0x00}, "Invalid AY register address."},
        {{0xA0, 0x90, 0x00}, "Invalid AY register address."},
        {{0x51, 0x40, 0x00}, "Invalid YM2413 register address."},
        {{0xA1, 0xFF, 0x00}, "Invalid YM2413 register address."},
        {{0x54, 0x08, 0x00, 0x40}, "(no error)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf([&] { (void)Decode(c.bytes); }), c.message);
    }
    std::vector<uint8_t> rejected(0x100, 0x70);
    rejected.push_back(0x40);
    uint32_t at = 0x100;
    KLINKVGMTarget t;
    uint8_t r, v;
    uint32_t w;
    EXPECT_EQ(ErrorOf([&] { (void)DecodeRegisterCommand(rejected, at, t, r, v, w); }),
              "Unsupported VGM command $40 at $00000100.");
}

TEST(KLINKVGM, YM2612RegisterFilter) {
    EXPECT_TRUE(YM2612RegisterAccepted(0, 0x30));
    EXPECT_TRUE(YM2612RegisterAccepted(1, 0xB6));
    EXPECT_FALSE(YM2612RegisterAccepted(1, 0xB7));
    EXPECT_FALSE(YM2612RegisterAccepted(0, 0x2F));
    for (uint8_t r : {0x22, 0x27, 0x28, 0x2A, 0x2B, 0x2C}) {
        EXPECT_TRUE(YM2612RegisterAccepted(0, r)) << int{r};
        EXPECT_FALSE(YM2612RegisterAccepted(1, r)) << int{r};
    }
    for (uint8_t r : {0x21, 0x24, 0x25, 0x26, 0x29, 0x2D})
        EXPECT_FALSE(YM2612RegisterAccepted(0, r)) << int{r};
    EXPECT_FALSE(YM2612RegisterAccepted(2, 0x40));
}

// --- Clocks ---------------------------------------------------------------------

// A 1.70 file whose extra header (at 0xC0) has a clock table right after it.
std::vector<uint8_t> WithClockTable(std::vector<std::pair<uint8_t, uint32_t>> entries,
                                    uint32_t headerSize = 0x100) {
    VGMBuilder b(0x170, headerSize);
    b.Field(0xBC, 0xC0 - 0xBC).Field(0xC0, 12).Field(0xC4, 8);  // size 12, clock table at 0xC4 + 8 = 0xCC
    b.Byte(0xCC, static_cast<uint8_t>(entries.size()));
    uint32_t at = 0xCD;
    for (const auto& [id, clock] : entries) {
        b.Byte(at, id).Field(at + 1, clock);
        at += 5;
    }
    return b.End().Build();
}

TEST(KLINKVGM, SecondChipClockFromTheExtraHeader) {
    EXPECT_EQ(ReadSecondChipClock(WithClockTable({{0, 4000000}}), 0x100, 0, 0x401E8480), 4000000u);
    EXPECT_EQ(ReadSecondChipClock(WithClockTable({{3, 5}}), 0x100, 0, 77), 77u);
    EXPECT_EQ(ReadSecondChipClock(WithClockTable({}), 0x100, 0, 77), 77u);
    // Before 1.70, or a header ending before 0xC0, the extra header is not there.
    auto old = WithClockTable({{0, 4000000}});
    old[0x08] = 0x61;
    old[0x09] = 0x01;
    EXPECT_EQ(ReadSecondChipClock(old, 0x100, 0, 77), 77u);
    EXPECT_EQ(ReadSecondChipClock(WithClockTable({{0, 4000000}}), 0xBF, 0, 77), 77u);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t headerEnd;
        const char* message;
    } cases[] = {
        {"duplicate entry", WithClockTable({{0, 1}, {0, 2}}), 0x100, "Duplicate VGM second-chip clock."},
        {"table past the header", WithClockTable({{0, 1}, {1, 2}}), 0xD0, "Truncated VGM extra clock table."},
        {"table starts at the header end", WithClockTable({{0, 1}}), 0xCC,
         "Invalid VGM extra clock table offset."},
        {"extra header past the header end", WithClockTable({{0, 1}}), 0xC8,
         "Invalid VGM extra header size."},
        {"size field past the header end", WithClockTable({{0, 1}}), 0xC2, "Truncated VGM clock header."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf([&] { (void)ReadSecondChipClock(c.bytes, c.headerEnd, 0, 0); }), c.message)
            << c.name;
    }
    auto tinySize = WithClockTable({});
    tinySize[0xC0] = 3;
    EXPECT_EQ(ErrorOf([&] { (void)ReadSecondChipClock(tinySize, 0x100, 0, 0); }),
              "Invalid VGM extra header size.");
    auto tableInside = WithClockTable({});
    tableInside[0xC4] = 2;  // 0xC4 + 2 lies inside the extra header
    EXPECT_EQ(ErrorOf([&] { (void)ReadSecondChipClock(tableInside, 0x100, 0, 0); }),
              "Invalid VGM extra clock table offset.");
    auto noTable = WithClockTable({{0, 1}});
    noTable[0xC0] = 4;  // size 4: no clock table field
    EXPECT_EQ(ReadSecondChipClock(noTable, 0x100, 0, 77), 77u);
    auto hugeOffset = WithClockTable({});
    for (int i = 0; i < 4; ++i) hugeOffset[0xBC + i] = 0xFF;  // 0xBC + X passes 32 bits
    EXPECT_EQ(ErrorOf([&] { (void)ReadSecondChipClock(hugeOffset, 0x100, 0, 0); }),
              "Truncated VGM clock header.");
}

TEST(KLINKVGM, ClockForTarget) {
    auto b = VGMBuilder(0x171);
    b.Field(0x0C, 0x40000000u | 3579545).Field(0x10, 3579545).Field(0x2C, 7670453).Field(0x30, 3579545);
    b.Field(0x44, 0x40000000u | 4000000).Field(0x50, 0xC0000000u | 3579545).Field(0x74, 1789772);
    const auto bytes = b.End().Build();
    struct Case {
        uint8_t writeId, instance;
        KLINKVGMClock expected;
    } cases[] = {
        {0x50, 0, {0x50, 0, 3579545}}, {0x30, 1, {0x30, 1, 3579545}}, {0x51, 0, {0x51, 0, 3579545}},
        {0x53, 0, {0x52, 0, 7670453}}, {0x54, 0, {0x54, 0, 3579545}}, {0xA5, 1, {0x55, 1, 4000000}},
        {0x5A, 1, {0x5A, 1, 3579545}}, {0xA0, 0, {0xA0, 0, 1789772}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClockForTarget(bytes, 0x100, c.writeId, c.instance), c.expected)
            << std::hex << int{c.writeId};
    }
    EXPECT_EQ(ErrorOf([&] { (void)ClockForTarget(bytes, 0x100, 0xB7, 0); }), "Unsupported VGM clock target.");
    EXPECT_EQ(ErrorOf([&] { (void)ClockForTarget(bytes, 0x100, 0x54, 1); }),
              "Second VGM chip has no dual-chip header flag.");
    EXPECT_EQ(ErrorOf([&] { (void)ClockForTarget(bytes, 0x100, 0x5B, 0); }),
              "VGM register target has zero input clock.");
    EXPECT_EQ(ErrorOf([&] { (void)ClockForTarget(bytes, 0x40, 0x55, 0); }),
              "Missing VGM clock for chip $55.");
    EXPECT_EQ(ErrorOf([&] { (void)ClockForTarget(bytes, 0x40, 0xA5, 1); }),
              "Missing VGM clock for chip $A5.");
    EXPECT_EQ(ErrorOf([&] { (void)ClockForTarget(bytes, 0x47, 0x55, 0); }),
              "Missing VGM clock for chip $55.");
    EXPECT_EQ(ClockForTarget(bytes, 0x48, 0x55, 0).hertz, 4000000u);

    auto vrc7 = VGMBuilder().Field(0x10, 0x80000000u | 3579545).End().Build();
    EXPECT_EQ(ErrorOf([&] { (void)ClockForTarget(vrc7, 0x100, 0x51, 0); }),
              "VRC7 instrument profile is not supported.");
}

TEST(KLINKVGM, CollectTargetsAndClocks) {
    auto b = VGMBuilder(0x171);
    b.Field(0x0C, 0x40000000u | 3579545).Field(0x2C, 7670453);
    b.Cmd({0x52, 0x28, 0x00, 0x53, 0x30, 0x01, 0x52, 0x24, 0x00, 0x50, 0x9F, 0x30, 0x9F, 0x80, 0x52, 0x22,
           0x00});
    const auto bytes = b.End().Build();
    const auto r = CollectTargetsAndClocks(bytes, 0x100);
    EXPECT_EQ(r.targets,
              (std::vector<KLINKVGMTarget>{{0x52, 0, 0}, {0x53, 0, 1}, {0x50, 0, 0}, {0x30, 1, 0}}));
    EXPECT_EQ(r.clocks,
              (std::vector<KLINKVGMClock>{{0x52, 0, 7670453}, {0x50, 0, 3579545}, {0x30, 1, 3579545}}));

    const auto dacOnly = VGMBuilder().Field(0x2C, 7670453).Cmd({0x80, 0x81}).End().Build();
    const auto d = CollectTargetsAndClocks(dacOnly, 0x100);
    EXPECT_EQ(d.targets, (std::vector<KLINKVGMTarget>{{0x52, 0, 0}}));
    EXPECT_EQ(d.clocks, (std::vector<KLINKVGMClock>{{0x52, 0, 7670453}}));

    const auto nothing = VGMBuilder().Cmd({0x56, 0x28, 0xF0}).End().Build();
    EXPECT_TRUE(CollectTargetsAndClocks(nothing, 0x100).targets.empty());

    // A 1.10 file has its header end at 0x40: the YM2203 clock field lies beyond it.
    const auto v110 = VGMBuilder(0x110, 0x40).Cmd({0x55, 0x28, 0xF0}).End().Build();
    EXPECT_EQ(ErrorOf([&] { (void)CollectTargetsAndClocks(v110, 0x40); }), "Missing VGM clock for chip $55.");
    // Every new target is checked, also a second port of a chip whose clock is known.
    auto secondYm2612 = VGMBuilder().Field(0x2C, 7670453).Cmd({0x52, 0x28, 0, 0xA3, 0x30, 0}).End().Build();
    EXPECT_EQ(ErrorOf([&] { (void)CollectTargetsAndClocks(secondYm2612, 0x100); }),
              "Second VGM chip has no dual-chip header flag.");
    const auto noEnd = VGMBuilder().Field(0x30, 4000000).Cmd({0x54, 0x08, 0}).Build();
    EXPECT_EQ(ErrorOf([&] { (void)CollectTargetsAndClocks(noEnd, 0x100); }), "Missing VGM end command.");
    EXPECT_EQ(ErrorOf([&] { (void)CollectTargetsAndClocks(noEnd, 0x3F); }), "Invalid VGM data offset.");
    EXPECT_EQ(ErrorOf([&] { (void)CollectTargetsAndClocks(noEnd, 0x103); }), "Invalid VGM data offset.");
}

TEST(KLINKVGM, SecondSN76489ClockFromTheExtraHeaderTable) {
    auto withEntry = WithClockTable({{0, 4000000}});
    withEntry.pop_back();  // the end command
    auto bytes = withEntry;
    bytes[0x0C] = 0x80;
    bytes[0x0D] = 0x84;
    bytes[0x0E] = 0x1E;
    bytes[0x0F] = 0x40;  // 2000000 with the dual bit
    for (uint8_t x : {0x50, 0x9F, 0x30, 0x9F, 0x66}) bytes.push_back(x);
    const auto r = CollectTargetsAndClocks(bytes, 0x100);
    EXPECT_EQ(r.clocks, (std::vector<KLINKVGMClock>{{0x50, 0, 2000000}, {0x30, 1, 4000000}}));

    auto duplicate = WithClockTable({{0, 4000000}, {0, 3000000}});
    duplicate.pop_back();
    for (int i = 0; i < 4; ++i) duplicate[0x0C + i] = bytes[0x0C + i];
    for (uint8_t x : {0x50, 0x9F, 0x30, 0x9F, 0x66}) duplicate.push_back(x);
    EXPECT_EQ(ErrorOf([&] { (void)CollectTargetsAndClocks(duplicate, 0x100); }),
              "Duplicate VGM second-chip clock.");
}

TEST(KLINKVGM, StartsSound) {
    struct Case {
        KLINKVGMTarget target;
        uint8_t reg, value;
        bool expected;
    } cases[] = {
        {{0x50, 0, 0}, 0, 0x90, true},     {{0x50, 0, 0}, 0, 0x9F, false},
        {{0x30, 1, 0}, 0, 0xB5, true},     {{0x50, 0, 0}, 0, 0x8F, false},
        {{0x51, 0, 0}, 0x20, 0x10, true},  {{0x51, 0, 0}, 0x29, 0x10, false},
        {{0x51, 0, 0}, 0x28, 0x0F, false}, {{0x52, 0, 0}, 0x28, 0x10, true},
        {{0x52, 0, 0}, 0x28, 0x06, false}, {{0x52, 0, 0}, 0x2B, 0x80, true},
        {{0x52, 0, 0}, 0x2B, 0x00, false}, {{0x53, 0, 1}, 0x28, 0xF0, false},
        {{0x54, 0, 0}, 0x08, 0x08, true},  {{0x54, 0, 0}, 0x08, 0x07, false},
        {{0x54, 0, 0}, 0x09, 0x78, false}, {{0x55, 0, 0}, 0x28, 0xF0, true},
        {{0xA5, 1, 0}, 0x28, 0xF0, true},  {{0x55, 0, 0}, 0x0A, 0x01, true},
        {{0x55, 0, 0}, 0x0B, 0x1F, false}, {{0x5A, 0, 0}, 0xB8, 0x20, true},
        {{0x5B, 0, 0}, 0xB9, 0x20, false}, {{0x5E, 0, 0}, 0xBD, 0x01, true},
        {{0x5F, 0, 1}, 0xBD, 0x20, false}, {{0xA0, 1, 0}, 0x08, 0x10, true},
        {{0xA0, 0, 0}, 0x08, 0x00, false}, {{0xB7, 0, 0}, 0x01, 0xFF, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StartsSound(c.target, c.reg, c.value), c.expected)
            << std::hex << int{c.target.writeId} << " " << int{c.reg} << " " << int{c.value};
    }
}

TEST(KLINKVGM, UsesKL2DAC) {
    struct Case {
        const char* name;
        std::vector<uint8_t> commands;
        bool expected;
    } cases[] = {
        {"DAC samples, output never enabled", {0x80, 0x81, 0x52, 0x2B, 0x00}, false},
        {"enable before the first sample", {0x52, 0x2B, 0x80, 0x80}, true},
        {"enable after the samples", {0x80, 0x52, 0x2B, 0x80}, true},
        {"register 0x2A then enable", {0x52, 0x2A, 0x80, 0x52, 0x2B, 0x80}, true},
        {"enable then disable, then data", {0x52, 0x2B, 0x80, 0x52, 0x2B, 0x00, 0x80}, false},
        {"second YM2612 register 0x2A only", {0xA2, 0x2A, 0x80, 0x52, 0x2B, 0x80}, false},
        {"stream for the YM2612 started",
         {0x90, 0x00, 0x02, 0x00, 0x2A, 0x52, 0x2B, 0x80, 0x95, 0x00, 0, 0, 0},
         true},
        {"stream set up but never started", {0x90, 0x00, 0x02, 0x00, 0x2A, 0x52, 0x2B, 0x80}, false},
        {"stream re-set up for another chip",
         {0x90, 0x00, 0x02, 0x00, 0x2A, 0x90, 0x00, 0x17, 0x00, 0x01, 0x52, 0x2B, 0x80, 0x95, 0x00, 0, 0, 0},
         false},
        {"no YM2612 at all", {0x54, 0x08, 0x00}, false},
    };
    for (const auto& c : cases) {
        auto bytes = VGMBuilder().Raw(c.commands).End().Build();
        EXPECT_EQ(UsesKL2DAC(bytes, 0x100), c.expected) << c.name;
    }
    auto noEnd = VGMBuilder().Cmd({0x80}).Build();
    EXPECT_EQ(ErrorOf([&] { (void)UsesKL2DAC(noEnd, 0x100); }), "Missing VGM end command.");
}

TEST(KLINKVGM, OneWalkScanAgreesWithTheSeparateScans) {
    const std::vector<std::vector<uint8_t>> commandLists = {
        {0x52, 0x2B, 0x80, 0x80, 0x50, 0x9F},
        {0x80, 0x52, 0x2A, 0x00, 0x53, 0x30, 0x00},
        {0x90, 0x00, 0x02, 0x00, 0x2A, 0x52, 0x2B, 0x80, 0x95, 0x00, 0, 0, 0},
        {0x90, 0x05, 0x17, 0x00, 0x01, 0x93, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x52, 0x28, 0x00},
        {0xB7, 0x01, 0x80, 0x54, 0x08, 0x00},
        {0xB7, 0x00, 0x02, 0x54, 0x08, 0x00, 0x66, 0xB7, 0x01, 0x00},
        {0x54, 0x08, 0x00, 0x61, 0x10, 0x00, 0x52, 0x2B, 0x80},
    };
    for (const auto& commands : commandLists) {
        auto bytes = VGMBuilder()
                         .Field(0x30, 4000000)
                         .Field(0x2C, 7670453)
                         .Field(0x0C, 3579545)
                         .Raw(commands)
                         .End()
                         .Build();
        const auto scan = ScanVGMCommands(bytes, 0x100);
        const auto separate = CollectTargetsAndClocks(bytes, 0x100);
        EXPECT_EQ(scan.targetsAndClocks.targets, separate.targets);
        EXPECT_EQ(scan.targetsAndClocks.clocks, separate.clocks);
        EXPECT_EQ(scan.usesOkiStream, UsesOKIStream(bytes, 0x100));
        EXPECT_EQ(scan.usesKl2Dac, UsesKL2DAC(bytes, 0x100));
    }
}

}  // namespace
}  // namespace klink
