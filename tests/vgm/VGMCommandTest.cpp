#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VGMTestBuilder.h"
#include "common/Errors.h"
#include "vgm/VGMCommand.h"

namespace klink {
namespace {

using test::VGMBuilder;

struct Step {
    VGMCommandKind kind;
    uint8_t reg, value;
    uint32_t wait;
    uint32_t next;
};

Step Walk(const std::vector<uint8_t>& bytes, uint32_t at = 0) {
    Step s{};
    s.next = at;
    s.reg = s.value = 0xEE;
    s.wait = 0xEEEE;
    s.kind = NextVGMCommand(bytes, s.next, s.reg, s.value, s.wait);
    return s;
}

std::string WalkError(const std::vector<uint8_t>& bytes, uint32_t at = 0) {
    try {
        (void)Walk(bytes, at);
    } catch (const ReadError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(VGMCommand, KindsOutputsAndLengths) {
    using K = VGMCommandKind;
    struct Case {
        std::vector<uint8_t> bytes;
        K kind;
        uint8_t reg, value;
        uint32_t wait, length;
    } cases[] = {
        {{0x54, 0x08, 0x78}, K::kYM2151Write, 0x08, 0x78, 0, 3},
        {{0x61, 0x00, 0x00}, K::kWait, 0, 0, 0, 3},
        {{0x61, 0x34, 0x12}, K::kWait, 0, 0, 0x1234, 3},
        {{0x62}, K::kWait, 0, 0, 735, 1},
        {{0x63}, K::kWait, 0, 0, 882, 1},
        {{0x70}, K::kWait, 0, 0, 1, 1},
        {{0x7F}, K::kWait, 0, 0, 16, 1},
        {{0x80}, K::kWait, 0, 0, 0, 1},
        {{0x8F}, K::kWait, 0, 0, 15, 1},
        {{0x66}, K::kEnd, 0, 0, 0, 1},
        {{0x30, 0x9F}, K::kOther, 0, 0, 0, 2},
        {{0x4F, 0xFF}, K::kOther, 0, 0, 0, 2},
        {{0x50, 0x9F}, K::kOther, 0, 0, 0, 2},
        {{0x52, 0x28, 0xF0}, K::kOther, 0, 0, 0, 3},
        {{0x5F, 0x00, 0x00}, K::kOther, 0, 0, 0, 3},
        {{0x90, 0, 0, 0, 0}, K::kOther, 0, 0, 0, 5},
        {{0x92, 0, 0, 0, 0, 0}, K::kOther, 0, 0, 0, 6},
        {{0x93, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, K::kOther, 0, 0, 0, 11},
        {{0x94, 0}, K::kOther, 0, 0, 0, 2},
        {{0x95, 0, 0, 0, 0}, K::kOther, 0, 0, 0, 5},
        {{0xB7, 0x01, 0x80}, K::kOther, 0, 0, 0, 3},
        {{0xC0, 0, 0, 0}, K::kOther, 0, 0, 0, 4},
        {{0xD6, 0, 0, 0}, K::kOther, 0, 0, 0, 4},
        {{0xE0, 0, 0, 0, 0}, K::kOther, 0, 0, 0, 5},
        {{0xE1, 0, 0, 0, 0}, K::kOther, 0, 0, 0, 5},
        {{0x67, 0x66, 0x00, 0x02, 0, 0, 0, 0xAA, 0xBB}, K::kOther, 0, 0, 0, 9},
        // bit 31 of the size is a flag: two bytes are skipped
        {{0x67, 0x66, 0x00, 0x02, 0, 0, 0x80, 0xAA, 0xBB}, K::kOther, 0, 0, 0, 9},
        {{0x68, 0x66, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, K::kOther, 0, 0, 0, 12},
    };
    for (const auto& c : cases) {
        auto bytes = c.bytes;
        bytes.push_back(0x66);  // room after the command
        const Step s = Walk(bytes);
        EXPECT_EQ(s.kind, c.kind) << std::hex << int{c.bytes[0]};
        EXPECT_EQ(s.reg, c.reg) << std::hex << int{c.bytes[0]};
        EXPECT_EQ(s.value, c.value) << std::hex << int{c.bytes[0]};
        EXPECT_EQ(s.wait, c.wait) << std::hex << int{c.bytes[0]};
        EXPECT_EQ(s.next, c.length) << std::hex << int{c.bytes[0]};
    }
}

TEST(VGMCommand, EveryCommandCutShortNamesItsPosition) {
    // Each accepted command, cut after every possible byte, fails at its own start.
    const std::vector<std::vector<uint8_t>> commands = {
        {0x54, 1, 2},
        {0x61, 1, 2},
        {0x30, 1},
        {0x90, 1, 2, 3, 4},
        {0x93, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
        {0xC0, 1, 2, 3},
        {0xE0, 1, 2, 3, 4},
        {0x67, 0x66, 0, 2, 0, 0, 0, 1, 2},
        {0x68, 0x66, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
    };
    for (const auto& command : commands) {
        for (size_t keep = 0; keep < command.size(); ++keep) {
            std::vector<uint8_t> bytes(0x123, 0x70);
            bytes.insert(bytes.end(), command.begin(), command.begin() + static_cast<std::ptrdiff_t>(keep));
            EXPECT_EQ(WalkError(bytes, 0x123), "Truncated VGM command at $00000123.")
                << std::hex << int{command[0]} << " keep " << keep;
        }
    }
}

TEST(VGMCommand, RejectedBytesAndBadMarkers) {
    const std::vector<int> rejected = {0x00, 0x2F, 0x40, 0x4E, 0x60, 0x64, 0x65, 0x69,
                                       0x6F, 0x96, 0x9F, 0xD7, 0xDF, 0xE2, 0xFF};
    for (int c : rejected) {
        std::vector<uint8_t> bytes(0x100, 0x70);
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.insert(bytes.end(), 16, 0);
        char expected[64];
        std::snprintf(expected, sizeof expected, "Unsupported VGM command $%02X at $00000100.", c);
        EXPECT_EQ(WalkError(bytes, 0x100), expected);
    }
    EXPECT_EQ(WalkError({0x67, 0x00, 0, 0, 0, 0, 0}), "Invalid VGM data block marker.");
    EXPECT_EQ(WalkError({0x68, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "Invalid VGM PCM RAM marker.");
    // A data block claiming more than the file holds.
    EXPECT_EQ(WalkError({0x67, 0x66, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0}),
              "Truncated VGM command at $00000000.");
}

TEST(VGMCommand, CountLoop) {
    uint64_t done = 0;
    EXPECT_FALSE(CountLoop(done, 1));
    EXPECT_EQ(done, 1u);
    done = 0;
    EXPECT_TRUE(CountLoop(done, 2));
    EXPECT_FALSE(CountLoop(done, 2));
    done = 0;
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(CountLoop(done, 0));
    try {
        (void)CountLoop(done, -1);
        FAIL();
    } catch (const ReadError& e) {
        EXPECT_STREQ(e.what(), "Invalid VGM repeat count.");
    }
}

TEST(VGMCommand, UsesOKIStream) {
    struct Case {
        const char* name;
        std::vector<uint8_t> commands;
        bool expected;
    } cases[] = {
        {"no OKI traffic", {0x54, 0x08, 0x00}, false},
        {"control register only", {0xB7, 0x00, 0x02}, false},
        {"data register", {0xB7, 0x01, 0x80}, true},
        {"second chip's data register", {0xB7, 0x81, 0x80}, true},
        {"stream set up for OKIM6258 and started",
         {0x90, 0x05, 0x17, 0x00, 0x01, 0x93, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         true},
        {"fast start 0x95", {0x90, 0x05, 0x97, 0x00, 0x01, 0x95, 0x05, 0, 0, 0}, true},
        {"start of a stream never set up", {0x93, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"stream re-set up for another chip",
         {0x90, 0x05, 0x17, 0x00, 0x01, 0x90, 0x05, 0x02, 0x00, 0x2A, 0x93, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         false},
        {"data write after the end command", {0x66, 0xB7, 0x01, 0x80}, false},
    };
    for (const auto& c : cases) {
        auto bytes = VGMBuilder().Raw(c.commands).End().Build();
        EXPECT_EQ(UsesOKIStream(bytes, 0x100), c.expected) << c.name;
    }
    auto noEnd = VGMBuilder().Cmd({0x54, 0x08, 0x00}).Build();
    auto past = VGMBuilder().End().Build();
    auto expectError = [](const std::vector<uint8_t>& b, uint32_t at, const char* message) {
        try {
            (void)UsesOKIStream(b, at);
            ADD_FAILURE() << "no error";
        } catch (const ReadError& e) {
            EXPECT_STREQ(e.what(), message);
        }
    };
    expectError(noEnd, 0x100, "Missing VGM end command.");
    expectError(past, 0x102, "Invalid VGM data offset.");
    expectError(past, 0x101, "Missing VGM end command.");  // exactly at the end: nothing to walk
}

}  // namespace
}  // namespace klink
