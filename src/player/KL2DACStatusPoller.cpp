#include "player/KL2DACStatusPoller.h"

#include <algorithm>
#include <array>

#include "common/Errors.h"

namespace klink {

namespace {

// The DAC_STATUS request payload: the format byte.
constexpr std::array<uint8_t, 1> kStatusRequest{1};

}  // namespace

void KL2DACStatusPoller::ReadClearedStatus(const KLINKCancel& cancel) {
    status_ = {};
    const uint64_t start = NowMs();
    lastGoodMs_ = start;
    repeatMs_ = kRepeatMs;
    SendRequest(start, 0);
    for (;;) {
        if (cancel && cancel()) {
            throw AbortError("Playback cancelled.");
        }
        const uint64_t now = NowMs();
        if (TakeReply(now)) {
            break;
        }
        if (now - lastGoodMs_ >= kTimeoutMs) {
            throw ReadError("KL2 DAC STATUS timeout after read-only retries.");
        }
        if (now - lastQueryMs_ >= repeatMs_) {
            SendRequest(now, 0);
        }
        clock_.SleepMs(kClearedPollSleepMs);
    }
    const KL2DACStatus& s = status_;
    if (s.state != KL2DACState::kCleared || s.fault != 0 || s.accepted != 0 || s.consumed != 0 ||
        s.queued != 0 || s.eventQueued != 0) {
        throw ReadError("KL2 DAC was not cleared by RESET.");
    }
}

void KL2DACStatusPoller::Started(int64_t counter) {
    lastStatusCounter_ = counter;
    lastQueryCounter_ = counter;
    lastGoodMs_ = NowMs();
    lastQueryMs_ = lastGoodMs_;
    repeatMs_ = kRepeatMs;
}

bool KL2DACStatusPoller::Poll(uint64_t fmSubmitted) {
    const uint64_t now = NowMs();
    const bool fresh = TakeReply(now);
    if (status_.state == KL2DACState::kFaulted) {
        throw ReadError(status_.Describe());
    }
    // Polling goes on after the board's end: the host may still have
    // register writes for it, which the status confirms.
    if (now - lastGoodMs_ >= kTimeoutMs) {
        throw ReadError("KL2 DAC STATUS timeout after read-only retries.");
    }
    if (now - lastQueryMs_ >= (pending_ ? repeatMs_ : kMinIntervalMs)) {
        SendRequest(now, fmSubmitted);
    }
    return fresh;
}

bool KL2DACStatusPoller::TakeReply(uint64_t nowMs) {
    if (!pending_) {
        return false;
    }
    const std::optional<std::vector<uint8_t>> reply = dac_.TryControlReply();
    if (!reply) {
        return false;
    }
    KL2DACStatus next;
    next.Decode(*reply);
    if (next.accepted < status_.accepted || next.consumed < status_.consumed ||
        next.eventConsumed < status_.eventConsumed) {
        throw ReadError("KL2 status moved backwards.");
    }
    // The slowest recent round trip, forgotten by an eighth per reply.
    slowestRoundTripMs_ = std::max(nowMs - lastQueryMs_, slowestRoundTripMs_ - slowestRoundTripMs_ / 8);
    status_ = next;
    pending_ = false;
    repeatMs_ = std::clamp(kRepeatRoundTrips * slowestRoundTripMs_, kRepeatMs, kTimeoutMs);
    lastGoodMs_ = nowMs;
    fmConfirmed_ = fmFence_;
    lastStatusCounter_ = lastQueryCounter_;
    return true;
}

void KL2DACStatusPoller::SendRequest(uint64_t nowMs, uint64_t fmSubmitted) {
    // A new request replaces an unanswered one: only its reply counts, so a
    // repeat throws away a reply that is merely slow. Replies are slow on a
    // slow line (a request waits behind up to a receive window of packets)
    // and on a busy machine; hence the first repeat waits for a few of the
    // slowest recent round trips, at least 20 ms, and each further one twice
    // as long as the one before.
    if (pending_) {
        repeatMs_ = std::min(repeatMs_ * 2, kTimeoutMs);
    }
    dac_.BeginRequest(Opcode::kDACStatus, kStatusRequest);
    fmFence_ = fmSubmitted;
    lastQueryCounter_ = clock_.Now();
    lastQueryMs_ = nowMs;
    pending_ = true;
}

uint64_t KL2DACStatusPoller::NowMs() const noexcept {
    // Split so that a counter of a long-running machine cannot overflow.
    const auto counter = static_cast<uint64_t>(clock_.Now());
    const auto f = static_cast<uint64_t>(clock_.frequency);
    return (counter / f) * 1000 + (counter % f) * 1000 / f;
}

}  // namespace klink
