#pragma once
// Counts the packet bytes in flight to a board during streamed playback:
// at most 4096 bytes of data packets, and 2048 more for control packets,
// may be sent before a reply proves the board has taken them in. A reply
// confirms every packet byte sent before its request. Sizes are wire bytes:
// the whole encoded frame with both delimiters. A plain value; no I/O.

#include <cstdint>

namespace klink {

inline constexpr int32_t kReceiveWindowBytes = 4096;
inline constexpr int32_t kReceiveControlReserveBytes = 2048;
inline constexpr int32_t kReceiveControlLimitBytes = kReceiveWindowBytes + kReceiveControlReserveBytes;
// What Available reports while the window limits nothing.
inline constexpr int32_t kReceiveUnlimited = 2147483647;

struct KLINKReceiveWindow {
    bool active = false;
    uint64_t submitted = 0;  // packet bytes sent since BeginTransfer
    uint64_t confirmed = 0;  // highest submitted value a reply has confirmed

    // Starts limiting with both counters at 0.
    void BeginTransfer() noexcept;

    // Stops limiting; the counters stay.
    void FinishTransfer() noexcept;

    // Packet bytes sent but not yet confirmed.
    [[nodiscard]] uint64_t InFlight() const noexcept;

    // Data-packet bytes that may still be sent: 2147483647 while inactive,
    // else 4096 minus the bytes in flight, never below 0.
    [[nodiscard]] int32_t Available() const noexcept;

    // True when a packet of `packetBytes` fits: always while inactive, else
    // within 4096 bytes in flight (6144 for a control packet). Throws
    // ArgumentOutOfRange "Invalid KLINK receive-window packet size." when
    // `packetBytes` is negative or above 6144.
    [[nodiscard]] bool CanSubmit(int32_t packetBytes, bool control) const;

    // Counts a packet that was sent. Throws WriteError "KLINK receive window
    // exceeded." when it did not fit; a failing call changes nothing.
    void Submitted(int32_t packetBytes, bool control);

    // A reply arrived to a request sent when submitted was `fence`. Throws
    // ReadError "Invalid KLINK receive acknowledgment." for a fence beyond
    // the bytes submitted; an older fence changes nothing.
    void Confirm(uint64_t fence);
};

}  // namespace klink
