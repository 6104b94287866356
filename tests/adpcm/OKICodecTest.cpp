#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "adpcm/OKICodec.h"

namespace klink {
namespace {

OKICodec Codec(int32_t signal, int32_t stepIndex) {
    OKICodec c;
    c.signal = signal;
    c.stepIndex = stepIndex;
    return c;
}

TEST(OKICodec, ResetStartsAtMinusTwo) {
    OKICodec c = Codec(1234, 30);
    c.Reset();
    EXPECT_EQ(c.signal, -2);
    EXPECT_EQ(c.stepIndex, 0);
    EXPECT_EQ(OKICodec{}.signal, -2);
}

TEST(OKICodec, DecodesSingleNibblesFromReset) {
    struct Case {
        uint8_t nibble;
        int32_t signal;
        int32_t stepIndex;
    };
    // Step 16: base 2, bit 0 adds 4, bit 1 adds 8, bit 2 adds 16.
    const Case cases[] = {{0x0, 0, 0},   {0x1, 4, 0},  {0x2, 8, 0},   {0x4, 16, 2},
                          {0x7, 28, 8},  {0x8, -4, 0}, {0xF, -32, 8}, {0xC, -20, 2},
                          {0x17, 28, 8}, {0xF7, 28, 8}};  // only the low four bits count
    for (const Case& c : cases) {
        OKICodec codec;
        EXPECT_EQ(codec.Decode(c.nibble), c.signal) << "nibble " << int{c.nibble};
        EXPECT_EQ(codec.signal, c.signal);
        EXPECT_EQ(codec.stepIndex, c.stepIndex) << "nibble " << int{c.nibble};
    }
}

TEST(OKICodec, DecodeUsesTheStepOfTheCurrentIndex) {
    // Index 48 is the largest step, 1552: 194 + 388 + 776 + 1552.
    OKICodec c = Codec(0, 48);
    EXPECT_EQ(c.Decode(0x7), 2047);  // 2910 clamps
    c = Codec(0, 48);
    EXPECT_EQ(c.Decode(0x4), 1746);
    EXPECT_EQ(c.stepIndex, 48);
    c = Codec(0, 10);  // step 41: 5 + 10 + 20 + 41
    EXPECT_EQ(c.Decode(0xF), -76);
    EXPECT_EQ(c.stepIndex, 18);
}

TEST(OKICodec, RepeatedFullNibblesSaturateSignalAndIndex) {
    OKICodec up;
    OKICodec down;
    for (int i = 0; i < 100; ++i) {
        up.Decode(0x7);
        down.Decode(0xF);
    }
    EXPECT_EQ(up.signal, 2047);
    EXPECT_EQ(up.stepIndex, 48);
    EXPECT_EQ(down.signal, -2048);
    EXPECT_EQ(down.stepIndex, 48);
    // Small nibbles walk the index back down to 0 and no further.
    for (int i = 0; i < 100; ++i) up.Decode(0x0);
    EXPECT_EQ(up.stepIndex, 0);
}

TEST(OKICodec, EncodeFromResetFollowsTheTruncatingRule) {
    OKICodec c;
    EXPECT_EQ(c.Encode(0), 0);
    EXPECT_EQ(c.signal, 0);
    EXPECT_EQ(c.stepIndex, 0);

    // Signal 0, index 0: code 0 overshoots to 2, code 8 brings it back to 0.
    c = Codec(0, 0);
    EXPECT_EQ(c.Encode(0), 0);
    EXPECT_EQ(c.Encode(0), 8);
    EXPECT_EQ(c.signal, 0);

    // From -2 the same two targets end at 2: encoding is not idempotent on silence.
    c = Codec(-2, 0);
    EXPECT_EQ(c.Encode(0), 0);
    EXPECT_EQ(c.Encode(0), 0);
    EXPECT_EQ(c.signal, 2);
}

TEST(OKICodec, EncodeClampsTargetsToTwelveBits) {
    struct Case {
        int32_t target;
        int32_t clamped;
    };
    const Case cases[] = {{2048, 2047},
                          {100000, 2047},
                          {std::numeric_limits<int32_t>::max(), 2047},
                          {-2049, -2048},
                          {std::numeric_limits<int32_t>::min(), -2048}};
    for (const Case& c : cases) {
        for (int32_t start : {-2048, -2, 0, 2047}) {
            for (int32_t index : {0, 20, 48}) {
                OKICodec a = Codec(start, index);
                OKICodec b = Codec(start, index);
                EXPECT_EQ(a.Encode(c.target), b.Encode(c.clamped)) << c.target << " from " << start;
                EXPECT_EQ(a.signal, b.signal);
                EXPECT_EQ(a.stepIndex, b.stepIndex);
            }
        }
    }
    // A long run at full scale settles at the rail. At the top the always-added
    // step/8 clamps away; at the bottom code 0 and code 8 alternate by step/8.
    OKICodec c;
    for (int i = 0; i < 200; ++i) c.Encode(std::numeric_limits<int32_t>::max());
    EXPECT_EQ(c.signal, 2047);
    for (int i = 0; i < 200; ++i) c.Encode(std::numeric_limits<int32_t>::min());
    for (int i = 0; i < 10; ++i) {
        c.Encode(std::numeric_limits<int32_t>::min());
        EXPECT_GE(c.signal, -2048);
        EXPECT_LE(c.signal, -2046);
    }
    EXPECT_EQ(c.stepIndex, 0);
}

// The board decodes what the host encoded; both must agree at every sample, and
// the result must follow the input closely once the step size has adapted.
TEST(OKICodec, SineRoundTripsWithBoundedErrorAndAMatchingDecoder) {
    OKICodec encoder;
    OKICodec decoder;
    constexpr int kSamples = 4000;
    constexpr double kAmplitude = 1500.0;
    constexpr double kPeriod = 80.0;  // samples per cycle
    double squaredError = 0;
    int32_t worst = 0;
    for (int i = 0; i < kSamples; ++i) {
        const auto target = static_cast<int32_t>(std::lround(kAmplitude * std::sin(2 * M_PI * i / kPeriod)));
        const uint8_t nibble = encoder.Encode(target);
        ASSERT_LE(nibble, 15);
        ASSERT_EQ(decoder.Decode(nibble), encoder.signal) << "sample " << i;
        ASSERT_EQ(decoder.stepIndex, encoder.stepIndex) << "sample " << i;
        ASSERT_GE(encoder.signal, -2048);
        ASSERT_LE(encoder.signal, 2047);
        if (i >= 100) {  // past the step adaptation at the start
            const int32_t error = std::abs(encoder.signal - target);
            worst = std::max(worst, error);
            squaredError += double(error) * error;
        }
    }
    const double rms = std::sqrt(squaredError / (kSamples - 100));
    EXPECT_LT(worst, 64) << "worst sample error";
    EXPECT_LT(rms, 16.0) << "RMS error";
}

}  // namespace
}  // namespace klink
