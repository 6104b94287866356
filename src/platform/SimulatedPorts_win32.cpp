// Windows has no pseudo-terminals, so no simulated board can publish a port
// here: the folder exists for symmetry, lists nothing and takes no links.
#include "common/Errors.h"
#include "platform/SimulatedPorts.h"
#include "platform/SystemError.h"
#include "platform/Win32Support.h"

namespace klink::platform {
namespace {

namespace fs = std::filesystem;

void CheckName(std::string_view name) {
    if (!IsSimulatedPortName(name)) {
        throw ArgumentOutOfRange("Invalid simulated port name \"" + std::string(name) +
                                 "\": it must start with \"sim-\" and contain no \"/\".");
    }
}

}  // namespace

fs::path SimulatedPortFolder() {
    std::wstring temp(MAX_PATH + 1, L'\0');
    const DWORD length = GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
    temp.resize(length > 0 && length < temp.size() ? length : 0);
    return (temp.empty() ? fs::path(L".") : fs::path(temp)) / "klinksim";
}

fs::path EnsureSimulatedPortFolder() {
    const fs::path folder = SimulatedPortFolder();
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        win32::ThrowLastError();
    }
    return folder;
}

fs::path CreateSimulatedPortLink(std::string_view name, const fs::path& device) {
    CheckName(name);
    return CreateSimulatedPortLink(SimulatedPortFolder(), name, device);
}

fs::path CreateSimulatedPortLink(const fs::path& folder, std::string_view name, const fs::path&) {
    CheckName(name);
    const fs::path link = folder / std::string(name);
    throw OSError(ERROR_NOT_SUPPORTED,
                  win32::Narrow(link.native()) + ": " + SystemErrorText(ERROR_NOT_SUPPORTED));
}

bool RemoveSimulatedPortLink(std::string_view) noexcept { return false; }

bool RemoveSimulatedPortLink(const fs::path&, std::string_view) noexcept { return false; }

std::vector<SerialPortEntry> ListSimulatedPorts(const fs::path&) { return {}; }

}  // namespace klink::platform
