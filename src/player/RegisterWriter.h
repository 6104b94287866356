#pragma once
// Chip writes as register-write batches through the router, and the fade-out
// as output-volume steps. The register path plays a whole file with it; the
// streaming paths use it for the writes to chips their stream does not carry
// and for their fade, on their own time axis.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "kl2/KL2RegisterState.h"
#include "player/KLINKFadeOut.h"
#include "player/PlaybackContext.h"
#include "vgm/KLINKVGMTarget.h"

namespace klink {

// Consecutive writes to one target travel as one WriteRegisters call of at
// most kMaxBatch bytes: a register pair per write, or the value alone for the
// SN76489 targets 0x30 and 0x50. A write to another target, a full batch, a
// fade step or FlushWrites sends the pending batch first. Once a stop was
// requested, writes are dropped and a pending batch is discarded, not sent.
//
// Runs on the playback thread only. Failures of the router and of the KL2
// rewrite propagate unchanged.
class RegisterWriter {
public:
    static constexpr int32_t kMaxBatch = 254;

    // kl2Rewrite: every write to a target on the KL2 DAC board's route first
    // goes through a KL2RegisterState (a file that plays KL2 chips by
    // register). onAudible, optional: called when such a rewritten write
    // makes its chip audible, before the write is queued; the register path
    // fixes its time origin there.
    RegisterWriter(const PlaybackContext& context, bool kl2Rewrite, std::function<void()> onAudible = {});
    RegisterWriter(const RegisterWriter&) = delete;
    RegisterWriter& operator=(const RegisterWriter&) = delete;

    // Queues one chip write (preceded by the prefix the KL2 rewrite asks for).
    void WriteVGMRegister(const KLINKVGMTarget& target, uint8_t reg, uint8_t value);
    // Sends the pending batch now; nothing when none is pending.
    void FlushWrites();

    // Starts (or restarts) the fade at startUs on the caller's time axis.
    // seconds <= 0 fails with ArgumentOutOfRange "Invalid fade duration.".
    void StartFade(uint64_t startUs, int32_t seconds);
    [[nodiscard]] bool FadeStarted() const noexcept { return fade_.started; }
    // The fade's last step has been sent.
    [[nodiscard]] bool FadeComplete() const noexcept { return fade_.Complete(); }
    // Once the fade has started, sets the position to timeUs and sends every
    // step due at timeUs, several back to back when late, each after the
    // pending batch. Before the fade starts it does nothing.
    void FadeStep(uint64_t timeUs);

private:
    void QueueWrite(const KLINKVGMTarget& target, uint8_t reg, uint8_t value);
    void AppendBytes(const uint8_t* bytes, int32_t count);

    const PlaybackContext& context_;
    std::optional<KL2RegisterState> kl2Registers_;
    std::function<void()> onAudible_;
    KLINKFadeOut fade_;
    // The pending batch: batchCount_ bytes for batchTarget_.
    KLINKVGMTarget batchTarget_;
    std::array<uint8_t, kMaxBatch> batch_{};
    int32_t batchCount_ = 0;
};

}  // namespace klink
