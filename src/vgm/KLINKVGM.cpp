#include "vgm/KLINKVGM.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "common/Errors.h"
#include "vgm/VGMBytes.h"
#include "vgm/VGMCommand.h"
#include "vgm/VGMHeader.h"

namespace klink {

namespace {

struct TClockRule {
    uint8_t Field = 0;
    uint8_t ChipID = 0;
    uint8_t ClockWriteID = 0;
};

bool LookUpClockRule(uint8_t writeID, TClockRule& rule) noexcept {
    switch (writeID) {
        case 0x30: rule = {0x0C, 0, 0x30}; return true;
        case 0x50: rule = {0x0C, 0, 0x50}; return true;
        case 0x51: rule = {0x10, 1, 0x51}; return true;
        case 0x52:
        case 0x53: rule = {0x2C, 2, 0x52}; return true;
        case 0x54: rule = {0x30, 3, 0x54}; return true;
        case 0x55:
        case 0xA5: rule = {0x44, 6, 0x55}; return true;
        case 0x5A: rule = {0x50, 9, 0x5A}; return true;
        case 0x5B: rule = {0x54, 10, 0x5B}; return true;
        case 0x5E:
        case 0x5F: rule = {0x5C, 12, 0x5E}; return true;
        case 0xA0: rule = {0x74, 18, 0xA0}; return true;
        default: return false;
    }
}

// Reads a 32-bit value of the extra header: before headerEnd and inside the data.
uint32_t ReadClockHeaderField(std::span<const uint8_t> bytes, uint32_t headerEnd, uint64_t at) {
    if (at + 4 > headerEnd || !FitsIn(bytes, at, 4)) {
        throw ReadError("Truncated VGM clock header.");
    }
    return PeekLE32(bytes, at);
}

}  // namespace

bool YM2612RegisterAccepted(uint8_t page, uint8_t reg) noexcept {
    if (page > 1) return false;
    if (reg >= 0x30 && reg <= 0xB6) return true;
    return page == 0 && (reg == 0x22 || reg == 0x27 || reg == 0x28 || reg == 0x2A || reg == 0x2B || reg == 0x2C);
}

TVGMDecodeKind DecodeRegisterCommand(std::span<const uint8_t> bytes, uint32_t& position, TKLINKVGMTarget& target,
                                     uint8_t& reg, uint8_t& value, uint32_t& wait) {
    target = {};
    reg = 0;
    value = 0;
    wait = 0;
    const uint64_t size = bytes.size();
    const uint64_t start = position;
    if (start >= size) {
        throw ReadError("Missing VGM end command.");
    }
    const uint8_t* p = bytes.data() + start;
    const uint8_t c = p[0];
    switch (c) {
        case 0x30:
        case 0x50:
            if (start + 2 > size) throw ReadError("Truncated SN76489 byte.");
            target = c == 0x50 ? TKLINKVGMTarget{0x50, 0, 0} : TKLINKVGMTarget{0x30, 1, 0};
            value = p[1];
            position += 2;
            return TVGMDecodeKind::RegisterWrite;
        case 0x51: case 0x52: case 0x53: case 0x54: case 0x55: case 0x5A: case 0x5B: case 0x5E: case 0x5F:
        case 0xA0: case 0xA1: case 0xA2: case 0xA3: case 0xA4: case 0xA5: case 0xAA: case 0xAB: case 0xAE:
        case 0xAF: {
            if (start + 3 > size) throw ReadError("Truncated VGM register command.");
            reg = p[1];
            value = p[2];
            position += 3;
            if (c == 0xA0) {
                target = {0xA0, static_cast<uint8_t>(reg >> 7), 0};
                reg &= 0x7F;
                if (reg > 15) throw ReadError("Invalid AY register address.");
                return TVGMDecodeKind::RegisterWrite;
            }
            if (c == 0xA5) {
                target = {0xA5, 1, 0};  // the second YM2203 keeps its own command byte
            } else if (c >= 0xA0) {
                target = {static_cast<uint8_t>(c - 0x50), 1, 0};
            } else {
                target = {c, 0, 0};
            }
            if (target.WriteID == 0x53 || target.WriteID == 0x5F) target.Page = 1;
            if ((target.WriteID == 0x52 || target.WriteID == 0x53) && !YM2612RegisterAccepted(target.Page, reg)) {
                target = {};
                reg = 0;
                value = 0;
                return TVGMDecodeKind::Nothing;
            }
            if (target.WriteID == 0x51 && reg >= 0x40) throw ReadError("Invalid YM2413 register address.");
            return TVGMDecodeKind::RegisterWrite;
        }
        default:
            break;
    }
    if (c >= 0x80 && c <= 0x8F) {
        target = {0x52, 0, 0};
        wait = c & 0x0Fu;
        position += 1;
        return TVGMDecodeKind::DACEvent;
    }
    if (c == 0x90) {
        if (start + 5 > size) throw ReadError("Truncated DAC stream setup.");
        const uint8_t chipType = p[2];
        if ((chipType & 0x7F) == 2) {
            if (p[3] != 0 || p[4] != 0x2A) throw ReadError("YM2612 stream must target port 0/register $2A.");
            target = {0x52, static_cast<uint8_t>(chipType >> 7), 0};
            position += 5;
            return TVGMDecodeKind::DACEvent;
        }
    }
    switch (NextVGMCommand(bytes, position, reg, value, wait)) {
        case TVGMCommandKind::Wait:
            return TVGMDecodeKind::Wait;
        case TVGMCommandKind::End:
            return TVGMDecodeKind::End;
        default:
            reg = 0;
            value = 0;
            wait = 0;
            return TVGMDecodeKind::Nothing;
    }
}

uint32_t ReadSecondChipClock(std::span<const uint8_t> bytes, uint32_t headerEnd, uint8_t chipID, uint32_t fallback) {
    if (headerEnd < 0xC0 || ReadClockHeaderField(bytes, headerEnd, 0x08) < 0x170) {
        return fallback;
    }
    const uint32_t x = ReadClockHeaderField(bytes, headerEnd, 0xBC);
    if (x == 0) return fallback;
    const uint64_t base = uint64_t{0xBC} + x;
    const uint32_t s = ReadClockHeaderField(bytes, headerEnd, base);
    if (s < 4) throw ReadError("Invalid VGM extra header size.");
    const uint64_t e = base + s;
    if (e > headerEnd) throw ReadError("Invalid VGM extra header size.");
    if (s < 8) return fallback;
    const uint32_t c = ReadClockHeaderField(bytes, headerEnd, base + 4);
    if (c == 0) return fallback;
    const uint64_t t = base + 4 + c;
    if (t < e || t >= headerEnd) throw ReadError("Invalid VGM extra clock table offset.");
    if (!FitsIn(bytes, t, 1)) throw ReadError("Truncated VGM clock header.");
    const uint64_t n = bytes[t];
    if (t + 1 + 5 * n > headerEnd || !FitsIn(bytes, t + 1, 5 * n)) {
        throw ReadError("Truncated VGM extra clock table.");
    }
    bool found = false;
    uint32_t result = fallback;
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t entry = t + 1 + 5 * i;
        if (bytes[entry] != chipID) continue;
        if (found) throw ReadError("Duplicate VGM second-chip clock.");
        found = true;
        result = PeekLE32(bytes, entry + 1);
    }
    return result;
}

