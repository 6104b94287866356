#include "platform/Process.h"
#include "platform/Win32Support.h"

namespace klink::platform {

std::uint32_t CurrentProcessId() noexcept { return GetCurrentProcessId(); }

}  // namespace klink::platform
