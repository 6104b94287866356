#pragma once
// The playback thread: plays one VGM file from start to end on the connected
// boards. The host (window or command-line player) creates one per track,
// starts it, polls it, stops it and destroys it.
//
// The run itself lives in VGMPlayerThread.cpp (lifecycle, preparation, clean
// up) and RegisterPlayback.cpp (the register path).

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kl2/KL2RegisterState.h"
#include "kl2/KL2VGMStartup.h"
#include "player/KLINKFadeOut.h"
#include "player/PlayerHost.h"
#include "protocol/KLINKSerialLink.h"
#include "routing/KLINKRouter.h"
#include "vgm/KLINKVGMTarget.h"
#include "vgm/VGMHeader.h"

namespace klink {

class BufferedSerialWriter;

class VGMPlayerThread {
public:
    // Called on the host's thread. Copies the handles and names of the
    // connected ports from `host` now; the thread does not run until Start.
    // repeatCount: passes through the loop (0 = endless); fadeSeconds: 0 = none.
    VGMPlayerThread(PlayerHost& host, std::string fileName, int32_t repeatCount, int32_t fadeSeconds);
    // Requests a stop and waits for the run to end. The host must keep
    // serving Synchronize calls until then, so prefer Stop + polling
    // Finished (or WaitFor) from the host's own loop before destroying.
    ~VGMPlayerThread();

    VGMPlayerThread(const VGMPlayerThread&) = delete;
    VGMPlayerThread& operator=(const VGMPlayerThread&) = delete;

    // Starts the run. Throws std::system_error when no thread can be made,
    // and Error when called a second time.
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
    // Lifecycle and preparation (VGMPlayerThread.cpp).
    void Execute() noexcept;
    [[nodiscard]] bool OpenVGMFile();
    void PlayVGM();
    void DrainOutput(bool final);
    void Log(const std::string& line);
    [[nodiscard]] bool Terminated() const noexcept { return terminated_.load(std::memory_order_relaxed); }
    void SetPosition(int32_t ms) noexcept { (void)positionMs_.exchange(ms); }

    // Register path (RegisterPlayback.cpp).
    void PlayRegisters();
    [[nodiscard]] bool ProcessCommand();
    void WriteVGMRegister(const KLINKVGMTarget& target, uint8_t reg, uint8_t value);
    void QueueWrite(const KLINKVGMTarget& target, uint8_t reg, uint8_t value);
    void AppendBytes(const uint8_t* bytes, int32_t count);
    void FlushWrites();
    void StartTiming();
    void FlushKL2Startup();
    void FadeStep(uint64_t timeUs);
    // Counter ticks of a sample position, without accumulated rounding.
    [[nodiscard]] int64_t Ticks(uint64_t samples) const noexcept;
    // Microseconds from the start counter to `counter`.
    [[nodiscard]] uint64_t ElapsedUS(int64_t counter) const noexcept;

    PlayerHost& host_;

    std::string fileName_;
    int32_t repeatCount_ = 1;
    int32_t fadeSeconds_ = 0;
    KLINKFadeOut fade_;
    uint64_t completedLoops_ = 0;
    BufferedSerialWriter* writer_ = nullptr;  // the router's audio writer; not owned
    std::unique_ptr<KLINKRouter> router_;
    KLINKPorts ports_;
    std::vector<KLINKVGMTarget> registerTargets_;
    std::vector<KLINKVGMClock> registerClocks_;
    uint8_t sendWriteId_ = 0;
    uint8_t sendInstance_ = 0;
    uint8_t sendPage_ = 0;
    uint32_t okiClock_ = 0;
    bool useKl2Dac_ = false;
    bool hasKl2Registers_ = false;
    std::unique_ptr<KL2RegisterState> kl2Registers_;
    KL2VGMStartup kl2Startup_;
    uint16_t okiDivider_ = 0;
    std::string playbackError_;
    bool playbackCompleted_ = false;
    KLINKCancel cancel_;
    int64_t playbackStartCounter_ = 0;
    // The pending register batch; a batch uses at most kMaxBatch bytes.
    static constexpr int32_t kMaxBatch = 254;
    std::array<uint8_t, 1024> batchBuffer_{};
    std::vector<uint8_t> vgmBuffer_;
    int32_t sendCount_ = 0;
    std::atomic<int32_t> positionMs_{0};
    int64_t counterFrequency_ = 1;
    bool startupSynchronized_ = false;
    int64_t lastCounter_ = 0;  // the last counter value the wait read

    uint32_t gd3Offset_ = 0;
    uint32_t vgmPointer_ = 0;
    GD3Strings gd3_;
    uint32_t gd3Length_ = 0;
    uint32_t dataOffset_ = 0;
    uint32_t vgmVersion_ = 0;
    uint32_t vgmLoopOffset_ = 0;
    uint64_t vgmSamples_ = 0;
    bool isVgmLoaded_ = false;

    // Thread state shared with the host's thread.
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::mutex finishLock_;
    std::condition_variable finishChanged_;
    std::thread thread_;
};

}  // namespace klink
