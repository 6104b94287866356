#include <gtest/gtest.h>

#include <string>

#include "TempFile.h"
#include "VGMTestBuilder.h"
#include "common/Errors.h"
#include "vgm/VGMFile.h"

namespace klink {
namespace {

using test::Gzip;
using test::TempFile;
using test::VGMBuilder;

std::vector<uint8_t> SmallVGM() { return VGMBuilder(0x171).Cmd({0x54, 0x08, 0x00}).End().Build(); }

std::vector<uint8_t> Plain(const VGMBytes& bytes) { return {bytes.begin(), bytes.end()}; }
std::vector<uint8_t> Decode(const std::vector<uint8_t>& raw) {
    return Plain(DecodeVGMBytes({raw.begin(), raw.end()}));
}

std::string ReadErrorOf(const std::vector<uint8_t>& raw) {
    try {
        (void)Decode(raw);
    } catch (const ReadError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(VGMFile, LoadsPlainAndGzipContentWhateverTheName) {
    const auto plain = SmallVGM();
    const TempFile plainAsVgz(plain, ".vgz");
    const TempFile gzipAsVgm(Gzip(plain), ".vgm");
    EXPECT_EQ(Plain(LoadVGMFile(plainAsVgz.Path())), plain);
    EXPECT_EQ(Plain(LoadVGMFile(gzipAsVgm.Path())), plain);
}

TEST(VGMFile, MissingFileFailsWithTheSystemText) {
    const auto path = std::filesystem::temp_directory_path() / "klink_vgm_test_does_not_exist.vgm";
    try {
        (void)LoadVGMFile(path);
        FAIL() << "no error";
    } catch (const OSError& e) {
        EXPECT_EQ(e.Code(), ENOENT);
        EXPECT_EQ(std::string(e.what()), "Cannot open file " + path.string() + ": No such file or directory");
    }
}

TEST(VGMFile, RejectsBadContentWithItsMessage) {
    std::vector<uint8_t> exactly64 = VGMBuilder(0x100, 0x40).Build();
    ASSERT_EQ(exactly64.size(), 64u);
    std::vector<uint8_t> wrongSignature = exactly64;
    wrongSignature[3] = 'x';
    std::vector<uint8_t> short63(exactly64.begin(), exactly64.end() - 1);

    struct Case {
        const char* name;
        std::vector<uint8_t> raw;
        std::string message;
    } cases[] = {
        {"empty", {}, "VGM header is too short."},
        {"one byte", {0x1F}, "VGM header is too short."},
        {"gzip magic only", {0x1F, 0x8B}, "Invalid or truncated GZIP data in VGM file."},
        {"63 bytes", short63, "VGM header is too short."},
        {"gzip of 63 bytes", Gzip(short63), "VGM header is too short."},
        {"wrong signature", wrongSignature, "Invalid VGM signature."},
        {"gzip of wrong signature", Gzip(wrongSignature), "Invalid VGM signature."},
        {"gzip magic, then garbage",
         {0x1F, 0x8B, 0x08, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         "Invalid or truncated GZIP data in VGM file."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReadErrorOf(c.raw), c.message) << c.name;
    }
    EXPECT_EQ(Decode(exactly64), exactly64);
}

TEST(VGMFile, GzipCutShortAnywhereFailsAndNeverLoops) {
    // Large enough for several output chunks.
    VGMBuilder b;
    for (int i = 0; i < 60000; ++i) b.Cmd({0x54, static_cast<uint8_t>(i), static_cast<uint8_t>(i * 7)});
    const auto plain = b.End().Build();
    const auto gz = Gzip(plain);
    ASSERT_EQ(Decode(gz), plain);
    for (size_t cut = 2; cut < gz.size(); cut += (cut < 64 || cut > gz.size() - 64) ? 1 : 997) {
        std::vector<uint8_t> truncated(gz.begin(), gz.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(ReadErrorOf(truncated), "Invalid or truncated GZIP data in VGM file.") << "cut at " << cut;
    }
}

TEST(VGMFile, CorruptedGzipFailsWithTheGzipMessageOrLoadsNothingWrong) {
    const auto plain = SmallVGM();
    const auto gz = Gzip(plain);
    // Flipping any byte past the gzip header must never crash; the CRC check
    // catches changed content.
    for (size_t i = 10; i < gz.size(); ++i) {
        auto bad = gz;
        bad[i] ^= 0x5A;
        try {
            const auto out = Decode(bad);
            EXPECT_EQ(out, plain) << "byte " << i;
        } catch (const ReadError&) {
        }
    }
}

TEST(VGMFile, OnlyTheFirstGzipMemberIsRead) {
    const auto first = SmallVGM();
    auto second = VGMBuilder(0x150).End().Build();
    auto both = Gzip(first);
    const auto more = Gzip(second);
    both.insert(both.end(), more.begin(), more.end());
    EXPECT_EQ(Decode(both), first);
}

}  // namespace
}  // namespace klink
