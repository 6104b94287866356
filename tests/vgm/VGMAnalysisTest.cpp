#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TempFile.h"
#include "VGMTestBuilder.h"
#include "common/Errors.h"
#include "vgm/VGMAnalysis.h"
#include "vgm/VGMFile.h"
#include "vgm/VGMHeaderText.h"

namespace klink {
namespace {

using test::Gzip;
using test::TempFile;
using test::VGMBuilder;
using F = VGMHeaderField;
using S = VGMAnalysisStage;

// Records the observer's calls in order.
struct Recorder {
    std::vector<std::string> events;
    VGMAnalysisObserver Observer() {
        return {[this](const VGMHeaderSummary& h) {
                    events.push_back("header " + FormatVGMHeader(h)[F::kLoopOffset]);
                },
                [this](const std::string& line) { events.push_back("log " + line); }};
    }
};

// The header texts of an analysis that read its header.
VGMHeaderTexts Texts(const VGMAnalysis& a) {
    EXPECT_TRUE(a.header.has_value());
    return a.header ? FormatVGMHeader(*a.header) : VGMHeaderTexts{};
}

TEST(VGMAnalysis, YM2151FileWithTagsAndLoop) {
    VGMBuilder b(0x171);
    b.Field(0x04, 0x1234).Field(0x18, 44100).Field(0x20, 22050).Field(0x30, 0x40000000u | 3579545);
    b.Cmd({0x54, 0x20, 0xC7}).LoopHere().Cmd({0x54, 0x08, 0x78, 0x62}).End();
    b.GD3({u" Track ", u"\u66F2", u"Game", u"", u"Sys", u"", u"Me", u"", u"2026", u"tool", u"line1\nline2"});
    Recorder rec;
    auto a = AnalyseVGMBytes(Gzip(b.Build()), rec.Observer());
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.stage, S::kDone);
    EXPECT_EQ(std::vector<uint8_t>(a.vgmBuffer.begin(), a.vgmBuffer.end()), b.Build());
    EXPECT_EQ(a.vgmVersion, 0x171u);
    EXPECT_EQ(a.dataOffset, 0x100u);
    EXPECT_EQ(a.vgmLoopOffset, 0x103u - 0x1C);
    EXPECT_EQ(a.gd3offset, 0x108u);
    EXPECT_EQ(a.gd3[0], u"Track");
    EXPECT_EQ(a.gd3[10], u"line1\r\nline2");
    EXPECT_EQ(a.registerTargets, (std::vector<KLINKVGMTarget>{{0x54, 0, 0}}));
    EXPECT_EQ(a.registerClocks, (std::vector<KLINKVGMClock>{{0x54, 0, 3579545}}));
    EXPECT_EQ(a.okiClock, 0u);
    EXPECT_FALSE(a.hasKl2Registers);
    EXPECT_FALSE(a.useKl2Dac);
    EXPECT_EQ(PlaybackPathName(PlaybackPathFor(a)), "register");

    const std::map<F, std::string> expected = {
        {F::kFileSize, std::to_string(a.vgmBuffer.size()) + " bytes"},
        {F::kEofOffset, "0x1234"},
        {F::kVersion, "0x0171"},
        {F::kLoopOffset, "0x00E7"},
        {F::kTotalSamples, "44100"},
        {F::kGD3Offset, "0x0108"},
        {F::kLoopSamples, "22050"},
        {F::kDataOffset, "0x0100"},
        {F::kYM2151Clock, "3579545"},
        {F::kYM2612Clock, "0"},
        {F::kOKIM6258Clock, ""},
        {F::kSN76489Clock, ""},
        {F::kSN76489SecondClock, ""},
        {F::kYM2203Clock, "0"},
        {F::kAY8910Clock, "0"},
        {F::kYM3812Clock, "0"},
        {F::kYM3526Clock, "0"},
        {F::kYM2608Clock, "0"},
    };
    const VGMHeaderTexts texts = Texts(a);
    for (const auto& [field, text] : expected) {
        EXPECT_EQ(texts[field], text) << VGMHeaderFieldName(field);
    }
    const std::string summary = "VGM register routes=1; OKI=0 Hz, divider=0 (clock 0 = unused).";
    EXPECT_EQ(a.log, (std::vector<std::string>{summary}));
    EXPECT_EQ(rec.events, (std::vector<std::string>{"header 0x00E7", "log " + summary}));

