#pragma once
// A register-only copy of a VGM file that drives the YM2612 DAC: its FM and
// PSG music without the samples, made in memory from a file made by others
// (the shared samples hold no register-only YM2612 + SN76489 tune of a
// useful length). Header-only; used by tests and benchmarks.

#include <cstdint>
#include <vector>

#include "vgm/KLINKVGM.h"
#include "vgm/VGMAnalysis.h"

namespace klink::test {

// `file` (a successful analysis) with its data blocks, DAC writes (0x80-0x8F
// keep their wait), PCM seeks, DAC stream commands and YM2612 registers
// 0x2A/0x2B removed. The loop and the GD3 tags are dropped; the header's
// sample count stays right, since every wait is kept.
inline std::vector<uint8_t> WithoutYM2612DAC(const VGMAnalysis& file) {
    const VGMBytes& in = file.vgmBuffer;
    std::vector<uint8_t> out(in.begin(), in.begin() + file.dataOffset);
    uint32_t p = file.dataOffset;
    for (;;) {
        const uint32_t at = p;
        const uint8_t c = in[at];
        KLINKVGMTarget target;
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        const VGMDecodeKind kind = DecodeRegisterCommand(in, p, target, reg, value, wait);
        if (kind == VGMDecodeKind::kEnd) break;
        if (c >= 0x80 && c <= 0x8F) {
            if ((c & 0x0F) != 0) out.push_back(static_cast<uint8_t>(0x70 + (c & 0x0F) - 1));
            continue;
        }
        const bool dacRegister = kind == VGMDecodeKind::kRegisterWrite && target.writeId == 0x52 &&
                                 target.instance == 0 && (reg == 0x2A || reg == 0x2B);
        if (c == 0x67 || c == 0xE0 || (c >= 0x90 && c <= 0x95) || dacRegister) continue;
        out.insert(out.end(), in.begin() + at, in.begin() + p);
    }
    out.push_back(0x66);
    auto put32 = [&out](size_t offset, uint32_t v) {
        for (int i = 0; i < 4; ++i) out[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(0x04, static_cast<uint32_t>(out.size() - 4));  // end of file
    put32(0x14, 0);                                      // no GD3
    put32(0x1C, 0);                                      // no loop
    put32(0x20, 0);
    return out;
}

}  // namespace klink::test
