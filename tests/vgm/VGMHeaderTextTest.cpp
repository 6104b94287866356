#include <gtest/gtest.h>

#include <set>
#include <string>

#include "vgm/VGMHeaderText.h"

namespace klink {
namespace {

using F = VGMHeaderField;

TEST(VGMHeaderText, WritesOffsetsInHexAndCountsInDecimal) {
    VGMHeaderSummary h;
    h.fileSize = 4294967296;
    h.eofOffset = 0x12;
    h.version = 0x171;
    h.loopOffset = 0xABCDE;  // more than four digits when needed
    h.totalSamples = 4294967295;
    h.gd3Offset = 0x14;
    h.loopSamples = 0;
    h.dataOffset = 0xFFFFFFFFull + 0x34;  // the field plus 0x34 passes 32 bits
    const VGMHeaderTexts t = FormatVGMHeader(h);
    EXPECT_EQ(t[F::kFileSize], "4294967296 bytes");
    EXPECT_EQ(t[F::kEofOffset], "0x0012");
    EXPECT_EQ(t[F::kVersion], "0x0171");
    EXPECT_EQ(t[F::kLoopOffset], "0xABCDE");
    EXPECT_EQ(t[F::kTotalSamples], "4294967295");
    EXPECT_EQ(t[F::kGD3Offset], "0x0014");
    EXPECT_EQ(t[F::kLoopSamples], "0");
    EXPECT_EQ(t[F::kDataOffset], "0x100000033");
}

TEST(VGMHeaderText, ShowsEachClockByItsRule) {
    struct Case {
        const char* name;
        VGMHeaderSummary header;
        F field;
        const char* text;
    };
    VGMHeaderSummary none;
    VGMHeaderSummary set;
    set.ym2151Clock = 3579545;
    set.sn76489Clock = 3579545;
    set.sn76489SecondClock = 0;
    set.okim6258Clock = 4000000;
    set.ym2203Clock = 0;
    set.ym2608Clock = 8000000;
    VGMHeaderSummary okiZero;
    okiZero.okim6258Clock = 0;
    const Case cases[] = {
        {"YM2151 unused still shows 0", none, F::kYM2151Clock, "0"},
        {"YM2612 unused still shows 0", none, F::kYM2612Clock, "0"},
        {"YM2151 set", set, F::kYM2151Clock, "3579545"},
        {"SN76489 unused is hidden", none, F::kSN76489Clock, ""},
        {"SN76489 set", set, F::kSN76489Clock, "3579545"},
        {"no second SN76489", none, F::kSN76489SecondClock, ""},
        {"second SN76489 shows even 0", set, F::kSN76489SecondClock, "0"},
        {"OKIM6258 field absent", none, F::kOKIM6258Clock, ""},
        {"OKIM6258 field 0 is hidden", okiZero, F::kOKIM6258Clock, ""},
        {"OKIM6258 set", set, F::kOKIM6258Clock, "4000000"},
        {"short header has no YM2203 field", none, F::kYM2203Clock, ""},
        {"YM2203 field present shows 0", set, F::kYM2203Clock, "0"},
        {"YM2608 set", set, F::kYM2608Clock, "8000000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatVGMHeader(c.header)[c.field], c.text) << c.name;
    }
}

TEST(VGMHeaderText, FieldNamesAreDistinctCamelCase) {
    std::set<std::string> names;
    for (F field : AllVGMHeaderFields()) {
        const std::string name(VGMHeaderFieldName(field));
        ASSERT_FALSE(name.empty());
        EXPECT_TRUE(name[0] >= 'a' && name[0] <= 'z') << name;
        EXPECT_EQ(name.find_first_of("_ "), std::string::npos) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), kVGMHeaderFieldCount);
    EXPECT_EQ(VGMHeaderFieldName(F::kSN76489SecondClock), "sn76489SecondClock");
}

}  // namespace
}  // namespace klink