TKLINKVGMClock ClockForTarget(std::span<const uint8_t> bytes, uint32_t headerEnd, uint8_t writeID, uint8_t instance) {
    TClockRule rule;
    if (!LookUpClockRule(writeID, rule)) {
        throw ReadError("Unsupported VGM clock target.");
    }
    if (uint64_t{rule.Field} + 4 > headerEnd || !FitsIn(bytes, rule.Field, 4)) {
        throw ReadError(fmt::format("Missing VGM clock for chip ${:02X}.", writeID));
    }
    uint32_t v = PeekLE32(bytes, rule.Field);
    if (instance == 1 && (v & 0x40000000u) == 0) {
        throw ReadError("Second VGM chip has no dual-chip header flag.");
    }
    if (writeID == 0x51 && (v & 0x80000000u) != 0) {
        throw ReadError("VRC7 instrument profile is not supported.");
    }
    if (instance == 1) {
        v = ReadSecondChipClock(bytes, headerEnd, rule.ChipID, v);
    }
    const uint32_t hertz = v & 0x3FFFFFFFu;
    if (hertz == 0) {
        throw ReadError("VGM register target has zero input clock.");
    }
    return TKLINKVGMClock{rule.ClockWriteID, instance, hertz};
}

TVGMCommandScan ScanVGMCommands(std::span<const uint8_t> bytes, uint32_t dataOffset) {
    if (dataOffset < 0x40 || dataOffset >= bytes.size()) {
        throw ReadError("Invalid VGM data offset.");
    }
    TVGMCommandScan scan;
    auto& targets = scan.TargetsAndClocks.Targets;
    auto& clocks = scan.TargetsAndClocks.Clocks;
    TOKIStreamScan oki;
    TKL2DACScan dac;
    // Seen targets by (WriteID, Instance, Page): a bit table keeps the
    // per-command check free of list searches.
    std::array<uint8_t, 256> seen{};
    uint32_t position = dataOffset;
    TKLINKVGMTarget target;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    for (;;) {
        const uint32_t p = position;
        const TVGMDecodeKind kind = DecodeRegisterCommand(bytes, position, target, reg, value, wait);
        if (kind == TVGMDecodeKind::End) break;
        if (!scan.UsesOKIStream && oki.Observe(bytes, p)) scan.UsesOKIStream = true;
        if (!scan.UsesKL2DAC && dac.Observe(bytes, p, kind, target, reg, value)) scan.UsesKL2DAC = true;
        if (kind != TVGMDecodeKind::RegisterWrite && kind != TVGMDecodeKind::DACEvent) continue;
        const uint8_t bit = static_cast<uint8_t>(1u << ((target.Instance & 1) * 2 + (target.Page & 1)));
        if ((seen[target.WriteID] & bit) != 0) continue;
        seen[target.WriteID] |= bit;
        targets.push_back(target);
        const TKLINKVGMClock clock = ClockForTarget(bytes, dataOffset, target.WriteID, target.Instance);
        const bool known = std::any_of(clocks.begin(), clocks.end(), [&](const TKLINKVGMClock& k) {
            return k.WriteID == clock.WriteID && k.Instance == clock.Instance;
        });
        if (!known) clocks.push_back(clock);
    }
    return scan;
}

