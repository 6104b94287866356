#pragma once
// The two plain records every subsystem uses to name a chip register target
// and the input clock a file asks for it.

#include <cstdint>

namespace klink {

// A chip register target. `writeId` is the VGM command byte that writes the
// chip's first instance (also the KLINK register-write opcode); `instance` tells
// the first chip (0) from the second (1); `page` is 1 for a second register port.
struct KLINKVGMTarget {
    uint8_t writeId = 0;
    uint8_t instance = 0;
    uint8_t page = 0;

    friend bool operator==(const KLINKVGMTarget&, const KLINKVGMTarget&) = default;
};

// A clock request: normalised writeId, instance and the input clock in Hz
// (bits 30 and 31 clear, never 0 when it comes from a file).
struct KLINKVGMClock {
    uint8_t writeId = 0;
    uint8_t instance = 0;
    uint32_t hertz = 0;

    friend bool operator==(const KLINKVGMClock&, const KLINKVGMClock&) = default;
};

}  // namespace klink
