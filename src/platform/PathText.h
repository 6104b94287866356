#pragma once
// File names as the program keeps them: UTF-8 in std::string, on every
// system. The standard conversions between std::string and
// std::filesystem::path use the system's narrow encoding instead, which on
// Windows is a code page (MinGW's library even takes each byte as one
// character), so a name with characters outside ASCII would change on the
// way. These conversions keep every character.

#include <filesystem>
#include <string>
#include <string_view>

namespace klink::platform {

[[nodiscard]] inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
    return std::filesystem::path(
        std::u8string_view(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

[[nodiscard]] inline std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace klink::platform
