#pragma once
// The 4-bit OKI/Dialogic ADPCM codec of the OKIM6258 sample format.

#include <cstdint>

namespace klink {

// Decoder and encoder state in one plain value. The encoder advances through the
// same step as the decoder, so after encoding a run of nibbles its state is the
// state a decoder reaches by playing them: a board that decodes the stream stays
// in step with the host.
//
// A nibble holds the sign in bit 3 (set = subtract) and magnitude bits 2, 1, 0
// worth step, step/2 and step/4; step/8 is always added.
struct OKICodec {
    int32_t signal = -2;    // decoder output, always -2048..2047 (12 bits)
    int32_t stepIndex = 0;  // index into the step table, always 0..48

    // The chip's own power-on state: the output starts at -2, not 0.
    void Reset() noexcept {
        signal = -2;
        stepIndex = 0;
    }

    // Applies the low four bits of `nibble` and returns the new `signal`.
    int32_t Decode(uint8_t nibble) noexcept;

    // Chooses the nibble (0..15) whose sign and magnitude bits approximate the
    // distance from `signal` to `target` (each bit taken when the rest still reaches
    // its weight), applies it as Decode does and returns it. Targets beyond the
    // 12-bit range count as -2048 or 2047.
    uint8_t Encode(int32_t target) noexcept;
};

}  // namespace klink
