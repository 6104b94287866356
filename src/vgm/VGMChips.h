#pragma once
// The sound chips this system plays from a VGM file, keyed by WriteID: the
// VGM command byte that writes a chip (also the KLINK register-write opcode
// and the chip field of capability entries and clock requests). One table
// gives every chip its name, the first form of its WriteID and its register
// range, for every place that names or checks a chip.

#include <array>
#include <cstdint>
#include <string_view>

namespace klink {

inline constexpr uint8_t kWriteSN76489Second = 0x30;  // the second SN76489 (instance 1)
inline constexpr uint8_t kWriteSN76489 = 0x50;
inline constexpr uint8_t kWriteYM2413 = 0x51;
inline constexpr uint8_t kWriteYM2612 = 0x52;       // port 0
inline constexpr uint8_t kWriteYM2612Port1 = 0x53;  // page 1 of the same chip
inline constexpr uint8_t kWriteYM2151 = 0x54;
inline constexpr uint8_t kWriteYM2203 = 0x55;
inline constexpr uint8_t kWriteYM3812 = 0x5A;
inline constexpr uint8_t kWriteYM3526 = 0x5B;
inline constexpr uint8_t kWriteYMF262 = 0x5E;       // port 0
inline constexpr uint8_t kWriteYMF262Port1 = 0x5F;  // page 1 of the same chip
inline constexpr uint8_t kWriteAY8910 = 0xA0;
inline constexpr uint8_t kWriteYM2203Second = 0xA5;  // the second YM2203 keeps its own command byte
// The OKIM6258 has no register writes of its own: its WriteID names the
// ADPCM stream target (0xB7, 0, 0) and its clock.
inline constexpr uint8_t kWriteOKIM6258 = 0xB7;

struct VGMChip {
    uint8_t writeId = 0;
    // The WriteID of the chip's first form: the second SN76489 command, the
    // second port of a YM2612 or YMF262 and the second YM2203 command name
    // the same kind of chip as their first form.
    uint8_t chipWriteId = 0;
    // The chip's name in reports and messages.
    std::string_view name;
    // The name a board's capability listing gives the chip; empty where the
    // listing shows the WriteID instead ("Write $52"). The listing is a fixed
    // log text, older than this table: it names fewer chips and spells the
    // AY8910 by its full part number.
    std::string_view listingName;
    // Highest register address a register batch may carry for the chip.
    uint8_t registerLimit = 0xFF;
};

inline constexpr std::array<VGMChip, 14> kVGMChips = {{
    {kWriteSN76489Second, kWriteSN76489, "SN76489", "", 0xFF},
    {kWriteSN76489, kWriteSN76489, "SN76489", "", 0xFF},
    {kWriteYM2413, kWriteYM2413, "YM2413", "YM2413", 0x3F},
    {kWriteYM2612, kWriteYM2612, "YM2612", "", 0xFF},
    {kWriteYM2612Port1, kWriteYM2612, "YM2612", "", 0xFF},
    {kWriteYM2151, kWriteYM2151, "YM2151", "YM2151", 0xFF},
    {kWriteYM2203, kWriteYM2203, "YM2203", "YM2203", 0xFF},
    {kWriteYM3812, kWriteYM3812, "YM3812", "YM3812", 0xFF},
    {kWriteYM3526, kWriteYM3526, "YM3526", "YM3526", 0xFF},
    {kWriteYMF262, kWriteYMF262, "YMF262", "YMF262", 0xFF},
    {kWriteYMF262Port1, kWriteYMF262, "YMF262", "YMF262", 0xFF},
    {kWriteAY8910, kWriteAY8910, "AY8910", "AY-3-8910", 0x0F},
    {kWriteYM2203Second, kWriteYM2203, "YM2203", "YM2203", 0xFF},
    {kWriteOKIM6258, kWriteOKIM6258, "OKIM6258", "OKIM6258", 0xFF},
}};

// The table's row for `writeId`, or nullptr for a WriteID no chip has.
[[nodiscard]] constexpr const VGMChip* FindVGMChip(uint8_t writeId) noexcept {
    for (const VGMChip& chip : kVGMChips) {
        if (chip.writeId == writeId) {
            return &chip;
        }
    }
    return nullptr;
}

// The chip's name ("AY8910"); empty for a WriteID no chip has.
[[nodiscard]] constexpr std::string_view VGMChipName(uint8_t writeId) noexcept {
    const VGMChip* chip = FindVGMChip(writeId);
    return chip != nullptr ? chip->name : std::string_view{};
}

// The WriteID of the chip's first form (0x30 -> 0x50, 0x53 -> 0x52,
// 0x5F -> 0x5E, 0xA5 -> 0x55); any other value stays as it is.
[[nodiscard]] constexpr uint8_t ChipWriteID(uint8_t writeId) noexcept {
    const VGMChip* chip = FindVGMChip(writeId);
    return chip != nullptr ? chip->chipWriteId : writeId;
}

// Highest register address of a register batch for the chip; 0xFF for a
// chip without a narrower range.
[[nodiscard]] constexpr uint8_t RegisterAddressLimit(uint8_t writeId) noexcept {
    const VGMChip* chip = FindVGMChip(writeId);
    return chip != nullptr ? chip->registerLimit : uint8_t{0xFF};
}

}  // namespace klink
