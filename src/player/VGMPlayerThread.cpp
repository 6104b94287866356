#include "player/VGMPlayerThread.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "common/Errors.h"
#include "platform/Clock.h"
#include "platform/PathText.h"
#include "platform/SerialPort.h"
#include "platform/Thread.h"
#include "player/ADPCMStreamPlayback.h"
#include "player/KL2DACPlayback.h"
#include "player/LinkBudget.h"
#include "player/LinkReport.h"
#include "player/RegisterPlayback.h"

namespace klink {

namespace pf = platform;

namespace {

// How long the final drain waits for one port's output queue to empty.
constexpr uint64_t kOutputDrainTimeoutMs = 2000;

// True the first time a port's name is asked about in this program: the
// latency timer note is given once per port.
bool FirstLatencyNote(const std::string& portName) {
    static std::mutex lock;
    static std::set<std::string> told;
    std::lock_guard guard(lock);
    return told.insert(portName).second;
}

// True the first time in this program: what the playback thread got from
// the system is said once.
bool FirstSchedulingNote() {
    static std::atomic<bool> told{false};
    return !told.exchange(true);
}

// The register path keeps time on the host: for its run the thread asks for
// real-time scheduling and keeps the track and its stack resident, so that
// neither a busy machine nor a page fault delays a write. The thread's
// normal-class priority comes back at the end.
class RegisterPathScheduling {
public:
    explicit RegisterPathScheduling(const VGMBytes& file)
        : realtime_(pf::SetCurrentThreadPriority(pf::ThreadPriority::kPlayback) &&
                    pf::CurrentThreadIsRealtime()),
          fileLock_(file.data(), file.size()),
          stackLock_(kStackLockBytes) {}
    ~RegisterPathScheduling() { (void)pf::SetCurrentThreadPriority(pf::ThreadPriority::kHighest); }
    RegisterPathScheduling(const RegisterPathScheduling&) = delete;
    RegisterPathScheduling& operator=(const RegisterPathScheduling&) = delete;

    [[nodiscard]] std::string Note() const {
        return FormatPlaybackThreadNote(pf::DescribeCurrentThreadScheduling(), realtime_,
                                        realtime_ ? std::string() : pf::RealtimeRefusalReason(),
                                        fileLock_.Locked() && stackLock_.Locked());
    }

private:
    static constexpr size_t kStackLockBytes = 64 * 1024;
    bool realtime_;
    pf::MemoryLock fileLock_;
    pf::StackLock stackLock_;
};

}  // namespace

VGMPlayerThread::VGMPlayerThread(PlayerHost& host, std::string fileName, int32_t repeatCount,
                                 int32_t fadeSeconds, PlaybackTiming timing)
    : host_(host),
      fileName_(std::move(fileName)),
      repeatCount_(repeatCount),
      fadeSeconds_(fadeSeconds),
      timing_(timing) {
    for (int i = 0; i < kKLINKConnectionCount; ++i) {
        ports_[static_cast<size_t>(i)].handle = pf::kInvalidOSHandle;
        if (host.PortConnected(i)) {
            ports_[static_cast<size_t>(i)].handle = host.PortHandle(i);
            ports_[static_cast<size_t>(i)].name = host.PortName(i);
        }
    }
    cancel_ = [this] { return Terminated(); };
}

VGMPlayerThread::~VGMPlayerThread() {
    Stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void VGMPlayerThread::Start() {
    if (thread_.joinable() || Finished()) {
        throw Error("The playback thread was already started.");
    }
    try {
        thread_ = std::thread([this] { Execute(); });
    } catch (const std::system_error& e) {
        throw OSError(e.code().value(), e.what());
    }
}

void VGMPlayerThread::Stop() noexcept { terminated_.store(true); }

bool VGMPlayerThread::StopRequested() const noexcept { return terminated_.load(); }

bool VGMPlayerThread::Finished() const noexcept { return finished_.load(std::memory_order_acquire); }

bool VGMPlayerThread::WaitFor(uint32_t timeoutMs) {
    std::unique_lock lock(finishLock_);
    return finishChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return Finished(); });
}

