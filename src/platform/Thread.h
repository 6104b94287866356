#pragma once
// Priorities and processor time of the calling thread.

#include <cstdint>

namespace klink::platform {

enum class ThreadPriority {
    kNormal,
    // The highest priority of the normal class, for the playback and writer
    // threads. Never a real-time class: a thread that spins must still leave
    // the rest of the machine its share.
    kHighest,
};

// Sets the calling thread's priority. Returns false when the system refused
// (for example, no permission to raise it); the thread then keeps running at
// its old priority, which is only slower to react, never wrong.
bool SetCurrentThreadPriority(ThreadPriority priority) noexcept;

}  // namespace klink::platform
