#include "protocol/KLINKStartupWindow.h"

#include "common/Errors.h"

namespace klink {

void KLINKStartupWindow::BeginTransfer() noexcept {
    active = true;
    pending = 0;
}

bool KLINKStartupWindow::NeedsFence(int32_t packetBytes) const {
    if (packetBytes < 0 || packetBytes > kStartupWindowBytes) {
        throw ArgumentOutOfRange("Invalid KLINK startup packet size.");
    }
    return active && packetBytes > kStartupWindowBytes - pending;
}

void KLINKStartupWindow::Submitted(int32_t packetBytes) {
    if (NeedsFence(packetBytes)) throw WriteError("KLINK startup acknowledgment window exceeded.");
    if (active) pending += packetBytes;
}

void KLINKStartupWindow::FenceCompleted() noexcept {
    if (active) pending = 0;
}

void KLINKStartupWindow::FinishTransfer() noexcept {
    active = false;
    pending = 0;
}

}  // namespace klink
