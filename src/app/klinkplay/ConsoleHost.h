#pragma once
// The command-line player's side of a playback: the host services of
// PlayerHost on a console. The main thread owns the console; the playback
// thread's calls are queued and run by the main thread while it waits for
// the playback to end (RunPending), which keeps the host's deadlock rule.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "player/PlayerHost.h"

namespace klinkplay {

// "mm:ss.cc" from milliseconds, as the window's time display shows it;
// minutes are not wrapped.
[[nodiscard]] std::string FormatPlaybackTime(int32_t ms);

class ConsoleHost final : public klink::PlayerHost {
public:
    // `out` receives everything; `liveStatus`: redraw the time in place with
    // a carriage return (a terminal), else print a plain line per second.
    // The constructing thread is the host's thread.
    ConsoleHost(std::ostream& out, bool liveStatus);

    // The connection `index` (0 or 1): its open port handle and shown name;
    // an invalid handle disconnects it. Call only while no playback runs.
    void SetPort(int index, klink::platform::OSHandle handle, std::string name);

    // Runs every queued call; waits up to `timeoutMs` for the first one when
    // none is queued. Host's thread only.
    void RunPending(uint32_t timeoutMs);
    // Shows the position (host's thread only).
    void ShowTime(int32_t ms);
    // Ends the live status line so that later output starts on a new line.
    void EndStatus();
    // Prints one message line (host's thread only).
    void Print(const std::string& line);

    // PlayerHost.
    void Synchronize(const std::function<void()>& call) override;
    [[nodiscard]] bool PortConnected(int index) const override;
    [[nodiscard]] klink::platform::OSHandle PortHandle(int index) const override;
    [[nodiscard]] std::string PortName(int index) const override;
    void AppendLog(const std::string& line) override;
    void ClearHeaderAndTags() override;
    void ShowHeader(const klink::VGMHeaderSummary& header) override;
    void ShowTags(const klink::GD3Strings& gd3) override;
    void SetFilePath(const std::string& path) override;
    void SetOpenDialogHints(const std::string& fileName, const std::string& folder) override;

private:
    struct QueuedCall {
        const std::function<void()>* call = nullptr;
        std::exception_ptr failure;
        bool done = false;
    };

    void ClearStatus();

    std::ostream& out_;
    const bool liveStatus_;
    const std::thread::id hostThread_;
    std::array<klink::platform::OSHandle, 2> handles_{klink::platform::kInvalidOSHandle,
                                                      klink::platform::kInvalidOSHandle};
    std::array<std::string, 2> names_;

    std::mutex lock_;
    std::condition_variable queued_;
    std::condition_variable done_;
    std::deque<QueuedCall*> calls_;

    bool statusShown_ = false;
    int32_t lastPlainSecond_ = -1;
    bool headerShown_ = false;
};

}  // namespace klinkplay
