#pragma once
// Helpers for the playback thread tests: a host that records what the thread
// asks of it, simulated boards on open ports, tiny VGM files.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "SimBoard.h"
#include "SimProfile.h"
#include "TempFile.h"
#include "VGMTestBuilder.h"
#include "platform/SerialPort.h"
#include "player/PlaybackContext.h"
#include "player/PlayerHost.h"
#include "player/VGMPlayerThread.h"
#include "routing/KLINKRouter.h"
#include "transport/BufferedSerialWriter.h"
#include "vgm/VGMAnalysis.h"

namespace klink::test {

// Records every host call. Synchronize runs the call at once under a lock:
// the test's thread never has to serve calls while it waits.
class RecordingHost final : public PlayerHost {
public:
    void SetPort(int index, platform::OSHandle handle, std::string name) {
        ports[static_cast<size_t>(index)] = {handle, std::move(name)};
    }

    void Synchronize(const std::function<void()>& call) override {
        std::lock_guard lock(lock_);
        ++synchronizeCalls;
        call();
    }
    bool PortConnected(int index) const override { return platform::IsValidHandle(PortHandle(index)); }
    platform::OSHandle PortHandle(int index) const override { return ports[index == 0 ? 0 : 1].first; }
    std::string PortName(int index) const override { return ports[index == 0 ? 0 : 1].second; }
    void AppendLog(const std::string& line) override { log.push_back(line); }
    void ClearHeaderAndTags() override { calls.push_back("clear"); }
    void ShowHeader(const VGMHeaderSummary& summary) override {
        calls.push_back("header");
        header = summary;
    }
    void ShowTags(const GD3Strings&) override { calls.push_back("tags"); }
    void SetFilePath(const std::string& path) override { calls.push_back("path " + path); }
    void SetOpenDialogHints(const std::string& fileName, const std::string&) override {
        calls.push_back("dialog " + fileName);
    }

    // Copies under the lock, for reading while a thread runs.
    std::vector<std::string> LogLines() {
        std::lock_guard lock(lock_);
        return log;
    }
    // Log lines that start with `prefix`.
    std::vector<std::string> LogStarting(const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& line : LogLines())
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }

    std::array<std::pair<platform::OSHandle, std::string>, 2> ports{
        std::pair{platform::kInvalidOSHandle, std::string()},
        std::pair{platform::kInvalidOSHandle, std::string()}};
    std::vector<std::string> log;
    std::vector<std::string> calls;
    VGMHeaderSummary header;
    int synchronizeCalls = 0;

private:
    std::mutex lock_;
};

// A simulated board with its port opened as the window opens it; at line
// rate unless `throttled` is false (a line as fast as a USB link).
struct SimConnection {
    explicit SimConnection(const std::string& model, sim::SimFaults faults = {}, bool throttled = true,
                           sim::SimLineKind line = sim::SimLineKind::kUart) {
        sim::SimBoardOptions options = Options(std::move(faults), throttled);
        options.line = line;
        board = sim::SimBoard::Start(model, options);
        OpenPort();
    }
    explicit SimConnection(sim::SimProfile profile, sim::SimFaults faults = {}, bool throttled = true) {
        board = sim::SimBoard::Start(std::move(profile), Options(std::move(faults), throttled));
        OpenPort();
    }
    // The host-written register writes in the order the board applied them.
    std::vector<sim::SimTraceEvent> HostWrites() const {
        std::vector<sim::SimTraceEvent> out;
        for (const auto& e : board->Trace())
            if (e.op == sim::SimTraceOp::kReg && e.source == sim::SimWriteSource::kHost) out.push_back(e);
        return out;
    }
    std::vector<sim::SimTraceEvent> Events(sim::SimTraceOp op) const {
        std::vector<sim::SimTraceEvent> out;
        for (const auto& e : board->Trace())
            if (e.op == op) out.push_back(e);
        return out;
    }

