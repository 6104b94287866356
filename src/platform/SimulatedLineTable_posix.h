#pragma once
// The serial layer's own bookkeeping for ports opened on a simulated line
// (SimulatedLine.h): per descriptor, the bytes written since the port was
// opened or purged, the board's count at that moment, and the driver queue
// size asked for. Internal to the POSIX serial layer; every function is
// thread-safe and does nothing for a descriptor that is not on such a line.

#include <cstdint>
#include <optional>

#include "platform/SimulatedLine.h"

namespace klink::platform::detail {

// Looks for the record of the line behind `fd` and keeps it until Detach.
void AttachSimulatedLine(int fd) noexcept;
void DetachSimulatedLine(int fd) noexcept;
[[nodiscard]] std::optional<SimulatedLineKind> SimulatedLineKindOf(int fd) noexcept;
// SetupSerialQueues: the queue holds at most this many bytes (128..65535).
void SetSimulatedQueueSize(int fd, std::uint32_t bytes) noexcept;
// Bytes written that the board has not yet taken off its line.
[[nodiscard]] std::optional<std::uint32_t> SimulatedOutputQueue(int fd) noexcept;
// How many more bytes the queue takes now.
[[nodiscard]] std::optional<std::uint32_t> SimulatedQueueRoom(int fd) noexcept;
// A write of `count` bytes is about to be made; then the part it did not write.
void SimulatedBytesWriting(int fd, std::uint32_t count) noexcept;
void SimulatedBytesUnwritten(int fd, std::uint32_t count) noexcept;
// The queue was purged: count from the board's present position.
void SimulatedQueuePurged(int fd) noexcept;

}  // namespace klink::platform::detail
