// The link budget of a file: its packets framed as the playback paths send
// them, the busiest second and where it lies, and the shared files' figures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "VGMTestBuilder.h"
#include "player/LinkBudget.h"
#include "protocol/KLINKCodec.h"
#include "vgm/VGMAnalysis.h"

namespace klink {
namespace {

using test::VGMBuilder;

VGMBuilder Header() {
    VGMBuilder b;
    b.Field(0x30, 3579545);  // YM2151
    b.Field(0x2C, 7670453);  // YM2612
    b.Field(0x0C, 3579545);  // SN76489
    return b;
}

// The wire size of the n-th register packet (request IDs count from 1).
uint64_t Frame(uint16_t id, uint8_t writeId, uint8_t instance, uint8_t page,
               const std::vector<uint8_t>& data) {
    const bool bytes = writeId == 0x50 || writeId == 0x30;
    return EncodeFrame(
               MessageType::kPacket, WriteOpcode(writeId), id,
               bytes ? EncodeByteBatch(instance, page, data) : EncodeRegisterBatch(instance, page, data))
        .size();
}

std::vector<uint8_t> Pairs(int count) {
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(static_cast<uint8_t>(0x20 + i % 0x60));
        out.push_back(static_cast<uint8_t>(1 + i % 200));
    }
    return out;
}

LinkLoad Measure(VGMBuilder& file) {
    const VGMAnalysis a = AnalyseVGMBytes(file.Build());
    EXPECT_TRUE(a.ok) << a.error;
    return MeasureLinkLoad(a);
}

TEST(LinkBudget, RegisterWritesAreBatchedAsTheRegisterPathSendsThem) {
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> commands;  // VGM commands, in order
        std::vector<uint64_t> frames;                // expected packet sizes
    };
    const std::vector<uint8_t> pairs128 = Pairs(128);
    std::vector<std::vector<uint8_t>> burst;
    for (size_t i = 0; i < pairs128.size(); i += 2) burst.push_back({0x54, pairs128[i], pairs128[i + 1]});
    burst.push_back({0x62});
    const std::vector<Case> cases = {
        {"one position, one chip",
         {{0x54, 0x20, 0x11}, {0x54, 0x21, 0x12}, {0x62}},
         {Frame(1, 0x54, 0, 0, {0x20, 0x11, 0x21, 0x12})}},
        {"a wait of 0 does not flush",
         {{0x54, 0x20, 0x11}, {0x61, 0, 0}, {0x54, 0x21, 0x12}, {0x62}},
         {Frame(1, 0x54, 0, 0, {0x20, 0x11, 0x21, 0x12})}},
        {"another chip sends the batch",
         {{0x52, 0x30, 1}, {0x52, 0x31, 2}, {0x53, 0x30, 3}, {0x62}},
         {Frame(1, 0x52, 0, 0, {0x30, 1, 0x31, 2}), Frame(2, 0x53, 0, 1, {0x30, 3})}},
        {"the SN76489 takes bytes",
         {{0x50, 0x9F}, {0x50, 0xBF}, {0x62}},
         {Frame(1, 0x50, 0, 0, {0x9F, 0xBF})}},
        {"128 writes make 254 bytes and 2",
         burst,
         {Frame(1, 0x54, 0, 0, std::vector<uint8_t>(pairs128.begin(), pairs128.begin() + 254)),
          Frame(2, 0x54, 0, 0, std::vector<uint8_t>(pairs128.begin() + 254, pairs128.end()))}},
    };
    for (const Case& c : cases) {
        VGMBuilder file = Header();
        for (const auto& cmd : c.commands) file.Raw(cmd);
        file.End();
        const LinkLoad load = Measure(file);
        uint64_t total = 0;
        for (uint64_t f : c.frames) total += f;
        EXPECT_EQ(load.path, VGMPlaybackPath::kRegister) << c.name;
        EXPECT_EQ(load.toBoardBytes, total) << c.name;
        EXPECT_EQ(load.peakBytes, total) << c.name;
        EXPECT_EQ(load.fromBoardBytes, 0u) << c.name;
    }
}

