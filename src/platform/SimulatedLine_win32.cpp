// Windows has no pseudo-terminals and so no simulated lines: a publisher
// keeps nothing and no port is on a simulated line.
#include "platform/SimulatedLine.h"

namespace klink::platform {

SimulatedLinePublisher::SimulatedLinePublisher(const std::string&, SimulatedLineKind) {}

SimulatedLinePublisher::~SimulatedLinePublisher() = default;

void SimulatedLinePublisher::Taken(std::uint64_t) noexcept {}

std::optional<SimulatedLineKind> SimulatedLineOf(OSHandle) { return std::nullopt; }

}  // namespace klink::platform
