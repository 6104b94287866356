#include "vgm/VGMHeaderSummary.h"

#include "vgm/KLINKVGM.h"

namespace klink {
namespace {

constexpr uint32_t kFlagBits = 0x3FFFFFFFu;
constexpr uint32_t kDualChipFlag = 0x40000000u;

uint32_t Masked(uint32_t value) noexcept { return value & kFlagBits; }

// The SN76489 fields carry the dual-chip flag as an added 0x40000000.
uint32_t WithoutDualFlag(uint32_t value) noexcept {
    return value > kDualChipFlag ? value - kDualChipFlag : value;
}

}  // namespace

VGMHeaderSummary ReadVGMHeaderSummary(std::span<const uint8_t> bytes, const VGMHeader& header) {
    VGMHeaderSummary s;
    const uint32_t dataOffset = header.dataOffset;
    s.fileSize = bytes.size();
    s.eofOffset = ReadVGMField(bytes, 0x04);
    s.version = header.vgmVersion;
    s.loopOffset = ReadVGMField(bytes, 0x1C);
    s.totalSamples = ReadVGMField(bytes, 0x18);
    s.gd3Offset = header.gd3offset;
    s.loopSamples = ReadVGMField(bytes, 0x20);
    s.dataOffset = uint64_t{ReadVGMField(bytes, 0x34)} + 0x34;
    s.ym2151Clock = Masked(ReadVGMField(bytes, 0x30));
    s.ym2612Clock = Masked(ReadVGMField(bytes, 0x2C));
    if (s.version > 0x160 && dataOffset > 0x97 && bytes.size() > 0x97) {
        s.okim6258Clock = Masked(ReadVGMField(bytes, 0x90));
    }
    const uint32_t sn = ReadVGMField(bytes, 0x0C);
    s.sn76489Clock = WithoutDualFlag(sn);
    if (sn > kDualChipFlag) {
        s.sn76489SecondClock = WithoutDualFlag(ReadSecondChipClock(bytes, dataOffset, 0, sn));
    }
    if (dataOffset >= 0x78) {
        s.ym2203Clock = Masked(ReadVGMField(bytes, 0x44));
        s.ay8910Clock = Masked(ReadVGMField(bytes, 0x74));
        s.ym3812Clock = Masked(ReadVGMField(bytes, 0x50));
        s.ym3526Clock = Masked(ReadVGMField(bytes, 0x54));
        s.ym2608Clock = Masked(ReadVGMField(bytes, 0x48));
    }
    return s;
}

}  // namespace klink
