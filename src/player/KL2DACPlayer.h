#pragma once
// The KL2 DAC player: plays a file whose YM2612 DAC runs from a KL2 board's
// own buffer. It pulls chunks from the KL2 DAC stream source, buffers 80 ms
// of music on the board before it starts it, then keeps the buffered stream
// 80 ms ahead of the board's estimated play position while it polls the
// board's status, writes the register writes the board does not time itself
// at their tick, drives the fade-out and keeps the board's last status line
// as its report.
//
// One player per playback, on the playback thread only. It sends no stop of
// its own: whatever way Play ends, the router's stop resets the board.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "kl2/KL2DACCodec.h"
#include "kl2/KL2DACVGM.h"
#include "player/KL2DACChunkSender.h"
#include "player/KL2DACStatusPoller.h"
#include "player/KL2HostRegisterQueue.h"
#include "player/KLINKFadeOut.h"
#include "player/PlaybackClock.h"
#include "protocol/KLINKConnection.h"
#include "routing/KLINKRouter.h"

namespace klink {

// Called with the play position in ticks (1/44100 s).
using KL2Progress = std::function<void(uint64_t tick)>;

class KL2DACPlayer {
public:
    // Ticks buffered before DAC_START, and kept ahead of the board (80 ms).
    static constexpr uint32_t kLeadTicks = 3528;
    // Milliseconds between progress calls.
    static constexpr uint64_t kProgressIntervalMs = 20;

    // `router` is prepared for KL2 DAC playback and started; it, the clock
    // and `data` (the whole file image) must outlive the player. Fails with
    // WriteError "No KL2 DAC route." when the plan has no DAC board, and with
    // the source's errors for a file it cannot read.
    KL2DACPlayer(KLINKRouter& router, const PlaybackClock& clock, std::span<const uint8_t> data,
                 uint32_t dataOffset, uint32_t loopOffset, int32_t repeatCount, int32_t fadeSeconds);
    KL2DACPlayer(const KL2DACPlayer&) = delete;
    KL2DACPlayer& operator=(const KL2DACPlayer&) = delete;

    // Plays to the end of the music (or of its fade), until `cancel` fires,
    // or until a failure. Cancelled before the board started: returns with
    // no report. Once started, every way out leaves the board's last status
    // line in Report(). Call once.
    void Play(const KLINKCancel& cancel, const KL2Progress& progress);

    // The last status line ("DAC: state=2 ..."); empty before DAC_START.
    [[nodiscard]] const std::string& Report() const noexcept { return report_; }
    // The board's last status record.
    [[nodiscard]] const KL2DACStatus& LastStatus() const noexcept { return poller_.Status(); }
    // Counter value at DAC_START; 0 before.
    [[nodiscard]] int64_t StartedAtCounter() const noexcept { return startedAtCounter_; }

private:
    void Prefill(const KLINKCancel& cancel);
    void Start(const KLINKCancel& cancel);
    void Stream(const KLINKCancel& cancel, const KL2Progress& progress);
    // Sends the host writes due at tick 0 before the board starts.
    void FlushStartupHostEvents(const KLINKCancel& cancel);
    // Host writes due at nowTick; true when more could go at once.
    bool SendHostEvents(uint64_t nowTick, const KLINKCancel& cancel);
    void FadeTo(uint64_t timeUs, const KLINKCancel& cancel);
    [[nodiscard]] KL2HostRegisterQueue::Board BoardProgress() const noexcept;
    void UpdateReport() { report_ = poller_.Status().Describe(); }

    KLINKRouter& router_;
    const PlaybackClock& clock_;
    KLINKConnection& dac_;
    KL2DACCapabilities caps_;
    int32_t fadeSeconds_ = 0;
    KL2DACVGM source_;
    KL2DACStatusPoller poller_;
    KL2HostRegisterQueue host_;
    KL2DACChunkSender sender_;
    KLINKFadeOut fade_;
    int64_t startedAtCounter_ = 0;
    std::string report_;
};

}  // namespace klink
