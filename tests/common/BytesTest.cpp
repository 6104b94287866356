#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/Bytes.h"

namespace {

using klink::AppendLE;
using klink::FitsIn;
using klink::LoadLE;
using klink::StoreLE;

constexpr std::array<uint8_t, 8> kSample = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

// Usable where a constant is needed, as VGM and frame tables are.
static_assert(klink::LoadLE16(kSample, 0) == 0x2301);
static_assert(klink::LoadLE32(kSample, 1) == 0x89674523u);
static_assert(klink::LoadLE64(kSample, 0) == 0xEFCDAB8967452301ull);
static_assert(klink::LE32Bytes(0x12345678u) == std::array<uint8_t, 4>{0x78, 0x56, 0x34, 0x12});

TEST(Bytes, EveryWidthReadsAndWritesLowByteFirst) {
    for (size_t width = 0; width <= 8; ++width) {
        SCOPED_TRACE(width);
        uint64_t expected = 0;
        for (size_t i = 0; i < width; ++i) expected |= uint64_t{kSample[i]} << (8 * i);
        EXPECT_EQ(LoadLE(kSample, 0, width), expected);

        std::vector<uint8_t> stored(10, 0xEE);
        StoreLE(stored, 1, expected, width);
        std::vector<uint8_t> appended;
        AppendLE(appended, expected, width);
        for (size_t i = 0; i < 10; ++i) {
            const bool inside = i >= 1 && i < 1 + width;
            EXPECT_EQ(stored[i], inside ? kSample[i - 1] : 0xEE) << "byte " << i;
        }
        EXPECT_EQ(appended, std::vector<uint8_t>(kSample.begin(),
                                                 kSample.begin() + static_cast<std::ptrdiff_t>(width)));
    }
}

TEST(Bytes, FixedWidthFormsMatchTheGenericOnes) {
    std::vector<uint8_t> out;
    klink::AppendLE16(out, 0xBEEF);
    klink::AppendLE32(out, 0xDEADBEEFu);
    klink::AppendLE64(out, 0x0123456789ABCDEFull);
    ASSERT_EQ(out.size(), 14u);
    EXPECT_EQ(klink::LoadLE16(out, 0), 0xBEEF);
    EXPECT_EQ(klink::LoadLE32(out, 2), 0xDEADBEEFu);
    EXPECT_EQ(klink::LoadLE64(out, 6), 0x0123456789ABCDEFull);

    std::array<uint8_t, 14> stored{};
    klink::StoreLE16(stored, 0, 0xBEEF);
    klink::StoreLE32(stored, 2, 0xDEADBEEFu);
    klink::StoreLE64(stored, 6, 0x0123456789ABCDEFull);
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), out.begin()));
    EXPECT_EQ(klink::LE16Bytes(0xBEEF), (std::array<uint8_t, 2>{0xEF, 0xBE}));
}

TEST(Bytes, FitsInNeverWraps) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const std::vector<uint8_t> four(4);
    struct Case {
        uint64_t at;
        uint64_t length;
        bool fits;
    };
    const Case cases[] = {
        {0, 4, true},  {4, 0, true},     {3, 1, true},     {3, 2, false},       {5, 0, false},
        {0, 5, false}, {kMax, 2, false}, {2, kMax, false}, {kMax, kMax, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FitsIn(four, c.at, c.length), c.fits) << c.at << " + " << c.length;
    }
    EXPECT_TRUE(FitsIn({}, 0, 0));
}

}  // namespace
