#pragma once
// The timing of a 115200 baud 8N1 serial line (11520 bytes per second) in
// each direction, in nanoseconds on the board's clock. The board takes bytes
// off its input no faster than they could have arrived, and its replies leave
// no faster than they could be sent. With throttling off every byte is there
// the moment it is seen.

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "SimBoardModel.h"

namespace klink::sim {

inline constexpr int64_t kLineBytesPerSecond = 11520;

// Arrival times of incoming bytes.
class SimInputLine {
public:
    explicit SimInputLine(bool throttled) : throttled_(throttled) {}

    [[nodiscard]] bool Busy() const noexcept { return busy_; }
    // New bytes were seen at nowNs while the line was idle; they arrive one
    // byte time after another from then on (or from the end of the last byte).
    void Detected(int64_t nowNs) noexcept;
    // How many more bytes have fully arrived by nowNs.
    [[nodiscard]] uint64_t Due(int64_t nowNs) const noexcept;
    // Takes the next byte; returns the time its last bit arrived.
    int64_t Consume(int64_t nowNs) noexcept;
    // The sender has nothing more queued: the line is idle.
    void Drained() noexcept { busy_ = false; }
    // When the next byte will have arrived (only meaningful while busy).
    [[nodiscard]] int64_t NextDueNs() const noexcept;

private:
    [[nodiscard]] int64_t ArrivalOf(uint64_t n) const noexcept;

    bool throttled_;
    bool busy_ = false;
    int64_t baseNs_ = 0;
    uint64_t count_ = 0;
    int64_t endNs_ = 0;
};

// Replies queued for sending, paced at the line rate.
class SimOutputLine {
public:
    explicit SimOutputLine(bool throttled) : throttled_(throttled) {}

    void Push(SimReply reply);
    // The bytes that have been sent by nowNs and not yet committed.
    [[nodiscard]] std::span<const uint8_t> Due(int64_t nowNs);
    // `n` of the due bytes were handed on.
    void Commit(size_t n);
    [[nodiscard]] bool Empty() const noexcept { return queue_.empty(); }
    // When the next byte will be due; only meaningful when not Empty.
    [[nodiscard]] int64_t NextDueNs() const noexcept;
    void Clear() noexcept;

private:
    [[nodiscard]] int64_t EndOf(size_t index) const noexcept;  // end time of byte `index` of the head reply

    bool throttled_;
    std::deque<SimReply> queue_;
    size_t offset_ = 0;    // bytes of the head reply already handed on
    int64_t beginNs_ = 0;  // when the head reply's first byte started
    bool begun_ = false;
    int64_t freeNs_ = 0;  // when the line finished its last byte
};

}  // namespace klink::sim
