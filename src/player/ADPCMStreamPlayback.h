#pragma once
// The OKIM6258 stream path: a KL4 board plays one continuous ADPCM stream with
// the YM2151 writes bound to stream positions, while the host writes every
// other chip at its time through a RegisterWriter and fades out on the stream
// time axis.
//
// Not part of this build yet: Play refuses such a file with a message that
// names what is missing instead of playing it wrongly.

#include "player/PlaybackContext.h"

namespace klink {

class ADPCMStreamPlayback {
public:
    // The context must outlive this object.
    explicit ADPCMStreamPlayback(const PlaybackContext& context);
    ADPCMStreamPlayback(const ADPCMStreamPlayback&) = delete;
    ADPCMStreamPlayback& operator=(const ADPCMStreamPlayback&) = delete;

    // Fails with WriteError "ADPCM stream playback is not available in this
    // build.".
    void Play();
};

}  // namespace klink
