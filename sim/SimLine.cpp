#include "SimLine.h"

#include <algorithm>

namespace klink::sim {
namespace {

int64_t ByteTimes(uint64_t n) { return static_cast<int64_t>(n * 1'000'000'000ull / kLineBytesPerSecond); }

// The end of the USB frame that carries bytes handed over at t: the frame
// after the one running at t.
int64_t UsbFrameEnd(int64_t t) { return (t / kUsbFrameNs + 2) * kUsbFrameNs; }

// The arrival of byte n (1-based) of a burst handed over at baseNs.
int64_t Arrival(SimLineKind kind, int64_t baseNs, uint64_t n) {
    switch (kind) {
        case SimLineKind::kUart:
            return baseNs + ByteTimes(n);
        case SimLineKind::kUsb:
            return UsbFrameEnd(baseNs) + static_cast<int64_t>((n - 1) / kUsbBytesPerFrame) * kUsbFrameNs;
        case SimLineKind::kUnthrottled:
            break;
    }
    return baseNs;
}

}  // namespace

std::string_view SimLineKindName(SimLineKind kind) noexcept {
    switch (kind) {
        case SimLineKind::kUart:
            return "uart";
        case SimLineKind::kUsb:
            return "usb";
        case SimLineKind::kUnthrottled:
            break;
    }
    return "unthrottled";
}

void SimInputLine::Detected(int64_t nowNs) noexcept {
    if (busy_) return;
    busy_ = true;
    // A USB frame carries what was handed over before it began, so a burst
    // seen while the last one still arrives goes in the frame after that.
    baseNs_ = std::max(endNs_, nowNs);
    count_ = 0;
}

int64_t SimInputLine::ArrivalOf(uint64_t n) const noexcept { return Arrival(kind_, baseNs_, n); }

uint64_t SimInputLine::Due(int64_t nowNs) const noexcept {
    if (!busy_) return 0;
    uint64_t arrived = 0;
    switch (kind_) {
        case SimLineKind::kUnthrottled:
            return uint64_t{1} << 20;
        case SimLineKind::kUart:
            if (nowNs <= baseNs_) return 0;
            arrived = static_cast<uint64_t>(nowNs - baseNs_) * kLineBytesPerSecond / 1'000'000'000ull;
            break;
        case SimLineKind::kUsb: {
            const int64_t first = UsbFrameEnd(baseNs_);
            if (nowNs < first) return 0;
            arrived = (static_cast<uint64_t>((nowNs - first) / kUsbFrameNs) + 1) * kUsbBytesPerFrame;
            break;
        }
    }
    return arrived > count_ ? arrived - count_ : 0;
}

int64_t SimInputLine::Consume(int64_t nowNs) noexcept {
    ++count_;
    endNs_ = kind_ == SimLineKind::kUnthrottled ? std::max(endNs_, nowNs) : ArrivalOf(count_);
    return endNs_;
}

int64_t SimInputLine::NextDueNs() const noexcept {
    return kind_ == SimLineKind::kUnthrottled ? endNs_ : ArrivalOf(count_ + 1);
}

void SimOutputLine::Push(SimReply reply) {
    if (!reply.wire.empty()) queue_.push_back(std::move(reply));
}

int64_t SimOutputLine::EndOf(int64_t beginNs, size_t index) const noexcept {
    return Arrival(kind_, beginNs, index + 1);
}

std::span<const uint8_t> SimOutputLine::Due(int64_t nowNs) {
    if (queue_.empty()) return {};
    const SimReply& head = queue_.front();
    if (!begun_) {
        if (nowNs < head.readyNs) return {};
        beginNs_ = std::max(freeNs_, head.readyNs);
        begun_ = true;
    }
    size_t end = offset_;
    while (end < head.wire.size() && EndOf(beginNs_, end) <= nowNs) ++end;
    return std::span<const uint8_t>(head.wire).subspan(offset_, end - offset_);
}

void SimOutputLine::Commit(size_t n) {
    if (queue_.empty() || n == 0) return;
    offset_ += n;
    freeNs_ = EndOf(beginNs_, offset_ - 1);
    if (offset_ >= queue_.front().wire.size()) {
        queue_.pop_front();
        offset_ = 0;
        begun_ = false;
    }
}

int64_t SimOutputLine::NextDueNs() const noexcept {
    if (queue_.empty()) return 0;
    if (!begun_) {
        const int64_t begin = std::max(freeNs_, queue_.front().readyNs);
        return EndOf(begin, 0);
    }
    return EndOf(beginNs_, offset_);
}

void SimOutputLine::Clear() noexcept {
    queue_.clear();
    offset_ = 0;
    begun_ = false;
}

}  // namespace klink::sim
