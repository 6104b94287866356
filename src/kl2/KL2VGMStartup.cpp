#include "kl2/KL2VGMStartup.h"

#include <algorithm>

namespace klink {

void KL2VGMStartup::KeyWrite(uint8_t value) noexcept {
    keyWrites += 1;
    const size_t slot = value & 0x07;
    keys[slot] = value;
    keyOrder[slot] = keyWrites;
}

void KL2VGMStartup::DACWrite(uint8_t value) noexcept {
    dacWrites += 1;
    dacValue = value;
}

std::vector<uint8_t> KL2VGMStartup::FinalKeys() const {
    std::vector<size_t> slots;
    for (size_t slot = 0; slot < keyOrder.size(); ++slot) {
        if (keyOrder[slot] != 0) slots.push_back(slot);
    }
    // Running numbers are unique, so this is the order of the last writes.
    std::sort(slots.begin(), slots.end(), [this](size_t a, size_t b) { return keyOrder[a] < keyOrder[b]; });
    std::vector<uint8_t> finalKeys;
    finalKeys.reserve(slots.size());
    for (size_t slot : slots) finalKeys.push_back(keys[slot]);
    return finalKeys;
}

}  // namespace klink
