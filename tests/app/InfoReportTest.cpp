#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "VGMTestBuilder.h"
#include "app/klinkplay/InfoReport.h"
#include "vgm/VGMAnalysis.h"

namespace klinkplay {
namespace {

using klink::test::VGMBuilder;
using nlohmann::json;

const char* const kHeaderKeys[] = {
    "fileSize",           "eofOffset",   "version",     "loopOffset",  "totalSamples",  "gd3Offset",
    "loopSamples",        "dataOffset",  "ym2151Clock", "ym2612Clock", "okim6258Clock", "sn76489Clock",
    "sn76489SecondClock", "ym2203Clock", "ay8910Clock", "ym3812Clock", "ym3526Clock",   "ym2608Clock"};

json Parse(const std::string& file, const klink::VGMAnalysis& a) {
    const std::string line = InfoJsonLine(file, a);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    return json::parse(line);
}

void ExpectAllHeaderKeys(const json& j) {
    ASSERT_TRUE(j["header"].is_object());
    EXPECT_EQ(j["header"].size(), 18u);
    for (const char* key : kHeaderKeys) {
        EXPECT_TRUE(j["header"].contains(key)) << key;
        EXPECT_TRUE(j["header"][key].is_string()) << key;
    }
}

TEST(InfoReport, SuccessfulFileHasEveryKey) {
    const std::u16string pair = u"\U0001F3B5";
    auto bytes = VGMBuilder(0x171)
                     .Field(0x30, 3579545)
                     .Cmd({0x54, 0x08, 0x78})
                     .End()
                     .GD3({u"Song " + pair, u"\u66F2", u"", u"", u"", u"", u"", u"", u"", u"",
                           u"a\nb" + std::u16string(1, char16_t(0xD800))})
                     .Build();
    const auto a = klink::AnalyseVGMBytes(bytes);
    ASSERT_TRUE(a.ok);
    const json j = Parse("dir/x.vgm", a);
    EXPECT_EQ(j["file"], "dir/x.vgm");
    EXPECT_EQ(j["ok"], true);
    EXPECT_FALSE(j.contains("error"));
    ExpectAllHeaderKeys(j);
    EXPECT_EQ(j["header"]["ym2151Clock"], "3579545");
    ASSERT_EQ(j["gd3"].size(), 11u);
    EXPECT_EQ(j["gd3"][0], "Song \xF0\x9F\x8E\xB5");
    EXPECT_EQ(j["gd3"][1], "\xE6\x9B\xB2");
    EXPECT_EQ(j["gd3"][10], "a\r\nb\xEF\xBF\xBD");  // CR LF kept; the lone surrogate replaced
    EXPECT_EQ(j["log"], json::array({"VGM register routes=1; OKI=0 Hz, divider=0 (clock 0 = unused)."}));
    EXPECT_EQ(j["targets"], json::parse("[[84,0,0]]"));
    EXPECT_EQ(j["clocks"], json::parse("[[84,0,3579545]]"));
    EXPECT_EQ(j["okiClock"], 0);
    EXPECT_EQ(j["okiDivider"], 0);
    EXPECT_EQ(j["hasKl2Registers"], false);
    EXPECT_EQ(j["usesKl2Dac"], false);
    EXPECT_EQ(j["path"], "register");
}

TEST(InfoReport, FailuresShowOnlyWhatWasReached) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* error;
        bool gd3, targets, oki, kl2;
        bool headerEmpty;
    } cases[] = {
        {"not a VGM", std::vector<uint8_t>(80, 0), "Invalid VGM signature.", false, false, false, false,
         true},
        {"no end command", VGMBuilder().Field(0x30, 4000000).Cmd({0x54, 8, 0}).Build(),
         "Missing VGM end command.", true, false, false, false, false},
        {"bad OKIM6258 clock", VGMBuilder(0x161).Field(0x90, 1).Cmd({0xB7, 1, 0}).End().Build(),
         "OKIM6258 clock must be 4 or 8 MHz.", true, true, false, false, false},
        {"nothing to play", VGMBuilder().End().Build(),
         "No supported KLINK register or audio commands in this VGM.", true, true, true, true, false},
    };
    for (const auto& c : cases) {
        const auto a = klink::AnalyseVGMBytes(c.bytes);
        const json j = Parse("f.vgm", a);
        EXPECT_EQ(j["ok"], false) << c.name;
        EXPECT_EQ(j["error"], c.error) << c.name;
        ExpectAllHeaderKeys(j);
        EXPECT_EQ(j["header"]["fileSize"] == "", c.headerEmpty) << c.name;
        EXPECT_EQ(j["gd3"].size(), c.gd3 ? 11u : 0u) << c.name;
        EXPECT_TRUE(j["log"].is_array()) << c.name;
        EXPECT_EQ(j.contains("targets"), c.targets) << c.name;
        EXPECT_EQ(j.contains("clocks"), c.targets) << c.name;
        EXPECT_EQ(j.contains("okiClock"), c.oki) << c.name;
        EXPECT_EQ(j.contains("okiDivider"), c.oki) << c.name;
        EXPECT_EQ(j.contains("hasKl2Registers"), c.kl2) << c.name;
        EXPECT_EQ(j.contains("usesKl2Dac"), c.kl2) << c.name;
        EXPECT_FALSE(j.contains("path")) << c.name;
    }
}

