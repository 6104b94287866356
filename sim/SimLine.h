#pragma once
// The timing of a board's line in each direction, in nanoseconds on the
// board's clock. The board takes bytes off its input no faster than they
// could have arrived, and its replies leave no faster than they could be
// sent. Three kinds of line:
// - UART: 115200 baud 8N1, one byte every 1/11520 s, evenly;
// - USB: a full-speed USB CDC-ACM device. Bytes travel in 1 ms frames, at
//   most kUsbBytesPerFrame (eight 64-byte bulk packets) a frame each way;
//   bytes handed over during a frame go in the next one and have arrived at
//   its end, so a byte takes 1 to 2 ms and a burst takes a frame more for
//   every 512 bytes;
// - unthrottled: every byte is there the moment it is seen.

#include <cstdint>
#include <deque>
#include <span>
#include <string_view>
#include <vector>

#include "SimBoardModel.h"
#include "platform/SerialDevice.h"

namespace klink::sim {

enum class SimLineKind : uint8_t { kUart, kUsb, kUnthrottled };

inline constexpr int64_t kLineBytesPerSecond = platform::kUartLineBytesPerSecond;
inline constexpr int64_t kUsbFrameNs = 1'000'000;
inline constexpr uint64_t kUsbBytesPerFrame = 512;
static_assert(kUsbBytesPerFrame * 1000 == platform::kUsbLineBytesPerSecond);

// "uart", "usb", "unthrottled".
[[nodiscard]] std::string_view SimLineKindName(SimLineKind kind) noexcept;

// Arrival times of incoming bytes.
class SimInputLine {
public:
    explicit SimInputLine(SimLineKind kind) : kind_(kind) {}

    [[nodiscard]] bool Busy() const noexcept { return busy_; }
    // New bytes were seen at nowNs while the line was idle; they arrive one
    // after another from then on (or from the end of the last byte).
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

    SimLineKind kind_;
    bool busy_ = false;
    int64_t baseNs_ = 0;
    uint64_t count_ = 0;
    int64_t endNs_ = 0;
};

// Replies queued for sending, paced as the line goes.
class SimOutputLine {
public:
    explicit SimOutputLine(SimLineKind kind) : kind_(kind) {}

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
    // End time of byte `index` of a reply whose first byte was ready at beginNs.
    [[nodiscard]] int64_t EndOf(int64_t beginNs, size_t index) const noexcept;

    SimLineKind kind_;
    std::deque<SimReply> queue_;
    size_t offset_ = 0;    // bytes of the head reply already handed on
    int64_t beginNs_ = 0;  // when the head reply's first byte started
    bool begun_ = false;
    int64_t freeNs_ = 0;  // when the line finished its last byte
};

}  // namespace klink::sim
