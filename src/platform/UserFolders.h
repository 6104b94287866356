#pragma once
// Per-user folders the program keeps its own files in.

#include <filesystem>

namespace klink::platform {

// The user's local application-data folder: %LOCALAPPDATA% on Windows (the
// user's profile folder when the variable is empty or missing); on
// POSIX $XDG_CONFIG_HOME when it names an absolute path, else ~/.config
// (HOME, or the password database's home folder when HOME is empty). The
// folder may not exist yet.
[[nodiscard]] std::filesystem::path LocalAppDataFolder();

}  // namespace klink::platform