    auto moved = std::move(a.vgmBuffer);
    EXPECT_EQ(moved.size(), b.Build().size());
}

TEST(VGMAnalysis, RejectedLoopIsLoggedAndShownAsZero) {
    auto bytes = VGMBuilder().Field(0x30, 4000000).Field(0x1C, 0x5000).Cmd({0x54, 0x08, 0}).End().Build();
    Recorder rec;
    const auto a = AnalyseVGMBytes(bytes, rec.Observer());
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.vgmLoopOffset, 0u);
    EXPECT_EQ(Texts(a)[F::kLoopOffset], "0x0000");
    const std::string line =
        "Invalid VGM loop offset $00005000; looping disabled. Playback ends at the VGM end command.";
    ASSERT_EQ(a.log.size(), 2u);
    EXPECT_EQ(a.log[0], line);
    EXPECT_EQ(rec.events[0], "header 0x5000");
    EXPECT_EQ(rec.events[1], "log " + line);
    EXPECT_EQ(rec.events[2], "header 0x0000");
}

TEST(VGMAnalysis, PathsAndSummaryLines) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* path;
        std::vector<std::string> log;
    } cases[] = {
        {"YM2151 + OKIM6258 data",
         VGMBuilder(0x161)
             .Field(0x30, 4000000)
             .Field(0x90, 8000000)
             .Byte(0x94, 1)
             .Cmd({0x54, 0x08, 0, 0xB7, 0x01, 0x80})
             .End()
             .Build(),
         "adpcm",
         {"VGM register routes=1; OKI=8000000 Hz, divider=768 (clock 0 = unused)."}},
        {"OKIM6258 clock without data",
         VGMBuilder(0x161).Field(0x30, 4000000).Field(0x90, 8000000).Cmd({0x54, 0x08, 0}).End().Build(),
         "register",
         {"OKI header definition is unused; using register playback.",
          "VGM register routes=1; OKI=0 Hz, divider=0 (clock 0 = unused)."}},
        {"YM2612 with its DAC",
         VGMBuilder().Field(0x2C, 7670453).Cmd({0x52, 0x2B, 0x80, 0x80}).End().Build(),
         "kl2-dac",
         {"VGM register routes=1; OKI=0 Hz, divider=0 (clock 0 = unused)."}},
        {"SN76489 only",
         VGMBuilder(0x110, 0x40).Field(0x0C, 3579545).Cmd({0x50, 0x90}).End().Build(),
         "register",
         {"KL2 playback=register; KL3 timing; DAC FIFO disabled; DAC detection=output-enable.",
          "VGM register routes=1; OKI=0 Hz, divider=0 (clock 0 = unused)."}},
        {"OKIM6258 alone is enough",
         VGMBuilder(0x161).Field(0x90, 4000000).Cmd({0xB7, 0x01, 0x80}).End().Build(),
         "adpcm",
         {"VGM register routes=0; OKI=4000000 Hz, divider=1024 (clock 0 = unused)."}},
    };
    for (const auto& c : cases) {
        const auto a = AnalyseVGMBytes(c.bytes);
        ASSERT_TRUE(a.ok) << c.name << ": " << a.error;
        EXPECT_EQ(PlaybackPathName(PlaybackPathFor(a)), c.path) << c.name;
        EXPECT_EQ(a.log, c.log) << c.name;
    }
}

