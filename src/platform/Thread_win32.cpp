// Windows thread priorities: THREAD_PRIORITY_HIGHEST is the top of the
// process's normal class, below time-critical and the real-time class. The
// playback threads stay there: a real-time class needs the process's class.
#include <cstdint>
#include <string>

#include "platform/Thread.h"
#include "platform/Win32Support.h"

namespace klink::platform {

bool SetCurrentThreadPriority(ThreadPriority priority) noexcept {
    const int value = priority == ThreadPriority::kNormal ? THREAD_PRIORITY_NORMAL : THREAD_PRIORITY_HIGHEST;
    return SetThreadPriority(GetCurrentThread(), value) != 0;
}

std::string DescribeCurrentThreadScheduling() {
    const int value = GetThreadPriority(GetCurrentThread());
    if (value == THREAD_PRIORITY_HIGHEST) return "highest priority";
    if (value == THREAD_PRIORITY_TIME_CRITICAL) return "time-critical priority";
    return "normal priority";
}

bool CurrentThreadIsRealtime() noexcept { return false; }

std::string RealtimeRefusalReason() { return "the playback thread stays in the normal class on Windows"; }

bool SleepUntilCounter(std::int64_t) noexcept { return false; }

MemoryLock::MemoryLock(const void* data, std::size_t size) noexcept : data_(data), size_(size) {
    if (data == nullptr || size == 0) {
        return;
    }
    locked_ = VirtualLock(const_cast<void*>(data), size) != 0;
}

MemoryLock::~MemoryLock() {
    if (locked_) {
        (void)VirtualUnlock(const_cast<void*>(data_), size_);
    }
}

StackLock::StackLock(std::size_t) noexcept {}

StackLock::~StackLock() = default;

}  // namespace klink::platform
