#include "platform/Event.h"

#include <chrono>

namespace klink::platform {

void Event::Set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    if (reset_ == EventReset::kAuto) {
        changed_.notify_one();
    } else {
        changed_.notify_all();
    }
}

void Event::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool Event::Wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) {
        return false;
    }
    if (reset_ == EventReset::kAuto) {
        signalled_ = false;
    }
    return true;
}

bool Event::IsSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

}  // namespace klink::platform
