#pragma once
// The KL2 DAC path: a KL2 board plays the YM2612 DAC from its own buffer,
// kept about 80 ms ahead of the board's play position, with the register
// writes it can take as timed events; the host writes the rest at their
// time, fades out and reports the board's status line in the context's
// report.
//
// Not part of this build yet: Play refuses such a file with a message that
// names what is missing instead of playing it wrongly.

#include "player/PlaybackContext.h"

namespace klink {

class KL2DACPlayback {
public:
    // The context must outlive this object.
    explicit KL2DACPlayback(const PlaybackContext& context);
    KL2DACPlayback(const KL2DACPlayback&) = delete;
    KL2DACPlayback& operator=(const KL2DACPlayback&) = delete;

    // Fails with WriteError "KL2 DAC playback is not available in this
    // build.".
    void Play();
};

}  // namespace klink
