// Simulated ports: symbolic links in a private per-user folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "common/Errors.h"
#include "platform/SimulatedPorts.h"

namespace klink::platform {
namespace {

namespace fs = std::filesystem;

bool UsableFolder(const char* dir) {
    if (dir == nullptr || dir[0] != '/') {
        return false;
    }
    struct stat st {};
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && access(dir, W_OK | X_OK) == 0;
}

// A folder that other users could plant links in is not trusted.
bool PrivateFolder(const fs::path& folder) {
    struct stat st {};
    return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void CheckName(std::string_view name) {
    if (!IsSimulatedPortName(name)) {
        throw ArgumentOutOfRange("Invalid simulated port name \"" + std::string(name) +
                                 "\": it must start with \"sim-\" and contain no \"/\".");
    }
}

}  // namespace

fs::path SimulatedPortFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (UsableFolder(runtime)) {
        return fs::path(runtime) / "klinksim";
    }
    return fs::path("/tmp") / ("klinksim-" + std::to_string(geteuid()));
}

fs::path EnsureSimulatedPortFolder() {
    const fs::path folder = SimulatedPortFolder();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw OSError::FromErrno(errno, folder.string());
    }
    if (!PrivateFolder(folder)) {
        throw OSError(EACCES, folder.string() + ": not a private folder of this user");
    }
    return folder;
}

fs::path CreateSimulatedPortLink(std::string_view name, const fs::path& device) {
    CheckName(name);
    return CreateSimulatedPortLink(EnsureSimulatedPortFolder(), name, device);
}

fs::path CreateSimulatedPortLink(const fs::path& folder, std::string_view name, const fs::path& device) {
    CheckName(name);
    const fs::path link = folder / std::string(name);
    // Make the link under a temporary name, then rename it into place, so a
    // port list never sees a half-made or missing link while one is replaced.
    // Appended piece by piece: GCC 12 at -O3 misreads "." + std::string(...)
    // as an overlapping copy (-Wrestrict).
    std::string tempName = ".";
    tempName.append(name).append(".").append(std::to_string(getpid()));
    const fs::path temp = folder / tempName;
    unlink(temp.c_str());
    if (symlink(device.c_str(), temp.c_str()) != 0) {
        throw OSError::FromErrno(errno, link.string());
    }
    if (rename(temp.c_str(), link.c_str()) != 0) {
        const int code = errno;
        unlink(temp.c_str());
        throw OSError::FromErrno(code, link.string());
    }
    return link;
}

bool RemoveSimulatedPortLink(std::string_view name) noexcept {
    try {
        return RemoveSimulatedPortLink(SimulatedPortFolder(), name);
    } catch (...) {
        return false;
    }
}

bool RemoveSimulatedPortLink(const fs::path& folder, std::string_view name) noexcept {
    if (!IsSimulatedPortName(name)) {
        return false;
    }
    try {
        const fs::path link = folder / std::string(name);
        struct stat st {};
        if (lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return false;
        }
        return unlink(link.c_str()) == 0;
    } catch (...) {
        return false;
    }
}

std::vector<SerialPortEntry> ListSimulatedPorts(const fs::path& folder) {
    std::vector<SerialPortEntry> ports;
    if (!PrivateFolder(folder)) {
        return ports;
    }
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        struct stat link {};
        struct stat target {};
        if (!IsSimulatedPortName(name) || lstat(it->path().c_str(), &link) != 0 || !S_ISLNK(link.st_mode) ||
            stat(it->path().c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) {
            continue;
        }
        ports.push_back({name, it->path().string(), true});
    }
    return ports;
}

}  // namespace klink::platform
