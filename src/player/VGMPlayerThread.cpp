#include "player/VGMPlayerThread.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <utility>

#include "common/Errors.h"
#include "platform/Clock.h"
#include "platform/PathText.h"
#include "platform/SerialPort.h"
#include "platform/Thread.h"
#include "vgm/VGMAnalysis.h"

namespace klink {

namespace pf = platform;

namespace {

// How long the final drain waits for one port's output queue to empty.
constexpr uint64_t kOutputDrainTimeoutMs = 2000;

}  // namespace

VGMPlayerThread::VGMPlayerThread(PlayerHost& host, std::string fileName, int32_t repeatCount,
                                 int32_t fadeSeconds)
    : host_(host), fileName_(std::move(fileName)), repeatCount_(repeatCount), fadeSeconds_(fadeSeconds) {
    for (int i = 0; i < kKLINKConnectionCount; ++i) {
        ports_[static_cast<size_t>(i)].handle = pf::kInvalidOSHandle;
        if (host.PortConnected(i)) {
            ports_[static_cast<size_t>(i)].handle = host.PortHandle(i);
            ports_[static_cast<size_t>(i)].name = host.PortName(i);
        }
    }
    cancel_ = [this] { return Terminated(); };
    counterFrequency_ = pf::PerformanceFrequency();
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
    thread_ = std::thread([this] { Execute(); });
}

void VGMPlayerThread::Stop() noexcept { terminated_.store(true); }

bool VGMPlayerThread::StopRequested() const noexcept { return terminated_.load(); }

bool VGMPlayerThread::Finished() const noexcept { return finished_.load(std::memory_order_acquire); }

bool VGMPlayerThread::WaitFor(uint32_t timeoutMs) {
    std::unique_lock lock(finishLock_);
    return finishChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return Finished(); });
}

int32_t VGMPlayerThread::PositionMS() const noexcept { return positionMs_.load(); }

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
            if (OpenVGMFile() && !Terminated()) {
                router_ = std::make_unique<KLINKRouter>(ports_);
                std::exception_ptr failure;
                try {
                    router_->Prepare(registerTargets_, registerClocks_, okiClock_, cancel_, useKl2Dac_);
                    if (hasKl2Registers_ && !useKl2Dac_) {
                        kl2Registers_ = std::make_unique<KL2RegisterState>();
                    }
                    Log(router_->Description());
                    router_->Start(registerClocks_, okiClock_, cancel_);
                    if (okiClock_ != 0) {
                        writer_ = &router_->AudioWriter();
                    }
                    if (!Terminated()) {
                        PlayVGM();
                        playbackCompleted_ = !Terminated();
                    }
                } catch (...) {
                    failure = std::current_exception();
                }
                // Clean-up runs whatever happened; its own failure is the one
                // reported, since it leaves the boards in a worse state.
                try {
                    std::string report;
                    if (!router_->Stop(report)) {
                        throw WriteError("KLINK stop failed: " + report);
                    }
                    DrainOutput(true);
                } catch (...) {
                    failure = std::current_exception();
                }
                kl2Registers_.reset();
                writer_ = nullptr;
                router_.reset();
                if (failure) {
                    std::rethrow_exception(failure);
                }
            }
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

bool VGMPlayerThread::OpenVGMFile() {
    isVgmLoaded_ = false;
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
    VGMAnalysis analysis = AnalyseVGMFile(path, observer);

    // The tags belong with the header display; the observer only carries the
    // header, so they follow once the analysis has returned.
    if (analysis.Reached(VGMAnalysisStage::kHeaderSummarised)) {
        host_.Synchronize([this, &analysis] { host_.ShowTags(analysis.gd3); });
    }
    if (!analysis.ok) {
        if (analysis.failure) {
            std::rethrow_exception(analysis.failure);
        }
        throw ReadError(analysis.error);
    }

    vgmBuffer_ = std::move(analysis.vgmBuffer);
    gd3Offset_ = analysis.gd3offset;
    vgmVersion_ = analysis.vgmVersion;
    vgmLoopOffset_ = analysis.vgmLoopOffset;
    dataOffset_ = analysis.dataOffset;
    gd3Length_ = analysis.gd3Length;
    gd3_ = std::move(analysis.gd3);
    vgmPointer_ = dataOffset_;
    registerTargets_ = std::move(analysis.registerTargets);
    registerClocks_ = std::move(analysis.registerClocks);
    okiClock_ = analysis.okiClock;
    okiDivider_ = analysis.okiDivider;
    hasKl2Registers_ = analysis.hasKl2Registers;
    useKl2Dac_ = analysis.useKl2Dac;
    isVgmLoaded_ = true;
    return true;
}

void VGMPlayerThread::PlayVGM() {
    if (!isVgmLoaded_) {
        return;
    }
    // The two streaming paths are not part of this build: such a file ends
    // with a message that names what is missing instead of playing wrongly.
    if (useKl2Dac_) {
        isVgmLoaded_ = false;
        throw WriteError("KL2 DAC playback is not available in this build.");
    }
    if (okiClock_ != 0) {
        isVgmLoaded_ = false;
        throw WriteError("ADPCM stream playback is not available in this build.");
    }
    PlayRegisters();
}

void VGMPlayerThread::DrainOutput(bool final) {
    if (router_) {
        router_->Drain();
    }
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
