#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "common/Errors.h"
#include "player/KLINKFadeOut.h"

namespace klink {
namespace {

TEST(FadeSecondsForIndex, MapsTheSelectorItemsAndTreatsOthersAsNoFade) {
    struct Case {
        int32_t index;
        int32_t seconds;
    };
    const Case cases[] = {{0, 0},
                          {1, 1},
                          {2, 3},
                          {3, 5},
                          {4, 10},
                          {5, 15},
                          {6, 0},
                          {-1, 0},
                          {std::numeric_limits<int32_t>::min(), 0},
                          {std::numeric_limits<int32_t>::max(), 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(FadeSecondsForIndex(c.index), c.seconds) << "index " << c.index;
    }
}

TEST(KLINKFadeOut, ValueInitialisedRecordHasNotStarted) {
    KLINKFadeOut fade{};
    uint8_t attenuation = 0xFF;
    EXPECT_FALSE(fade.started);
    EXPECT_FALSE(fade.Complete());
    EXPECT_FALSE(fade.Advance(std::numeric_limits<uint64_t>::max(), attenuation));
    EXPECT_EQ(attenuation, 0);
}

TEST(KLINKFadeOut, OneSecondFadeStepsFallDueRoundedUp) {
    KLINKFadeOut fade{};
    fade.Start(5000000, 1);
    uint8_t attenuation = 0xFF;
    EXPECT_FALSE(fade.Advance(5016129, attenuation));
    EXPECT_EQ(attenuation, 0);
    ASSERT_TRUE(fade.Advance(5016130, attenuation));
    EXPECT_EQ(attenuation, 0);
    EXPECT_FALSE(fade.Advance(5032258, attenuation));
    EXPECT_TRUE(fade.Advance(5032259, attenuation));
    EXPECT_EQ(fade.nextStep, 2);
}

TEST(KLINKFadeOut, HandsOutTheWholeTableInOrderAndEndsExactlyAtTheEnd) {
    const std::vector<uint8_t> expected = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  1,  1,  1,  1,  1,  2,
                                           2,  2,  2,  3,  3,  4,  5,  5,  5,  6,  7,  8,  8,  10, 11, 12,
                                           13, 14, 16, 17, 18, 19, 21, 23, 24, 26, 27, 29, 31, 32, 35, 37,
                                           40, 42, 45, 48, 51, 55, 59, 63, 68, 73, 78, 83, 90, 96};
    KLINKFadeOut fade{};
    fade.Start(5000000, 1);
    std::vector<uint8_t> steps;
    uint8_t attenuation = 0;
    // Walk time one microsecond before each due time, then onto it.
    for (uint64_t k = 0; k < 62; ++k) {
        const uint64_t due = 5000000 + ((k + 1) * 1000000 + 61) / 62;
        ASSERT_FALSE(fade.Advance(due - 1, attenuation)) << "step " << k << " came early";
        ASSERT_TRUE(fade.Advance(due, attenuation)) << "step " << k;
        steps.push_back(attenuation);
    }
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(attenuation, 96);
    EXPECT_TRUE(fade.Complete());
    EXPECT_FALSE(fade.Advance(6000000, attenuation));
    EXPECT_FALSE(fade.Advance(std::numeric_limits<uint64_t>::max(), attenuation));
    EXPECT_EQ(attenuation, 0);
}

TEST(KLINKFadeOut, TimeBeforeTheStartHandsOutNothing) {
    KLINKFadeOut fade{};
    fade.Start(5000000, 1);
    uint8_t attenuation = 0;
    EXPECT_FALSE(fade.Advance(0, attenuation));
    EXPECT_FALSE(fade.Advance(4999999, attenuation));
    EXPECT_EQ(fade.nextStep, 0);
}

TEST(KLINKFadeOut, LateCallerGetsOneStepPerCall) {
    KLINKFadeOut fade{};
    fade.Start(1000, 3);
    const uint64_t farPast = 1000 + 3000000ull * 100;
    uint8_t attenuation = 0;
    ASSERT_TRUE(fade.Advance(farPast, attenuation));
    EXPECT_EQ(fade.nextStep, 1);
    int32_t handedOut = 1;
    while (fade.Advance(farPast, attenuation)) ++handedOut;
    EXPECT_EQ(handedOut, 62);
    EXPECT_EQ(attenuation, 0);  // the failed last call clears it
    EXPECT_TRUE(fade.Complete());
}

TEST(KLINKFadeOut, SecondStartRestartsFromStepZero) {
    KLINKFadeOut fade{};
    fade.Start(0, 1);
    uint8_t attenuation = 0;
    while (fade.Advance(2000000, attenuation)) {
    }
    ASSERT_TRUE(fade.Complete());
    fade.Start(3000000, 5);
    EXPECT_FALSE(fade.Complete());
    EXPECT_EQ(fade.nextStep, 0);
    EXPECT_EQ(fade.durationUs, 5000000u);
    EXPECT_FALSE(fade.Advance(3000000 + 5000000 / 62, attenuation));
    EXPECT_TRUE(fade.Advance(3000000 + 5000000 / 62 + 1, attenuation));
}

TEST(KLINKFadeOut, LongestDurationKeepsItsArithmeticIn64Bits) {
    KLINKFadeOut fade{};
    const int32_t seconds = std::numeric_limits<int32_t>::max();
    fade.Start(7, seconds);
    const uint64_t duration = uint64_t{2147483647} * 1000000;
    EXPECT_EQ(fade.durationUs, duration);
    uint8_t attenuation = 0;
    for (int i = 0; i < 61; ++i) ASSERT_TRUE(fade.Advance(7 + duration, attenuation));
    EXPECT_FALSE(fade.Advance(7 + duration - 1, attenuation));
    EXPECT_TRUE(fade.Advance(7 + duration, attenuation));
    EXPECT_EQ(attenuation, 96);
}

TEST(KLINKFadeOut, NonPositiveDurationFailsAndLeavesTheRecordAlone) {
    for (int32_t seconds : {0, -1, std::numeric_limits<int32_t>::min()}) {
        KLINKFadeOut fade{};
        fade.Start(100, 1);
        uint8_t attenuation = 0;
        ASSERT_TRUE(fade.Advance(100 + 1000000, attenuation));
        try {
            fade.Start(0, seconds);
            ADD_FAILURE() << "Start accepted " << seconds << " seconds";
        } catch (const ArgumentOutOfRange& e) {
            EXPECT_STREQ(e.what(), "Invalid fade duration.");
        }
        EXPECT_TRUE(fade.started);
        EXPECT_EQ(fade.startUs, 100u);
        EXPECT_EQ(fade.durationUs, 1000000u);
        EXPECT_EQ(fade.nextStep, 1);
    }
    KLINKFadeOut fresh{};
    EXPECT_THROW(fresh.Start(0, 0), ArgumentOutOfRange);
    EXPECT_FALSE(fresh.started);
}

}  // namespace
}  // namespace klink
