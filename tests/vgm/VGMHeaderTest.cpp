#include <gtest/gtest.h>

#include <string>

#include "VGMTestBuilder.h"
#include "common/Errors.h"
#include "vgm/VGMHeader.h"

namespace klink {
namespace {

using test::VGMBuilder;

template <typename F>
std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const ReadError& e) {
        return e.what();
    }
    return "(no error)";
}

std::vector<uint8_t> Utf16(const std::u16string& s) {
    std::vector<uint8_t> out;
    for (char16_t u : s) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
}

// --- GD3 strings ------------------------------------------------------------

TEST(VGMHeader, GD3StringsAreTrimmedAndLineFeedsBecomeCRLF) {
    const auto data = Utf16(std::u16string(u"  Title \t") + u'\0' + u"\u66F2" + u'\0' + u"a\nb\n" + u'\0');
    const auto s = ReadGD3Strings(data, 0, static_cast<uint32_t>(data.size()), 4);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0], u"Title");
    EXPECT_EQ(s[1], u"\u66F2");
    EXPECT_EQ(s[2], u"a\r\nb");  // the trailing CR LF is trimmed like any control character
    EXPECT_EQ(s[3], u"");
}

TEST(VGMHeader, GD3StringsEndingEarlyKeepWhatWasRead) {
    const auto data = Utf16(std::u16string(u"one") + u'\0' + u"tw");  // no terminator
    const auto s = ReadGD3Strings(data, 0, static_cast<uint32_t>(data.size()), 3);
    EXPECT_EQ(s[0], u"one");
    EXPECT_EQ(s[1], u"tw");
    EXPECT_EQ(s[2], u"");
}

TEST(VGMHeader, GD3SurrogatePairsPassThrough) {
    const std::u16string pair = u"\U0001F3B5";
    const auto data = Utf16(pair);
    EXPECT_EQ(ReadGD3Strings(data, 0, 4, 1)[0], pair);
}

TEST(VGMHeader, GD3StringRangeOutsideTheDataOrOddFails) {
    const std::vector<uint8_t> data(10, 0x41);
    EXPECT_EQ(ErrorOf([&] { (void)ReadGD3Strings(data, 0, 3, 1); }), "Truncated GD3 data.");
    EXPECT_EQ(ErrorOf([&] { (void)ReadGD3Strings(data, 4, 8, 1); }), "Truncated GD3 data.");
    // Start + size wraps in 32 bits: still outside.
    EXPECT_EQ(ErrorOf([&] { (void)ReadGD3Strings(data, 4, 0xFFFFFFFEu, 1); }), "Truncated GD3 data.");
    EXPECT_EQ(ErrorOf([&] { (void)ReadGD3Strings(data, 2, 8, 1); }), "(no error)");
}

// --- Title reader -------------------------------------------------------------

TEST(VGMHeader, TitlePrefersJapaneseNames) {
    const auto withBoth =
        VGMBuilder().End().GD3({u"Track", u"\u66F2", u"Game", u"\u30B2\u30FC\u30E0"}).Build();
    const auto title = ReadGD3Title(withBoth);
    EXPECT_EQ(title.title, u"\u66F2");
    EXPECT_EQ(title.game, u"\u30B2\u30FC\u30E0");

    const auto englishOnly = VGMBuilder().End().GD3({u"Track", u"", u"Game", u""}).Build();
    EXPECT_EQ(ReadGD3Title(englishOnly).title, u"Track");
    EXPECT_EQ(ReadGD3Title(englishOnly).game, u"Game");

    const auto noTags = VGMBuilder().End().Build();
    EXPECT_EQ(ReadGD3Title(noTags).title, u"");
}

