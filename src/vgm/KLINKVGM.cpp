#include "vgm/KLINKVGM.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "common/Bytes.h"
#include "common/Errors.h"
#include "vgm/VGMCommand.h"
#include "vgm/VGMHeader.h"

namespace klink {

namespace {

struct ClockRule {
    uint8_t field = 0;
    uint8_t chipId = 0;
    uint8_t clockWriteId = 0;
};

bool LookUpClockRule(uint8_t writeId, ClockRule& rule) noexcept {
    switch (writeId) {
        case 0x30:
            rule = {0x0C, 0, 0x30};
            return true;
        case 0x50:
            rule = {0x0C, 0, 0x50};
            return true;
        case 0x51:
            rule = {0x10, 1, 0x51};
            return true;
        case 0x52:
        case 0x53:
            rule = {0x2C, 2, 0x52};
            return true;
        case 0x54:
            rule = {0x30, 3, 0x54};
            return true;
        case 0x55:
        case 0xA5:
            rule = {0x44, 6, 0x55};
            return true;
        case 0x5A:
            rule = {0x50, 9, 0x5A};
            return true;
        case 0x5B:
            rule = {0x54, 10, 0x5B};
            return true;
        case 0x5E:
        case 0x5F:
            rule = {0x5C, 12, 0x5E};
            return true;
        case 0xA0:
            rule = {0x74, 18, 0xA0};
            return true;
        default:
            return false;
    }
}

// Reads a 32-bit value of the extra header: before headerEnd and inside the data.
uint32_t ReadClockHeaderField(std::span<const uint8_t> bytes, uint32_t headerEnd, uint64_t at) {
    if (at + 4 > headerEnd || !FitsIn(bytes, at, 4)) {
        throw ReadError("Truncated VGM clock header.");
    }
    return LoadLE32(bytes, at);
}

}  // namespace

bool YM2612RegisterAccepted(uint8_t page, uint8_t reg) noexcept {
    if (page > 1) return false;
    if (reg >= 0x30 && reg <= 0xB6) return true;
    return page == 0 &&
           (reg == 0x22 || reg == 0x27 || reg == 0x28 || reg == 0x2A || reg == 0x2B || reg == 0x2C);
}

namespace {

// How the decoder treats each command byte.
enum class DecodeClass : uint8_t { kWalker, kSN76489, kRegister, kAY8910, kDACSample, kStreamSetup };

struct DecodeEntry {
    DecodeClass decodeClass = DecodeClass::kWalker;
    KLINKVGMTarget target;
};

constexpr std::array<DecodeEntry, 256> MakeDecodeTable() {
    std::array<DecodeEntry, 256> t{};
    t[0x50] = {DecodeClass::kSN76489, {0x50, 0, 0}};
    t[0x30] = {DecodeClass::kSN76489, {0x30, 1, 0}};
    for (int c : {0x51, 0x52, 0x53, 0x54, 0x55, 0x5A, 0x5B, 0x5E, 0x5F}) {
        const auto id = static_cast<uint8_t>(c);
        t[c] = {DecodeClass::kRegister, {id, 0, static_cast<uint8_t>(id == 0x53 || id == 0x5F ? 1 : 0)}};
    }
    for (int c : {0xA1, 0xA2, 0xA3, 0xA4, 0xAA, 0xAB, 0xAE, 0xAF}) {
        const auto id = static_cast<uint8_t>(c - 0x50);
        t[c] = {DecodeClass::kRegister, {id, 1, static_cast<uint8_t>(id == 0x53 || id == 0x5F ? 1 : 0)}};
    }
    t[0xA5] = {DecodeClass::kRegister, {0xA5, 1, 0}};  // the second YM2203 keeps its own command byte
    t[0xA0] = {DecodeClass::kAY8910, {0xA0, 0, 0}};
    for (int c = 0x80; c <= 0x8F; ++c) t[c] = {DecodeClass::kDACSample, {0x52, 0, 0}};
    t[0x90] = {DecodeClass::kStreamSetup, {}};
    return t;
}

constexpr std::array<DecodeEntry, 256> kDecode = MakeDecodeTable();

// The decoder's body, inlined into the whole-file scans so that the outputs
// stay in registers.
// Forced inline: left to itself the compiler keeps a call here, which halves
// the speed of the scans (outputs go through memory).
[[gnu::always_inline]] inline VGMDecodeKind Decode(std::span<const uint8_t> bytes, uint32_t& position,
                                                   KLINKVGMTarget& target, uint8_t& reg, uint8_t& value,
                                                   uint32_t& wait) {
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
    const DecodeEntry& entry = kDecode[c];
    switch (entry.decodeClass) {
        case DecodeClass::kRegister:
            if (start + 3 > size) throw ReadError("Truncated VGM register command.");
            position += 3;
            if ((entry.target.writeId == 0x52 || entry.target.writeId == 0x53) &&
                !YM2612RegisterAccepted(entry.target.page, p[1])) {
                return VGMDecodeKind::kNothing;  // the write is dropped
            }
            if (entry.target.writeId == 0x51 && p[1] >= 0x40)
                throw ReadError("Invalid YM2413 register address.");
            target = entry.target;
            reg = p[1];
            value = p[2];
            return VGMDecodeKind::kRegisterWrite;
        case DecodeClass::kSN76489:
            if (start + 2 > size) throw ReadError("Truncated SN76489 byte.");
            target = entry.target;
            value = p[1];
            position += 2;
            return VGMDecodeKind::kRegisterWrite;
        case DecodeClass::kAY8910:
            if (start + 3 > size) throw ReadError("Truncated VGM register command.");
            position += 3;
            if ((p[1] & 0x7F) > 15) throw ReadError("Invalid AY register address.");
            target = {0xA0, static_cast<uint8_t>(p[1] >> 7), 0};
            reg = p[1] & 0x7F;
            value = p[2];
            return VGMDecodeKind::kRegisterWrite;
        case DecodeClass::kDACSample:
            target = entry.target;
            wait = c & 0x0Fu;
            position += 1;
            return VGMDecodeKind::kDACEvent;
        case DecodeClass::kStreamSetup:
            if (start + 5 > size) throw ReadError("Truncated DAC stream setup.");
            if ((p[2] & 0x7F) == 2) {
                if (p[3] != 0 || p[4] != 0x2A)
                    throw ReadError("YM2612 stream must target port 0/register $2A.");
                target = {0x52, static_cast<uint8_t>(p[2] >> 7), 0};
                position += 5;
                return VGMDecodeKind::kDACEvent;
            }
            break;  // a stream for another chip: like any other command
        case DecodeClass::kWalker:
            break;
    }
    switch (NextVGMCommand(bytes, position, reg, value, wait)) {
        case VGMCommandKind::kWait:
            return VGMDecodeKind::kWait;
        case VGMCommandKind::kEnd:
            return VGMDecodeKind::kEnd;
        default:
            reg = 0;
            value = 0;
            wait = 0;
            return VGMDecodeKind::kNothing;
    }
}

}  // namespace

VGMDecodeKind DecodeRegisterCommand(std::span<const uint8_t> bytes, uint32_t& position,
                                    KLINKVGMTarget& target, uint8_t& reg, uint8_t& value, uint32_t& wait) {
    return Decode(bytes, position, target, reg, value, wait);
}

uint32_t ReadSecondChipClock(std::span<const uint8_t> bytes, uint32_t headerEnd, uint8_t chipId,
                             uint32_t fallback) {
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
        if (bytes[entry] != chipId) continue;
        if (found) throw ReadError("Duplicate VGM second-chip clock.");
        found = true;
        result = LoadLE32(bytes, entry + 1);
    }
    return result;
}