TVGMTargetsAndClocks CollectTargetsAndClocks(std::span<const uint8_t> bytes, uint32_t dataOffset) {
    return ScanVGMCommands(bytes, dataOffset).TargetsAndClocks;
}

bool StartsSound(const TKLINKVGMTarget& target, uint8_t reg, uint8_t value) noexcept {
    switch (target.WriteID) {
        case 0x30:
        case 0x50:
            return (value & 0x90) == 0x90 && (value & 0x0F) < 15;
        case 0x51:
            return reg >= 0x20 && reg <= 0x28 && (value & 0x10) != 0;
        case 0x52:
            return (reg == 0x28 && (value & 0xF0) != 0) || (reg == 0x2B && (value & 0x80) != 0);
        case 0x54:
            return reg == 0x08 && (value & 0x78) != 0;
        case 0x55:
        case 0xA5:
            return (reg == 0x28 && (value & 0xF0) != 0) || (reg >= 0x08 && reg <= 0x0A && (value & 0x1F) != 0);
        case 0x5A:
        case 0x5B:
        case 0x5E:
        case 0x5F:
            return (reg >= 0xB0 && reg <= 0xB8 && (value & 0x20) != 0) || (reg == 0xBD && (value & 0x1F) != 0);
        case 0xA0:
            return reg >= 0x08 && reg <= 0x0A && (value & 0x1F) != 0;
        default:
            return false;
    }
}

bool TKL2DACScan::Observe(std::span<const uint8_t> bytes, uint32_t p, TVGMDecodeKind kind,
                          const TKLINKVGMTarget& target, uint8_t reg, uint8_t value) noexcept {
    // The command was decoded, so its operand bytes lie inside the data.
    const uint8_t c = bytes[p];
    bool dacData = c >= 0x80 && c <= 0x8F;
    if (c == 0x90) {
        ym2612Stream_[bytes[p + 1]] = (bytes[p + 2] & 0x7F) == 2;
    } else if ((c == 0x93 || c == 0x95) && ym2612Stream_[bytes[p + 1]]) {
        dacData = true;
    }
    if (dacData) {
        if (enabled_) return true;
        dataSeen_ = true;
        return false;
    }
    if (kind == TVGMDecodeKind::RegisterWrite && target.WriteID == 0x52 && target.Instance == 0) {
        if (reg == 0x2A) {
            dataSeen_ = true;
        } else if (reg == 0x2B) {
            enabled_ = (value & 0x80) != 0;
        }
        return dataSeen_ && enabled_;
    }
    return false;
}

bool UsesKL2DAC(std::span<const uint8_t> bytes, uint32_t dataOffset) {
    TKL2DACScan scan;
    uint32_t position = dataOffset;
    TKLINKVGMTarget target;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    for (;;) {
        if (position >= bytes.size()) {
            throw ReadError("Missing VGM end command.");
        }
        const uint32_t p = position;
        const TVGMDecodeKind kind = DecodeRegisterCommand(bytes, position, target, reg, value, wait);
        if (kind == TVGMDecodeKind::End) return false;
        if (scan.Observe(bytes, p, kind, target, reg, value)) return true;
    }
}

}  // namespace klink
