// Board profiles: the built-in models' page layout and the JSON profile file.
#include <gtest/gtest.h>

#include "common/Errors.h"
#include "sim/SimProfile.h"

namespace klink::sim {
namespace {

TEST(SimProfile, BuiltInModelsSpreadTheirTablesOverChainedPages) {
    for (const std::string& model : BuiltInModels()) {
        const SimProfile p = *BuiltInProfile(model);
        EXPECT_EQ(p.model, model);
        ASSERT_GE(p.pages.size(), 2u) << model;
        EXPECT_EQ(p.pages.front().offset, 0);
        for (size_t i = 0; i + 1 < p.pages.size(); ++i) {
            EXPECT_EQ(p.pages[i].page.nextOffset, p.pages[i + 1].offset) << model;
        }
        EXPECT_EQ(p.pages.back().page.nextOffset, kCapabilitiesEnd);
    }
    EXPECT_FALSE(BuiltInProfile("Keltra 5"));
    // A host fences the start-up of a KL2 board only.
    EXPECT_TRUE(BuiltInProfile("Keltra 2")->receive.fencedStartup);
    EXPECT_TRUE(BuiltInProfile("Keltra 2.1")->receive.fencedStartup);
    EXPECT_FALSE(BuiltInProfile("Keltra 3")->receive.fencedStartup);
    EXPECT_FALSE(BuiltInProfile("Keltra 4")->receive.fencedStartup);
    EXPECT_EQ(ModelStem("Keltra 2.1"), "keltra2.1");
}

TEST(SimProfile, JsonProfileReplacesModelCapacitiesTargetsAndDAC) {
    const SimProfile p = ParseProfile(R"({
        "base": "Keltra 2.1", "model": "Keltra 2", "firmware": "0.9",
        "data_capacity": 100, "control_features": "0x02",
        "targets": [ {"write_id": "0x52", "instance": 0, "page": 0, "features": 5, "clock_mode": "variable",
                      "default_hz": 7670453},
                     {"write_id": 80, "clock_mode": "fixed", "clock_hz": 3579545, "features": 1} ],
        "dac": {"revision": 39, "max_records": 61},
        "receive": {"startup_bytes": 0, "fenced_startup": true, "window_data_bytes": 1000} })",
                                      "test.json");
    EXPECT_EQ(p.model, "Keltra 2");
    EXPECT_EQ(p.firmware, "0.9");
    EXPECT_EQ(p.dataCapacity, 100u);
    EXPECT_EQ(p.controlFeatures, 2);
    ASSERT_EQ(p.targets.size(), 2u);
    EXPECT_EQ(p.targets[1].capability.fixedClockHz, 3579545u);
    EXPECT_EQ(p.targets[1].defaultHz, 3579545u);
    EXPECT_EQ(p.dac.revision, 39u);
    EXPECT_EQ(p.dac.maxRecords, 61);
    EXPECT_EQ(p.dac.tickRate, 44100u);  // kept from the base
    EXPECT_EQ(p.receive.startupBytes, 0u);
    EXPECT_TRUE(p.receive.fencedStartup);
    EXPECT_EQ(p.receive.windowDataBytes, 1000u);
    EXPECT_EQ(p.receive.windowControlBytes, 6144u);  // kept from the base
    ASSERT_EQ(p.pages.size(), 2u);
    EXPECT_EQ(p.pages[0].page.dataCapacity, 100u);
}

TEST(SimProfile, JsonPagesMayContradictEachOtherOrBeRawBytes) {
    const SimProfile p = ParseProfile(R"({
        "model": "Keltra 4",
        "pages": [ {"offset": 0, "next": 16, "entries": [{"write_id": 84, "features": 7, "clock_mode": 2}]},
                   {"offset": 16, "max_payload": 128, "entries": []},
                   {"offset": 32, "raw": "00 01 00 00"} ] })",
                                      "test.json");
    ASSERT_EQ(p.pages.size(), 3u);
    EXPECT_EQ(p.pages[0].page.nextOffset, 16);
    EXPECT_EQ(p.pages[1].page.maxPayload, 128);
    EXPECT_EQ(p.pages[1].page.nextOffset, kCapabilitiesEnd);
    ASSERT_TRUE(p.pages[2].raw);
    EXPECT_EQ(*p.pages[2].raw, (std::vector<uint8_t>{0, 1, 0, 0}));
    ASSERT_EQ(p.targets.size(), 1u);  // taken from the pages
    EXPECT_EQ(p.targets[0].capability.writeId, 0x54);
}

TEST(SimProfile, BadProfilesNameTheFileAndTheProblem) {
    const std::pair<const char*, const char*> cases[] = {
        {"{", "not valid JSON"},
        {"[]", "the top level is not an object."},
        {R"({"firmware": "x"})", "no \"model\" and no \"base\"."},
        {R"({"base": "Keltra 9"})", "unknown base model \"Keltra 9\"."},
        {R"({"model": "m", "max_payload": 70000})", "\"max_payload\" is out of range."},
        {R"({"model": "m", "targets": [{"write_id": "zz"}]})", "\"write_id\" is not a number."},
        {R"({"model": "m", "pages": [{"raw": "0g"}]})", "not a hexadecimal digit."},
        {R"({"model": "m", "clock_sharing": "kl5"})", "\"clock_sharing\" must be"},
        {R"({"model": "m", "receive": {"fenced_startup": 1}})", "\"fenced_startup\" is not true or false."},
    };
    for (const auto& [text, message] : cases) {
        try {
            (void)ParseProfile(text, "p.json");
            ADD_FAILURE() << text;
        } catch (const ReadError& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("Simulator profile p.json: ", 0), 0u) << what;
            EXPECT_NE(what.find(message), std::string::npos) << what;
        }
    }
    EXPECT_THROW((void)LoadProfile("/nonexistent/profile.json"), ReadError);
}

}  // namespace
}  // namespace klink::sim
