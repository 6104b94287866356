#pragma once
// The playback thread: plays one VGM file from start to end on the connected
// boards. The host (window or command-line player) creates one per track,
// starts it, polls it, stops it and destroys it.
//
// Public surface only here; the run itself lives in VGMPlayerThread.cpp and
// the playback paths beside it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "player/PlayerHost.h"

namespace klink {

class TVGMPlayerThread {
public:
    // Called on the host's thread. Copies the handles and names of the
    // connected ports from `host` now; the thread does not run until Start.
    // repeatCount: passes through the loop (0 = endless); fadeSeconds: 0 = none.
    TVGMPlayerThread(IPlayerHost& host, std::string fileName, int32_t repeatCount, int32_t fadeSeconds);
    // Requests a stop and waits for the run to end. The host must keep
    // serving Synchronize calls until then, so prefer Stop + polling
    // Finished (or WaitFor) from the host's own loop before destroying.
    ~TVGMPlayerThread();

    TVGMPlayerThread(const TVGMPlayerThread&) = delete;
    TVGMPlayerThread& operator=(const TVGMPlayerThread&) = delete;

    void Start();
    // Asks the run to end; callable from any thread, returns at once.
    void Stop() noexcept;
    [[nodiscard]] bool StopRequested() const noexcept;
    // The run has ended (Execute returned).
    [[nodiscard]] bool Finished() const noexcept;
    // Waits up to timeoutMs for the run to end; true when it has.
    bool WaitFor(uint32_t timeoutMs);

    // Playback position in milliseconds; read at any time.
    [[nodiscard]] int32_t PositionMS() const noexcept;
    // Valid once Finished: the path returned without a stop request, and the
    // message of the failure that ended the run (empty when none).
    [[nodiscard]] bool PlaybackCompleted() const noexcept;
    [[nodiscard]] const std::string& PlaybackError() const noexcept;

private:
    struct TState;
    std::unique_ptr<TState> FState;
};

}  // namespace klink
