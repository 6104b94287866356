#pragma once
// Loading one VGM or VGZ file into memory: the whole, uncompressed file as one
// byte array that every later step reads.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace klink {

// Leaves bytes that a resize adds as they are: the reader or the inflater
// writes every one of them next, and a zero fill first would be a second pass
// over tens of megabytes.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() noexcept = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// A whole VGM file in memory.
using VGMBytes = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;

// Largest result accepted from gzip data (bytes). Offsets into the file are
// unsigned 32-bit, and this keeps every offset plus a small length in range.
inline constexpr uint64_t kMaxDecompressedVGMSize = 0x7FFFFFFD;

// Reads the file at `path`. gzip content (first bytes 0x1F 0x8B) is inflated,
// whatever the file's name. Throws OSError when the file cannot be read and
// ReadError for bad gzip data, a too short file or a wrong signature.
[[nodiscard]] VGMBytes LoadVGMFile(const std::filesystem::path& path);

// The same checks on bytes already in memory (the file's raw content).
[[nodiscard]] VGMBytes DecodeVGMBytes(VGMBytes raw);

// Inflates the first gzip member of `compressed`. Throws ReadError.
[[nodiscard]] VGMBytes InflateGzip(std::span<const uint8_t> compressed);

// Reads a whole file; throws OSError with the system's text.
[[nodiscard]] VGMBytes ReadWholeFile(const std::filesystem::path& path);

}  // namespace klink
