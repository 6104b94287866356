#include "player/KL2DACPlayer.h"

#include <fmt/format.h>

#include "common/Errors.h"

namespace klink {

namespace {

constexpr uint64_t kMicrosPerSecond = 1000000;

[[nodiscard]] bool Cancelled(const KLINKCancel& cancel) { return cancel && cancel(); }

[[nodiscard]] uint64_t TicksOfUs(uint64_t us) noexcept { return us * kKL2TickRate / kMicrosPerSecond; }
[[nodiscard]] uint64_t UsOfTicks(uint64_t ticks) noexcept { return ticks * kMicrosPerSecond / kKL2TickRate; }

}  // namespace

KL2DACPlayer::KL2DACPlayer(KLINKRouter& router, const PlaybackClock& clock, std::span<const uint8_t> data,
                           uint32_t dataOffset, uint32_t loopOffset, int32_t repeatCount, int32_t fadeSeconds)
    : router_(router),
      clock_(clock),
      dac_(router.DACConnection()),
      caps_(router.DACCapabilities()),
      fadeSeconds_(fadeSeconds),
      source_(data, dataOffset, loopOffset, repeatCount, fadeSeconds),
      poller_(dac_, clock_),
      host_(router_, dac_),
      sender_(source_, router_, dac_, caps_, host_) {}

void KL2DACPlayer::Play(const KLINKCancel& cancel, const KL2Progress& progress) {
    poller_.ReadClearedStatus(cancel);
    Prefill(cancel);
    if (Cancelled(cancel)) {
        return;
    }
    Start(cancel);
    try {
        Stream(cancel, progress);
    } catch (...) {
        UpdateReport();
        throw;
    }
    UpdateReport();
}

void KL2DACPlayer::Prefill(const KLINKCancel& cancel) {
    while (sender_.Tick() < kLeadTicks && !Cancelled(cancel)) {
        if (!sender_.Fetch()) {
            sender_.SendEnd(cancel);
            break;
        }
        if (!sender_.CanSend(poller_.Status())) {
            throw WriteError(fmt::format(
                "KL2 DAC prefill record capacity exceeded: sent={} next={} capacity={} lead={} ticks.",
                sender_.Sequence(), sender_.ChunkRecords(), caps_.recordCapacity, sender_.Tick()));
        }
        // Before DAC_START no receive window limits the packets.
        if (!sender_.Send(cancel)) {
            throw WriteError("KL2 receive window was active before START.");
        }
    }
}

void KL2DACPlayer::Start(const KLINKCancel& cancel) {
    if (sender_.Sequence() == 0) {
        throw ReadError("VGM has no timed KL2 data.");
    }
    FlushStartupHostEvents(cancel);
    router_.SynchronizeStartup(cancel);
    if (!dac_.Request(Opcode::kDACStart, EncodeKL2DACStart(kLeadTicks), cancel).empty()) {
        throw ReadError("Invalid KL2 DAC START response.");
    }
    dac_.BeginReceiveWindow();
    startedAtCounter_ = clock_.Now();
    poller_.Started(startedAtCounter_);
}

void KL2DACPlayer::Stream(const KLINKCancel& cancel, const KL2Progress& progress) {
    uint64_t lastProgressUs = 0;
    for (;;) {
        if (Cancelled(cancel)) {
            return;
        }
        if (poller_.Poll(host_.FMSubmitted())) {
            UpdateReport();
        }
        const KL2DACStatus& status = poller_.Status();
        const int64_t now = clock_.Now();
        const uint64_t elapsedUs = clock_.ElapsedUs(startedAtCounter_, now);
        const uint64_t playTick = TicksOfUs(elapsedUs);
        // The board's position moves on from its last report at its own 44100 Hz.
        const uint64_t boardTick =
            status.playedTick + TicksOfUs(clock_.ElapsedUs(poller_.LastStatusCounter(), now));
        const uint64_t sendLimit = boardTick + kLeadTicks;

        if (source_.FadeStarted() && !fade_.started) {
            fade_.Start(UsOfTicks(source_.FadeStartTick()), fadeSeconds_);
        }
        FadeTo(elapsedUs, cancel);

        if (progress && elapsedUs - lastProgressUs >= kProgressIntervalMs * 1000) {
            lastProgressUs = elapsedUs;
            progress(playTick);
        }
        if (status.state == KL2DACState::kEnded) {
            break;
        }
        if (sender_.Tick() < sendLimit && !sender_.EndSent()) {
            if (!sender_.Fetch()) {
                sender_.SendEnd(cancel);
            } else if (sender_.CanSend(status) && sender_.Send(cancel)) {
                continue;  // keep the stream ahead before anything else
            }
        }
        if (!SendHostEvents(playTick, cancel)) {
            clock_.SleepMs(1);
        }
    }
    if (!sender_.EndSent()) {
        throw ReadError("KL2 DAC ended before the supplied stream.");
    }
    // The host times its writes by its own clock, which starts a little after
    // the board's, and may have fallen behind its budget: what it still
    // holds when the board reaches the end goes out now rather than never.
    // The board has played all of its events by then.
    while (!host_.Empty()) {
        if (Cancelled(cancel)) {
            return;
        }
        (void)poller_.Poll(host_.FMSubmitted());
        if (!host_.Send(source_.EndTick(), false, {true, poller_.FMConfirmed()}, cancel)) {
            clock_.SleepMs(1);
        }
    }
    if (source_.FadeStarted()) {
        // Steps still due when the board reached the end.
        FadeTo(UsOfTicks(source_.EndTick()), cancel);
    }
    if (progress) {
        progress(sender_.Tick());
    }
}

void KL2DACPlayer::FadeTo(uint64_t timeUs, const KLINKCancel& cancel) {
    uint8_t attenuation = 0;
    while (fade_.Advance(timeUs, attenuation)) {
        router_.SetVolume(attenuation, cancel, false);
    }
}

bool KL2DACPlayer::SendHostEvents(uint64_t nowTick, const KLINKCancel& cancel) {
    // The DAC stream goes first: host writes wait while it is less than 20 ms
    // ahead of play, unless it is complete.
    if (!sender_.EndSent() && sender_.Tick() < nowTick + KL2HostRegisterQueue::kStreamAheadTicks) {
        return false;
    }
    return host_.Send(nowTick, false, BoardProgress(), cancel);
}

void KL2DACPlayer::FlushStartupHostEvents(const KLINKCancel& cancel) {
    // Once board events were sent, the KL2 writes of the host must follow
    // them, which cannot happen before the board starts.
    if (sender_.EventsSent() != 0) {
        return;
    }
    while (!host_.Empty() && host_.Front().tick == 0) {
        if (Cancelled(cancel)) {
            throw AbortError("Playback cancelled.");
        }
        if (!host_.Send(0, true, BoardProgress(), cancel)) {
            clock_.SleepMs(1);
        }
    }
}

KL2HostRegisterQueue::Board KL2DACPlayer::BoardProgress() const noexcept {
    return {poller_.Status().eventConsumed == sender_.EventsSent(), poller_.FMConfirmed()};
}

}  // namespace klink
