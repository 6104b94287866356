#pragma once
// The window's view of one playback run: what it starts, polls, stops and
// frees. The real one is the playback thread (CreateVGMPlayerRun); tests may
// hand the window stand-ins through the factory.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "player/BoardTiming.h"
#include "player/PlayerHost.h"

namespace klink {

class PlaybackRun {
public:
    virtual ~PlaybackRun() = default;
    virtual void Start() = 0;
    // Asks the run to end; returns at once.
    virtual void Stop() noexcept = 0;
    [[nodiscard]] virtual bool Finished() const noexcept = 0;
    // Waits up to timeoutMs for the run to end; true when it has.
    virtual bool WaitFor(uint32_t timeoutMs) = 0;
    [[nodiscard]] virtual int32_t PositionMS() const noexcept = 0;
    // Valid once Finished.
    [[nodiscard]] virtual bool PlaybackCompleted() const noexcept = 0;
    [[nodiscard]] virtual std::string PlaybackError() const = 0;
};

// Creates a run for one track, not started yet. Called on the GUI thread.
using PlaybackFactory = std::function<std::unique_ptr<PlaybackRun>(
    PlayerHost& host, const std::string& fileName, int32_t repeatCount, int32_t fadeSeconds,
    PlaybackTiming timing)>;

// The playback thread as a run.
[[nodiscard]] std::unique_ptr<PlaybackRun> CreateVGMPlayerRun(PlayerHost& host, const std::string& fileName,
                                                              int32_t repeatCount, int32_t fadeSeconds,
                                                              PlaybackTiming timing);

}  // namespace klink