TEST(InfoReport, TextFormNamesPathOrError) {
    auto good = klink::AnalyseVGMBytes(VGMBuilder().Field(0x30, 4000000).Cmd({0x54, 8, 0}).End().Build());
    const std::string text = InfoText("a.vgm", good);
    EXPECT_EQ(text.rfind("a.vgm\n", 0), 0u);
    EXPECT_NE(text.find("Playback path   register\n"), std::string::npos) << text;
    EXPECT_NE(text.find("YM2151 #0 4000000 Hz"), std::string::npos) << text;
    auto bad = klink::AnalyseVGMBytes(std::vector<uint8_t>(80, 0));
    EXPECT_EQ(InfoText("b.vgm", bad), "b.vgm\n  Error           Invalid VGM signature.\n");
}

TEST(InfoReport, LinkFiguresInJsonAndText) {
    auto good =
        klink::AnalyseVGMBytes(VGMBuilder().Field(0x30, 4000000).Cmd({0x54, 8, 0x78, 0x62}).End().Build());
    const InfoLink link = MeasureInfoLink(good);
    ASSERT_TRUE(link.load);
    const json j = json::parse(InfoJsonLine("a.vgm", good, &link));
    ASSERT_TRUE(j["link"].is_object());
    EXPECT_EQ(j["link"]["bytes"], link.load->toBoardBytes);
    EXPECT_EQ(j["link"]["peakBytesPerSecond"], link.load->peakBytes);
    EXPECT_EQ(j["link"]["peakAt"], "0:00.0");
    EXPECT_EQ(j["link"]["fitsUart"], true);
    EXPECT_FALSE(json::parse(InfoJsonLine("a.vgm", good)).contains("link"));  // only when measured
    const std::string text = InfoText("a.vgm", good, &link);
    EXPECT_NE(text.find("Link            " + std::to_string(link.load->peakBytes) + " bytes/s on average, " +
                        std::to_string(link.load->peakBytes) +
                        " at the busiest second (from 0:00.0); a 115200-baud UART carries it (0 %)\n"),
              std::string::npos)
        << text;
    // A failed analysis has no figures; a stream that fails to walk says why.
    EXPECT_FALSE(MeasureInfoLink(klink::AnalyseVGMBytes(std::vector<uint8_t>(80, 0))).load);
    InfoLink failed;
    failed.error = "Unsupported OKI clock/divider.";
    EXPECT_EQ(json::parse(InfoJsonLine("a.vgm", good, &failed))["link"]["error"], failed.error);
}

std::filesystem::path SharedSamples() {
    const char* env = std::getenv("KLINK_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples";
}

// Every shared file that plays gets its link figures.
TEST(InfoReport, EverySharedFileGetsLinkFigures) {
    if (!std::filesystem::is_directory(SharedSamples())) GTEST_SKIP() << "no shared samples here";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SharedSamples())) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".vgm" && ext != ".vgz") continue;
        ++files;
        const auto a = klink::AnalyseVGMFile(entry.path());
        const InfoLink link = MeasureInfoLink(a);
        const json j = json::parse(InfoJsonLine(entry.path().string(), a, &link));
        ASSERT_EQ(j["ok"], a.ok) << entry.path();
        if (!a.ok) continue;
        ASSERT_TRUE(j["link"].contains("peakBytesPerSecond")) << entry.path() << ": " << j["link"].dump();
        EXPECT_GT(j["link"]["averageBytesPerSecond"].get<uint64_t>(), 0u) << entry.path();
        EXPECT_LE(j["link"]["averageBytesPerSecond"].get<uint64_t>(),
                  j["link"]["peakBytesPerSecond"].get<uint64_t>())
            << entry.path();
    }
    EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace klinkplay