int32_t VGMPlayerThread::PositionMS() const noexcept { return position_.ms.load(); }

bool VGMPlayerThread::PlaybackCompleted() const noexcept { return playbackCompleted_; }

const std::string& VGMPlayerThread::PlaybackError() const noexcept { return playbackError_; }

void VGMPlayerThread::Log(const std::string& line) {
    host_.Synchronize([this, &line] { host_.AppendLog(line); });
}

void VGMPlayerThread::Execute() noexcept {
    // Both for the whole run, set before the file is read: 1 ms sleeps must
    // be short and the loop must not wait behind ordinary work.
    (void)pf::SetCurrentThreadPriority(pf::ThreadPriority::kHighest);
    {
        const pf::TimerResolutionScope timerResolution(1);
        try {
            Run();
        } catch (const std::exception& e) {
            playbackError_ = e.what();
        } catch (...) {
            playbackError_ = "Unknown failure.";
        }
        if (!playbackError_.empty() && !Terminated()) {
            try {
                Log("エラー: " + playbackError_);
            } catch (...) {
                // The host could not take the line; the result still holds it.
            }
        }
    }
    {
        std::lock_guard lock(finishLock_);
        finished_.store(true, std::memory_order_release);
    }
    finishChanged_.notify_all();
}

void VGMPlayerThread::Run() {
    OpenVGMFile();
    if (Terminated()) {
        return;
    }
    KLINKRouter router(ports_);
    try {
        PrepareAndPlay(router);
    } catch (...) {
        // The clean-up runs whatever happened; its own failure replaces this
        // one, since it leaves the boards in a worse state.
        StopRouter(router);
        throw;
    }
    StopRouter(router);
}

void VGMPlayerThread::OpenVGMFile() {
    const std::filesystem::path path = platform::PathFromUtf8(fileName_);
    host_.Synchronize([this, &path] {
        host_.ClearHeaderAndTags();
        host_.SetOpenDialogHints(fileName_, platform::Utf8FromPath(path.parent_path()));
        host_.SetFilePath(fileName_);
    });

    VGMAnalysisObserver observer;
    observer.headerRead = [this](const VGMHeaderSummary& header) {
        host_.Synchronize([this, &header] { host_.ShowHeader(header); });
    };
    observer.logLine = [this](const std::string& line) { Log(line); };
    analysis_ = AnalyseVGMFile(path, observer);

    // The tags belong with the header display; the observer only carries the
    // header, so they follow once the analysis has returned.
    if (analysis_.Reached(VGMAnalysisStage::kHeaderSummarised)) {
        host_.Synchronize([this] { host_.ShowTags(analysis_.gd3); });
    }
    if (!analysis_.ok) {
        if (analysis_.failure) {
            std::rethrow_exception(analysis_.failure);
        }
        throw ReadError(analysis_.error);
    }
}

void VGMPlayerThread::PrepareAndPlay(KLINKRouter& router) {
    router.Prepare(analysis_.registerTargets, analysis_.registerClocks, analysis_.okiClock, cancel_,
                   analysis_.useKl2Dac);
    const std::string timingLine =
        ChooseTiming(timing_, analysis_, router, cancel_, [this](int32_t device) -> uint32_t {
            if (device < 0 || device >= kKLINKConnectionCount) return 0;
            const pf::OSHandle handle = ports_[static_cast<size_t>(device)].handle;
            if (!IsConnectedPort(handle)) return 0;
            return pf::SerialDeviceBytesPerSecond(pf::DescribeSerialDevice(handle).kind);
        });
    Log(router.Description());
    if (!timingLine.empty()) {
        Log(timingLine);
    }
    ReportLinkBeforeTrack(router);
    router.Start(analysis_.registerClocks, analysis_.okiClock, cancel_);
    if (!Terminated()) {
        PlayVGM(router);
        playbackCompleted_ = !Terminated();
        if (playbackCompleted_) {
            const std::string line = link_->streamed
                                         ? FormatStreamLinkReport(link_->underflows, link_->lateEvents)
                                         : FormatRegisterLinkReport(link_->lateness);
            if (!line.empty()) {
                Log(line);
            }
        }
    }
}

