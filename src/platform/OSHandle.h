#pragma once
// The operating-system handle of an open port as the rest of the system passes
// it around: an unsigned 64-bit value with all bits set when nothing is open.
// On POSIX it holds a file descriptor; on Windows a HANDLE.

#include <cstdint>

namespace klink::platform {

using OSHandle = std::uint64_t;

// "Not connected": all bits set, the same value the Windows API calls
// INVALID_HANDLE_VALUE.
inline constexpr OSHandle kInvalidOSHandle = ~OSHandle{0};

[[nodiscard]] constexpr bool IsValidHandle(OSHandle handle) noexcept { return handle != kInvalidOSHandle; }

}  // namespace klink::platform