KLINKVGMClock ClockForTarget(std::span<const uint8_t> bytes, uint32_t headerEnd, uint8_t writeId,
                             uint8_t instance) {
    ClockRule rule;
    if (!LookUpClockRule(writeId, rule)) {
        throw ReadError("Unsupported VGM clock target.");
    }
    if (uint64_t{rule.field} + 4 > headerEnd || !FitsIn(bytes, rule.field, 4)) {
        throw ReadError(fmt::format("Missing VGM clock for chip ${:02X}.", writeId));
    }
    uint32_t v = LoadLE32(bytes, rule.field);
    if (instance == 1 && (v & 0x40000000u) == 0) {
        throw ReadError("Second VGM chip has no dual-chip header flag.");
    }
    if (writeId == 0x51 && (v & 0x80000000u) != 0) {
        throw ReadError("VRC7 instrument profile is not supported.");
    }
    if (instance == 1) {
        v = ReadSecondChipClock(bytes, headerEnd, rule.chipId, v);
    }
    const uint32_t hertz = v & 0x3FFFFFFFu;
    if (hertz == 0) {
        throw ReadError("VGM register target has zero input clock.");
    }
    return KLINKVGMClock{rule.clockWriteId, instance, hertz};
}

namespace {

// The command bytes each usage scan reacts to; all others pass them by.
constexpr uint8_t kOKIInterest = 1;
constexpr uint8_t kDACInterest = 2;

constexpr std::array<uint8_t, 256> MakeScanInterest() {
    std::array<uint8_t, 256> t{};
    for (int c : {0x90, 0x93, 0x95}) t[c] = kOKIInterest | kDACInterest;
    t[0xB7] = kOKIInterest;
    t[0x52] = kDACInterest;  // the first YM2612's registers 0x2A and 0x2B
    for (int c = 0x80; c <= 0x8F; ++c) t[c] = kDACInterest;
    return t;
}

constexpr std::array<uint8_t, 256> kScanInterest = MakeScanInterest();

}  // namespace

