#pragma once
// Reduces a file's time-zero YM2612 key and DAC writes to their final state.

#include <array>
#include <cstdint>
#include <vector>

namespace klink {

// Many files set up the YM2612 at time zero with bursts of key-on/off writes
// (register 0x28) and DAC writes (0x2A) whose intermediate states are never
// heard. This record collects them so that only each channel slot's last key
// value, in the order of those last writes, and the last DAC value are sent.
// A value-initialised record is empty; assign {} to clear it.
struct KL2VGMStartup {
    std::array<uint8_t, 8> keys{};       // last register 0x28 value per slot (value AND 7)
    std::array<uint32_t, 8> keyOrder{};  // running number of each slot's last write, 0 = never
    uint32_t keyWrites = 0;              // key writes so far
    uint32_t dacWrites = 0;              // DAC writes so far
    uint8_t dacValue = 0;                // last DAC value

    // Records a YM2612 register 0x28 write.
    void KeyWrite(uint8_t value) noexcept;
    // Records a YM2612 register 0x2A write.
    void DACWrite(uint8_t value) noexcept;
    [[nodiscard]] bool HasDACWrite() const noexcept { return dacWrites != 0; }
    // Each slot ever written, once, with its last value, ordered by when that
    // last value was written.
    [[nodiscard]] std::vector<uint8_t> FinalKeys() const;
};

}  // namespace klink
