// The ADPCM event source over real OKIM6258 music made by others, read in place.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <vector>

#include "AudioSourceTestSupport.h"
#include "adpcm/KLINKAudioVGM.h"
#include "vgm/VGMAnalysis.h"
#include "vgm/VGMCommand.h"

namespace klink {
namespace {

std::filesystem::path SharedSamples() {
    // KLINK_SHARED_DIR in the environment overrides the build's idea (worktrees sit elsewhere).
    const char* env = std::getenv("KLINK_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples";
}

struct YMWrite {
    uint32_t offset;
    uint64_t samples;
    uint8_t reg;
    uint8_t value;
};

// The file's own account, walked once without looping: every YM2151 write with
// its sample time, where the first sound is, and the length in samples.
struct FileFacts {
    std::vector<YMWrite> writes;
    uint32_t firstSound = 0xFFFFFFFF;
    uint64_t totalSamples = 0;
};

FileFacts Walk(std::span<const uint8_t> bytes, uint32_t dataOffset) {
    FileFacts facts;
    uint32_t p = dataOffset;
    while (true) {
        const uint32_t at = p;
        const uint8_t c = bytes[at];
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        const VGMCommandKind kind = NextVGMCommand(bytes, p, reg, value, wait);
        if (kind == VGMCommandKind::kEnd) break;
        const bool sounds = c == 0x93 || c == 0x95 ||
                            (c == 0xB7 && bytes[at + 1] == 0 && (bytes[at + 2] & 2)) ||
                            (kind == VGMCommandKind::kYM2151Write && reg == 0x08 && (value & 0x78));
        if (sounds && facts.firstSound == 0xFFFFFFFF) facts.firstSound = at;
        if (kind == VGMCommandKind::kYM2151Write)
            facts.writes.push_back({at, facts.totalSamples, reg, value});
        facts.totalSamples += wait;
    }
    return facts;
}

TEST(KLINKAudioVGMSharedFiles, YsIIIPlaysEveryWriteOnceInOrderAndEnds) {
    const std::filesystem::path dir = SharedSamples();
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no shared samples at " << dir;

    for (const char* name : {"a_x68k_ys3_13_quickening_dream.vgz", "a_x68k_ys3_17_prayer_for_love.vgz"}) {
        SCOPED_TRACE(name);
        const VGMAnalysis a = AnalyseVGMFile(dir / name);
        ASSERT_TRUE(a.ok) << a.error;
        ASSERT_EQ(PlaybackPathFor(a), VGMPlaybackPath::kADPCM);
        const FileFacts facts = Walk(a.vgmBuffer, a.dataOffset);
        ASSERT_NE(facts.firstSound, 0xFFFFFFFFu);

        KLINKAudioVGM source(a.vgmBuffer, a.dataOffset, a.vgmLoopOffset, a.okiClock, a.okiDivider, 1, 0);
        std::vector<uint8_t> initial;
        std::vector<YMWrite> timed;
        for (const YMWrite& w : facts.writes) {
            if (w.offset < facts.firstSound) {
                initial.push_back(w.reg);
                initial.push_back(w.value);
            } else {
                timed.push_back(w);
            }
        }
        EXPECT_EQ(source.InitialYM(), initial);

        const test::SourceRun run = test::RunSource(source);
        ASSERT_FALSE(run.capped);
        EXPECT_TRUE(source.Finished());
        EXPECT_NO_THROW((void)source.SilenceByte());
        EXPECT_EQ(source.BytePosition(), run.stream.size());
        EXPECT_EQ(source.PositionSamples(), facts.totalSamples);

        std::vector<AudioEvent> ym;
        bool clockChanges = false;
        uint32_t lastPosition = 0;
        for (const AudioEvent& e : run.events) {
            EXPECT_GE(e.position, lastPosition);
            lastPosition = e.position;
            if (e.kind == AudioEventKind::kYM2151Write) ym.push_back(e);
            if (e.kind == AudioEventKind::kClockDivider) clockChanges = true;
            EXPECT_NE(e.kind, AudioEventKind::kExternalWrite);  // the files write no other chip
        }
        ASSERT_EQ(ym.size(), timed.size());
        const uint64_t byteUnits = uint64_t{a.okiDivider} * 2'000'000 / a.okiClock * 441;
        for (size_t i = 0; i < ym.size(); ++i) {
            const uint64_t units = 2'257'920 + timed[i].samples * 10'000;
            ASSERT_EQ(ym[i].Payload()[0], timed[i].reg) << "write " << i;
            ASSERT_EQ(ym[i].Payload()[1], timed[i].value) << "write " << i;
            ASSERT_EQ(ym[i].timeUs, units / 441) << "write " << i;
            // At a fixed rate the write precedes the first byte that starts at or after its time.
            if (!clockChanges) {
                ASSERT_EQ(ym[i].position, (units + byteUnits - 1) / byteUnits) << "write " << i;
            }
        }
    }
}

}  // namespace
}  // namespace klink
