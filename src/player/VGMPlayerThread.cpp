#include "player/VGMPlayerThread.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <utility>

#include "common/Errors.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "platform/Thread.h"
#include "vgm/VGMAnalysis.h"

namespace klink {

namespace pf = platform;

namespace {

// How long the final drain waits for one port's output queue to empty.
constexpr uint64_t kOutputDrainTimeoutMs = 2000;

}  // namespace

TVGMPlayerThread::TVGMPlayerThread(IPlayerHost& host, std::string fileName, int32_t repeatCount,
                                   int32_t fadeSeconds)
    : FHost(host), FFileName(std::move(fileName)), FRepeatCount(repeatCount), FFadeSeconds(fadeSeconds) {
    for (int i = 0; i < kKLINKConnectionCount; ++i) {
        FPorts[static_cast<size_t>(i)].Handle = pf::kInvalidOSHandle;
        if (host.PortConnected(i)) {
            FPorts[static_cast<size_t>(i)].Handle = host.PortHandle(i);
            FPorts[static_cast<size_t>(i)].Name = host.PortName(i);
        }
    }
    FCancel = [this] { return Terminated(); };
    FCounterFrequency = pf::PerformanceFrequency();
}

TVGMPlayerThread::~TVGMPlayerThread() {
    Stop();
    if (FThread.joinable()) {
        FThread.join();
    }
}

void TVGMPlayerThread::Start() {
    if (FThread.joinable() || Finished()) {
        throw Error("The playback thread was already started.");
    }
    FThread = std::thread([this] { Execute(); });
}

void TVGMPlayerThread::Stop() noexcept { FTerminated.store(true); }

bool TVGMPlayerThread::StopRequested() const noexcept { return FTerminated.load(); }

bool TVGMPlayerThread::Finished() const noexcept { return FFinished.load(std::memory_order_acquire); }

bool TVGMPlayerThread::WaitFor(uint32_t timeoutMs) {
    std::unique_lock lock(FFinishLock);
    return FFinishChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return Finished(); });
}

int32_t TVGMPlayerThread::PositionMS() const noexcept { return FPositionMS.load(); }

bool TVGMPlayerThread::PlaybackCompleted() const noexcept { return FPlaybackCompleted; }

const std::string& TVGMPlayerThread::PlaybackError() const noexcept { return FPlaybackError; }

void TVGMPlayerThread::Log(const std::string& line) {
    FHost.Synchronize([this, &line] { FHost.AppendLog(line); });
}

void TVGMPlayerThread::Execute() noexcept {
    // Both for the whole run, set before the file is read: 1 ms sleeps must
    // be short and the loop must not wait behind ordinary work.
    (void)pf::SetCurrentThreadPriority(pf::ThreadPriority::Highest);
    {
        const pf::TimerResolutionScope timerResolution(1);
        try {
            if (OpenVGMFile() && !Terminated()) {
                FRouter = std::make_unique<TKLINKRouter>(FPorts);
                std::exception_ptr failure;
                try {
                    FRouter->Prepare(FRegisterTargets, FRegisterClocks, FOKIClock, FCancel, FUseKL2DAC);
                    if (FHasKL2Registers && !FUseKL2DAC) {
                        FKL2Registers = std::make_unique<TKL2RegisterState>();
                    }
                    Log(FRouter->Description());
                    FRouter->Start(FRegisterClocks, FOKIClock, FCancel);
                    if (FOKIClock != 0) {
                        FWriter = &FRouter->AudioWriter();
                    }
                    if (!Terminated()) {
                        PlayVGM();
                        FPlaybackCompleted = !Terminated();
                    }
                } catch (...) {
                    failure = std::current_exception();
                }
                // Clean-up runs whatever happened; its own failure is the one
                // reported, since it leaves the boards in a worse state.
                try {
                    std::string report;
                    if (!FRouter->Stop(report)) {
                        throw WriteError("KLINK stop failed: " + report);
                    }
                    DrainOutput(true);
                } catch (...) {
                    failure = std::current_exception();
                }
                FKL2Registers.reset();
                FWriter = nullptr;
                FRouter.reset();
                if (failure) {
                    std::rethrow_exception(failure);
                }
            }
        } catch (const std::exception& e) {
            FPlaybackError = e.what();
        } catch (...) {
            FPlaybackError = "Unknown failure.";
        }
        if (!FPlaybackError.empty() && !Terminated()) {
            try {
                Log("エラー: " + FPlaybackError);
            } catch (...) {
                // The host could not take the line; the result still holds it.
            }
        }
    }
    {
        std::lock_guard lock(FFinishLock);
        FFinished.store(true, std::memory_order_release);
    }
    FFinishChanged.notify_all();
}

bool TVGMPlayerThread::OpenVGMFile() {
    isVGMLoaded = false;
    const std::filesystem::path path(FFileName);
    FHost.Synchronize([this, &path] {
        FHost.ClearHeaderAndTags();
        FHost.SetOpenDialogHints(FFileName, path.parent_path().string());
        FHost.SetFilePath(FFileName);
    });

    TVGMAnalysisObserver observer;
    observer.DisplayFilled = [this](const TVGMDisplay& display) {
        FHost.Synchronize([this, &display] { FHost.ShowHeader(display); });
    };
    observer.LogLine = [this](const std::string& line) { Log(line); };
    TVGMAnalysis analysis = AnalyseVGMFile(path, observer);

    // The tags belong with the header display; the observer only carries the
    // header, so they follow once the analysis has returned.
    if (analysis.Reached(TVGMAnalysisStage::DisplayFilled)) {
        FHost.Synchronize([this, &analysis] { FHost.ShowTags(analysis.gd3); });
    }
    if (!analysis.Ok) {
        if (analysis.Failure) {
            std::rethrow_exception(analysis.Failure);
        }
        throw ReadError(analysis.Error);
    }

    VGMBuffer = std::move(analysis.VGMBuffer);
    gd3offset = analysis.gd3offset;
    vgmVersion = analysis.vgmVersion;
    vgmLoopOffset = analysis.vgmLoopOffset;
    dataOffset = analysis.dataOffset;
    gd3Length = analysis.gd3Length;
    gd3 = std::move(analysis.gd3);
    vgmPointer = dataOffset;
    FRegisterTargets = std::move(analysis.FRegisterTargets);
    FRegisterClocks = std::move(analysis.FRegisterClocks);
    FOKIClock = analysis.FOKIClock;
    FOKIDivider = analysis.FOKIDivider;
    FHasKL2Registers = analysis.FHasKL2Registers;
    FUseKL2DAC = analysis.FUseKL2DAC;
    isVGMLoaded = true;
    return true;
}

void TVGMPlayerThread::PlayVGM() {
    if (!isVGMLoaded) {
        return;
    }
    // The two streaming paths are not part of this build: such a file ends
    // with a message that names what is missing instead of playing wrongly.
    if (FUseKL2DAC) {
        isVGMLoaded = false;
        throw WriteError("KL2 DAC playback is not available in this build.");
    }
    if (FOKIClock != 0) {
        isVGMLoaded = false;
        throw WriteError("ADPCM stream playback is not available in this build.");
    }
    PlayRegisters();
}

void TVGMPlayerThread::DrainOutput(bool final) {
    if (FRouter) {
        FRouter->Drain();
    }
    for (int i = 0; i < kKLINKConnectionCount; ++i) {
        const uint64_t start = pf::TickCount64();
        while (FHost.PortConnected(i) && (final || !Terminated())) {
            if (pf::QuerySerialQueues(FHost.PortHandle(i)).Output == 0) {
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
