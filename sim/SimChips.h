#pragma once
// The chips of a simulated board: the register contents of every target it
// serves, the SN76489 latch, and the chip clocks with the board's rules for
// clock lines that several chips share.

#include <array>
#include <cstdint>
#include <map>
#include <set>

#include "SimProfile.h"

namespace klink::sim {

enum class SimClockResult : uint8_t {
    kDone,
    kUnsupported,  // no such chip, or its clock cannot be set
    kOutOfRange,   // 0 Hz or above the board's limit
    kConflict,     // a chip on the same clock line already runs at another clock
};

class SimChips {
public:
    explicit SimChips(const SimProfile& profile);

    // Every register 0, every SN76489 channel silent, every clock back to its default.
    void Reset();

    void WriteRegister(uint8_t writeId, uint8_t instance, uint8_t page, uint8_t reg, uint8_t value);
    // One SN76489 byte: a latch byte (bit 7 set) or a data byte for the latched register.
    void WritePSGByte(uint8_t writeId, uint8_t instance, uint8_t value);

    // 0 for a target the board does not have.
    [[nodiscard]] uint8_t Register(uint8_t writeId, uint8_t instance, uint8_t page, uint8_t reg) const;
    // SN76489 register 0..7 (tone 0, volume 0, tone 1, volume 1, tone 2,
    // volume 2, noise, volume 3); tones are 10 bits, the others 4 (3 for noise).
    [[nodiscard]] uint16_t PSGRegister(uint8_t writeId, uint8_t instance, int index) const;

    // SET_CHIP_CLOCK for the chip (WriteID, Instance) as the board's page-0 entry names it.
    [[nodiscard]] SimClockResult SetClock(uint8_t writeId, uint8_t instance, uint32_t hz);
    // The chip's clock in Hz; 0 for a chip the board does not have.
    [[nodiscard]] uint32_t ClockHz(uint8_t writeId, uint8_t instance) const;

private:
    struct PSG {
        std::array<uint16_t, 8> regs{};
        int latched = 0;
    };
    static uint32_t Key(uint8_t a, uint8_t b, uint8_t c = 0) {
        return (uint32_t{a} << 16) | (uint32_t{b} << 8) | c;
    }

    const SimProfile& profile_;
    std::map<uint32_t, std::array<uint8_t, 256>> regs_;  // by (WriteID, Instance, Page)
    std::map<uint32_t, PSG> psgs_;                       // by (WriteID, Instance)
    std::map<uint32_t, uint32_t> clocks_;                // by (WriteID, Instance)
    // Shared clock lines: the input clock and the chips that set it since RESET.
    struct Line {
        uint32_t hz = 0;
        std::set<uint32_t> setBy;
    };
    std::map<int, Line> lines_;
};

// The clock a KL3 logical chip needs on its shared physical chip (multiplier,
// then the standard crystals), and its share group (0, 1, or -1 for none).
[[nodiscard]] uint32_t KL3InputClock(uint8_t writeId, uint32_t hz) noexcept;
[[nodiscard]] int KL3Group(uint8_t writeId) noexcept;
// The OKIM6258 runs from the board's 4 MHz or 8 MHz clock and divides it by
// 512, 768 or 1024 (its sample rate is clock / divider).
inline constexpr uint8_t kOKIM6258 = 0xB7;
[[nodiscard]] constexpr bool OKIClockSupported(uint32_t hz) noexcept {
    return hz == 4'000'000 || hz == 8'000'000;
}
[[nodiscard]] constexpr bool OKIDividerSupported(uint32_t divider) noexcept {
    return divider == 512 || divider == 768 || divider == 1024;
}

// The nearest standard crystal when within 0.1 %, else the clock itself.
[[nodiscard]] uint32_t SnapToCrystal(uint32_t hz) noexcept;

}  // namespace klink::sim