TEST(LinkBudget, FindsTheBusiestSecondAndWhereItBegins) {
    VGMBuilder file = Header();
    file.Cmd({0x54, 0x20, 0x11});
    file.Cmd({0x61, 0x88, 0x58});  // 22664 samples: to 513.9 ms
    file.Cmd({0x54, 0x21, 0x11});
    for (int i = 0; i < 3; ++i) file.Cmd({0x61, 0x44, 0xAC});  // 3 x 44100 samples
    for (size_t i = 0; i < 80; ++i) file.Cmd({0x54, static_cast<uint8_t>(0x20 + i), 0x33});
    file.Cmd({0x61, 0x44, 0xAC});
    file.End();
    const LinkLoad load = Measure(file);
    const uint64_t small = Frame(1, 0x54, 0, 0, {0x20, 0x11});
    std::vector<uint8_t> heavyData;
    for (size_t i = 0; i < 80; ++i) heavyData.insert(heavyData.end(), {static_cast<uint8_t>(0x20 + i), 0x33});
    const uint64_t heavy = Frame(3, 0x54, 0, 0, heavyData);
    EXPECT_EQ(load.toBoardBytes, 2 * small + heavy);
    EXPECT_EQ(load.peakBytes, heavy);
    EXPECT_EQ(load.peakStartUs, 3'513'000u);  // 3.5139 s, to the millisecond
    EXPECT_EQ(FormatTrackTime(load.peakStartUs), "0:03.5");
    EXPECT_EQ(load.durationUs, 4'513'922u);
    EXPECT_EQ(load.AverageBytesPerSecond(), (2 * small + heavy) * 1'000'000 / 4'513'922u);
    EXPECT_TRUE(load.FitsUart());
    EXPECT_TRUE(load.FitsLine(0));
    EXPECT_FALSE(load.FitsLine(static_cast<uint32_t>(heavy - 1)));
}

TEST(LinkBudget, FormatsTrackTimes) {
    EXPECT_EQ(FormatTrackTime(0), "0:00.0");
    EXPECT_EQ(FormatTrackTime(65'349'999), "1:05.3");
    EXPECT_EQ(FormatTrackTime(600'000'000), "10:00.0");
}

std::filesystem::path SharedSamples() {
    const char* env = std::getenv("KLINK_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples";
}

// The streaming files of the shared samples need more than a UART: the
// X68000 ADPCM stream (8 MHz / 512: 7812 stream bytes/s before framing) and
// the Mega Drive DAC (4-byte records at 6300 to 8800 samples/s).
TEST(LinkBudget, SharedStreamingFilesNeedMoreThanAUart) {
    struct Case {
        const char* file;
        VGMPlaybackPath path;
        uint64_t atLeast;  // bytes per second on average
    };
    const Case cases[] = {
        {"a_x68k_ys3_13_quickening_dream.vgz", VGMPlaybackPath::kADPCM, 7812},
        {"a_x68k_ys3_17_prayer_for_love.vgz", VGMPlaybackPath::kADPCM, 7812},
        {"b_md_sonic2_04_act_clear.vgz", VGMPlaybackPath::kKL2DAC, 6300 * 4},
        {"b_md_contra_hc_stage_clear.vgm", VGMPlaybackPath::kKL2DAC, 8800 * 4},
    };
    for (const Case& c : cases) {
        const std::filesystem::path path = SharedSamples() / c.file;
        if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not here";
        const VGMAnalysis a = AnalyseVGMFile(path);
        ASSERT_TRUE(a.ok) << c.file << ": " << a.error;
        const LinkLoad load = MeasureLinkLoad(a);
        EXPECT_EQ(load.path, c.path) << c.file;
        EXPECT_GE(load.AverageBytesPerSecond(), c.atLeast) << c.file;
        EXPECT_FALSE(load.FitsUart()) << c.file;
        EXPECT_TRUE(load.FitsLine(platform::kUsbLineBytesPerSecond)) << c.file;
        EXPECT_GT(load.fromBoardBytes, 0u) << c.file;  // the status replies
    }
}

}  // namespace
}  // namespace klink
