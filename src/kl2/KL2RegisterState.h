#pragma once
// Makes every SN76489 write to a KL2 board self-contained.

#include <array>
#include <cstdint>

#include "vgm/KLINKVGMTarget.h"

namespace klink {

// On the SN76489 a data byte (bit 7 clear) changes whichever register the last
// latch byte (bit 7 set) selected. Writes that travel as timed events or are
// interleaved with other writes cannot rely on that hidden state, so Transform
// follows the latches of both PSGs and rewrites each data byte into a form that
// names its register: a latch byte for attenuation and noise, or the channel's
// last frequency latch sent again in front of a tone data byte.
//
// SN76489 register numbers (bits 6-4 of a latch byte): 0, 2, 4 tone frequency
// of channels 0, 1, 2; 1, 3, 5, 7 attenuation of channels 0, 1, 2 and noise;
// 6 noise control.
class KL2RegisterState {
public:
    KL2RegisterState() = default;

    // `target` is the chip and port, `address` the register byte (unused by the
    // rule), `value` the byte to be written. Returns true when the caller must
    // write `prefix` to the same target first and then `value`; false when `value`
    // (possibly rewritten) goes alone, with `prefix` 0. YM2612 writes other than
    // the first chip's two ports fail with WriteError "Invalid KL2 YM2612
    // register target.", a PSG Instance above 1 with "Invalid KL2 PSG
    // instance."; writes for any other chip pass unchanged.
    [[nodiscard]] bool Transform(const KLINKVGMTarget& target, uint8_t address, uint8_t& value,
                                 uint8_t& prefix);

private:
    // Register (0..7) the last latch byte of each PSG selected.
    std::array<uint8_t, 2> snRegister_{0, 0};
    // Last frequency latch byte of each PSG's three tone channels.
    std::array<std::array<uint8_t, 3>, 2> snToneLatch_{{{0x80, 0xA0, 0xC0}, {0x80, 0xA0, 0xC0}}};
};

}  // namespace klink
