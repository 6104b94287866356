#include "player/ADPCMStreamPlayback.h"

#include "common/Errors.h"

namespace klink {

ADPCMStreamPlayback::ADPCMStreamPlayback(const PlaybackContext& /*context*/) {}

void ADPCMStreamPlayback::Play() {
    throw WriteError("ADPCM stream playback is not available in this build.");
}

}  // namespace klink
