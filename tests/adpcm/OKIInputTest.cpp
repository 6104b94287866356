#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "adpcm/OKIInput.h"

namespace klink {
namespace {

TEST(OKIInput, TakesEachDataBlockOncePerFilePosition) {
    OKIInput input;
    const std::vector<uint8_t> a = {1, 2, 3};
    const std::vector<uint8_t> b = {4, 5};
    // A loop may reach a block again, and a loop point inside a command may
    // reach one the first pass never saw, before those it did.
    input.AddBlock(0x300, a);
    input.AddBlock(0x300, a);
    input.AddBlock(0x200, b);
    input.AddBlock(0x300, a);
    input.AddBlock(0x200, b);
    EXPECT_EQ(input.BlockCount(), 2u);
    EXPECT_EQ(input.BankSize(), 5u);
}

TEST(OKIInput, SamplesAreZeroWhileOffAndHeldWhilePlayingWithoutInput) {
    OKIInput input;
    int32_t first = 1;
    int32_t second = 1;
    input.WriteData(0x77);  // dropped: the chip is off
    input.NextSamples(first, second);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);

    input.Start();
    input.WriteData(0x07);
    input.NextSamples(first, second);
    EXPECT_EQ(first, 28);   // nibble 7 from the reset state
    EXPECT_EQ(second, 32);  // then nibble 0 at step 34
    int32_t heldFirst = 0;
    int32_t heldSecond = 0;
    input.NextSamples(heldFirst, heldSecond);
    EXPECT_EQ(heldFirst, second);
    EXPECT_EQ(heldSecond, second);

    input.Stop();
    EXPECT_FALSE(input.Playing());
    input.NextSamples(first, second);
    EXPECT_EQ(first, 0);
}

}  // namespace
}  // namespace klink
