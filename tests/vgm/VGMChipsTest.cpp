#include <gtest/gtest.h>

#include <set>
#include <string>

#include "vgm/VGMChips.h"

namespace {

using namespace klink;

TEST(VGMChips, EveryRowIsItsOwnWriteIDAndNamesItsFirstForm) {
    std::set<uint8_t> seen;
    for (const VGMChip& chip : kVGMChips) {
        SCOPED_TRACE(std::string(chip.name));
        EXPECT_TRUE(seen.insert(chip.writeId).second) << "one row per WriteID";
        EXPECT_FALSE(chip.name.empty());
        const VGMChip* first = FindVGMChip(chip.chipWriteId);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->chipWriteId, first->writeId) << "a first form is its own first form";
        EXPECT_EQ(first->name, chip.name);
        EXPECT_EQ(first->registerLimit, chip.registerLimit);
    }
}

TEST(VGMChips, NamesFormsAndRegisterLimits) {
    struct Case {
        uint8_t writeId;
        const char* name;
        uint8_t chipWriteId;
        uint8_t registerLimit;
    };
    const Case cases[] = {
        {0x30, "SN76489", 0x50, 0xFF}, {0x50, "SN76489", 0x50, 0xFF},  {0x51, "YM2413", 0x51, 0x3F},
        {0x53, "YM2612", 0x52, 0xFF},  {0x5F, "YMF262", 0x5E, 0xFF},   {0xA0, "AY8910", 0xA0, 0x0F},
        {0xA5, "YM2203", 0x55, 0xFF},  {0xB7, "OKIM6258", 0xB7, 0xFF}, {0x56, "", 0x56, 0xFF},
        {0x00, "", 0x00, 0xFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.writeId);
        EXPECT_EQ(VGMChipName(c.writeId), c.name);
        EXPECT_EQ(ChipWriteID(c.writeId), c.chipWriteId);
        EXPECT_EQ(RegisterAddressLimit(c.writeId), c.registerLimit);
    }
}

}  // namespace