TEST(VGMAnalysis, FailuresKeepWhatWasFilled) {
    struct Case {
        const char* name;
        std::vector<uint8_t> raw;
        std::string error;
        S stage;
        bool headerSummarised;
    } cases[] = {
        {"not a VGM file", std::vector<uint8_t>(100, 'x'), "Invalid VGM signature.", S::kNone, false},
        {"GD3 offset beyond 32 bits", VGMBuilder().Field(0x14, 0xFFFFFFF0u).End().Build(),
         "Invalid GD3 offset.", S::kLoaded, false},
        {"data offset field past the end", VGMBuilder().Field(0x34, 0x1000).End().Build(),
         "Invalid VGM data offset.", S::kLoaded, false},
        {"broken extra header while reading the summary",
         VGMBuilder(0x170).Field(0x0C, 0x40000000u | 3579545).Field(0xBC, 4).Field(0xC0, 2).End().Build(),
         "Invalid VGM extra header size.", S::kHeaderRead, false},
        {"data offset 0x38", VGMBuilder(0x150).Field(0x34, 4).Field(0x30, 4000000).End().Build(),
         "Invalid VGM data offset.", S::kHeaderSummarised, true},
        {"YM2612 with an OKIM6258 stream",
         VGMBuilder(0x161)
             .Field(0x2C, 7670453)
             .Field(0x90, 4000000)
             .Cmd({0x52, 0x28, 0, 0xB7, 0x01, 0})
             .End()
             .Build(),
         "Concurrent KL2 FM/DAC/PSG and KL4 OKI streaming are not supported in one VGM playback.",
         S::kKL2DACKnown, true},
        {"only YM2608 commands", VGMBuilder().Field(0x48, 8000000).Cmd({0x56, 0x28, 0xF0}).End().Build(),
         "No supported KLINK register or audio commands in this VGM.", S::kKL2DACKnown, true},
        {"no end command", VGMBuilder().Field(0x30, 4000000).Cmd({0x54, 0x08, 0}).Build(),
         "Missing VGM end command.", S::kLoopValidated, true},
        {"YM2203 in a 1.10 file", VGMBuilder(0x110, 0x40).Cmd({0x55, 0x28, 0xF0}).End().Build(),
         "Missing VGM clock for chip $55.", S::kLoopValidated, true},
        {"bad OKIM6258 clock", VGMBuilder(0x161).Field(0x90, 1000000).Cmd({0xB7, 0x01, 0}).End().Build(),
         "OKIM6258 clock must be 4 or 8 MHz.", S::kTargetsCollected, true},
        {"truncated gzip", std::vector<uint8_t>{0x1F, 0x8B, 8, 0, 0, 0},
         "Invalid or truncated GZIP data in VGM file.", S::kNone, false},
    };
    for (const auto& c : cases) {
        Recorder rec;
        const auto a = AnalyseVGMBytes(c.raw, rec.Observer());
        EXPECT_FALSE(a.ok) << c.name;
        EXPECT_EQ(a.error, c.error) << c.name;
        EXPECT_EQ(a.stage, c.stage) << c.name;
        EXPECT_EQ(a.header.has_value(), c.headerSummarised) << c.name;
        EXPECT_EQ(rec.events.empty(), !c.headerSummarised) << c.name;
        ASSERT_TRUE(a.failure) << c.name;
        EXPECT_THROW(std::rethrow_exception(a.failure), ReadError) << c.name;
    }
}

TEST(VGMAnalysis, HeaderRulesForOldHeadersAndSecondChips) {
    // 1.01: data offset 0x40, field 0x34 shown anyway; no clocks past 0x78; no tags.
    auto old = VGMBuilder(0x101, 0x40).Field(0x0C, 3579545).Field(0x34, 0xCC).Cmd({0x50, 0x9F}).End().Build();
    auto a = AnalyseVGMBytes(old);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(Texts(a)[F::kDataOffset], "0x0100");
    EXPECT_EQ(a.dataOffset, 0x40u);
    EXPECT_EQ(Texts(a)[F::kGD3Offset], "0x0014");
    EXPECT_EQ(Texts(a)[F::kSN76489Clock], "3579545");
    EXPECT_EQ(Texts(a)[F::kYM2203Clock], "");
    EXPECT_EQ(Texts(a)[F::kOKIM6258Clock], "");
    EXPECT_EQ(a.gd3Length, 0u);

    // 1.70 with a second SN76489 whose clock the extra header sets.
    VGMBuilder b(0x170);
    b.Field(0x0C, 0x40000000u | 2000000).Field(0xBC, 4).Field(0xC0, 12).Field(0xC4, 8).Byte(0xCC, 1);
    b.Byte(0xCD, 0).Field(0xCE, 4000000).Cmd({0x50, 0x9F, 0x30, 0x9F}).End();
    a = AnalyseVGMBytes(b.Build());
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(Texts(a)[F::kSN76489Clock], "2000000");
    EXPECT_EQ(Texts(a)[F::kSN76489SecondClock], "4000000");
    EXPECT_EQ(a.registerClocks, (std::vector<KLINKVGMClock>{{0x50, 0, 2000000}, {0x30, 1, 4000000}}));

    // OKIM6258 clock shown (masked) only from 1.61 with a header reaching it.
    auto oki = VGMBuilder(0x161)
                   .Field(0x30, 4000000)
                   .Field(0x90, 0x80000000u | 8000000)
                   .Cmd({0x54, 8, 0})
                   .End()
                   .Build();
    a = AnalyseVGMBytes(oki);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(Texts(a)[F::kOKIM6258Clock], "8000000");
    auto oki160 = VGMBuilder(0x160).Field(0x30, 4000000).Field(0x90, 8000000).Cmd({0x54, 8, 0}).End().Build();
    EXPECT_EQ(Texts(AnalyseVGMBytes(oki160))[F::kOKIM6258Clock], "");
}

