#pragma once
// The KL2 DAC path: a KL2 board plays the YM2612 DAC from its own buffer,
// kept about 80 ms ahead of the board's play position, with the register
// writes it can take as timed events; the host writes the rest at their
// time, fades out and reports the board's status line in the context's
// report. The work is KL2DACPlayer's; this path hands it the run's router,
// file and settings and publishes its position.

#include "player/PlaybackContext.h"

namespace klink {

class KL2DACPlayback {
public:
    // The context must outlive this object.
    explicit KL2DACPlayback(const PlaybackContext& context);
    KL2DACPlayback(const KL2DACPlayback&) = delete;
    KL2DACPlayback& operator=(const KL2DACPlayback&) = delete;

    // Plays the file on the router's KL2 DAC board (see KL2DACPlayer) and
    // leaves the board's last status line in the context's report, also
    // when it fails. The position is the time since the board started, every
    // 20 ms; at the end its samples are the end of the stream. Call once per
    // object.
    void Play();

private:
    const PlaybackContext& context_;
};

}  // namespace klink
