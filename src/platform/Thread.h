#pragma once
// Priorities, scheduling and processor time of the calling thread, and
// memory kept resident for the real-time threads.

#include <cstddef>
#include <cstdint>
#include <string>

namespace klink::platform {

enum class ThreadPriority {
    kNormal,
    // The highest priority of the normal class. Never a real-time class.
    kHighest,
    // The playback and serial writer threads: real-time scheduling where the
    // system grants it (on Linux SCHED_FIFO, within RLIMIT_RTPRIO or with
    // CAP_SYS_NICE), else kHighest where that is allowed, else unchanged.
    // Such a thread must sleep between its deadlines: at a real-time
    // priority nothing of the normal class runs on its processor meanwhile.
    kPlayback,
    // As kPlayback, one step above it: the writer that the playback thread
    // hands its frames to must not wait behind the playback thread.
    kPlaybackWriter,
};

// Sets the calling thread's priority. Returns false when the system refused
// every step (for example, no permission to raise it); the thread then keeps
// running at its old priority, which is only slower to react, never wrong.
bool SetCurrentThreadPriority(ThreadPriority priority) noexcept;

// What the calling thread runs at, for the log: "real-time (SCHED_FIFO,
// priority 10)", "nice -5", "normal priority".
[[nodiscard]] std::string DescribeCurrentThreadScheduling();

// True when the calling thread runs in a real-time class: its sleeps end on
// time, so it needs no long spin before a deadline.
[[nodiscard]] bool CurrentThreadIsRealtime() noexcept;

// Why a thread asking for kPlayback did not get real-time scheduling, in a
// few words for the log ("RLIMIT_RTPRIO is 0"); empty when it would.
[[nodiscard]] std::string RealtimeRefusalReason();

// Sleeps until the performance counter reaches `counter` (at once when it
// already has). Returns false where the system has no absolute sleep; the
// caller then sleeps in milliseconds.
bool SleepUntilCounter(std::int64_t counter) noexcept;

// Keeps `size` bytes from `data` resident (touching every page first) until
// the lock ends, so that the real-time path never waits for a page fault.
// Not copyable; Locked() is false when the system refused (RLIMIT_MEMLOCK).
class MemoryLock {
public:
    MemoryLock() noexcept = default;
    MemoryLock(const void* data, std::size_t size) noexcept;
    ~MemoryLock();
    MemoryLock(const MemoryLock&) = delete;
    MemoryLock& operator=(const MemoryLock&) = delete;
    [[nodiscard]] bool Locked() const noexcept { return locked_; }

private:
    const void* data_ = nullptr;
    std::size_t size_ = 0;
    bool locked_ = false;
};

// The stack of the calling thread: its next `size` bytes are touched and
// locked like MemoryLock, for as long as the scope lives.
class StackLock {
public:
    explicit StackLock(std::size_t size) noexcept;
    ~StackLock();
    StackLock(const StackLock&) = delete;
    StackLock& operator=(const StackLock&) = delete;
    [[nodiscard]] bool Locked() const noexcept { return locked_; }

private:
    const void* data_ = nullptr;
    std::size_t size_ = 0;
    bool locked_ = false;
};

}  // namespace klink::platform
