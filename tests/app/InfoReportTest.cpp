#include <gtest/gtest.h>

#include <string>

#include "VGMTestBuilder.h"
#include "app/klinkplay/InfoReport.h"
#include "vgm/VGMAnalysis.h"

namespace klinkplay {
namespace {

using klink::test::VGMBuilder;
using nlohmann::json;

const char* const kDisplayKeys[] = {
    "lblFileSize",    "edtEofOffset",     "edtVersion",   "edtLoopOffset", "edtTotalSamples", "edtGD3offset",
    "edtLoopSamples", "edtVGMDataOffset", "lblClkYM2151", "lblClkYM2612",  "lblClkM6258",     "lblClkSN76489",
    "lblClkSN764892", "lblClkYM2203",     "lblClkAY8910", "lblClkYM3812",  "lblClkYM3526",    "lblClkYM2608"};

json Parse(const std::string& file, const klink::VGMAnalysis& a) {
    const std::string line = InfoJsonLine(file, a);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    return json::parse(line);
}

void ExpectAllDisplayKeys(const json& j) {
    ASSERT_TRUE(j["display"].is_object());
    EXPECT_EQ(j["display"].size(), 18u);
    for (const char* key : kDisplayKeys) {
        EXPECT_TRUE(j["display"].contains(key)) << key;
        EXPECT_TRUE(j["display"][key].is_string()) << key;
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
    ExpectAllDisplayKeys(j);
    EXPECT_EQ(j["display"]["lblClkYM2151"], "3579545");
    ASSERT_EQ(j["gd3"].size(), 11u);
    EXPECT_EQ(j["gd3"][0], "Song \xF0\x9F\x8E\xB5");
    EXPECT_EQ(j["gd3"][1], "\xE6\x9B\xB2");
    EXPECT_EQ(j["gd3"][10], "a\r\nb\xEF\xBF\xBD");  // CR LF kept; the lone surrogate replaced
    EXPECT_EQ(j["log"], json::array({"VGM register routes=1; OKI=0 Hz, divider=0 (clock 0 = unused)."}));
    EXPECT_EQ(j["targets"], json::parse("[[84,0,0]]"));
    EXPECT_EQ(j["clocks"], json::parse("[[84,0,3579545]]"));
    EXPECT_EQ(j["oki_clock"], 0);
    EXPECT_EQ(j["oki_divider"], 0);
    EXPECT_EQ(j["has_kl2_registers"], false);
    EXPECT_EQ(j["uses_kl2_dac"], false);
    EXPECT_EQ(j["path"], "register");
}

TEST(InfoReport, FailuresShowOnlyWhatWasReached) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* error;
        bool gd3, targets, oki, kl2;
        bool displayEmpty;
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
        ExpectAllDisplayKeys(j);
        EXPECT_EQ(j["display"]["lblFileSize"] == "", c.displayEmpty) << c.name;
        EXPECT_EQ(j["gd3"].size(), c.gd3 ? 11u : 0u) << c.name;
        EXPECT_TRUE(j["log"].is_array()) << c.name;
        EXPECT_EQ(j.contains("targets"), c.targets) << c.name;
        EXPECT_EQ(j.contains("clocks"), c.targets) << c.name;
        EXPECT_EQ(j.contains("oki_clock"), c.oki) << c.name;
        EXPECT_EQ(j.contains("oki_divider"), c.oki) << c.name;
        EXPECT_EQ(j.contains("has_kl2_registers"), c.kl2) << c.name;
        EXPECT_EQ(j.contains("uses_kl2_dac"), c.kl2) << c.name;
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

}  // namespace
}  // namespace klinkplay