TEST(VGMHeader, TitleReaderFailures) {
    auto badSignature = VGMBuilder().End().GD3({u"a"}).Build();
    badSignature[0x102] = 'X';  // 'G' of "Gd3 " follows the end command at 0x100
    auto oddLength = VGMBuilder().End().GD3Raw({'a', 0, 0}, 3).Build();
    auto lengthPastEnd = VGMBuilder().End().GD3Raw({'a', 0, 0, 0}, 6).Build();
    auto headerPastEnd = VGMBuilder().End().Build();
    headerPastEnd[0x14] = 0xF0;
    auto wrapping = VGMBuilder().End().Build();
    for (int i = 0; i < 4; ++i) wrapping[0x14 + i] = 0xFF;  // + 0x14 passes 32 bits

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    } cases[] = {
        {"23 bytes", std::vector<uint8_t>(23, 0), "Truncated VGM header."},
        {"GD3 header outside", headerPastEnd, "Truncated GD3 header."},
        {"GD3 offset wraps", wrapping, "Truncated GD3 header."},
        {"bad signature", badSignature, "Invalid GD3 signature."},
        {"odd length", oddLength, "Truncated GD3 data."},
        {"length past end", lengthPastEnd, "Truncated GD3 data."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf([&] { (void)ReadGD3Title(c.bytes); }), c.message) << c.name;
    }
}

// --- Loop offset --------------------------------------------------------------

TEST(VGMHeader, ValidateLoopOffset) {
    struct Case {
        uint32_t loop, data;
        uint64_t size;
        uint32_t expected;
    } cases[] = {
        {0, 0x100, 0x200, 0},
        {0x100 - 0x1C, 0x100, 0x200, 0x100 - 0x1C},  // exactly at the data offset
        {0x100 - 0x1D, 0x100, 0x200, 0},             // before it
        {0x1FF - 0x1C, 0x100, 0x200, 0x1FF - 0x1C},  // last byte
        {0x200 - 0x1C, 0x100, 0x200, 0},             // at the end
        {0xFFFFFFF0u, 0x100, 0x200, 0},              // + 0x1C would wrap into the data in 32 bits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ValidateLoopOffset(c.loop, c.data, c.size), c.expected) << std::hex << c.loop;
    }
    EXPECT_EQ(ErrorOf([] { (void)ValidateLoopOffset(0, 0x40, 0); }), "Invalid VGM data offset.");
    EXPECT_EQ(ErrorOf([] { (void)ValidateLoopOffset(0, 0x3F, 0x100); }), "Invalid VGM data offset.");
    EXPECT_EQ(ErrorOf([] { (void)ValidateLoopOffset(0, 0x100, 0x100); }), "Invalid VGM data offset.");
}

// --- OKIM6258 header ------------------------------------------------------------

std::vector<uint8_t> OKIFile(uint32_t version, uint32_t clock, uint8_t flags, bool dataWrite = true) {
    VGMBuilder b(version);
    b.Field(0x90, clock).Byte(0x94, flags);
    if (dataWrite) b.Cmd({0xB7, 0x01, 0x80});
    return b.Cmd({0xB7, 0x00, 0x02}).End().Build();
}

TEST(VGMHeader, OKIHeader) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t version;
        OKIHeader expected;
    } cases[] = {
        {"4 MHz divider 1024", OKIFile(0x161, 4000000, 0x00), 0x161, {4000000, 1024}},
        {"8 MHz divider 768", OKIFile(0x161, 8000000, 0x01), 0x161, {8000000, 768}},
        {"flags 2", OKIFile(0x161, 4000000, 0x02), 0x161, {4000000, 512}},
        {"flags 3 and high bits", OKIFile(0x161, 4000000, 0xFF), 0x161, {4000000, 512}},
        {"version 1.60", OKIFile(0x160, 4000000, 0x00), 0x160, {0, 0}},
        {"no data writes", OKIFile(0x161, 4000000, 0x00, false), 0x161, {0, 0}},
        {"clock 0", OKIFile(0x161, 0, 0x00), 0x161, {0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReadOKIHeader(c.bytes, c.version, 0x100), c.expected) << c.name;
    }
    // A header that ends before 0x98 never qualifies.
    EXPECT_EQ(ReadOKIHeader(OKIFile(0x161, 4000000, 0), 0x161, 0x97), (OKIHeader{}));
}

