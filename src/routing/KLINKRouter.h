#pragma once
// KLINKRouter: up to two board connections as one output for the playback
// thread. It owns one connection (a serial link bound to its buffered writer)
// per connected port, probes and describes the boards, builds the route plan,
// brings the used boards into a defined state before playback, forwards every
// register write to the connection the plan names, hands the ADPCM and KL2
// DAC paths the connection they need, and resets the boards it started when
// playback ends.
//
// One router per playback. Not thread-safe: only the playback thread calls
// it; the writers are threads of their own.
//
// Calling order: construct -> Prepare -> (log Description) -> Start -> one
// playback path -> Stop (exactly once, also after a failure) -> destroy.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "kl2/KL2DACCodec.h"
#include "platform/OSHandle.h"
#include "protocol/KLINKConnection.h"
#include "protocol/KLINKSerialLink.h"
#include "routing/KLINKRouting.h"
#include "vgm/KLINKVGMTarget.h"

namespace klink {

// The open port of one connection as the window hands it over. Handle 0 and
// the invalid handle (all ones) both mean that no board is connected there.
struct KLINKPort {
    platform::OSHandle handle = platform::kInvalidOSHandle;
    std::string name;  // display name, e.g. "COM3"; prefixes messages and the description
};

// Index 0 is connection 1 (upper COM selector), index 1 connection 2.
using KLINKPorts = std::array<KLINKPort, kKLINKConnectionCount>;

// Whether a port handle names an open port for the router.
[[nodiscard]] constexpr bool IsConnectedPort(platform::OSHandle handle) noexcept {
    return handle != 0 && platform::IsValidHandle(handle);
}

class KLINKRouter {
public:
    // Creates a connection (a writer thread and a link attached to the
    // handle) for every connected port, connection 1 first. The ports stay
    // owned by the caller and must stay open until this router is destroyed.
    explicit KLINKRouter(const KLINKPorts& ports);
    // Shuts every writer down and frees the connections, connection 1 first,
    // then the plan. Resets no board: that is Stop's work.
    ~KLINKRouter();
    KLINKRouter(const KLINKRouter&) = delete;
    KLINKRouter& operator=(const KLINKRouter&) = delete;

    // Probes every connected board, reads its identity and capability table
    // (failures prefixed "<port name>: "), builds the route plan, reads the
    // KL2 DAC capabilities when `useKl2Dac` and the plan has a DAC board, and
    // builds Description. `okiClock` nonzero: the file has an OKIM6258 stream.
    // WriteError "Connect at least one KLINK device before playback." without
    // any connected port; plan refusals pass unchanged.
    void Prepare(std::span<const KLINKVGMTarget> targets, std::span<const KLINKVGMClock> clocks,
                 uint32_t okiClock, const KLINKCancel& cancel, bool useKl2Dac);

    // Builds the plan again for other file facts (a board-timed play routes
    // differently) from the boards Prepare probed, without asking them again,
    // except for the KL2 DAC capabilities when `useKl2Dac`. A refused plan
    // throws as Prepare does and leaves the current plan and Description in
    // place. Only between Prepare and Start.
    void Replan(std::span<const KLINKVGMTarget> targets, std::span<const KLINKVGMClock> clocks,
                uint32_t okiClock, const KLINKCancel& cancel, bool useKl2Dac);

    // Resets every used board and sets full volume, every requested chip
    // clock, the OKIM6258 clock on the audio board, and opens the startup
    // window on "Keltra 2" / "Keltra 2.1" boards. WriteError "No clock
    // route." for a clock whose chip has no route. Needs a prepared plan.
    void Start(std::span<const KLINKVGMClock> clocks, uint32_t okiClock, const KLINKCancel& cancel);

    // Resets again every board Start reset and shuts every writer down,
    // whatever fails. Then, when a reset failed, WriteError "KLINK stop
    // failed: " followed by "<port name> RESET: <message>; " for each.
    void Stop();

    // One register batch (register pairs, or plain bytes for the SN76489
    // targets 0x30 and 0x50) to the connection that plays the chip.
    // WriteError "No register route." when it has none.
    void WriteRegisters(uint8_t writeId, uint8_t instance, uint8_t page, std::span<const uint8_t> data,
                        const KLINKCancel& cancel);
    // SET_OUTPUT_VOLUME on every used connection, connection 1 first.
    void SetVolume(uint8_t attenuation, const KLINKCancel& cancel, bool waitForReply);
    // The final startup PING on every used connection.
    void SynchronizeStartup(const KLINKCancel& cancel);
    // Lowers every used writer's backlog limit for timed streaming.
    void PreparePlayback();
    // Waits until every writer, used or not, has handed its bytes to the port.
    void Drain();

    // True when the target's chip plays on the KL2 DAC board. Never fails.
    [[nodiscard]] bool IsDACRoute(const KLINKVGMTarget& target) const noexcept;
    // Bytes waiting in the writer of the target's connection. WriteError
    // "No register route." when the chip has no route.
    [[nodiscard]] int64_t RegisterPendingBytes(const KLINKVGMTarget& target);

    // The connection of the KL2 DAC board; WriteError "No KL2 DAC route.".
    [[nodiscard]] KLINKConnection& DACConnection();
    // The connection of the OKIM6258 stream board; WriteError "No audio route.".
    [[nodiscard]] KLINKConnection& AudioConnection();

    // The probe lines of every board, then the routing lines; CR LF line ends.
    [[nodiscard]] const std::string& Description() const noexcept { return description_; }
    // Filled by Prepare for KL2 DAC playback, zeros otherwise.
    [[nodiscard]] const KL2DACCapabilities& DACCapabilities() const noexcept { return dacCapabilities_; }
    // The plan once Prepare has built it, else nullptr.
    [[nodiscard]] const KLINKRoutePlan* Plan() const noexcept { return plan_.get(); }
    [[nodiscard]] const KLINKPorts& Ports() const noexcept { return ports_; }
    // Connection `index` (0 = connection 1); nullptr where no port is
    // connected or the index is outside 0..1.
    [[nodiscard]] KLINKConnection* Connection(int32_t index) noexcept;

private:
    [[nodiscard]] bool Uses(int32_t index) const noexcept;
    // The connection the plan names for the target's chip; WriteError "No
    // register route." when there is none.
    [[nodiscard]] KLINKConnection& RegisterConnection(const KLINKVGMTarget& target);
    // The connection at a device index the plan gave (-1: none); WriteError
    // `noRoute` when there is none.
    [[nodiscard]] KLINKConnection& RoutedConnection(int32_t device, const char* noRoute);
    void ProbeBoard(int32_t index, const KLINKCancel& cancel);
    void BuildPlan(const KLINKDeviceCapabilities& caps, const KLINKDeviceNames& names,
                   std::span<const KLINKVGMTarget> targets, std::span<const KLINKVGMClock> clocks,
                   uint32_t okiClock, const KLINKCancel& cancel, bool useKl2Dac);

    KLINKPorts ports_;
    std::array<std::optional<KLINKConnection>, kKLINKConnectionCount> connections_;
    std::array<bool, kKLINKConnectionCount> resetRequired_{};
    std::unique_ptr<KLINKRoutePlan> plan_;
    std::string description_;
    std::string probeText_;  // the probe lines of Description
    KL2DACCapabilities dacCapabilities_;
};

}  // namespace klink
