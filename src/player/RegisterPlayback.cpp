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

[[nodiscard]] bool IsSN76489(uint8_t writeID) noexcept { return writeID == 0x30 || writeID == 0x50; }

}  // namespace

int64_t TVGMPlayerThread::Ticks(uint64_t samples) const noexcept {
    const auto f = static_cast<uint64_t>(FCounterFrequency);
    return static_cast<int64_t>((samples / kSampleRate) * f + ((samples % kSampleRate) * f) / kSampleRate);
}

uint64_t TVGMPlayerThread::ElapsedUS(int64_t counter) const noexcept {
    const int64_t elapsed = counter - FPlaybackStartCounter;
    if (elapsed <= 0) {
        return 0;
    }
    // Split so that hours of playback cannot overflow the product.
    const auto e = static_cast<uint64_t>(elapsed);
    const auto f = static_cast<uint64_t>(FCounterFrequency);
    return (e / f) * 1000000 + ((e % f) * 1000000) / f;
}

void TVGMPlayerThread::PlayRegisters() {
    FCompletedLoops = 0;
    vgmSamples = 0;
    vgmPointer = dataOffset;
    FSendCount = 0;
    FStartupSynchronized = false;
    FPlaybackStartCounter = 0;
    FKL2Startup = {};
    FLastCounter = 0;

    while (!Terminated()) {
        if (FFade.FStarted) {
            FLastCounter = pf::PerformanceCounter();
            FadeStep(ElapsedUS(FLastCounter));
            if (FFade.Complete()) {
                break;
            }
        }
        const uint64_t before = vgmSamples;
        if (!ProcessCommand()) {
            FlushWrites();
            break;
        }
        if (vgmSamples == before) {
            continue;  // writes of one sample position go out together
        }
        FlushWrites();
        if (Terminated()) {
            break;
        }
        if (FPlaybackStartCounter == 0) {
            FPlaybackStartCounter = pf::PerformanceCounter();
        }
        // Absolute deadline: waits never add up rounding or lateness.
        const int64_t deadline = FPlaybackStartCounter + Ticks(vgmSamples);
        const int64_t spinTicks = FCounterFrequency / 500;  // the last 2 ms
        for (;;) {
            FLastCounter = pf::PerformanceCounter();
            if (FFade.FStarted) {
                FadeStep(ElapsedUS(FLastCounter));
                if (FFade.Complete()) {
                    break;
                }
            }
            const int64_t remaining = deadline - FLastCounter;
            if (remaining <= 0 || Terminated()) {
                break;
            }
            if (remaining > spinTicks) {
                pf::SleepMs(1);
            }
        }
        if (Terminated() || FFade.Complete()) {
            break;
        }
        SetPosition(static_cast<int32_t>(vgmSamples * 1000 / kSampleRate));
    }
    if (FFade.Complete()) {
        // Where the fade actually ended, not where the last command was.
        vgmSamples = ElapsedUS(FLastCounter) * kSampleRate / 1000000;
    }
    isVGMLoaded = false;
}

bool TVGMPlayerThread::ProcessCommand() {
    if (Terminated()) {
        return false;
    }
    TKLINKVGMTarget target;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    const TVGMDecodeKind kind =
        DecodeRegisterCommand(std::span<const uint8_t>(VGMBuffer), vgmPointer, target, reg, value, wait);
    switch (kind) {
        case TVGMDecodeKind::RegisterWrite: {
            const bool timeZeroYM2612 =
                FHasKL2Registers && vgmSamples == 0 && target.WriteID == kYM2612Port0 && target.Instance == 0;
            if (timeZeroYM2612 && (reg == 0x28 || reg == 0x2A)) {
                // Reduced to the final state and sent before the first wait.
                if (reg == 0x28) {
                    FKL2Startup.KeyWrite(value);
                } else {
                    FKL2Startup.DACWrite(value);
                }
                return true;
            }
            const bool dacEnableAtZero =
                FHasKL2Registers && vgmSamples == 0 && target.WriteID == kYM2612Port0 && reg == 0x2B;
            if (StartsSound(target, reg, value) && !dacEnableAtZero) {
                StartTiming();
            }
            WriteVGMRegister(target, reg, value);
            return true;
        }
        case TVGMDecodeKind::Nothing:
            return true;
        case TVGMDecodeKind::Wait:
        case TVGMDecodeKind::DACEvent:
            if (FHasKL2Registers && vgmSamples == 0 && wait > 0) {
                FlushKL2Startup();
            }
            vgmSamples += wait;
            return true;
        case TVGMDecodeKind::End:
        default:
            break;
    }
    if (vgmLoopOffset == 0) {
        return false;
    }
    if (!FFade.FStarted && !CountLoop(FCompletedLoops, FRepeatCount)) {
        if (FFadeSeconds == 0) {
            return false;
        }
        FFade.Start(vgmSamples * 1000000 / kSampleRate, FFadeSeconds);
    }
    vgmPointer = vgmLoopOffset + 0x1C;
    return true;
}

