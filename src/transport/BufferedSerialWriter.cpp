#include "transport/BufferedSerialWriter.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <system_error>

#include "common/Errors.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "platform/Thread.h"

namespace klink {
namespace {

namespace pf = platform;

std::string SystemText(int code) { return std::generic_category().message(code); }

std::atomic<ISerialWriteProbe*> gProbe{nullptr};

}  // namespace

TBufferedSerialWriter::TBufferedSerialWriter(OSHandle port)
    : TBufferedSerialWriter(port, Clock{&pf::PerformanceCounter, pf::PerformanceFrequency()}) {}

TBufferedSerialWriter::TBufferedSerialWriter(OSHandle port, Clock clock)
    : FPort(port), FQueue(kQueueSize), FOutput(kQueueSize), FClock(std::move(clock)) {
    FThread = std::thread(&TBufferedSerialWriter::Execute, this);
}

TBufferedSerialWriter::~TBufferedSerialWriter() { Shutdown(); }

void TBufferedSerialWriter::Enqueue(std::span<const uint8_t> data) {
    if (data.size() > static_cast<size_t>(kQueueSize)) {
        throw WriteError("Invalid serial packet size.");
    }
    Enqueue(data.data(), static_cast<int32_t>(data.size()));
}

void SetSerialWriteProbe(ISerialWriteProbe* probe) noexcept { gProbe.store(probe, std::memory_order_release); }

void TBufferedSerialWriter::Enqueue(const uint8_t* data, int32_t count) {
    if (count == 0) {
        return;
    }
    if (count < 0 || count > kQueueSize) {
        throw WriteError("Invalid serial packet size.");
    }
    ISerialWriteProbe* probe = gProbe.load(std::memory_order_acquire);
    const int64_t entered = probe != nullptr ? FClock.Counter() : 0;
    bool wasIdle = false;
    {
        std::lock_guard lock(FLock);
        if (!FError.empty()) {
            throw WriteError(FError);
        }
        if (FTerminated) {
            throw WriteError("Serial writer is stopping.");
        }
        if (static_cast<int64_t>(FCount) + FInFlight + count > FLimit) {
            throw WriteError("Serial backlog limit reached; playback stopped.");
        }
        wasIdle = FCount == 0 && FInFlight == 0;
        if (FCount == 0) {
            FOldestCounter = FClock.Counter();
        }
        const int32_t first = std::min(count, kQueueSize - FTail);
        std::memcpy(FQueue.data() + FTail, data, static_cast<size_t>(first));
        std::memcpy(FQueue.data(), data + first, static_cast<size_t>(count - first));
        FTail = (FTail + count) % kQueueSize;
        FCount += count;
        if (wasIdle) {
            FIdle.Reset();
        }
    }
    // Woken after the lock is released: a writer that woke while it was
    // still held would only block on it and need a second wake-up.
    if (wasIdle) {
        FReady.Set();
    }
    if (probe != nullptr) {
        probe->Enqueued(entered, std::span<const uint8_t>(data, static_cast<size_t>(count)));
    }
}

int64_t TBufferedSerialWriter::PendingBytes() {
    int64_t pending = 0;
    {
        std::lock_guard lock(FLock);
        if (!FError.empty()) {
            throw WriteError(FError);
        }
        pending = static_cast<int64_t>(FCount) + FInFlight;
    }
    return pending + OutputQueueBytes();
}

void TBufferedSerialWriter::Drain() {
    if (!FIdle.Wait(kDrainTimeoutMs)) {
        throw WriteError("Serial writer did not drain within 2 seconds.");
    }
    std::lock_guard lock(FLock);
    if (!FError.empty()) {
        throw WriteError(FError);
    }
}

void TBufferedSerialWriter::PreparePlayback() {
    Drain();
    std::lock_guard lock(FLock);
    FLimit = kPlaybackLimit;
}

void TBufferedSerialWriter::Shutdown() {
    {
        std::lock_guard lock(FLock);
        FTerminated = true;
    }
    FReady.Set();
    std::lock_guard join(FJoinLock);
    if (FThread.joinable()) {
        FThread.join();
    }
}

void TBufferedSerialWriter::Execute() noexcept {
    pf::SetCurrentThreadPriority(pf::ThreadPriority::Highest);
    // Fine-grained timers for this thread too: its waits end frames' hand-off.
    const pf::TimerResolutionScope timerResolution(1);
    try {
        for (;;) {
            int32_t n = 0;
            int64_t oldest = 0;
            bool terminated = false;
            {
                std::lock_guard lock(FLock);
                n = FCount;
                oldest = FOldestCounter;
                // Read together with the count: data queued before Shutdown
                // is always seen before the request to end.
                terminated = FTerminated;
                if (n > 0) {
                    const int32_t first = std::min(n, kQueueSize - FHead);
                    std::memcpy(FOutput.data(), FQueue.data() + FHead, static_cast<size_t>(first));
                    std::memcpy(FOutput.data() + first, FQueue.data(), static_cast<size_t>(n - first));
                    FHead = (FHead + n) % kQueueSize;
                    FCount = 0;
                    FInFlight = n;
                }
            }
            if (n == 0) {
                if (terminated) {
                    return;
                }
                (void)FReady.Wait(100);
                continue;
            }
            WriteBatch(n, oldest);
            std::lock_guard lock(FLock);
            FInFlight = 0;
            if (FCount == 0) {
                FIdle.Set();
            }
        }
    } catch (const std::exception& e) {
        std::lock_guard lock(FLock);
        FError = e.what();
        FIdle.Set();
    } catch (...) {
        std::lock_guard lock(FLock);
        FError = "Serial writer failed.";
        FIdle.Set();
    }
}

void TBufferedSerialWriter::WriteBatch(int32_t n, int64_t oldest) {
    int32_t written = 0;
    while (written < n) {
        const int32_t chunk = std::min(n - written, kChunkSize);
        ISerialWriteProbe* probe = gProbe.load(std::memory_order_acquire);
        const int64_t before = probe != nullptr ? FClock.Counter() : 0;
        const int32_t got = WritePort(FOutput.data() + written, chunk);
        const int64_t now = FClock.Counter();
        if (probe != nullptr && got > 0) {
            probe->Written(before, now, got);
        }
        if (got <= 0 || got > chunk) {
            throw WriteError("Serial write made no valid progress.");
        }
        if (now - oldest > 2 * FClock.Frequency) {
            throw WriteError("Serial batch exceeded the 2 second limit.");
        }
        written += got;
    }
}

int32_t TBufferedSerialWriter::WritePort(const uint8_t* buffer, int32_t count) {
    const pf::SerialWriteResult r =
        pf::WriteSerialPort(FPort, std::span<const uint8_t>(buffer, static_cast<size_t>(count)));
    if (r.Error != 0) {
        throw WriteError(fmt::format(
            "Serial WriteFile failed: Win32 {} ({}); requested={}, reported={} bytes. Playback stopped.",
            r.Error, SystemText(r.Error), count, r.Written));
    }
    return static_cast<int32_t>(r.Written);
}

int64_t TBufferedSerialWriter::OutputQueueBytes() { return pf::QuerySerialQueues(FPort).Output; }

void ConfigureWriteTimeouts(OSHandle port) {
    pf::SerialTimeouts t;
    try {
        t = pf::GetSerialTimeouts(port);
    } catch (const OSError& e) {
        throw WriteError(fmt::format("Serial GetCommTimeouts failed: Win32 {} ({})", e.code(), e.what()));
    }
    t.WriteTotalMultiplierMs = 0;
    t.WriteTotalConstantMs = 1000;
    try {
        pf::SetSerialTimeouts(port, t);
    } catch (const OSError& e) {
        throw WriteError(fmt::format("Serial SetCommTimeouts failed: Win32 {} ({})", e.code(), e.what()));
    }
}

}  // namespace klink
