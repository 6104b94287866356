#pragma once
// Ports of simulated boards. A simulator publishes each board's port as a
// symbolic link in a per-user folder; the link's name is the port's short
// name (it starts with "sim-") and it points at the board's device. The port
// list shows these next to the real ports, so no configuration is needed.
//
// The folder: $XDG_RUNTIME_DIR/klinksim/ when XDG_RUNTIME_DIR names a usable
// folder, otherwise /tmp/klinksim-<uid>/. It is created with mode 0700.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SerialPortList.h"

namespace klink::platform {

inline constexpr std::string_view kSimulatedPortPrefix = "sim-";

// The folder this user's simulated ports live in; it may not exist yet.
[[nodiscard]] std::filesystem::path SimulatedPortFolder();

// Creates the folder if needed and checks that it is a private folder of this
// user (not a link, owned by the user, no access for others). Throws OSError.
std::filesystem::path EnsureSimulatedPortFolder();

// True for a short name a simulated port may have: "sim-" and at least one
// more character, no path separators.
[[nodiscard]] bool IsSimulatedPortName(std::string_view name) noexcept;

// Publishes a port: a link `name` in the folder pointing at `device`,
// replacing a link of that name. Returns the link's full path, which is what
// the port is opened by. Throws ArgumentOutOfRange for a bad name, OSError
// when the folder or the link cannot be made.
std::filesystem::path CreateSimulatedPortLink(std::string_view name, const std::filesystem::path& device);
std::filesystem::path CreateSimulatedPortLink(const std::filesystem::path& folder, std::string_view name,
                                              const std::filesystem::path& device);

// Withdraws a published port. Returns false when there was no such link.
bool RemoveSimulatedPortLink(std::string_view name) noexcept;
bool RemoveSimulatedPortLink(const std::filesystem::path& folder, std::string_view name) noexcept;

// The published ports of `folder` whose device exists (dangling links are
// skipped), by link name, opened by the link's full path. Not sorted. A
// folder that is missing, or not a private folder of this user, lists none.
[[nodiscard]] std::vector<SerialPortEntry> ListSimulatedPorts(const std::filesystem::path& folder);

}  // namespace klink::platform