TEST(VGMAnalysis, FileErrorsCarryTheSystemText) {
    const auto a = AnalyseVGMFile("/nonexistent-dir/x.vgm");
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, "Cannot open file /nonexistent-dir/x.vgm: No such file or directory");
    EXPECT_THROW(std::rethrow_exception(a.failure), OSError);
    EXPECT_FALSE(a.header.has_value());
}

TEST(VGMAnalysis, ObserverFailureEndsTheAnalysis) {
    auto bytes = VGMBuilder().Field(0x30, 4000000).Cmd({0x54, 0x08, 0}).End().Build();
    VGMAnalysisObserver stop{[](const VGMHeaderSummary&) { throw AbortError("Playback cancelled."); }, {}};
    const auto a = AnalyseVGMBytes(bytes, stop);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, "Playback cancelled.");
    EXPECT_THROW(std::rethrow_exception(a.failure), AbortError);
}

// Every cut and every flipped byte of a file with tags, an extra header, DAC
// streams and data blocks either analyses or fails with one message; never
// a crash or an out-of-bounds read (the sanitizer build checks the latter).
TEST(VGMAnalysis, DamagedFilesFailCleanly) {
    VGMBuilder b(0x171);
    b.Field(0x0C, 0x40000000u | 3579545).Field(0x2C, 7670453).Field(0x90, 4000000);
    b.Field(0xBC, 4).Field(0xC0, 12).Field(0xC4, 8).Byte(0xCC, 1).Byte(0xCD, 0).Field(0xCE, 4000000);
    b.Cmd({0x67, 0x66, 0x00, 0x04, 0, 0, 0, 1, 2, 3, 4, 0x50, 0x9F, 0x30, 0x9F, 0x52, 0x2B, 0x80});
    b.LoopHere().Cmd({0x90, 0x00, 0x02, 0x00, 0x2A, 0x95, 0x00, 0, 0, 0, 0x80, 0x61, 0x10, 0x00, 0x68, 0x66});
    b.Cmd({0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).End().GD3({u"a", u"\u66F2", u"b\nc"});
    const auto good = b.Build();
    ASSERT_TRUE(AnalyseVGMBytes(good).ok) << AnalyseVGMBytes(good).error;

    auto checkClean = [](const VGMAnalysis& a, const std::string& what) {
        if (a.ok) return;
        EXPECT_FALSE(a.error.empty()) << what;
        EXPECT_EQ(a.error.back(), '.') << what << ": " << a.error;
    };
    for (size_t cut = 0; cut < good.size(); ++cut) {
        checkClean(AnalyseVGMBytes(
                       std::vector<uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut))),
                   "cut " + std::to_string(cut));
    }
    for (size_t i = 4; i < good.size(); ++i) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            auto bad = good;
            bad[i] ^= flip;
            checkClean(AnalyseVGMBytes(bad), "byte " + std::to_string(i));
        }
    }
}

// --- Files made by this project -----------------------------------------------------

TEST(VGMAnalysis, BundledDemoTunes) {
    const std::map<std::string, std::string> paths = {
        {"demo_ym2151.vgm", "register"},  {"demo_ym2612_sn76489.vgm", "kl2-dac"},
        {"demo_sn76489.vgm", "register"}, {"demo_ay8910.vgm", "register"},
        {"demo_ym2203.vgm", "register"},  {"demo_ym3812.vgm", "register"},
        {"demo_ym2413.vgm", "register"},  {"demo_ym2151_okim6258.vgm", "adpcm"},
    };
    for (const auto& [name, path] : paths) {
        const auto file = std::filesystem::path(KLINK_SOURCE_DIR) / "samples" / name;
        const auto a = AnalyseVGMFile(file);
        ASSERT_TRUE(a.ok) << name << ": " << a.error;
        EXPECT_EQ(PlaybackPathName(PlaybackPathFor(a)), path) << name;
        EXPECT_NE(a.vgmLoopOffset, 0u) << name;
        EXPECT_FALSE(a.gd3[1].empty()) << name;  // Japanese track name
    }
}

// --- Files made by others (read in place, never copied) ----------------------------------

struct SharedFact {
    const char* file;
    uint32_t version;
    std::vector<KLINKVGMClock> clocks;
    uint32_t okiClock;
    const char* path;
    bool loop;
    bool tags;
};

