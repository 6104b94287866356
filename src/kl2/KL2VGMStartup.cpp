#include "kl2/KL2VGMStartup.h"

#include <algorithm>

namespace klink {

void TKL2VGMStartup::KeyWrite(uint8_t Value) noexcept {
    FKeyWrites += 1;
    const size_t slot = Value & 0x07;
    FKeys[slot] = Value;
    FKeyOrder[slot] = FKeyWrites;
}

void TKL2VGMStartup::DACWrite(uint8_t Value) noexcept {
    FDACWrites += 1;
    FDACValue = Value;
}

std::vector<uint8_t> TKL2VGMStartup::FinalKeys() const {
    std::vector<size_t> slots;
    for (size_t slot = 0; slot < FKeyOrder.size(); ++slot) {
        if (FKeyOrder[slot] != 0) slots.push_back(slot);
    }
    // Running numbers are unique, so this is the order of the last writes.
    std::sort(slots.begin(), slots.end(), [this](size_t a, size_t b) { return FKeyOrder[a] < FKeyOrder[b]; });
    std::vector<uint8_t> keys;
    keys.reserve(slots.size());
    for (size_t slot : slots) keys.push_back(FKeys[slot]);
    return keys;
}

}  // namespace klink
