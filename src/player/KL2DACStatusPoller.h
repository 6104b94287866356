#pragma once
// The KL2 DAC board's status, read without blocking the streaming loop:
// DAC_STATUS requests go out no more often than every 5 ms while the last
// one was answered; an unanswered one is repeated (the request only reads,
// so repeating it is harmless) once it is 20 ms old, or three of the slowest
// recent round trips when that is longer, and each further repeat waits
// twice as long; 500 ms without a good status end the playback. Each good
// status also confirms the host register bytes sent to the board before its
// request.
//
// Runs on the playback thread only, like the connection it polls.

#include <cstdint>

#include "kl2/KL2DACCodec.h"
#include "player/PlaybackClock.h"
#include "protocol/KLINKConnection.h"

namespace klink {

class KL2DACStatusPoller {
public:
    static constexpr uint64_t kTimeoutMs = 500;         // without a good status
    static constexpr uint64_t kRepeatMs = 20;           // first repeat of an unanswered request, at least
    static constexpr uint64_t kRepeatRoundTrips = 3;    // ... or this many of the slowest recent round trips
    static constexpr uint64_t kMinIntervalMs = 5;       // between answered requests
    static constexpr uint32_t kClearedPollSleepMs = 1;  // while waiting for the cleared check

    // The connection and the clock must outlive the poller.
    KL2DACStatusPoller(KLINKConnection& dac, const PlaybackClock& clock) : dac_(dac), clock_(clock) {}
    KL2DACStatusPoller(const KL2DACStatusPoller&) = delete;
    KL2DACStatusPoller& operator=(const KL2DACStatusPoller&) = delete;

    // Reads the status of a board that RESET should have cleared, with the
    // same retries and limit as while streaming. ReadError "KL2 DAC was not
    // cleared by RESET." when its state, fault, record counters or queued
    // events are not all zero; AbortError "Playback cancelled." when
    // `cancel` fires first.
    void ReadClearedStatus(const KLINKCancel& cancel);

    // The board was started at `counter`: the 500 ms run from now, and the
    // board's play position counts from there.
    void Started(int64_t counter);

    // Takes a reply that has come and sends the next request when one is
    // due. `fmSubmitted`: host register bytes sent to the board so far; a
    // request confirms those sent before it once answered. Returns whether a
    // new good status came. Fails with ReadError "KL2 status moved
    // backwards.", "KL2 DAC STATUS timeout after read-only retries.", the
    // status line itself when the board reports a fault (state 3), and the
    // link's and the status record's own errors.
    bool Poll(uint64_t fmSubmitted);

    // The last good status (all zero before the first).
    [[nodiscard]] const KL2DACStatus& Status() const noexcept { return status_; }
    // Counter value at which the request of the last good status was sent.
    [[nodiscard]] int64_t LastStatusCounter() const noexcept { return lastStatusCounter_; }
    // Host register bytes confirmed by the last good status.
    [[nodiscard]] uint64_t FMConfirmed() const noexcept { return fmConfirmed_; }

private:
    // Takes the reply if it has come; true when a new good status was taken.
    bool TakeReply(uint64_t nowMs);
    void SendRequest(uint64_t nowMs, uint64_t fmSubmitted);
    [[nodiscard]] uint64_t NowMs() const noexcept;

    KLINKConnection& dac_;
    const PlaybackClock& clock_;
    KL2DACStatus status_;
    bool pending_ = false;           // a request awaits its reply
    uint64_t repeatMs_ = kRepeatMs;  // pause before the next repeat
    uint64_t slowestRoundTripMs_ = 0;
    uint64_t lastGoodMs_ = 0;
    uint64_t lastQueryMs_ = 0;
    int64_t lastQueryCounter_ = 0;
    int64_t lastStatusCounter_ = 0;
    uint64_t fmFence_ = 0;  // fmSubmitted when the pending request was sent
    uint64_t fmConfirmed_ = 0;
};

}  // namespace klink
