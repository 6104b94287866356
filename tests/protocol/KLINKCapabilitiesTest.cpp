#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ExpectError.h"
#include "common/Errors.h"
#include "protocol/KLINKCapabilities.h"

namespace {

using klink::ClockMode;
using klink::KLINKCapabilities;
using klink::KLINKCapability;
using klink::KLINKCapabilityPage;
using klink::test::ExpectError;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kEnd = 0xFFFF;

KLINKCapability Variable(uint8_t id, uint8_t inst, uint8_t page, uint8_t features = 0x05) {
    return {id, inst, page, features, klink::ClockMode::kVariable, 0};
}
KLINKCapability Fixed(uint8_t id, uint8_t inst, uint8_t page, uint32_t hz, uint8_t features = 0x01) {
    return {id, inst, page, features, klink::ClockMode::kFixed, hz};
}

KLINKCapabilityPage Page(uint16_t next, std::vector<KLINKCapability> entries) {
    KLINKCapabilityPage p;
    p.maxPayload = 256;
    p.dataCapacity = 8192;
    p.eventCapacity = 32;
    p.controlFeatures = 0x01;
    p.nextOffset = next;
    p.entries = std::move(entries);
    return p;
}

TEST(KLINKCapabilities, ParsesAHandWrittenPage) {
    const Bytes page{
        0x00, 0x01,                                            // MaxPayload 256
        0x00, 0x10, 0x00, 0x00,                                // DataCapacity 4096
        0x40, 0x00,                                            // EventCapacity 64
        0x03, 0x00,                                            // ControlFeatures
        0xFF, 0xFF,                                            // last page
        0x02,                                                  // two entries
        0x54, 0x00, 0x00, 0x07, 0x02, 0x00, 0x00, 0x00, 0x00,  // YM2151, variable
        0x51, 0x01, 0x00, 0x01, 0x01, 0x99, 0x9E, 0x36, 0x00,  // YM2413 #2, fixed 3579545 Hz
    };
    KLINKCapabilities caps;
    caps.AddPage(0, page);
    EXPECT_TRUE(caps.Complete());
    EXPECT_EQ(caps.NextOffset(), 0xFFFF);
    EXPECT_EQ(caps.MaxPayload(), 256);
    EXPECT_EQ(caps.DataCapacity(), 4096u);
    EXPECT_EQ(caps.EventCapacity(), 64);
    EXPECT_EQ(caps.ControlFeatures(), 0x03);

    EXPECT_EQ(caps.Find(0x51, 1, 0), Fixed(0x51, 1, 0, 3579545));

    // The encoder writes the same layout back.
    KLINKCapabilityPage same;
    same.maxPayload = 256;
    same.dataCapacity = 4096;
    same.eventCapacity = 64;
    same.controlFeatures = 3;
    same.entries = {{0x54, 0, 0, 0x07, ClockMode::kVariable, 0}, Fixed(0x51, 1, 0, 3579545)};
    EXPECT_EQ(klink::EncodeCapabilityPage(same), page);
}

TEST(KLINKCapabilities, EmptyLastPageMakesACompleteEmptyTable) {
    KLINKCapabilities caps;
    EXPECT_FALSE(caps.Complete());
    EXPECT_EQ(caps.NextOffset(), 0);
    caps.AddPage(0, klink::EncodeCapabilityPage(Page(kEnd, {})));
    EXPECT_TRUE(caps.Complete());
    EXPECT_FALSE(caps.Supports(0x54, 0, 0, 0));
    EXPECT_EQ(caps.Describe(), "");
}

TEST(KLINKCapabilities, TwoPagesAreJoinedAndOnlyTheCompleteTableAnswers) {
    KLINKCapabilities caps;
    caps.AddPage(0, klink::EncodeCapabilityPage(Page(0x0010, {Variable(0x54, 0, 0, 0x07)})));
    EXPECT_EQ(caps.NextOffset(), 0x0010);
    EXPECT_FALSE(caps.Supports(0x54, 0, 0, 0x01));
    EXPECT_FALSE(caps.Find(0x54, 0, 0).has_value());
    EXPECT_EQ(caps.Describe(), "");

    caps.AddPage(0x0010, klink::EncodeCapabilityPage(
                             Page(kEnd, {Fixed(0x5E, 0, 0, 14318180), Fixed(0x5E, 0, 1, 14318180)})));
    EXPECT_TRUE(caps.Complete());
    EXPECT_TRUE(caps.Supports(0x54, 0, 0, 0x01));
    EXPECT_TRUE(caps.Supports(0x5E, 0, 1, 0x01));
    EXPECT_FALSE(caps.Supports(0x5E, 1, 1, 0x01));
    ASSERT_EQ(caps.Entries().size(), 3u);
    EXPECT_EQ(caps.Entries()[2], Fixed(0x5E, 0, 1, 14318180));

    // A further page is cyclic once the table is complete.
    ExpectError<klink::ReadError>([&] { caps.AddPage(kEnd, klink::EncodeCapabilityPage(Page(kEnd, {}))); },
                                  "Cyclic KLINK capabilities.");
}

TEST(KLINKCapabilities, SupportsNeedsEveryRequestedFeatureBit) {
    KLINKCapabilities caps;
    caps.AddPage(0, klink::EncodeCapabilityPage(
                        Page(kEnd, {Fixed(0x54, 0, 0, 4000000, 0x01), Variable(0x54, 1, 0, 0x07)})));
    EXPECT_FALSE(caps.Supports(0x54, 0, 0, 0x03));
    EXPECT_TRUE(caps.Supports(0x54, 0, 0, 0x01));
    EXPECT_TRUE(caps.Supports(0x54, 0, 0, 0x00));
    EXPECT_TRUE(caps.Supports(0x54, 1, 0, 0x03));
    EXPECT_FALSE(caps.Supports(0x54, 1, 0, 0x08));
    EXPECT_FALSE(caps.Supports(0x54, 0, 1, 0x00));
}

TEST(KLINKCapabilities, DescribeNamesEveryChipAndClock) {
    KLINKCapabilities caps;
    caps.AddPage(0, klink::EncodeCapabilityPage(Page(kEnd, {Variable(0x54, 0, 0),
                                                            Fixed(0x51, 1, 0, 3579545),
                                                            {0x50, 0, 0, 0x01, ClockMode::kUnknown, 0},
                                                            Variable(0x55, 0, 0),
                                                            Variable(0xA5, 0, 0),
                                                            Variable(0x5A, 0, 0),
                                                            Variable(0x5B, 0, 0),
                                                            Variable(0x5E, 0, 0),
                                                            Variable(0x5F, 0, 1),
                                                            Variable(0xA0, 0, 0),
                                                            {0xB7, 0, 0, 0x08, ClockMode::kUnknown, 0},
                                                            Variable(0x0A, 0, 2)})));
    EXPECT_EQ(caps.Describe(),
              "YM2151 / instance=0 / page=0 / clock=variable\r\n"
              "YM2413 / instance=1 / page=0 / clock=fixed 3579545 Hz\r\n"
              "Write $50 / instance=0 / page=0 / clock=unknown\r\n"
              "YM2203 / instance=0 / page=0 / clock=variable\r\n"
              "YM2203 / instance=0 / page=0 / clock=variable\r\n"
              "YM3812 / instance=0 / page=0 / clock=variable\r\n"
              "YM3526 / instance=0 / page=0 / clock=variable\r\n"
              "YMF262 / instance=0 / page=0 / clock=variable\r\n"
              "YMF262 / instance=0 / page=1 / clock=variable\r\n"
              "AY-3-8910 / instance=0 / page=0 / clock=variable\r\n"
              "OKIM6258 / instance=0 / page=0 / clock=unknown\r\n"
              "Write $0A / instance=0 / page=2 / clock=variable");
}

TEST(KLINKCapabilities, PageOf26EntriesIsTheLargestAccepted) {
    std::vector<KLINKCapability> entries;
    for (uint8_t i = 0; i < 26; ++i) entries.push_back(Variable(static_cast<uint8_t>(0x30 + i), 0, 0));
    KLINKCapabilities caps;
    const Bytes page = klink::EncodeCapabilityPage(Page(kEnd, entries));
    EXPECT_EQ(page.size(), 247u);
    caps.AddPage(0, page);
    EXPECT_EQ(caps.Entries().size(), 26u);
}

// A sequence of pages whose last one must fail with `message`.
struct RejectCase {
    const char* name;
    std::vector<std::pair<uint16_t, Bytes>> pages;
    const char* message;
};

Bytes Enc(const KLINKCapabilityPage& p) { return klink::EncodeCapabilityPage(p); }

template <class Edit>
Bytes EncEdit(KLINKCapabilityPage p, Edit edit) {
    edit(p);
    return klink::EncodeCapabilityPage(p);
}

std::vector<RejectCase> RejectCases() {
    std::vector<KLINKCapability> many;
    for (uint8_t i = 0; i < 27; ++i) many.push_back(Variable(static_cast<uint8_t>(0x30 + i), 0, 0));
    Bytes countMismatch = Enc(Page(kEnd, {Variable(0x54, 0, 0)}));
    countMismatch[12] = 2;
    const Bytes first = Enc(Page(0x0010, {Fixed(0x5E, 0, 0, 14318180)}));

    return {
        {"first page requested at another offset", {{5, Enc(Page(kEnd, {}))}}, "Cyclic KLINK capabilities."},
        {"page other than the one named next",
         {{0, first}, {0x0011, Enc(Page(kEnd, {}))}},
         "Cyclic KLINK capabilities."},
        {"page after the last one",
         {{0, Enc(Page(kEnd, {}))}, {kEnd, Enc(Page(kEnd, {}))}},
         "Cyclic KLINK capabilities."},
        {"12-byte page", {{0, Bytes(12, 0x01)}}, "Invalid KLINK capabilities length."},
        {"27 entries (256 bytes)", {{0, Enc(Page(kEnd, many))}}, "Invalid KLINK capabilities length."},
        {"count byte disagrees with the length", {{0, countMismatch}}, "Invalid KLINK capabilities length."},
        {"MaxPayload 0",
         {{0, EncEdit(Page(kEnd, {}), [](auto& p) { p.maxPayload = 0; })}},
         "Invalid KLINK capabilities header."},
        {"MaxPayload 257",
         {{0, EncEdit(Page(kEnd, {}), [](auto& p) { p.maxPayload = 257; })}},
         "Invalid KLINK capabilities header."},
        {"next page is this page", {{0, Enc(Page(0, {}))}}, "Invalid KLINK capabilities header."},
        {"next page was already read",
         {{0, first}, {0x0010, Enc(Page(0, {}))}},
         "Invalid KLINK capabilities header."},
        {"MaxPayload changed",
         {{0, first}, {0x0010, EncEdit(Page(kEnd, {}), [](auto& p) { p.maxPayload = 128; })}},
         "KLINK capabilities changed during query."},
        {"DataCapacity changed",
         {{0, first}, {0x0010, EncEdit(Page(kEnd, {}), [](auto& p) { p.dataCapacity = 1; })}},
         "KLINK capabilities changed during query."},
        {"EventCapacity changed",
         {{0, first}, {0x0010, EncEdit(Page(kEnd, {}), [](auto& p) { p.eventCapacity = 1; })}},
         "KLINK capabilities changed during query."},
        {"ControlFeatures changed",
         {{0, first}, {0x0010, EncEdit(Page(kEnd, {}), [](auto& p) { p.controlFeatures = 3; })}},
         "KLINK capabilities changed during query."},
        {"clock mode 3",
         {{0, Enc(Page(kEnd, {{0x54, 0, 0, 0x01, ClockMode{3}, 0}}))}},
         "Invalid KLINK clock capability."},
        {"fixed clock of 0 Hz",
         {{0, Enc(Page(kEnd, {Fixed(0x54, 0, 0, 0)}))}},
         "Invalid KLINK clock capability."},
        {"fixed clock that claims to be settable",
         {{0, Enc(Page(kEnd, {Fixed(0x54, 0, 0, 4000000, 0x05)}))}},
         "Invalid KLINK clock capability."},
        {"unknown clock with a frequency",
         {{0, Enc(Page(kEnd, {{0x54, 0, 0, 0x01, ClockMode::kUnknown, 4000000}}))}},
         "Invalid KLINK clock capability."},
        {"variable clock with a frequency",
         {{0, Enc(Page(kEnd, {{0x54, 0, 0, 0x05, ClockMode::kVariable, 4000000}}))}},
         "Invalid KLINK clock capability."},
        {"variable clock that cannot be set",
         {{0, Enc(Page(kEnd, {Variable(0x54, 0, 0, 0x01)}))}},
         "Invalid KLINK clock capability."},
        {"same target twice on one page",
         {{0, Enc(Page(kEnd, {Variable(0x54, 0, 0), Variable(0x54, 0, 0)}))}},
         "Duplicate KLINK capability entry."},
        {"same target on two pages",
         {{0, first}, {0x0010, Enc(Page(kEnd, {Fixed(0x5E, 0, 0, 14318180)}))}},
         "Duplicate KLINK capability entry."},
        {"second page of a chip with another fixed clock",
         {{0, first}, {0x0010, Enc(Page(kEnd, {Fixed(0x5E, 0, 1, 14318181)}))}},
         "Inconsistent KLINK clock across pages."},
        {"second page of a chip with another clock mode",
         {{0, first}, {0x0010, Enc(Page(kEnd, {Variable(0x5E, 0, 1)}))}},
         "Inconsistent KLINK clock across pages."},
        {"first conflicting stored entry decides",
         {{0, Enc(Page(kEnd,
                       {Fixed(0x5E, 0, 1, 14318180), Fixed(0x5E, 0, 0, 14318180), Fixed(0x5E, 0, 0, 1)}))}},
         "Inconsistent KLINK clock across pages."},
    };
}

TEST(KLINKCapabilities, AddPageRejectsEveryInconsistency) {
    for (const auto& c : RejectCases()) {
        SCOPED_TRACE(c.name);
        KLINKCapabilities caps;
        for (size_t i = 0; i + 1 < c.pages.size(); ++i) caps.AddPage(c.pages[i].first, c.pages[i].second);
        const bool wasComplete = caps.Complete();
        ExpectError<klink::ReadError>([&] { caps.AddPage(c.pages.back().first, c.pages.back().second); },
                                      c.message);
        // A failed page never completes the table.
        EXPECT_EQ(caps.Complete(), wasComplete);
    }
}

TEST(KLINKCapabilities, AFailedPageLeavesTheTableIncompleteUntilCleared) {
    KLINKCapabilities caps;
    // The first entry is stored before the second one fails, but is never answered.
    ExpectError<klink::ReadError>(
        [&] {
            caps.AddPage(0, Enc(Page(kEnd, {Variable(0x54, 0, 0, 0x07), Variable(0x54, 0, 0, 0x01)})));
        },
        "Invalid KLINK clock capability.");
    EXPECT_FALSE(caps.Supports(0x54, 0, 0, 0x01));
    EXPECT_EQ(caps.MaxPayload(), 0);

    caps.Clear();
    EXPECT_TRUE(caps.Entries().empty());
    caps.AddPage(0, Enc(Page(kEnd, {Variable(0x54, 0, 0, 0x07)})));
    EXPECT_TRUE(caps.Supports(0x54, 0, 0, 0x07));
    EXPECT_EQ(caps.Entries().size(), 1u);
}

TEST(KLINKCapabilities, ClearForgetsEverything) {
    KLINKCapabilities caps;
    caps.AddPage(0, Enc(Page(kEnd, {Variable(0x54, 0, 0)})));
    caps.Clear();
    EXPECT_FALSE(caps.Complete());
    EXPECT_EQ(caps.NextOffset(), 0);
    EXPECT_EQ(caps.MaxPayload(), 0);
    EXPECT_EQ(caps.DataCapacity(), 0u);
    EXPECT_EQ(caps.EventCapacity(), 0);
    EXPECT_EQ(caps.ControlFeatures(), 0);
    EXPECT_TRUE(caps.Entries().empty());
    caps.AddPage(0, Enc(Page(kEnd, {Variable(0x54, 0, 0)})));  // offset 0 is expected again
    EXPECT_TRUE(caps.Complete());
}

TEST(KLINKCapabilities, ClocksMatchAllowsOnlyTheYM2413CrystalPair) {
    struct Case {
        uint8_t id;
        uint32_t a, b;
        bool match;
    };
    const Case cases[] = {{0x51, 3579545, 3579540, true},
                          {0x51, 3579540, 3579545, true},
                          {0x54, 3579545, 3579540, false},
                          {0x54, 4000000, 4000000, true},
                          {0x51, 3579545, 3579546, false},
                          {0x51, 3579540, 3579541, false},
                          {0x51, 0, 0, true},
                          {0x5E, 0xFFFFFFFF, 0xFFFFFFFF, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(klink::ClocksMatch(c.id, c.a, c.b), c.match) << int(c.id) << " " << c.a << " " << c.b;
    }
}

TEST(KLINKCapabilities, EncodeCapabilityPageRefusesMoreEntriesThanItsCountByte) {
    KLINKCapabilityPage p;
    p.entries.resize(256);
    ExpectError<klink::ArgumentOutOfRange>([&] { (void)klink::EncodeCapabilityPage(p); },
                                           "Too many KLINK capability entries.");
}

}  // namespace