TEST(VGMAnalysis, SharedSampleFiles) {
    // KLINK_SHARED_DIR in the environment overrides the build's idea (worktrees sit elsewhere).
    const char* env = std::getenv("KLINK_SHARED_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples";
    if (!std::filesystem::exists(dir / "MANIFEST.md")) GTEST_SKIP() << "no shared samples at " << dir;

    const std::vector<SharedFact> facts = {
        // An OKIM6258 clock but no OKIM6258 commands: register playback.
        {"a_x68k_ys3_01_dancing_on_the_road.vgz", 0x161, {{0x54, 0, 4000000}}, 0, "register", true, true},
        {"a_x68k_ys3_13_quickening_dream.vgz", 0x161, {{0x54, 0, 4000000}}, 8000000, "adpcm", false, true},
        {"a_x68k_ys3_17_prayer_for_love.vgz", 0x161, {{0x54, 0, 4000000}}, 8000000, "adpcm", true, true},
        {"b_md_contra_hc_stage_clear.vgm",
         0x150,
         {{0x52, 0, 7670453}, {0x50, 0, 3579545}},
         0,
         "kl2-dac",
         false,
         true},
        {"b_md_deflemask_green_hill.vgm",
         0x161,
         {{0x52, 0, 7670453}, {0x50, 0, 3579545}},
         0,
         "kl2-dac",
         true,
         true},
        {"b_md_sonic2_04_act_clear.vgz",
         0x150,
         {{0x52, 0, 7670453}, {0x50, 0, 3579545}},
         0,
         "kl2-dac",
         false,
         true},
        {"c_arcade_double_dragon_abobo.vgz", 0x151, {{0x54, 0, 3579545}}, 0, "register", true, true},
        {"c_x68k_daikoukai_jidai_01_waves.vgz", 0x150, {{0x54, 0, 4000000}}, 0, "register", true, true},
        {"d_msx_dragon_slayer4_07_shop.vgz", 0x151, {{0xA0, 0, 1789772}}, 0, "register", true, true},
        {"d_pc88_ys_18_game_over.vgz", 0x170, {{0x55, 0, 4000000}}, 0, "register", false, true},
        {"e_opl2_dual_rack_em_up_main_bgm5.vgm",
         0x151,
         {{0x5A, 0, 3000000}, {0x5A, 1, 3000000}},
         0,
         "register",
         true,
         true},
        {"e_opl2_sonic_ghz_cover.vgz", 0x151, {{0x5A, 0, 3579545}}, 0, "register", true, true},
        {"e_opl_ym3526_rrthiel.vgz", 0x171, {{0x5B, 0, 3579545}}, 0, "register", true, true},
        {"f_msx_xak_20_water_dragon.vgz",
         0x151,
         {{0x51, 0, 3579545}, {0xA0, 0, 1789773}},
         0,
         "register",
         true,
         true},
        {"f_ym2413_mml2vgm_test_opll.vgm", 0x161, {{0x51, 0, 3579545}}, 0, "register", false, true},
        {"g_dual_sn_wonder_boy_desert.vgz",
         0x170,
         {{0x50, 0, 2000000}, {0x30, 1, 4000000}},
         0,
         "register",
         true,
         true},
        {"g_pcjr_kk3_19_finale.vgz", 0x151, {{0x50, 0, 3579545}}, 0, "register", true, true},
        {"g_sms_sonic1_green_hill.vgm", 0x110, {{0x50, 0, 3579545}}, 0, "register", true, true},
        {"i_cps1_sf2_blanka_okim6295.vgz", 0x161, {{0x54, 0, 3579580}}, 0, "register", true, true},
        {"i_v101_coleco_antarctic_main.vgm", 0x101, {{0x50, 0, 3579540}}, 0, "register", true, true},
        // SN76489 clock set but never written: only the YM2612 is a target.
        {"i_v110_weird_test_no_gd3.vgm", 0x110, {{0x52, 0, 7670454}}, 0, "register", false, false},
    };
    for (const auto& f : facts) {
        const auto a = AnalyseVGMFile(dir / f.file);
        ASSERT_TRUE(a.ok) << f.file << ": " << a.error;
        EXPECT_EQ(a.vgmVersion, f.version) << f.file;
        EXPECT_EQ(a.registerClocks, f.clocks) << f.file;
        EXPECT_EQ(a.okiClock, f.okiClock) << f.file;
        EXPECT_EQ(PlaybackPathName(PlaybackPathFor(a)), f.path) << f.file;
        EXPECT_EQ(a.vgmLoopOffset != 0, f.loop) << f.file;
        EXPECT_EQ(a.gd3Length != 0, f.tags) << f.file;
        EXPECT_EQ(Texts(a)[F::kFileSize], std::to_string(a.vgmBuffer.size()) + " bytes") << f.file;
    }
}

}  // namespace
}  // namespace klink
