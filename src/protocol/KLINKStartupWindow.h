#pragma once
// Counts the packet bytes sent to a board while it is being set up, so that
// no more than its 2048-byte receive buffer is ever unacknowledged. When the
// next packet would exceed that, the serial link first sends a fence (an
// empty PING) and waits for its reply. Sizes are wire bytes: the whole
// encoded frame with both delimiters. A plain value; no I/O.

#include <cstdint>

namespace klink {

inline constexpr int32_t kStartupWindowBytes = 2048;

struct KLINKStartupWindow {
    bool active = false;  // false: the window limits nothing
    int32_t pending = 0;  // packet bytes sent since the last fence

    // Starts limiting, with nothing pending.
    void BeginTransfer() noexcept;

    // True when the window is active and a packet of `packetBytes` would not
    // fit before a fence. Throws ArgumentOutOfRange "Invalid KLINK startup
    // packet size." when `packetBytes` is negative or above 2048.
    [[nodiscard]] bool NeedsFence(int32_t packetBytes) const;

    // Counts a packet that was sent. Throws WriteError "KLINK startup
    // acknowledgment window exceeded." when it needed a fence first; a
    // failing call changes nothing.
    void Submitted(int32_t packetBytes);

    // A fence reply arrived: everything sent before it has been taken in.
    void FenceCompleted() noexcept;

    // Stops limiting and forgets the pending bytes.
    void FinishTransfer() noexcept;
};

}  // namespace klink
