#pragma once
// Loading one VGM or VGZ file into memory: the whole, uncompressed file as one
// byte array that every later step reads.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace klink {

// Largest result accepted from gzip data (bytes). Offsets into the file are
// unsigned 32-bit, and this keeps every offset plus a small length in range.
inline constexpr uint64_t kMaxDecompressedVGMSize = 0x7FFFFFFD;

// Reads the file at `path`. gzip content (first bytes 0x1F 0x8B) is inflated,
// whatever the file's name. Throws OSError when the file cannot be read and
// ReadError for bad gzip data, a too short file or a wrong signature.
[[nodiscard]] std::vector<uint8_t> LoadVGMFile(const std::filesystem::path& path);

// The same checks on bytes already in memory (the file's raw content).
[[nodiscard]] std::vector<uint8_t> DecodeVGMBytes(std::vector<uint8_t> raw);

// Inflates the first gzip member of `compressed`. Throws ReadError.
[[nodiscard]] std::vector<uint8_t> InflateGzip(std::span<const uint8_t> compressed);

// Reads a whole file; throws OSError with the system's text.
[[nodiscard]] std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path);

}  // namespace klink
