#include "player/KL2DACPlayback.h"

#include "common/Errors.h"

namespace klink {

KL2DACPlayback::KL2DACPlayback(const PlaybackContext& /*context*/) {}

void KL2DACPlayback::Play() { throw WriteError("KL2 DAC playback is not available in this build."); }

}  // namespace klink
