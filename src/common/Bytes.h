#pragma once
// Little-endian reads and writes of unsigned fields in byte buffers: VGM
// files, KLINK frames and payloads, and everything the simulated boards
// build. Every multi-byte field this system reads or writes is
// little-endian.
//
// Loads and stores do not check bounds: the caller checks first (FitsIn, or
// a size check of its own) and reports a shortfall with its own message.
// Width-generic forms take 0..8 bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace klink {

// True when `length` bytes from `at` lie inside `bytes`. Never wraps, whatever
// `at` and `length` are.
[[nodiscard]] constexpr bool FitsIn(std::span<const uint8_t> bytes, uint64_t at, uint64_t length) noexcept {
    return at <= bytes.size() && length <= bytes.size() - at;
}

// The `width`-byte field at `at` (width 0..8; 0 reads as 0).
[[nodiscard]] constexpr uint64_t LoadLE(std::span<const uint8_t> bytes, size_t at, size_t width) noexcept {
    uint64_t value = 0;
    for (size_t i = width; i > 0; --i) {
        value = (value << 8) | bytes[at + i - 1];
    }
    return value;
}

[[nodiscard]] constexpr uint16_t LoadLE16(std::span<const uint8_t> bytes, size_t at) noexcept {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

[[nodiscard]] constexpr uint32_t LoadLE32(std::span<const uint8_t> bytes, size_t at) noexcept {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

[[nodiscard]] constexpr uint64_t LoadLE64(std::span<const uint8_t> bytes, size_t at) noexcept {
    return uint64_t{LoadLE32(bytes, at)} | uint64_t{LoadLE32(bytes, at + 4)} << 32;
}

// Writes the low `width` bytes of `value` at `at` (width 0..8).
constexpr void StoreLE(std::span<uint8_t> bytes, size_t at, uint64_t value, size_t width) noexcept {
    for (size_t i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

constexpr void StoreLE16(std::span<uint8_t> bytes, size_t at, uint16_t value) noexcept {
    StoreLE(bytes, at, value, 2);
}

constexpr void StoreLE32(std::span<uint8_t> bytes, size_t at, uint32_t value) noexcept {
    StoreLE(bytes, at, value, 4);
}

constexpr void StoreLE64(std::span<uint8_t> bytes, size_t at, uint64_t value) noexcept {
    StoreLE(bytes, at, value, 8);
}

// The bytes of a field, for payloads written as literals.
[[nodiscard]] constexpr std::array<uint8_t, 2> LE16Bytes(uint16_t value) noexcept {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
}

[[nodiscard]] constexpr std::array<uint8_t, 4> LE32Bytes(uint32_t value) noexcept {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

// Appends the low `width` bytes of `value` (width 0..8).
inline void AppendLE(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

inline void AppendLE16(std::vector<uint8_t>& out, uint16_t value) { AppendLE(out, value, 2); }

inline void AppendLE32(std::vector<uint8_t>& out, uint32_t value) { AppendLE(out, value, 4); }

inline void AppendLE64(std::vector<uint8_t>& out, uint64_t value) { AppendLE(out, value, 8); }

}  // namespace klink
