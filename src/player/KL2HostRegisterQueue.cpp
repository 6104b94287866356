#include "player/KL2HostRegisterQueue.h"

#include <algorithm>
#include <span>

#include "common/Errors.h"

namespace klink {

namespace {

// Receive-window bytes left for the frame around a batch.
constexpr int32_t kFrameReserve = 32;

}  // namespace

bool KL2HostRegisterQueue::Ready(const KL2RegisterEvent& event, uint64_t nowTick,
                                 const Board& board) const noexcept {
    return event.tick <= nowTick && (board.eventsDone || !router_.IsDACRoute(event.target));
}

int32_t KL2HostRegisterQueue::Budget(const KLINKVGMTarget& target, bool startup, const Board& board) {
    const bool onDAC = router_.IsDACRoute(target);
    const auto pending = static_cast<uint64_t>(std::max<int64_t>(0, router_.RegisterPendingBytes(target)));
    const uint64_t inFlight = !startup && onDAC ? fmSubmitted_ - board.fmConfirmed : 0;
    int32_t budget = KL2RegisterBudget(pending, startup, inFlight);
    if (onDAC) {
        budget = std::min(budget, std::max(0, dac_.AvailableReceiveBytes() - kFrameReserve));
    }
    return budget;
}

bool KL2HostRegisterQueue::Send(uint64_t nowTick, bool startup, const Board& board,
                                const KLINKCancel& cancel) {
    int32_t left = kEventsPerCall;
    while (!events_.empty() && left > 0) {
        if (!Ready(events_.front(), nowTick, board)) {
            return false;
        }
        const KLINKVGMTarget target = events_.front().target;
        const int32_t width = KL2EventWidth(target);
        const int32_t budget = Budget(target, startup, board);
        if (budget < width) {
            return false;
        }
        int32_t count = 0;
        while (!events_.empty() && left > 0 && count + width <= budget && events_.front().target == target &&
               Ready(events_.front(), nowTick, board)) {
            const KL2RegisterEvent& e = events_.front();
            if (width == 2) {
                batch_[static_cast<size_t>(count++)] = e.address;
            }
            batch_[static_cast<size_t>(count++)] = e.value;
            events_.pop_front();
            --left;
        }
        const std::span<const uint8_t> data(batch_.data(), static_cast<size_t>(count));
        const bool onDAC = router_.IsDACRoute(target);
        if (onDAC) {
            if (!dac_.TryWriteRegisters(target.writeId, target.instance, target.page, data, cancel)) {
                throw WriteError("KL2 receive budget changed during a register batch.");
            }
            if (!startup) {
                fmSubmitted_ += static_cast<uint64_t>(count) + kBatchOverhead;
            }
        } else {
            router_.WriteRegisters(target.writeId, target.instance, target.page, data, cancel);
        }
    }
    if (events_.empty()) {
        return false;
    }
    const KL2RegisterEvent& next = events_.front();
    return Ready(next, nowTick, board) && Budget(next.target, startup, board) >= KL2EventWidth(next.target);
}

}  // namespace klink
