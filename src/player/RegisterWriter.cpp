#include "player/RegisterWriter.h"

#include <cstring>
#include <span>
#include <utility>

#include "vgm/KLINKVGM.h"

namespace klink {

namespace {

[[nodiscard]] bool IsSN76489(uint8_t writeId) noexcept { return writeId == 0x30 || writeId == 0x50; }

}  // namespace

RegisterWriter::RegisterWriter(const PlaybackContext& context, bool kl2Rewrite,
                               std::function<void()> onAudible)
    : context_(context), onAudible_(std::move(onAudible)) {
    if (kl2Rewrite) {
        kl2Registers_.emplace();
    }
}

void RegisterWriter::WriteVGMRegister(const KLINKVGMTarget& target, uint8_t reg, uint8_t value) {
    if (kl2Registers_ && context_.router.IsDACRoute(target)) {
        uint8_t prefix = 0;
        if (kl2Registers_->Transform(target, reg, value, prefix)) {
            QueueWrite(target, reg, prefix);
        }
        // The rewrite can turn a data byte into an audible latch.
        if (onAudible_ && StartsSound(target, reg, value)) {
            onAudible_();
        }
    }
    QueueWrite(target, reg, value);
}

void RegisterWriter::QueueWrite(const KLINKVGMTarget& target, uint8_t reg, uint8_t value) {
    if (context_.StopRequested()) {
        return;
    }
    if (batchCount_ > 0 && target != batchTarget_) {
        FlushWrites();
    }
    batchTarget_ = target;
    if (IsSN76489(target.writeId)) {
        AppendBytes(&value, 1);
    } else {
        const uint8_t pair[2] = {reg, value};
        AppendBytes(pair, 2);
    }
}

void RegisterWriter::AppendBytes(const uint8_t* bytes, int32_t count) {
    if (context_.StopRequested()) {
        return;
    }
    if (batchCount_ + count > kMaxBatch) {
        FlushWrites();
    }
    if (context_.StopRequested()) {
        return;
    }
    std::memcpy(batch_.data() + batchCount_, bytes, static_cast<size_t>(count));
    batchCount_ += count;
}

void RegisterWriter::FlushWrites() {
    if (batchCount_ <= 0) {
        return;
    }
    if (!context_.StopRequested()) {
        context_.router.WriteRegisters(
            batchTarget_.writeId, batchTarget_.instance, batchTarget_.page,
            std::span<const uint8_t>(batch_.data(), static_cast<size_t>(batchCount_)), context_.cancel);
    }
    batchCount_ = 0;
}

void RegisterWriter::StartFade(uint64_t startUs, int32_t seconds) { fade_.Start(startUs, seconds); }

void RegisterWriter::FadeStep(uint64_t timeUs) {
    if (fade_.started) {
        context_.position.SetMs(static_cast<int32_t>(timeUs / 1000));
    }
    uint8_t attenuation = 0;
    while (!context_.StopRequested() && fade_.Advance(timeUs, attenuation)) {
        FlushWrites();
        context_.router.SetVolume(attenuation, context_.cancel, false);
    }
}

}  // namespace klink
