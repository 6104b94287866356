#include "transport/BufferedSerialWriter.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#include "common/Errors.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "platform/SystemError.h"
#include "platform/Thread.h"

namespace klink {
namespace {

namespace pf = platform;

std::atomic<SerialWriteProbe*> gProbe{nullptr};

}  // namespace

BufferedSerialWriter::BufferedSerialWriter(OSHandle port)
    : BufferedSerialWriter(port, Clock{&pf::PerformanceCounter, pf::PerformanceFrequency()}) {}

BufferedSerialWriter::BufferedSerialWriter(OSHandle port, Clock clock)
    : port_(port), queue_(kQueueSize), output_(kQueueSize), clock_(std::move(clock)) {
    thread_ = std::thread(&BufferedSerialWriter::Execute, this);
}

BufferedSerialWriter::~BufferedSerialWriter() { Shutdown(); }

void BufferedSerialWriter::Enqueue(std::span<const uint8_t> data) {
    if (data.size() > static_cast<size_t>(kQueueSize)) {
        throw WriteError("Invalid serial packet size.");
    }
    Enqueue(data.data(), static_cast<int32_t>(data.size()));
}

void SetSerialWriteProbe(SerialWriteProbe* probe) noexcept { gProbe.store(probe, std::memory_order_release); }

void BufferedSerialWriter::Enqueue(const uint8_t* data, int32_t count) {
    if (count == 0) {
        return;
    }
    if (count < 0 || count > kQueueSize) {
        throw WriteError("Invalid serial packet size.");
    }
    SerialWriteProbe* probe = gProbe.load(std::memory_order_acquire);
    const int64_t entered = probe != nullptr ? clock_.counter() : 0;
    bool wasIdle = false;
    {
        std::lock_guard lock(lock_);
        if (!error_.empty()) {
            throw WriteError(error_);
        }
        if (terminated_) {
            throw WriteError("Serial writer is stopping.");
        }
        if (static_cast<int64_t>(count_) + inFlight_ - batchWritten_ + count > limit_) {
            throw WriteError("Serial backlog limit reached; playback stopped.");
        }
        wasIdle = count_ == 0 && inFlight_ == 0;
        if (count_ == 0) {
            oldestCounter_ = clock_.counter();
        }
        const int32_t first = std::min(count, kQueueSize - tail_);
        std::memcpy(queue_.data() + tail_, data, static_cast<size_t>(first));
        std::memcpy(queue_.data(), data + first, static_cast<size_t>(count - first));
        tail_ = (tail_ + count) % kQueueSize;
        count_ += count;
        if (wasIdle) {
            idle_.Reset();
        }
    }
    // Woken after the lock is released: a writer that woke while it was
    // still held would only block on it and need a second wake-up.
    if (wasIdle) {
        ready_.Set();
    }
    if (probe != nullptr) {
        probe->Enqueued(entered, std::span<const uint8_t>(data, static_cast<size_t>(count)));
    }
}

int64_t BufferedSerialWriter::PendingBytes() {
    int64_t pending = 0;
    {
        std::lock_guard lock(lock_);
        if (!error_.empty()) {
            throw WriteError(error_);
        }
        pending = static_cast<int64_t>(count_) + inFlight_ - batchWritten_;
    }
    return pending + OutputQueueBytes();
}

void BufferedSerialWriter::Drain() {
    if (!idle_.Wait(kDrainTimeoutMs)) {
        throw WriteError("Serial writer did not drain within 2 seconds.");
    }
    std::lock_guard lock(lock_);
    if (!error_.empty()) {
        throw WriteError(error_);
    }
}

void BufferedSerialWriter::PreparePlayback() {
    Drain();
    std::lock_guard lock(lock_);
    limit_ = kPlaybackLimit;
}

void BufferedSerialWriter::Shutdown() {
    {
        std::lock_guard lock(lock_);
        terminated_ = true;
    }
    ready_.Set();
    std::lock_guard join(joinLock_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void BufferedSerialWriter::Execute() noexcept {
    // Real-time where the system allows it, one step above the playback
    // thread that hands it the frames; else the highest normal priority.
    (void)pf::SetCurrentThreadPriority(pf::ThreadPriority::kPlaybackWriter);
    // Fine-grained timers for this thread too: its waits end frames' hand-off.
    const pf::TimerResolutionScope timerResolution(1);
    try {
        for (;;) {
            int32_t n = 0;
            int64_t oldest = 0;
            bool terminated = false;
            {
                std::lock_guard lock(lock_);
                n = count_;
                oldest = oldestCounter_;
                // Read together with the count: data queued before Shutdown
                // is always seen before the request to end.
                terminated = terminated_;
                if (n > 0) {
                    const int32_t first = std::min(n, kQueueSize - head_);
                    std::memcpy(output_.data(), queue_.data() + head_, static_cast<size_t>(first));
                    std::memcpy(output_.data() + first, queue_.data(), static_cast<size_t>(n - first));
                    head_ = (head_ + n) % kQueueSize;
                    count_ = 0;
                    inFlight_ = n;
                }
            }
            if (n == 0) {
                if (terminated) {
                    return;
                }
                (void)ready_.Wait(100);
                continue;
            }
            WriteBatch(n, oldest);
            std::lock_guard lock(lock_);
            inFlight_ = 0;
            batchWritten_ = 0;
            if (count_ == 0) {
                idle_.Set();
            }
        }
    } catch (const std::exception& e) {
        std::lock_guard lock(lock_);
        error_ = e.what();
        idle_.Set();
    } catch (...) {
        std::lock_guard lock(lock_);
        error_ = "Serial writer failed.";
        idle_.Set();
    }
}

void BufferedSerialWriter::WriteBatch(int32_t n, int64_t oldest) {
    int32_t written = 0;
    while (written < n) {
        const int32_t chunk = std::min(n - written, kChunkSize);
        SerialWriteProbe* probe = gProbe.load(std::memory_order_acquire);
        const int64_t before = probe != nullptr ? clock_.counter() : 0;
        const int32_t got = WritePort(output_.data() + written, chunk);
        const int64_t now = clock_.counter();
        if (probe != nullptr && got > 0) {
            probe->Written(before, now, got);
        }
        if (got <= 0 || got > chunk) {
            throw WriteError("Serial write made no valid progress.");
        }
        if (now - oldest > 2 * clock_.frequency) {
            throw WriteError("Serial batch exceeded the 2 second limit.");
        }
        written += got;
        // Handed to the port: from now on the driver's queue counts these bytes.
        std::lock_guard lock(lock_);
        batchWritten_ = written;
    }
}

int32_t BufferedSerialWriter::WritePort(const uint8_t* buffer, int32_t count) {
    const pf::SerialWriteResult r =
        pf::WriteSerialPort(port_, std::span<const uint8_t>(buffer, static_cast<size_t>(count)));
    if (r.error != 0) {
        throw WriteError(fmt::format(
            "Serial WriteFile failed: Win32 {} ({}); requested={}, reported={} bytes. Playback stopped.",
            r.error, pf::SystemErrorText(r.error), count, r.written));
    }
    return static_cast<int32_t>(r.written);
}

int64_t BufferedSerialWriter::OutputQueueBytes() { return pf::QuerySerialQueues(port_).output; }

void ConfigureWriteTimeouts(OSHandle port) {
    pf::SerialTimeouts t;
    try {
        t = pf::GetSerialTimeouts(port);
    } catch (const OSError& e) {
        throw WriteError(fmt::format("Serial GetCommTimeouts failed: Win32 {} ({})", e.Code(), e.what()));
    }
    t.writeTotalMultiplierMs = 0;
    t.writeTotalConstantMs = 1000;
    try {
        pf::SetSerialTimeouts(port, t);
    } catch (const OSError& e) {
        throw WriteError(fmt::format("Serial SetCommTimeouts failed: Win32 {} ({})", e.Code(), e.what()));
    }
}

}  // namespace klink
