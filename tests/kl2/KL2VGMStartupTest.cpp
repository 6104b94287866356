#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kl2/KL2VGMStartup.h"

namespace klink {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(KL2VGMStartup, FinalKeysListEachSlotOnceInTheOrderOfItsLastWrite) {
    struct Case {
        const char* name;
        Bytes writes;
        Bytes keys;
    };
    const Case cases[] = {
        {"no writes", {}, {}},
        {"slot 0 last written third, slot 1 fourth", {0xF0, 0xF1, 0x00, 0x01}, {0x00, 0x01}},
        {"a rewritten slot moves behind later slots", {0x01, 0xF0, 0x00}, {0x01, 0x00}},
        {"upper bits do not select the slot", {0xF6, 0x16, 0x06}, {0x06}},
        {"all eight slots",
         {0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0xF3},
         {0x07, 0x06, 0x05, 0x04, 0x02, 0x01, 0x00, 0xF3}},
    };
    for (const Case& c : cases) {
        KL2VGMStartup startup{};
        for (uint8_t v : c.writes) startup.KeyWrite(v);
        EXPECT_EQ(startup.FinalKeys(), c.keys) << c.name;
        EXPECT_EQ(startup.keyWrites, c.writes.size()) << c.name;
        EXPECT_FALSE(startup.HasDACWrite()) << c.name;
    }
}

TEST(KL2VGMStartup, KeepsTheLastDACValueAndCountsEvenAZero) {
    KL2VGMStartup startup{};
    EXPECT_FALSE(startup.HasDACWrite());
    startup.DACWrite(0);
    EXPECT_TRUE(startup.HasDACWrite());
    EXPECT_EQ(startup.dacValue, 0);
    startup.DACWrite(0x80);
    startup.DACWrite(0x7F);
    EXPECT_EQ(startup.dacWrites, 3u);
    EXPECT_EQ(startup.dacValue, 0x7F);
    EXPECT_TRUE(startup.FinalKeys().empty());

    startup.KeyWrite(0xF0);
    startup = {};
    EXPECT_FALSE(startup.HasDACWrite());
    EXPECT_TRUE(startup.FinalKeys().empty());
}

}  // namespace
}  // namespace klink