TEST(VGMHeader, OKIHeaderFailures) {
    EXPECT_EQ(ErrorOf([] { (void)ReadOKIHeader(OKIFile(0x161, 0x40000000u | 4000000, 0), 0x161, 0x100); }),
              "Dual/flagged OKIM6258 is not supported.");
    EXPECT_EQ(ErrorOf([] { (void)ReadOKIHeader(OKIFile(0x161, 0x80000000u, 0), 0x161, 0x100); }),
              "Dual/flagged OKIM6258 is not supported.");
    EXPECT_EQ(ErrorOf([] { (void)ReadOKIHeader(OKIFile(0x161, 3579545, 0), 0x161, 0x100); }),
              "OKIM6258 clock must be 4 or 8 MHz.");
    // The command scan's own failures come first.
    auto noEnd = VGMBuilder(0x161).Field(0x90, 4000000).Cmd({0xB7, 0x00, 0x00}).Build();
    EXPECT_EQ(ErrorOf([&] { (void)ReadOKIHeader(noEnd, 0x161, 0x100); }), "Missing VGM end command.");
}

// --- Header rules for playback ------------------------------------------------------

TEST(VGMHeader, DataOffsetRules) {
    struct Case {
        const char* name;
        uint32_t version;
        uint32_t field34;
        uint32_t expected;  // 0 = fails
    } cases[] = {
        {"1.50, field 0", 0x150, 0, 0x40},
        {"1.01 ignores the field", 0x101, 0xCC, 0x40},
        {"1.50, field set", 0x150, 0xCC, 0x100},
        {"field 4 gives 0x38", 0x150, 4, 0x38},  // accepted here, refused after the display
        {"past the end", 0x171, 0x200, 0},
        {"wraps in 32 bits", 0x171, 0xFFFFFFF0u, 0},
    };
    for (const auto& c : cases) {
        auto bytes = VGMBuilder(c.version).Field(0x34, c.field34).End().Build();
        VGMHeader h;
        if (c.expected == 0) {
            EXPECT_EQ(ErrorOf([&] { ReadVGMHeaderFields(bytes, h); }), "Invalid VGM data offset.") << c.name;
        } else {
            ReadVGMHeaderFields(bytes, h);
            EXPECT_EQ(h.dataOffset, c.expected) << c.name;
        }
    }
}

TEST(VGMHeader, GD3OffsetBeyond32BitsFails) {
    auto bytes = VGMBuilder().Field(0x14, 0xFFFFFFF0u).End().Build();
    VGMHeader h;
    EXPECT_EQ(ErrorOf([&] { ReadVGMHeaderFields(bytes, h); }), "Invalid GD3 offset.");
    auto justFits = VGMBuilder().Field(0x14, 0xFFFFFFEBu).End().Build();
    ReadVGMHeaderFields(justFits, h);
    EXPECT_EQ(h.gd3offset, 0xFFFFFFFFu);
}

TEST(VGMHeader, LenientGD3ReadIgnoresMissingOrDamagedBlocks) {
    auto damaged = VGMBuilder().End().GD3({u"a", u"b"}).Build();
    damaged[0x102] = 'X';
    auto outside = VGMBuilder().Field(0x14, 0x1000).End().Build();
    for (const auto& bytes : {damaged, outside, VGMBuilder().End().Build()}) {
        VGMHeader h;
        ReadVGMHeaderFields(bytes, h);
        ReadVGMHeaderGD3(bytes, h);
        EXPECT_EQ(h.gd3Length, 0u);
        EXPECT_EQ(h.gd3[0], u"");
    }
    auto good = VGMBuilder().End().GD3({u"a", u"b"}).Build();
    VGMHeader h;
    ReadVGMHeaderFields(good, h);
    ReadVGMHeaderGD3(good, h);
    EXPECT_EQ(h.gd3Length, 8u);
    EXPECT_EQ(h.gd3[1], u"b");

    auto odd = VGMBuilder().End().GD3Raw({'a', 0, 0}, 3).Build();
    ReadVGMHeaderFields(odd, h);
    EXPECT_EQ(ErrorOf([&] { ReadVGMHeaderGD3(odd, h); }), "Truncated GD3 data.");
    auto pastEnd = VGMBuilder().End().GD3Raw({'a', 0}, 0x7FFFFFFE).Build();
    ReadVGMHeaderFields(pastEnd, h);
    EXPECT_EQ(ErrorOf([&] { ReadVGMHeaderGD3(pastEnd, h); }), "Truncated GD3 data.");
}

}  // namespace
}  // namespace klink