VGMCommandScan ScanVGMCommands(std::span<const uint8_t> bytes, uint32_t dataOffset) {
    if (dataOffset < 0x40 || dataOffset >= bytes.size()) {
        throw ReadError("Invalid VGM data offset.");
    }
    VGMCommandScan scan;
    auto& targets = scan.targetsAndClocks.targets;
    auto& clocks = scan.targetsAndClocks.clocks;
    OKIStreamScan oki;
    KL2DACScan dac;
    // Seen targets by (writeId, instance, page): a bit table keeps the
    // per-command check free of list searches.
    std::array<uint8_t, 256> seen{};
    uint32_t position = dataOffset;
    KLINKVGMTarget target;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    for (;;) {
        const uint32_t p = position;
        const VGMDecodeKind kind = Decode(bytes, position, target, reg, value, wait);
        if (kind == VGMDecodeKind::kEnd) break;
        const uint8_t interest = kScanInterest[bytes[p]];
        if (interest != 0) {
            if ((interest & kOKIInterest) != 0 && !scan.usesOkiStream && oki.Observe(bytes, p)) {
                scan.usesOkiStream = true;
            }
            if ((interest & kDACInterest) != 0 && !scan.usesKl2Dac &&
                dac.Observe(bytes, p, kind, target, reg, value)) {
                scan.usesKl2Dac = true;
            }
        }
        if (kind != VGMDecodeKind::kRegisterWrite && kind != VGMDecodeKind::kDACEvent) continue;
        const uint8_t bit = static_cast<uint8_t>(1u << ((target.instance & 1) * 2 + (target.page & 1)));
        if ((seen[target.writeId] & bit) != 0) continue;
        seen[target.writeId] |= bit;
        targets.push_back(target);
        const KLINKVGMClock clock = ClockForTarget(bytes, dataOffset, target.writeId, target.instance);
        const bool known = std::any_of(clocks.begin(), clocks.end(), [&](const KLINKVGMClock& k) {
            return k.writeId == clock.writeId && k.instance == clock.instance;
        });
        if (!known) clocks.push_back(clock);
    }
    return scan;
}

VGMTargetsAndClocks CollectTargetsAndClocks(std::span<const uint8_t> bytes, uint32_t dataOffset) {
    return ScanVGMCommands(bytes, dataOffset).targetsAndClocks;
}

bool StartsSound(const KLINKVGMTarget& target, uint8_t reg, uint8_t value) noexcept {
    switch (target.writeId) {
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
            return (reg == 0x28 && (value & 0xF0) != 0) ||
                   (reg >= 0x08 && reg <= 0x0A && (value & 0x1F) != 0);
        case 0x5A:
        case 0x5B:
        case 0x5E:
        case 0x5F:
            return (reg >= 0xB0 && reg <= 0xB8 && (value & 0x20) != 0) ||
                   (reg == 0xBD && (value & 0x1F) != 0);
        case 0xA0:
            return reg >= 0x08 && reg <= 0x0A && (value & 0x1F) != 0;
        default:
            return false;
    }
}

bool KL2DACScan::Observe(std::span<const uint8_t> bytes, uint32_t p, VGMDecodeKind kind,
                         const KLINKVGMTarget& target, uint8_t reg, uint8_t value) noexcept {
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
    if (kind == VGMDecodeKind::kRegisterWrite && target.writeId == 0x52 && target.instance == 0) {
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
    KL2DACScan scan;
    uint32_t position = dataOffset;
    KLINKVGMTarget target;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    for (;;) {
        if (position >= bytes.size()) {
            throw ReadError("Missing VGM end command.");
        }
        const uint32_t p = position;
        const VGMDecodeKind kind = DecodeRegisterCommand(bytes, position, target, reg, value, wait);
        if (kind == VGMDecodeKind::kEnd) return false;
        if (scan.Observe(bytes, p, kind, target, reg, value)) return true;
    }
}

}  // namespace klink
