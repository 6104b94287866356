#include "player/RegisterPlayback.h"

#include <algorithm>
#include <span>

#include "common/Errors.h"
#include "platform/Thread.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMCommand.h"

namespace klink {

namespace {

constexpr uint8_t kYM2612Port0 = 0x52;

}  // namespace

RegisterPlayback::RegisterPlayback(const PlaybackContext& context)
    : context_(context),
      writer_(context, context.file.hasKl2Registers && !context.file.useKl2Dac, [this] { StartTiming(); }),
      samples_(context.position.samples),
      pointer_(context.file.dataOffset),
      // A real-time thread wakes within tens of microseconds of its time and
      // never spins: spinning at a real-time priority holds its core from
      // every ordinary thread (a board simulator, the window), for a whole
      // track when the waits are shorter than the spin. An ordinary thread
      // may wake a scheduler slice late and spins the last 2 ms.
      spinTicks_(platform::CurrentThreadIsRealtime() ? 0 : context.clock.frequency / 500) {
    samples_ = 0;
}

void RegisterPlayback::Play() {
    const PlaybackClock& clock = context_.clock;
    while (!context_.StopRequested()) {
        if (writer_.FadeStarted()) {
            lastCounter_ = clock.Now();
            writer_.FadeStep(clock.ElapsedUs(startCounter_, lastCounter_));
            if (writer_.FadeComplete()) {
                break;
            }
        }
        const uint64_t before = samples_;
        if (!ProcessCommand()) {
            writer_.FlushWrites();
            break;
        }
        if (samples_ == before) {
            continue;  // writes of one sample position go out together
        }
        writer_.FlushWrites();
        if (context_.StopRequested()) {
            break;
        }
        if (startupSynchronized_) {
            RecordLateness(before);
        }
        if (startCounter_ == 0) {
            startCounter_ = clock.Now();
        }
        // Absolute deadline: waits never add up rounding or lateness.
        const int64_t deadline = startCounter_ + clock.Ticks(samples_);
        for (;;) {
            lastCounter_ = clock.Now();
            if (writer_.FadeStarted()) {
                writer_.FadeStep(clock.ElapsedUs(startCounter_, lastCounter_));
                if (writer_.FadeComplete()) {
                    break;
                }
            }
            const int64_t remaining = deadline - lastCounter_;
            if (remaining <= 0 || context_.StopRequested()) {
                break;
            }
            if (remaining > spinTicks_) {
                Sleep(deadline - spinTicks_);
            }
        }
        if (context_.StopRequested() || writer_.FadeComplete()) {
            break;
        }
        context_.position.SetMs(static_cast<int32_t>(samples_ * 1000 / kVGMSampleRate));
    }
    if (writer_.FadeComplete()) {
        // Where the fade actually ended, not where the last command was.
        samples_ = clock.ElapsedUs(startCounter_, lastCounter_) * kVGMSampleRate / 1000000;
    }
}

bool RegisterPlayback::ProcessCommand() {
    if (context_.StopRequested()) {
        return false;
    }
    const VGMAnalysis& file = context_.file;
    KLINKVGMTarget target;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    const VGMDecodeKind kind =
        DecodeRegisterCommand(std::span<const uint8_t>(file.vgmBuffer), pointer_, target, reg, value, wait);
    switch (kind) {
        case VGMDecodeKind::kRegisterWrite: {
            const bool timeZeroYm2612 = file.hasKl2Registers && samples_ == 0 &&
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
                file.hasKl2Registers && samples_ == 0 && target.writeId == kYM2612Port0 && reg == 0x2B;
            if (StartsSound(target, reg, value) && !dacEnableAtZero) {
                StartTiming();
            }
            writer_.WriteVGMRegister(target, reg, value);
            return true;
        }
        case VGMDecodeKind::kNothing:
            return true;
        case VGMDecodeKind::kWait:
        case VGMDecodeKind::kDACEvent:
            if (file.hasKl2Registers && samples_ == 0 && wait > 0) {
                FlushKL2Startup();
            }
            samples_ += wait;
            return true;
        case VGMDecodeKind::kEnd:
        default:
            break;
    }
    if (file.vgmLoopOffset == 0) {
        return false;
    }
    if (!writer_.FadeStarted() && !CountLoop(completedLoops_, context_.repeatCount)) {
        if (context_.fadeSeconds == 0) {
            return false;
        }
        writer_.StartFade(samples_ * 1000000 / kVGMSampleRate, context_.fadeSeconds);
    }
    // A loop without a wait would replay at once, forever with endless
    // repeat: a core spinning at raised priority in silence.
    if (lastLoopSamples_ == samples_) {
        throw ReadError("Zero-duration VGM loop.");
    }
    lastLoopSamples_ = samples_;
    pointer_ = file.vgmLoopOffset + 0x1C;
    return true;
}

void RegisterPlayback::Sleep(int64_t until) {
    const PlaybackClock& clock = context_.clock;
    // Awake at least every 1 ms while fading (its steps) and every 10 ms
    // otherwise (a stop request, and long silences).
    const int64_t slice = writer_.FadeStarted() ? clock.frequency / 1000 : clock.frequency / 100;
    if (!clock.SleepUntil(std::min(until, lastCounter_ + slice))) {
        clock.SleepMs(1);
    }
}

void RegisterPlayback::RecordLateness(uint64_t samples) {
    LinkWatch* link = context_.link;
    if (link == nullptr) {
        return;
    }
    const PlaybackClock& clock = context_.clock;
    const int64_t now = clock.Now();
    const int64_t due = startCounter_ + clock.Ticks(samples);
    int64_t lateUs = now >= due ? static_cast<int64_t>(clock.ElapsedUs(due, now))
                                : -static_cast<int64_t>(clock.ElapsedUs(now, due));
    // Everything queued ahead of these writes leaves first, at the line's rate.
    int64_t wireUs = 0;
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        const uint32_t rate = link->bytesPerSecond[static_cast<size_t>(i)];
        KLINKConnection* connection = context_.router.Connection(i);
        if (rate != 0 && connection != nullptr) {
            wireUs = std::max<int64_t>(wireUs, connection->PendingBytes() * 1'000'000 / rate);
        }
    }
    link->lateness.Add(lateUs + wireUs);
}

void RegisterPlayback::StartTiming() {
    if (startupSynchronized_) {
        return;
    }
    writer_.FlushWrites();
    context_.router.SynchronizeStartup(context_.cancel);
    context_.router.PreparePlayback();
    // Read after the synchronisation: its time does not count as lateness.
    startCounter_ = context_.clock.Now() - context_.clock.Ticks(samples_);
    startupSynchronized_ = true;
}

void RegisterPlayback::FlushKL2Startup() {
    const KLINKVGMTarget target{kYM2612Port0, 0, 0};
    for (const uint8_t key : kl2Startup_.FinalKeys()) {
        if (StartsSound(target, 0x28, key)) {
            StartTiming();
        }
        writer_.WriteVGMRegister(target, 0x28, key);
    }
    if (kl2Startup_.HasDACWrite()) {
        writer_.WriteVGMRegister(target, 0x2A, kl2Startup_.dacValue);
    }
}

}  // namespace klink
