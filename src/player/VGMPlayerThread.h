#pragma once
// The playback thread: plays one VGM file from start to end on the connected
// boards. The host (window or command-line player) creates one per track,
// starts it, polls it, stops it and destroys it.
//
// The thread runs the lifecycle only: it analyses the file, brings the router
// up, hands the run to the one playback path the analysis leads to
// (RegisterPlayback, ADPCMStreamPlayback or KL2DACPlayback, each over a
// PlaybackContext), and always stops the router and drains the output.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/SerialDevice.h"
#include "player/BoardTiming.h"
#include "player/PlaybackContext.h"
#include "player/PlayerHost.h"
#include "protocol/KLINKSerialLink.h"
#include "routing/KLINKRouter.h"
#include "vgm/VGMAnalysis.h"

namespace klink {

class VGMPlayerThread {
public:
    // Called on the host's thread. Copies the handles and names of the
    // connected ports from `host` now; the thread does not run until Start.
    // repeatCount: passes through the loop (0 = endless); fadeSeconds: 0 = none.
    // timing: who times the register writes of a file without samples (see
    // BoardTiming.h); host timing is register playback as it always was.
    VGMPlayerThread(PlayerHost& host, std::string fileName, int32_t repeatCount, int32_t fadeSeconds,
                    PlaybackTiming timing = PlaybackTiming::kHost);
    // Requests a stop and waits for the run to end. The host must keep
    // serving Synchronize calls until then, so prefer Stop + polling
    // Finished (or WaitFor) from the host's own loop before destroying.
    ~VGMPlayerThread();

    VGMPlayerThread(const VGMPlayerThread&) = delete;
    VGMPlayerThread& operator=(const VGMPlayerThread&) = delete;

    // Starts the run. Throws OSError when no thread can be made, and Error
    // when called a second time.
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
    void Execute() noexcept;
    // Execute's guarded work; every failure leaves as an exception.
    void Run();
    // Analyses the file into analysis_, showing its header and tags and
    // logging on the way; throws the analysis failure.
    void OpenVGMFile();
    void PrepareAndPlay(KLINKRouter& router);
    // Runs the playback path the analysis leads to.
    void PlayVGM(KLINKRouter& router);
    // Runs a streaming path, then logs the board's last status text (the
    // report), also when the path failed.
    void PlayAndReport(const std::function<void()>& play);
    void LogReport() noexcept;
    // Before the track: says when a used port cannot carry it, and (once per
    // port in this program) when a USB-serial adapter's latency timer delays replies.
    void ReportLinkBeforeTrack(const KLINKRouter& router);
    // The clean-up once the router exists: stop it (a failed reset is a
    // WriteError), then wait for the output to drain.
    void StopRouter(KLINKRouter& router);
    // final: wait also after a stop request.
    void DrainOutput(KLINKRouter& router, bool final);
    void Log(const std::string& line);
    [[nodiscard]] bool Terminated() const noexcept { return terminated_.load(std::memory_order_relaxed); }

    PlayerHost& host_;
    std::string fileName_;
    int32_t repeatCount_ = 1;
    int32_t fadeSeconds_ = 0;
    PlaybackTiming timing_ = PlaybackTiming::kHost;
    KLINKPorts ports_;
    KLINKCancel cancel_;  // fires once Stop was called

    // The run's state, on the playback thread; the host reads position_.ms
    // at any time and the results once Finished.
    VGMAnalysis analysis_;
    PlaybackPosition position_;
    std::string report_;  // the streaming paths' diagnostics text
    std::array<platform::SerialDeviceInfo, kKLINKConnectionCount> devices_;  // read once the run starts
    std::unique_ptr<LinkWatch> link_;
    std::string playbackError_;
    bool playbackCompleted_ = false;

    // Thread state shared with the host's thread.
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::mutex finishLock_;
    std::condition_variable finishChanged_;
    std::thread thread_;
};

}  // namespace klink
