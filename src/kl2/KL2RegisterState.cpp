#include "kl2/KL2RegisterState.h"

#include "common/Errors.h"

namespace klink {

bool TKL2RegisterState::Transform(const TKLINKVGMTarget& Target, uint8_t /*Address*/, uint8_t& Value,
                                  uint8_t& Prefix) {
    Prefix = 0;
    if (Target.WriteID == 0x52 || Target.WriteID == 0x53) {
        if (Target.Page <= 1 && Target.Instance == 0) return false;
        throw WriteError("Invalid KL2 YM2612 register target.");
    }
    if (Target.WriteID != 0x30 && Target.WriteID != 0x50) return false;
    if (Target.Instance > 1) throw WriteError("Invalid KL2 PSG instance.");
    const size_t psg = Target.Instance;

    if (Value & 0x80) {
        const auto r = static_cast<uint8_t>((Value >> 4) & 0x07);
        FSNRegister[psg] = r;
        if (r % 2 == 0 && r != 6) FSNToneLatch[psg][r / 2] = Value;
        return false;
    }
    const uint8_t r = FSNRegister[psg];
    if (r % 2 == 1 || r == 6) {
        // Attenuation and noise control take four bits: a latch carries them whole.
        Value = static_cast<uint8_t>(0x80 | (r << 4) | (Value & 0x0F));
        return false;
    }
    // A tone data byte holds the upper six bits of the frequency; only the
    // channel's latch in front of it makes it land on the right channel.
    Prefix = FSNToneLatch[psg][r / 2];
    return true;
}

}  // namespace klink
