#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "kl2/KL2RegisterState.h"

namespace klink {
namespace {

constexpr KLINKVGMTarget kPSG0{0x50, 0, 0};
constexpr KLINKVGMTarget kPSG1{0x30, 1, 0};

struct Step {
    KLINKVGMTarget target;
    uint8_t value;
    bool prefixed;   // expected result
    uint8_t sent;    // expected Value afterwards
    uint8_t prefix;  // expected Prefix
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

TEST(KL2RegisterState, RewritesPSGDataBytesToNameTheirRegister) {
    const Scenario scenarios[] = {
        {"tone 0 is latched at start", {{kPSG0, 0x05, true, 0x05, 0x80}}},
        {"attenuation data becomes a latch", {{kPSG0, 0x9F, false, 0x9F, 0}, {kPSG0, 0x03, false, 0x93, 0}}},
        {"noise control data becomes a latch",
         {{kPSG0, 0xE4, false, 0xE4, 0}, {kPSG0, 0x07, false, 0xE7, 0}}},
        {"noise attenuation data becomes a latch",
         {{kPSG0, 0xF0, false, 0xF0, 0}, {kPSG0, 0x05, false, 0xF5, 0}}},
        {"four-bit registers keep only the low four bits",
         {{kPSG0, 0xBF, false, 0xBF, 0},
          {kPSG0, 0x7A, false, 0xBA, 0},
          {kPSG0, 0xE0, false, 0xE0, 0},
          {kPSG0, 0x3B, false, 0xEB, 0}}},
        {"the register of the last latch counts, not the last tone latch",
         {{kPSG0, 0xA5, false, 0xA5, 0},
          {kPSG0, 0xD0, false, 0xD0, 0},
          {kPSG0, 0x12, false, 0xD2, 0},
          {kPSG0, 0xA0, false, 0xA0, 0},
          {kPSG0, 0x12, true, 0x12, 0xA0}}},
        {"every tone data byte gets the channel latch again",
         {{kPSG0, 0xC7, false, 0xC7, 0}, {kPSG0, 0x3F, true, 0x3F, 0xC7}, {kPSG0, 0x01, true, 0x01, 0xC7}}},
        {"the two PSGs keep separate latches",
         {{kPSG1, 0x9F, false, 0x9F, 0},
          {kPSG0, 0x03, true, 0x03, 0x80},
          {kPSG1, 0x03, false, 0x93, 0},
          {kPSG0, 0xE4, false, 0xE4, 0},
          {kPSG1, 0x07, false, 0x97, 0},
          {kPSG1, 0xA3, false, 0xA3, 0},
          {kPSG0, 0x07, false, 0xE7, 0},
          {kPSG1, 0x10, true, 0x10, 0xA3}}},
        {"writes to other chips leave the PSG latches alone",
         {{kPSG0, 0x9F, false, 0x9F, 0},
          {{0x52, 0, 0}, 0x9F, false, 0x9F, 0},
          {{0x53, 0, 1}, 0x05, false, 0x05, 0},
          {{0x54, 0, 0}, 0x85, false, 0x85, 0},
          {{0xA5, 1, 0}, 0x05, false, 0x05, 0},
          {kPSG0, 0x03, false, 0x93, 0}}},
    };
    for (const Scenario& s : scenarios) {
        KL2RegisterState state;
        for (size_t i = 0; i < s.steps.size(); ++i) {
            const Step& step = s.steps[i];
            uint8_t value = step.value;
            uint8_t prefix = 0xEE;
            const bool prefixed = state.Transform(step.target, 0x28, value, prefix);
            EXPECT_EQ(prefixed, step.prefixed) << s.name << ", step " << i;
            EXPECT_EQ(value, step.sent) << s.name << ", step " << i;
            EXPECT_EQ(prefix, step.prefix) << s.name << ", step " << i;
        }
    }
}

TEST(KL2RegisterState, RejectsTargetsTheKL2BoardDoesNotHave) {
    struct Case {
        KLINKVGMTarget target;
        const char* message;
    };
    const Case cases[] = {
        {{0x52, 1, 0}, "Invalid KL2 YM2612 register target."},
        {{0x53, 1, 1}, "Invalid KL2 YM2612 register target."},
        {{0x52, 0, 2}, "Invalid KL2 YM2612 register target."},
        {{0x53, 0, 255}, "Invalid KL2 YM2612 register target."},
        {{0x50, 2, 0}, "Invalid KL2 PSG instance."},
        {{0x30, 255, 0}, "Invalid KL2 PSG instance."},
    };
    for (const Case& c : cases) {
        KL2RegisterState state;
        uint8_t value = 0x05;
        uint8_t prefix = 0xEE;
        try {
            (void)state.Transform(c.target, 0x28, value, prefix);
            ADD_FAILURE() << "accepted $" << std::hex << int{c.target.writeId} << "/"
                          << int{c.target.instance} << "/" << int{c.target.page};
        } catch (const WriteError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(value, 0x05);
    }
}

}  // namespace
}  // namespace klink
