#pragma once
// Auto-reset and manual-reset events for waking threads, as the writer uses
// them. Thread-safe.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace klink::platform {

enum class EventReset {
    kAuto,    // a successful Wait clears the event again (wakes one waiter)
    kManual,  // stays signalled until Reset (wakes every waiter)
};

class Event {
public:
    Event(EventReset reset, bool signalled) : reset_(reset), signalled_(signalled) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits at most `timeoutMs` milliseconds; true when the event was
    // signalled (and, for an auto-reset event, is now cleared).
    [[nodiscard]] bool Wait(std::uint32_t timeoutMs);
    [[nodiscard]] bool IsSet() const;

private:
    const EventReset reset_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
};

}  // namespace klink::platform
