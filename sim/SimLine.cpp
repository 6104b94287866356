#include "SimLine.h"

#include <algorithm>

namespace klink::sim {
namespace {

int64_t ByteTimes(uint64_t n) { return static_cast<int64_t>(n * 1'000'000'000ull / kLineBytesPerSecond); }

}  // namespace

void SimInputLine::Detected(int64_t nowNs) noexcept {
    if (busy_) return;
    busy_ = true;
    baseNs_ = std::max(endNs_, nowNs);
    count_ = 0;
}

int64_t SimInputLine::ArrivalOf(uint64_t n) const noexcept { return baseNs_ + ByteTimes(n); }

uint64_t SimInputLine::Due(int64_t nowNs) const noexcept {
    if (!busy_) return 0;
    if (!throttled_) return uint64_t{1} << 20;
    if (nowNs <= baseNs_) return 0;
    const uint64_t arrived = static_cast<uint64_t>(nowNs - baseNs_) * kLineBytesPerSecond / 1'000'000'000ull;
    return arrived > count_ ? arrived - count_ : 0;
}

int64_t SimInputLine::Consume(int64_t nowNs) noexcept {
    ++count_;
    endNs_ = throttled_ ? ArrivalOf(count_) : std::max(endNs_, nowNs);
    return endNs_;
}

int64_t SimInputLine::NextDueNs() const noexcept { return throttled_ ? ArrivalOf(count_ + 1) : endNs_; }

void SimOutputLine::Push(SimReply reply) {
    if (!reply.wire.empty()) queue_.push_back(std::move(reply));
}

int64_t SimOutputLine::EndOf(size_t index) const noexcept {
    return throttled_ ? beginNs_ + ByteTimes(index + 1) : beginNs_;
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
    while (end < head.wire.size() && EndOf(end) <= nowNs) ++end;
    return std::span<const uint8_t>(head.wire).subspan(offset_, end - offset_);
}

void SimOutputLine::Commit(size_t n) {
    if (queue_.empty() || n == 0) return;
    offset_ += n;
    freeNs_ = EndOf(offset_ - 1);
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
        return throttled_ ? begin + ByteTimes(1) : begin;
    }
    return EndOf(offset_);
}

void SimOutputLine::Clear() noexcept {
    queue_.clear();
    offset_ = 0;
    begun_ = false;
}

}  // namespace klink::sim
