#pragma once
// The running process.

#include <cstdint>

namespace klink::platform {

// The system's id of this process; unique among running processes.
[[nodiscard]] std::uint32_t CurrentProcessId() noexcept;

}  // namespace klink::platform
