#pragma once
// The line of a simulated board, as the host's serial layer sees it.
//
// A pseudo-terminal shows the host no output queue: whatever the board has not
// yet taken off its (paced) line sits unseen in the kernel's buffer, which is
// larger than a real driver's queue. So a simulated board publishes how many
// bytes it has taken off its line, in a small shared record beside its port,
// and the serial layer of the host turns that into a driver queue of its own
// for the ports it opens on such a line: writes wait while the queue holds as
// many bytes as SetupSerialQueues asked for (4096 until then), and the
// queue's count is the output count of QuerySerialQueues. Draining, backlog
// limits and reply time-outs then behave as on a real port.
//
// The record lives in the simulated-port folder, named after the device
// number of the pseudo-terminal, and is held locked by the board while it
// runs, so a record left by a simulator that died is ignored.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/OSHandle.h"

namespace klink::platform {

// How a simulated board paces its line. The numbers are stored in the record.
enum class SimulatedLineKind : std::uint32_t {
    kUart = 1,         // 115200 baud 8N1: 11520 bytes per second each way
    kUsb = 2,          // full-speed USB CDC-ACM: 64-byte packets in 1 ms frames
    kUnthrottled = 3,  // as fast as the pseudo-terminal goes
};

// The shared record; plain data in a mapped file.
struct SimulatedLineRecord {
    static constexpr std::uint32_t kMagic = 0x4C53'4C4B;  // "KLSL"
    static constexpr std::uint32_t kVersion = 1;

    std::uint32_t magic = kMagic;
    std::uint32_t version = kVersion;
    std::uint64_t device = 0;  // device number of the pseudo-terminal the host opens
    std::uint32_t kind = 0;    // SimulatedLineKind
    std::uint32_t reserved = 0;
    // Bytes the board has taken off its line since it started (bytes it
    // dropped while the port was closed included). Only the board writes it.
    std::atomic<std::uint64_t> taken{0};
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// The board's side: creates and holds the record for the device at
// `devicePath` until destroyed. Throws OSError when the record cannot be made.
class SimulatedLinePublisher {
public:
    SimulatedLinePublisher(const std::string& devicePath, SimulatedLineKind kind);
    ~SimulatedLinePublisher();
    SimulatedLinePublisher(const SimulatedLinePublisher&) = delete;
    SimulatedLinePublisher& operator=(const SimulatedLinePublisher&) = delete;

    // `count` more bytes were taken off the line.
    void Taken(std::uint64_t count) noexcept;

private:
    SimulatedLineRecord* record_ = nullptr;
    int fd_ = -1;
    std::string path_;
};

// The host's side, used by the serial layer itself: the kind of simulated
// line behind an open port, or nothing for every other port.
[[nodiscard]] std::optional<SimulatedLineKind> SimulatedLineOf(OSHandle port);

}  // namespace klink::platform
