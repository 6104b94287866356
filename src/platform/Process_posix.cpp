#include <unistd.h>

#include "platform/Process.h"

namespace klink::platform {

std::uint32_t CurrentProcessId() noexcept { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace klink::platform
