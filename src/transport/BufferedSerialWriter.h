#pragma once
// BufferedSerialWriter: a thread that owns all output to one open serial
// port. Producers hand it complete frames with Enqueue, which only copies
// into a 64 KiB ring and never waits for the port; the thread writes the
// ring's contents in chunks of at most 512 bytes. The first failure of the
// thread is kept and raised to every later Enqueue, PendingBytes and Drain.
//
// Thread-safe: Enqueue, PendingBytes, Drain, PreparePlayback and Shutdown may
// be called from any thread (in practice the playback thread).

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/OSHandle.h"

namespace klink {

using platform::OSHandle;

class BufferedSerialWriter {
public:
    static constexpr int32_t kQueueSize = 65536;     // ring bytes, also the largest frame
    static constexpr int32_t kChunkSize = 512;       // bytes per port write
    static constexpr int32_t kInitialLimit = 65536;  // backlog limit until PreparePlayback
    static constexpr int32_t kPlaybackLimit = 8192;  // about 0.7 s at 115200 baud
    static constexpr uint32_t kDrainTimeoutMs = 2000;

    // Starts the writer thread on `port` (not owned; whoever opened it closes
    // it, after this writer has shut down).
    explicit BufferedSerialWriter(OSHandle port);
    // Shuts down: writes what is queued, then ends the thread.
    virtual ~BufferedSerialWriter();
    BufferedSerialWriter(const BufferedSerialWriter&) = delete;
    BufferedSerialWriter& operator=(const BufferedSerialWriter&) = delete;

    // Queues `count` bytes (0 does nothing). Raises WriteError for a bad
    // size, a stored failure, a stopping writer or a full backlog; nothing is
    // queued then.
    void Enqueue(const uint8_t* data, int32_t count);
    void Enqueue(std::span<const uint8_t> data);

    // Bytes queued, being written, and waiting in the driver's output queue.
    [[nodiscard]] int64_t PendingBytes();

    // Waits up to 2 s until everything queued so far has been handed to the
    // port, then raises a stored failure if there is one.
    void Drain();

    // Drain, then lower the backlog limit to 8192 bytes for timed streaming.
    void PreparePlayback();

    // Stops taking data, writes what is queued and waits for the thread.
    // Idempotent; safe from several threads.
    void Shutdown();

    [[nodiscard]] OSHandle Port() const noexcept { return port_; }

protected:
    // Monotonic counter and its ticks per second, for the batch age check.
    struct Clock {
        std::function<int64_t()> counter;
        int64_t frequency = 1;
    };
    BufferedSerialWriter(OSHandle port, Clock clock);

    // One port write of `count` bytes; returns how many went out. Raises
    // WriteError when the port reports a failure. Derived classes overriding
    // these must call Shutdown() in their own destructor.
    virtual int32_t WritePort(const uint8_t* buffer, int32_t count);
    // Bytes in the driver's output queue; raises OSError.
    virtual int64_t OutputQueueBytes();

private:
    void Execute() noexcept;
    void WriteBatch(int32_t n, int64_t oldest);

    const OSHandle port_;
    std::mutex lock_;
    platform::Event ready_{platform::EventReset::kAuto, false};
    platform::Event idle_{platform::EventReset::kManual, true};
    std::vector<uint8_t> queue_;
    std::vector<uint8_t> output_;
    int32_t head_ = 0;
    int32_t tail_ = 0;
    int32_t count_ = 0;
    int32_t inFlight_ = 0;
    // Bytes of the batch in flight already handed to the port. They wait in
    // the driver's queue, which PendingBytes counts, so neither the backlog
    // limit nor PendingBytes counts them again.
    int32_t batchWritten_ = 0;
    int32_t limit_ = kInitialLimit;
    std::string error_;
    bool terminated_ = false;  // guarded by lock_
    const Clock clock_;
    int64_t oldestCounter_ = 0;
    std::mutex joinLock_;
    std::thread thread_;
};

// Timing observer for measurements (benchmarks); none is installed by
// default. Enqueued runs on the enqueuing thread for every accepted Enqueue,
// with the counter read on entry;
// Written runs on the writer thread with the counter just before and just
// after each port write. Implementations must not block, allocate or throw.
class SerialWriteProbe {
public:
    virtual void Enqueued(int64_t counter, std::span<const uint8_t> data) noexcept = 0;
    virtual void Written(int64_t before, int64_t after, int32_t bytes) noexcept = 0;

protected:
    ~SerialWriteProbe() = default;
};

// Installs `probe` for every writer (nullptr removes it). The probe must
// outlive every writer that may still call it.
void SetSerialWriteProbe(SerialWriteProbe* probe) noexcept;

// Gives the port's writes a total time-out of 1000 ms (no per-byte part),
// leaving the read time-outs as they are. Raises WriteError.
void ConfigureWriteTimeouts(OSHandle port);

}  // namespace klink