void TVGMPlayerThread::WriteVGMRegister(const TKLINKVGMTarget& target, uint8_t reg, uint8_t value) {
    if (FKL2Registers && FRouter->IsDACRoute(target)) {
        uint8_t prefix = 0;
        if (FKL2Registers->Transform(target, reg, value, prefix)) {
            QueueWrite(target, reg, prefix);
        }
        if (StartsSound(target, reg, value)) {
            StartTiming();
        }
    }
    QueueWrite(target, reg, value);
}

void TVGMPlayerThread::QueueWrite(const TKLINKVGMTarget& target, uint8_t reg, uint8_t value) {
    if (Terminated()) {
        return;
    }
    if (FSendCount > 0 &&
        (target.WriteID != FSendWriteID || target.Instance != FSendInstance || target.Page != FSendPage)) {
        FlushWrites();
    }
    FSendWriteID = target.WriteID;
    FSendInstance = target.Instance;
    FSendPage = target.Page;
    if (IsSN76489(target.WriteID)) {
        AppendBytes(&value, 1);
    } else {
        const uint8_t pair[2] = {reg, value};
        AppendBytes(pair, 2);
    }
}

void TVGMPlayerThread::AppendBytes(const uint8_t* bytes, int32_t count) {
    if (Terminated()) {
        return;
    }
    if (FSendCount + count > kMaxBatch) {
        FlushWrites();
    }
    if (Terminated()) {
        return;
    }
    std::memcpy(Buffer.data() + FSendCount, bytes, static_cast<size_t>(count));
    FSendCount += count;
}

void TVGMPlayerThread::FlushWrites() {
    if (FSendCount <= 0) {
        return;
    }
    if (!Terminated()) {
        FRouter->WriteRegisters(FSendWriteID, FSendInstance, FSendPage,
                                std::span<const uint8_t>(Buffer.data(), static_cast<size_t>(FSendCount)),
                                FCancel);
    }
    FSendCount = 0;
}

void TVGMPlayerThread::StartTiming() {
    if (FStartupSynchronized) {
        return;
    }
    FlushWrites();
    FRouter->SynchronizeStartup(FCancel);
    FRouter->PreparePlayback();
    // Read after the synchronisation: its time does not count as lateness.
    FPlaybackStartCounter = pf::PerformanceCounter() - Ticks(vgmSamples);
    FStartupSynchronized = true;
}

void TVGMPlayerThread::FlushKL2Startup() {
    const TKLINKVGMTarget target{kYM2612Port0, 0, 0};
    for (const uint8_t key : FKL2Startup.FinalKeys()) {
        if (StartsSound(target, 0x28, key)) {
            StartTiming();
        }
        WriteVGMRegister(target, 0x28, key);
    }
    if (FKL2Startup.HasDACWrite()) {
        WriteVGMRegister(target, 0x2A, FKL2Startup.FDACValue);
    }
}

void TVGMPlayerThread::FadeStep(uint64_t timeUS) {
    if (FFade.FStarted) {
        SetPosition(static_cast<int32_t>(timeUS / 1000));
    }
    uint8_t attenuation = 0;
    while (!Terminated() && FFade.Advance(timeUS, attenuation)) {
        FlushWrites();
        FRouter->SetVolume(attenuation, FCancel, false);
    }
}

}  // namespace klink