    std::unique_ptr<sim::SimBoard> board;
    platform::UniqueSerialPort port;

private:
    static sim::SimBoardOptions Options(sim::SimFaults faults, bool throttled) {
        sim::SimBoardOptions options;
        options.throttled = throttled;
        options.faults = std::move(faults);
        return options;
    }
    void OpenPort() {
        port = platform::UniqueSerialPort(platform::OpenSerialPort(board->DevicePath()));
        platform::ConfigureSerialPort(port.Get(), platform::SerialLineSettings{});
        platform::PurgeSerialPort(port.Get());
        platform::SetupSerialQueues(port.Get(), 4096, 10000);
        ConfigureWriteTimeouts(port.Get());
    }
};

// Files with the clocks of the chips the tests write; commands follow a
// 0x100-byte v1.71 header.
inline VGMBuilder TestFile() {
    VGMBuilder b;
    b.Field(0x30, 3579545);  // YM2151
    return b;
}

inline VGMBuilder KL2TestFile() {
    VGMBuilder b;
    b.Field(0x2C, 7670453);  // YM2612
    b.Field(0x0C, 3579545);  // SN76489
    return b;
}

// A counter in microseconds that moves only when it is read (by `step`) or
// slept on, so a path's waits take no real time and a spin always ends.
struct FakePlaybackClock {
    int64_t now = 0;
    int64_t step = 10;
    uint64_t sleptMs = 0;

    PlaybackClock Clock() {
        return {[this] { return now += step; },
                1000000,
                [this](uint32_t ms) {
                    now += int64_t{ms} * 1000;
                    sleptMs += ms;
                },
                {}};
    }
};

// A playback path's context without the thread: the file's analysis, a
// router prepared and started on one simulated board, a stop flag and a fake
// clock. The router is stopped at the end.
class PathHarness {
public:
    PathHarness(SimConnection& board, const std::vector<uint8_t>& file, int32_t repeatCount = 1,
                int32_t fadeSeconds = 0)
        : analysis_(AnalyseVGMBytes(file)),
          repeatCount_(repeatCount),
          fadeSeconds_(fadeSeconds),
          router_(Ports(board)) {
        if (!analysis_.ok) throw std::runtime_error(analysis_.error);
        router_.Prepare(analysis_.registerTargets, analysis_.registerClocks, analysis_.okiClock, cancel_,
                        analysis_.useKl2Dac);
        router_.Start(analysis_.registerClocks, analysis_.okiClock, cancel_);
    }
    ~PathHarness() {
        try {
            router_.Stop();
        } catch (const std::exception&) {
            // A failed reset at the end does not concern the path under test.
        }
    }
    PathHarness(const PathHarness&) = delete;
    PathHarness& operator=(const PathHarness&) = delete;

    PlaybackContext Context() {
        return {.file = analysis_,
                .repeatCount = repeatCount_,
                .fadeSeconds = fadeSeconds_,
                .router = router_,
                .cancel = cancel_,
                .clock = clock.Clock(),
                .position = position,
                .report = report};
    }
    KLINKRouter& Router() { return router_; }

    FakePlaybackClock clock;
    PlaybackPosition position;
    std::string report;
    std::atomic<bool> stop{false};
    // Optional: also asks for a stop whenever this answers true (read on the path's thread).
    std::function<bool()> stopWhen;

private:
    static KLINKPorts Ports(SimConnection& board) {
        KLINKPorts ports;
        ports[0] = {board.port.Get(), "sim"};
        return ports;
    }

    VGMAnalysis analysis_;
    int32_t repeatCount_ = 1;
    int32_t fadeSeconds_ = 0;
    KLINKCancel cancel_ = [this] { return stop.load() || (stopWhen && stopWhen()); };
    KLINKRouter router_;
};

// Runs a thread to its end; fails the test when it takes longer than `limit`.
inline void RunToEnd(VGMPlayerThread& thread, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    thread.Start();
    ASSERT_TRUE(thread.WaitFor(static_cast<uint32_t>(limit.count()))) << "the run did not end";
}

}  // namespace klink::test
