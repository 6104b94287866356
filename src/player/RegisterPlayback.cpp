// The register path: every chip write travels as a register-write batch and
// the host alone keeps time.
#include <cstring>
#include <span>

#include "common/Errors.h"
#include "platform/Clock.h"
#include "player/VGMPlayerThread.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMCommand.h"

namespace klink {

namespace pf = platform;

namespace {

constexpr uint64_t kSampleRate = 44100;
constexpr uint8_t kYM2612Port0 = 0x52;

[[nodiscard]] bool IsSN76489(uint8_t writeId) noexcept { return writeId == 0x30 || writeId == 0x50; }

}  // namespace

int64_t VGMPlayerThread::Ticks(uint64_t samples) const noexcept {
    const auto f = static_cast<uint64_t>(counterFrequency_);
    return static_cast<int64_t>((samples / kSampleRate) * f + ((samples % kSampleRate) * f) / kSampleRate);
}

uint64_t VGMPlayerThread::ElapsedUS(int64_t counter) const noexcept {
    const int64_t elapsed = counter - playbackStartCounter_;
    if (elapsed <= 0) {
        return 0;
    }
    // Split so that hours of playback cannot overflow the product.
    const auto e = static_cast<uint64_t>(elapsed);
    const auto f = static_cast<uint64_t>(counterFrequency_);
    return (e / f) * 1000000 + ((e % f) * 1000000) / f;
}

void VGMPlayerThread::PlayRegisters() {
    completedLoops_ = 0;
    vgmSamples_ = 0;
    vgmPointer_ = dataOffset_;
    sendCount_ = 0;
    startupSynchronized_ = false;
    playbackStartCounter_ = 0;
    kl2Startup_ = {};
    lastCounter_ = 0;

    while (!Terminated()) {
        if (fade_.started) {
            lastCounter_ = pf::PerformanceCounter();
            FadeStep(ElapsedUS(lastCounter_));
            if (fade_.Complete()) {
                break;
            }
        }
        const uint64_t before = vgmSamples_;
        if (!ProcessCommand()) {
            FlushWrites();
            break;
        }
        if (vgmSamples_ == before) {
            continue;  // writes of one sample position go out together
        }
        FlushWrites();
        if (Terminated()) {
            break;
        }
        if (playbackStartCounter_ == 0) {
            playbackStartCounter_ = pf::PerformanceCounter();
        }
        // Absolute deadline: waits never add up rounding or lateness.
        const int64_t deadline = playbackStartCounter_ + Ticks(vgmSamples_);
        const int64_t spinTicks = counterFrequency_ / 500;  // the last 2 ms
        for (;;) {
            lastCounter_ = pf::PerformanceCounter();
            if (fade_.started) {
                FadeStep(ElapsedUS(lastCounter_));
                if (fade_.Complete()) {
                    break;
                }
            }
            const int64_t remaining = deadline - lastCounter_;
            if (remaining <= 0 || Terminated()) {
                break;
            }
            if (remaining > spinTicks) {
                pf::SleepMs(1);
            }
        }
        if (Terminated() || fade_.Complete()) {
            break;
        }
        SetPosition(static_cast<int32_t>(vgmSamples_ * 1000 / kSampleRate));
    }
    if (fade_.Complete()) {
        // Where the fade actually ended, not where the last command was.
        vgmSamples_ = ElapsedUS(lastCounter_) * kSampleRate / 1000000;
    }
    isVgmLoaded_ = false;
}

bool VGMPlayerThread::ProcessCommand() {
    if (Terminated()) {
        return false;
    }
    KLINKVGMTarget target;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    const VGMDecodeKind kind =
        DecodeRegisterCommand(std::span<const uint8_t>(vgmBuffer_), vgmPointer_, target, reg, value, wait);
    switch (kind) {
        case VGMDecodeKind::kRegisterWrite: {
            const bool timeZeroYm2612 = hasKl2Registers_ && vgmSamples_ == 0 &&
                                        target.writeId == kYM2612Port0 && target.instance == 0;
            if (timeZeroYm2612 && (reg == 0x28 || reg == 0x2A)) {
                // Reduced to the final state and sent before the first wait.
                if (reg == 0x28) {
                    kl2Startup_.KeyWrite(value);
                } else {
                    kl2Startup_.DACWrite(value);
                }
                return true;
            }
            const bool dacEnableAtZero =
                hasKl2Registers_ && vgmSamples_ == 0 && target.writeId == kYM2612Port0 && reg == 0x2B;
            if (StartsSound(target, reg, value) && !dacEnableAtZero) {
                StartTiming();
            }
            WriteVGMRegister(target, reg, value);
            return true;
        }
        case VGMDecodeKind::kNothing:
            return true;
        case VGMDecodeKind::kWait:
        case VGMDecodeKind::kDACEvent:
            if (hasKl2Registers_ && vgmSamples_ == 0 && wait > 0) {
                FlushKL2Startup();
            }
            vgmSamples_ += wait;
            return true;
        case VGMDecodeKind::kEnd:
        default:
            break;
    }
    if (vgmLoopOffset_ == 0) {
        return false;
    }
    if (!fade_.started && !CountLoop(completedLoops_, repeatCount_)) {
        if (fadeSeconds_ == 0) {
            return false;
        }
        fade_.Start(vgmSamples_ * 1000000 / kSampleRate, fadeSeconds_);
    }
    vgmPointer_ = vgmLoopOffset_ + 0x1C;
    return true;
}

void VGMPlayerThread::WriteVGMRegister(const KLINKVGMTarget& target, uint8_t reg, uint8_t value) {
    if (kl2Registers_ && router_->IsDACRoute(target)) {
        uint8_t prefix = 0;
        if (kl2Registers_->Transform(target, reg, value, prefix)) {
            QueueWrite(target, reg, prefix);
        }
        if (StartsSound(target, reg, value)) {
            StartTiming();
        }
    }
    QueueWrite(target, reg, value);
}

void VGMPlayerThread::QueueWrite(const KLINKVGMTarget& target, uint8_t reg, uint8_t value) {
    if (Terminated()) {
        return;
    }
    if (sendCount_ > 0 &&
        (target.writeId != sendWriteId_ || target.instance != sendInstance_ || target.page != sendPage_)) {
        FlushWrites();
    }
    sendWriteId_ = target.writeId;
    sendInstance_ = target.instance;
    sendPage_ = target.page;
    if (IsSN76489(target.writeId)) {
        AppendBytes(&value, 1);
    } else {
        const uint8_t pair[2] = {reg, value};
        AppendBytes(pair, 2);
    }
}

void VGMPlayerThread::AppendBytes(const uint8_t* bytes, int32_t count) {
    if (Terminated()) {
        return;
    }
    if (sendCount_ + count > kMaxBatch) {
        FlushWrites();
    }
    if (Terminated()) {
        return;
    }
    std::memcpy(batchBuffer_.data() + sendCount_, bytes, static_cast<size_t>(count));
    sendCount_ += count;
}

void VGMPlayerThread::FlushWrites() {
    if (sendCount_ <= 0) {
        return;
    }
    if (!Terminated()) {
        router_->WriteRegisters(
            sendWriteId_, sendInstance_, sendPage_,
            std::span<const uint8_t>(batchBuffer_.data(), static_cast<size_t>(sendCount_)), cancel_);
    }
    sendCount_ = 0;
}

void VGMPlayerThread::StartTiming() {
    if (startupSynchronized_) {
        return;
    }
    FlushWrites();
    router_->SynchronizeStartup(cancel_);
    router_->PreparePlayback();
    // Read after the synchronisation: its time does not count as lateness.
    playbackStartCounter_ = pf::PerformanceCounter() - Ticks(vgmSamples_);
    startupSynchronized_ = true;
}

void VGMPlayerThread::FlushKL2Startup() {
    const KLINKVGMTarget target{kYM2612Port0, 0, 0};
    for (const uint8_t key : kl2Startup_.FinalKeys()) {
        if (StartsSound(target, 0x28, key)) {
            StartTiming();
        }
        WriteVGMRegister(target, 0x28, key);
    }
    if (kl2Startup_.HasDACWrite()) {
        WriteVGMRegister(target, 0x2A, kl2Startup_.dacValue);
    }
}

void VGMPlayerThread::FadeStep(uint64_t timeUs) {
    if (fade_.started) {
        SetPosition(static_cast<int32_t>(timeUs / 1000));
    }
    uint8_t attenuation = 0;
    while (!Terminated() && fade_.Advance(timeUs, attenuation)) {
        FlushWrites();
        router_->SetVolume(attenuation, cancel_, false);
    }
}

}  // namespace klink
