#include "protocol/KLINKReceiveWindow.h"

#include <algorithm>

#include "common/Errors.h"

namespace klink {

void KLINKReceiveWindow::BeginTransfer() noexcept {
    active = true;
    submitted = 0;
    confirmed = 0;
}

void KLINKReceiveWindow::FinishTransfer() noexcept { active = false; }

uint64_t KLINKReceiveWindow::InFlight() const noexcept { return submitted - confirmed; }

int32_t KLINKReceiveWindow::Available() const noexcept {
    if (!active) return kReceiveUnlimited;
    const uint64_t inFlight = InFlight();
    if (inFlight >= static_cast<uint64_t>(kReceiveWindowBytes)) return 0;
    return kReceiveWindowBytes - static_cast<int32_t>(inFlight);
}

bool KLINKReceiveWindow::CanSubmit(int32_t packetBytes, bool control) const {
    if (packetBytes < 0 || packetBytes > kReceiveControlLimitBytes) {
        throw ArgumentOutOfRange("Invalid KLINK receive-window packet size.");
    }
    if (!active) return true;
    const uint64_t limit = static_cast<uint64_t>(control ? kReceiveControlLimitBytes : kReceiveWindowBytes);
    const uint64_t inFlight = InFlight();
    // Compared without subtracting first, so a large backlog cannot wrap around.
    return inFlight <= limit && static_cast<uint64_t>(packetBytes) <= limit - inFlight;
}

void KLINKReceiveWindow::Submitted(int32_t packetBytes, bool control) {
    if (!CanSubmit(packetBytes, control)) throw WriteError("KLINK receive window exceeded.");
    if (active) submitted += static_cast<uint64_t>(packetBytes);
}

void KLINKReceiveWindow::Confirm(uint64_t fence) {
    if (!active) return;
    if (fence > submitted) throw ReadError("Invalid KLINK receive acknowledgment.");
    confirmed = std::max(confirmed, fence);
}

}  // namespace klink
