#include "protocol/KLINKStartupWindow.h"

#include "common/Errors.h"

namespace klink {

void TKLINKStartupWindow::BeginTransfer() noexcept {
    FActive = true;
    FPending = 0;
}

bool TKLINKStartupWindow::NeedsFence(int32_t packetBytes) const {
    if (packetBytes < 0 || packetBytes > KLINK_STARTUP_WINDOW_BYTES) {
        throw ArgumentOutOfRange("Invalid KLINK startup packet size.");
    }
    return FActive && packetBytes > KLINK_STARTUP_WINDOW_BYTES - FPending;
}

void TKLINKStartupWindow::Submitted(int32_t packetBytes) {
    if (NeedsFence(packetBytes)) throw WriteError("KLINK startup acknowledgment window exceeded.");
    if (FActive) FPending += packetBytes;
}

void TKLINKStartupWindow::FenceCompleted() noexcept {
    if (FActive) FPending = 0;
}

void TKLINKStartupWindow::FinishTransfer() noexcept {
    FActive = false;
    FPending = 0;
}

}  // namespace klink