void VGMPlayerThread::ReportLinkBeforeTrack(const KLINKRouter& router) {
    link_ = std::make_unique<LinkWatch>();
    const KLINKRoutePlan* plan = router.Plan();
    std::optional<LinkLoad> load;
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        const auto index = static_cast<size_t>(i);
        if (!IsConnectedPort(ports_[index].handle)) {
            continue;
        }
        devices_[index] = pf::DescribeSerialDevice(ports_[index].handle);
        const uint32_t rate = pf::SerialDeviceBytesPerSecond(devices_[index].kind);
        link_->bytesPerSecond[index] = rate;
        if (plan == nullptr || !plan->UsesDevice(i)) {
            continue;
        }
        const std::string note = FormatLatencyTimerNote(ports_[index].name, devices_[index]);
        if (!note.empty() && FirstLatencyNote(ports_[index].name)) {
            Log(note);
        }
        // Nothing this program plays comes near a USB line's rate.
        if (rate == 0 || rate >= pf::kUsbLineBytesPerSecond) {
            continue;
        }
        if (!load) {
            try {
                load = MeasureLinkLoad(analysis_);
            } catch (const Error&) {
                return;  // playback itself reports what is wrong with the file
            }
        }
        const std::string warning = FormatLinkWarning(ports_[index].name, devices_[index], *load);
        if (!warning.empty()) {
            Log(warning);
        }
    }
}

void VGMPlayerThread::PlayVGM(KLINKRouter& router) {
    const PlaybackContext context{.file = analysis_,
                                  .repeatCount = repeatCount_,
                                  .fadeSeconds = fadeSeconds_,
                                  .router = router,
                                  .cancel = cancel_,
                                  .clock = PlaybackClock::System(),
                                  .position = position_,
                                  .report = report_,
                                  .link = link_.get()};
    switch (PlaybackPathFor(analysis_)) {
        case VGMPlaybackPath::kKL2DAC:
            PlayAndReport([&context] { KL2DACPlayback(context).Play(); });
            break;
        case VGMPlaybackPath::kADPCM:
            PlayAndReport([&context] { ADPCMStreamPlayback(context).Play(); });
            break;
        case VGMPlaybackPath::kRegister: {
            const RegisterPathScheduling scheduling(analysis_.vgmBuffer);
            if (FirstSchedulingNote()) {
                Log(scheduling.Note());
            }
            RegisterPlayback(context).Play();
            break;
        }
    }
}

void VGMPlayerThread::PlayAndReport(const std::function<void()>& play) {
    try {
        play();
    } catch (...) {
        LogReport();
        throw;
    }
    LogReport();
}

void VGMPlayerThread::LogReport() noexcept {
    if (report_.empty()) {
        return;
    }
    try {
        Log(report_);
    } catch (...) {
        // The host could not take the line; the run's own result matters more.
    }
}

void VGMPlayerThread::StopRouter(KLINKRouter& router) {
    router.Stop();
    DrainOutput(router, true);
}

void VGMPlayerThread::DrainOutput(KLINKRouter& router, bool final) {
    router.Drain();
    for (int i = 0; i < kKLINKConnectionCount; ++i) {
        const uint64_t start = pf::TickCount64();
        while (host_.PortConnected(i) && (final || !Terminated())) {
            if (pf::QuerySerialQueues(host_.PortHandle(i)).output == 0) {
                break;
            }
            if (pf::TickCount64() - start >= kOutputDrainTimeoutMs) {
                throw WriteError("Serial output did not drain.");
            }
            pf::SleepMs(1);
        }
    }
}

}  // namespace klink
