#pragma once
// Little-endian reads from a VGM byte array. Callers check bounds first (in
// 64 bits, so that offset + length never wraps); these only read.

#include <cstdint>
#include <span>

namespace klink {

[[nodiscard]] inline uint32_t PeekLE32(std::span<const uint8_t> bytes, uint64_t at) noexcept {
    const uint8_t* p = bytes.data() + at;
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

[[nodiscard]] inline bool FitsIn(std::span<const uint8_t> bytes, uint64_t at, uint64_t length) noexcept {
    return at + length <= bytes.size();
}

}  // namespace klink
