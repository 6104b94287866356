#pragma once
// Writing a file so that it survives a crash or power loss: write and flush
// to disk, then move it over the old one in a single step.

#include <cstdint>
#include <filesystem>
#include <span>

namespace klink::platform {

// Creates (or truncates) `path`, writes all bytes and flushes them to disk
// before returning. Throws OSError with the system's text; a partly written
// file may remain, the caller removes it.
void WriteFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Moves `from` onto `to`, replacing an existing file in one step, and flushes
// the folder so the move itself is on disk before returning. Both must be in
// the same folder. Throws OSError with the system's text; when the move
// itself failed, `to` is unchanged and `from` is still there.
void ReplaceFileDurably(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace klink::platform
