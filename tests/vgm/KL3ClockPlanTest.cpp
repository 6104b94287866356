#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Errors.h"
#include "vgm/KL3ClockPlan.h"

namespace klink {
namespace {

std::string Check(const std::vector<KLINKVGMClock>& clocks) {
    try {
        CheckKL3Clocks(clocks);
    } catch (const ReadError& e) {
        return e.what();
    }
    return "ok";
}

TEST(KL3ClockPlan, ShareGroups) {
    EXPECT_EQ(KL3ShareGroup(0x55), 0);
    EXPECT_EQ(KL3ShareGroup(0xA0), 0);
    EXPECT_EQ(KL3ShareGroup(0x5A), 1);
    EXPECT_EQ(KL3ShareGroup(0x5B), 1);
    EXPECT_EQ(KL3ShareGroup(0x5E), 1);
    for (uint8_t id : {0x30, 0x50, 0x51, 0x52, 0x54, 0xA5, 0x5F}) EXPECT_EQ(KL3ShareGroup(id), -1) << int{id};
}

TEST(KL3ClockPlan, PhysicalClock) {
    struct Case {
        KLINKVGMClock clock;
        uint32_t expected;
    } cases[] = {
        {{0xA0, 0, 2000000}, 4000000},       {{0x5A, 0, 3579545}, 14318180}, {{0x5B, 0, 3580000}, 14318180},
        {{0x5E, 0, 14316000}, 14318180},     {{0x55, 0, 3579000}, 3579545},  {{0x55, 0, 3993600}, 4000000},
        {{0xA0, 1, 1996800}, 4000000},       {{0x5E, 0, 3993600}, 3993600},  {{0x54, 0, 3578999}, 3578999},
        {{0x5A, 0, 0x3FFFFFFF}, 0xFFFFFFFC},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KL3PhysicalClock(c.clock), c.expected)
            << std::hex << int{c.clock.writeId} << " " << std::dec << c.clock.hertz;
    }
    try {
        (void)KL3PhysicalClock({0x5A, 0, 0x40000000});
        FAIL();
    } catch (const ReadError& e) {
        EXPECT_STREQ(e.what(), "KL3 clock multiplier overflow.");
    }
}

TEST(KL3ClockPlan, CheckCombinations) {
    struct Case {
        const char* name;
        std::vector<KLINKVGMClock> clocks;
        const char* expected;
    } cases[] = {
        {"YM2203 with AY8910 #1 at half", {{0x55, 0, 4000000}, {0xA0, 1, 2000000}}, "ok"},
        {"3993600 counts as 4 MHz", {{0x55, 0, 3993600}, {0xA0, 1, 1996800}}, "ok"},
        {"AY8910 and YM2203 of one instance",
         {{0x55, 0, 4000000}, {0xA0, 0, 2000000}},
         "KL3 AY and YM2203 cannot independently share one physical chip."},
        {"two OPL generations",
         {{0x5A, 0, 3579545}, {0x5E, 0, 14318180}},
         "KL3 OPL1/OPL2/OPL3 routes share one physical chip."},
        {"OPL generations, different instances",
         {{0x5A, 0, 3579545}, {0x5B, 1, 3579545}},
         "KL3 OPL1/OPL2/OPL3 routes share one physical chip."},
        {"two YM3812 snapping together", {{0x5A, 0, 3579545}, {0x5A, 1, 3580000}}, "ok"},
        {"two YM3812 apart",
         {{0x5A, 0, 3579545}, {0x5A, 1, 3600000}},
         "KL3 logical chips request incompatible shared input clocks."},
        {"two YM2203 apart",
         {{0x55, 0, 4000000}, {0x55, 1, 3579545}},
         "KL3 logical chips request incompatible shared input clocks."},
        {"ungrouped chips are never looked at", {{0x54, 0, 0}, {0x50, 0, 1}, {0x50, 1, 7}}, "ok"},
        {"grouped chip at 0", {{0x55, 0, 0}}, "KL3 input clock must be nonzero."},
        {"overflow", {{0x5B, 0, 0x40000000}}, "KL3 clock multiplier overflow."},
        {"first failure wins",
         {{0x55, 0, 4000000}, {0xA0, 0, 1}, {0x5A, 0, 1}, {0x5E, 0, 1}},
         "KL3 AY and YM2203 cannot independently share one physical chip."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Check(c.clocks), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace klink
