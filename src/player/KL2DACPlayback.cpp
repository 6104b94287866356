#include "player/KL2DACPlayback.h"

#include "player/KL2DACPlayer.h"

namespace klink {

KL2DACPlayback::KL2DACPlayback(const PlaybackContext& context) : context_(context) {}

void KL2DACPlayback::Play() {
    const VGMAnalysis& file = context_.file;
    PlaybackPosition& position = context_.position;
    position.samples = 0;
    KL2DACPlayer player(context_.router, context_.clock, file.vgmBuffer, file.dataOffset, file.vgmLoopOffset,
                        context_.repeatCount, context_.fadeSeconds);
    const KL2Progress progress = [&position](uint64_t tick) {
        position.samples = tick;
        position.SetMs(static_cast<int32_t>(tick * 1000 / kVGMSampleRate));
    };
    try {
        player.Play(context_.cancel, progress);
    } catch (...) {
        context_.report = player.Report();
        throw;
    }
    context_.report = player.Report();
    if (context_.link != nullptr) {
        context_.link->streamed = true;
        context_.link->underflows = player.LastStatus().underflows;
        context_.link->lateEvents = player.LastStatus().lateDac;
    }
}

}  // namespace klink
