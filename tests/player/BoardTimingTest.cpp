// The timing choice without boards: the names, which board could time a
// file, what the board-timed play makes of the file, and the link check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VGMTestBuilder.h"
#include "player/BoardTiming.h"
#include "player/LinkBudget.h"
#include "vgm/VGMAnalysis.h"

namespace klink {
namespace {

using test::VGMBuilder;

TEST(BoardTiming, NamesRoundTripAndOthersAreRefused) {
    for (const PlaybackTiming t : {PlaybackTiming::kHost, PlaybackTiming::kBoard, PlaybackTiming::kAuto}) {
        EXPECT_EQ(ParsePlaybackTiming(PlaybackTimingName(t)), t);
    }
    EXPECT_EQ(PlaybackTimingName(PlaybackTiming::kAuto), "auto");
    for (const char* other : {"", "Host", "boards", " auto"}) {
        EXPECT_FALSE(ParsePlaybackTiming(other).has_value()) << other;
    }
}

TEST(BoardTiming, PicksTheBoardThatCanTimeTheFile) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, uint32_t>> clocks;  // header field, Hz
        std::vector<std::vector<uint8_t>> commands;
        BoardTimedPath path;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"YM2151 alone", {{0x30, 3579545}}, {{0x54, 0x08, 0x78}, {0x62}}, BoardTimedPath::kKL4, ""},
        {"YM2612 and SN76489",
         {{0x2C, 7670453}, {0x0C, 3579545}},
         {{0x52, 0x28, 0xF0}, {0x50, 0x9F}, {0x62}},
         BoardTimedPath::kKL2,
         ""},
        {"a YM2151 beside KL2 chips goes with the KL2 board",
         {{0x30, 3579545}, {0x0C, 3579545}},
         {{0x54, 0x08, 0x78}, {0x50, 0x9F}, {0x62}},
         BoardTimedPath::kKL2,
         ""},
        {"YM2413",
         {{0x10, 3579545}},
         {{0x51, 0x0E, 0x20}, {0x62}},
         BoardTimedPath::kNone,
         "no chip of the file can be timed by its board"},
        {"no wait",
         {{0x30, 3579545}},
         {{0x54, 0x08, 0x78}},
         BoardTimedPath::kNone,
         "the file has no time line"},
        {"the YM2612 DAC streams already",
         {{0x2C, 7670453}},
         {{0x67, 0x66, 0x00, 2, 0, 0, 0, 0x80, 0x81}, {0x52, 0x2B, 0x80}, {0x80}, {0x62}},
         BoardTimedPath::kNone,
         "the file streams to its board"},
    };
    for (const Case& c : cases) {
        VGMBuilder b;
        for (const auto& [field, hz] : c.clocks) b.Field(field, hz);
        uint32_t samples = 0;
        for (const auto& cmd : c.commands) {
            b.Raw(cmd);
            if (cmd == std::vector<uint8_t>{0x62}) samples += 735;
        }
        b.Field(0x18, samples);
        const VGMAnalysis a = AnalyseVGMBytes(b.End().Build());
        ASSERT_TRUE(a.ok) << c.name << ": " << a.error;
        std::string why;
        EXPECT_EQ(BoardTimedPathFor(a, why), c.path) << c.name;
        EXPECT_EQ(why, c.why) << c.name;
    }
}

TEST(BoardTiming, TheBoardTimedFileTakesAStreamingPath) {
    VGMBuilder b;
    b.Field(0x30, 3579545).Field(0x18, 735).Cmd({0x54, 0x08, 0x78}).Cmd({0x62});
    VGMAnalysis ym = AnalyseVGMBytes(b.End().Build());
    ASSERT_TRUE(ym.ok) << ym.error;
    ApplyBoardTiming(ym, BoardTimedPath::kKL4);
    EXPECT_EQ(PlaybackPathFor(ym), VGMPlaybackPath::kADPCM);
    EXPECT_EQ(ym.okiClock, 4000000u);
    EXPECT_EQ(ym.okiDivider, 1024u);

    VGMBuilder k;
    k.Field(0x2C, 7670453).Field(0x18, 735).Cmd({0x52, 0x28, 0xF0}).Cmd({0x62});
    VGMAnalysis kl2 = AnalyseVGMBytes(k.End().Build());
    ASSERT_TRUE(kl2.ok) << kl2.error;
    ApplyBoardTiming(kl2, BoardTimedPath::kKL2);
    EXPECT_EQ(PlaybackPathFor(kl2), VGMPlaybackPath::kKL2DAC);
    EXPECT_EQ(kl2.okiClock, 0u);
}

// One second of YM2151 music after a key-on: `writes` writes every
// `interval` samples, board-timed.
VGMAnalysis DenseYM2151(int writes, uint16_t interval) {
    VGMBuilder b;
    b.Field(0x30, 3579545).Field(0x18, 44100).Cmd({0x54, 0x08, 0x78});
    for (int point = 0; point < 44100 / interval; ++point) {
        for (int i = 0; i < writes; ++i)
            b.Cmd({0x54, static_cast<uint8_t>(0x20 + i), static_cast<uint8_t>(point)});
        b.Cmd({0x61, static_cast<uint8_t>(interval & 0xFF), static_cast<uint8_t>(interval >> 8)});
    }
    VGMAnalysis a = AnalyseVGMBytes(b.End().Build());
    EXPECT_TRUE(a.ok) << a.error;
    ApplyBoardTiming(a, BoardTimedPath::kKL4);
    return a;
}

TEST(BoardTiming, TheLinkCheckSaysWhyALineCannotCarryTheBoardTimedLoad) {
    // The silent stream is about 5 KB/s framed and every write position a
    // packet of its own: a UART carries 44 positions a second on top.
    const LinkLoad light = MeasureLinkLoad(DenseYM2151(2, 1000));
    EXPECT_EQ(BoardTimedLinkRefusal(light, 11520), "");
    EXPECT_EQ(BoardTimedLinkRefusal(light, 0), "");
    EXPECT_GT(light.peakBytes, 4000u);

    const LinkLoad heavy = MeasureLinkLoad(DenseYM2151(30, 100));
    ASSERT_GT(heavy.peakBytes, 11520u);
    EXPECT_EQ(BoardTimedLinkRefusal(heavy, 11520),
              "board timing needs " + std::to_string(heavy.peakBytes) +
                  " bytes/s at its busiest (from 0:00.0); the line carries 11520 bytes/s");
    EXPECT_EQ(BoardTimedLinkRefusal(heavy, 512000), "");
}

}  // namespace
}  // namespace klink
