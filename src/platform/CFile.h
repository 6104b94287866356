#pragma once
// Opening a C stream by path, so that every character of the name counts:
// Windows opens by the UTF-16 name, not through the ANSI code page.

#include <cstdio>
#include <filesystem>

namespace klink::platform {

// std::fopen for a path: the same modes ("rb", "wb", ...), null with errno
// set on failure.
[[nodiscard]] std::FILE* OpenCFile(const std::filesystem::path& path, const char* mode) noexcept;

}  // namespace klink::platform
