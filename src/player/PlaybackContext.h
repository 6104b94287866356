#pragma once
// What a playback path gets from the run that hosts it: the file and its
// settings, the started router, the stop request, the clock, and where to
// leave its position and diagnostics. The playback thread builds one per run
// and outlives every path that holds it; a path owns nothing in it.
//
// A path is a class over this context with one Play() that runs on the
// playback thread until the file has played, a stop was requested or a
// failure (an exception of common/Errors.h) ends it.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "player/LinkReport.h"
#include "player/PlaybackClock.h"
#include "protocol/KLINKSerialLink.h"
#include "routing/KLINKRouter.h"
#include "vgm/VGMAnalysis.h"

namespace klink {

// Where the run has got to.
struct PlaybackPosition {
    // Milliseconds of playback. Written only by the playback thread, always
    // by an atomic exchange; the host reads it at any time.
    std::atomic<int32_t> ms{0};
    // VGM samples the path has reached, across loops. The playback thread's
    // alone; a path leaves it where it stopped.
    uint64_t samples = 0;

    void SetMs(int32_t value) noexcept { (void)ms.exchange(value); }
};

// How the run watches its link: the rate of each connection's line and where
// the register path records how late its writes reach it.
struct LinkWatch {
    // Bytes per second each way of connection 1 and 2 (0: not limited, or no port).
    std::array<uint32_t, kKLINKConnectionCount> bytesPerSecond{};
    // Register path: how late its writes reached the line.
    WriteLateness lateness;
    // Streaming paths: set `streamed` and the board's counts from its final
    // status; the run then reports those instead of the lateness.
    bool streamed = false;
    uint32_t underflows = 0;
    uint32_t lateEvents = 0;
};

struct PlaybackContext {
    const VGMAnalysis& file;    // a successful analysis: the file image, offsets, routes, clocks
    int32_t repeatCount = 1;    // passes through the loop before the end (0 = endless)
    int32_t fadeSeconds = 0;    // fade-out length, 0 = stop at the end instead
    KLINKRouter& router;        // prepared and started; only the playback thread calls it
    const KLINKCancel& cancel;  // fires once a stop was requested; handed to every router call
    PlaybackClock clock;
    PlaybackPosition& position;
    // Diagnostics text of the streaming paths (the last board status); the
    // register path leaves it alone.
    std::string& report;
    // Optional; the register path records its lateness here.
    LinkWatch* link = nullptr;

    [[nodiscard]] bool StopRequested() const { return cancel && cancel(); }
};

}  // namespace klink
