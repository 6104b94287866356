// POSIX user folders: the XDG base-directory rules for configuration.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/UserFolders.h"

namespace klink::platform {
namespace {

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    // No HOME (a service, a stripped environment): ask the password database.
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && *found->pw_dir != '\0') {
        return found->pw_dir;
    }
    return ".";
}

}  // namespace

std::filesystem::path LocalAppDataFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    // Relative values are invalid by the XDG rules and are ignored.
    if (config != nullptr && *config == '/') {
        return config;
    }
    return std::filesystem::path(HomeFolder()) / ".config";
}

}  // namespace klink::platform
