#pragma once
// The link budget of a file: the bytes per second its playback puts on the
// line to the board, framed as the playback path sends them, so that a track
// can be checked against its port before it plays.
//
// The figures cover one pass through the file (the intro and the loop once,
// no fade), on the path the file takes:
// - register playback: writes batched as the register path batches them
//   (consecutive writes to one chip, at most 254 bytes, sent when their
//   sample position falls due; the KL2 register rewrite included), one
//   register-write packet per batch;
// - ADPCM stream playback: the STREAM_EVENTS and STREAM_DATA packets of
//   every 5.12 ms chunk, other chips' writes as register packets, and an
//   AUDIO_STATUS request every 20 ms;
// - KL2 DAC playback: REGISTER_EVENTS packets (one tick and one chip each),
//   a DAC_RECORDS packet of up to 60 four-byte records per chunk, start-up
//   writes as register packets, and a DAC_STATUS request every 5 ms, the
//   most often the player asks.
// Every packet counts with its whole frame (envelope, checksum, byte
// stuffing and both delimiters). Replies to the status requests travel the
// other way and are counted apart.

#include <cstdint>
#include <string>

#include "platform/SerialDevice.h"
#include "vgm/VGMAnalysis.h"

namespace klink {

struct LinkLoad {
    VGMPlaybackPath path = VGMPlaybackPath::kRegister;
    uint64_t durationUs = 0;      // playback time covered
    uint64_t toBoardBytes = 0;    // host to board, whole frames
    uint64_t fromBoardBytes = 0;  // board to host: the replies to the status requests
    uint64_t peakBytes = 0;       // the most host-to-board bytes in any one second
    uint64_t peakStartUs = 0;     // where that second begins, on the track's time

    // Host-to-board bytes per second over the whole track (the peak for a
    // track shorter than a second).
    [[nodiscard]] uint64_t AverageBytesPerSecond() const noexcept;
    // Whether a line of `bytesPerSecond` (0: unlimited) carries the busiest second.
    [[nodiscard]] bool FitsLine(uint32_t bytesPerSecond) const noexcept {
        return bytesPerSecond == 0 || peakBytes <= bytesPerSecond;
    }
    [[nodiscard]] bool FitsUart() const noexcept { return FitsLine(platform::kUartLineBytesPerSecond); }
};

// Walks the whole file on the path the analysis chose. `analysis` must be a
// successful one. Throws the file's ReadErrors, as playback would.
[[nodiscard]] LinkLoad MeasureLinkLoad(const VGMAnalysis& analysis);

// "m:ss.s" for a track time in µs: "1:05.3".
[[nodiscard]] std::string FormatTrackTime(uint64_t us);

}  // namespace klink
