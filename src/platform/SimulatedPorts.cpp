// The parts of the simulated-port folder that are the same on every system.
#include "platform/SimulatedPorts.h"

namespace klink::platform {

bool IsSimulatedPortName(std::string_view name) noexcept {
    // Neither separator: the name must stay inside the folder on any system.
    return name.size() > kSimulatedPortPrefix.size() && name.size() <= 255 &&
           name.starts_with(kSimulatedPortPrefix) && name.find_first_of("/\\") == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

}  // namespace klink::platform
