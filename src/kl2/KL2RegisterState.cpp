#include "kl2/KL2RegisterState.h"

#include "common/Errors.h"

namespace klink {

bool KL2RegisterState::Transform(const KLINKVGMTarget& target, uint8_t /*Address*/, uint8_t& value,
                                 uint8_t& prefix) {
    prefix = 0;
    if (target.writeId == 0x52 || target.writeId == 0x53) {
        if (target.page <= 1 && target.instance == 0) return false;
        throw WriteError("Invalid KL2 YM2612 register target.");
    }
    if (target.writeId != 0x30 && target.writeId != 0x50) return false;
    if (target.instance > 1) throw WriteError("Invalid KL2 PSG instance.");
    const size_t psg = target.instance;

    if (value & 0x80) {
        const auto r = static_cast<uint8_t>((value >> 4) & 0x07);
        snRegister_[psg] = r;
        if (r % 2 == 0 && r != 6) snToneLatch_[psg][r / 2] = value;
        return false;
    }
    const uint8_t r = snRegister_[psg];
    if (r % 2 == 1 || r == 6) {
        // Attenuation and noise control take four bits: a latch carries them whole.
        value = static_cast<uint8_t>(0x80 | (r << 4) | (value & 0x0F));
        return false;
    }
    // A tone data byte holds the upper six bits of the frequency; only the
    // channel's latch in front of it makes it land on the right channel.
    prefix = snToneLatch_[psg][r / 2];
    return true;
}

}  // namespace klink
