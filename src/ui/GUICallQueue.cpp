#include "ui/GUICallQueue.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace klink {

void GUICallQueue::Call(const std::function<void()>& call) {
    if (QThread::currentThread() == context_->thread()) {
        call();
        return;
    }
    Entry entry;
    entry.call = &call;
    {
        std::lock_guard lock(lock_);
        queue_.push_back(&entry);
    }
    QMetaObject::invokeMethod(
        context_, [this] { ServePending(); }, Qt::QueuedConnection);
    std::unique_lock lock(lock_);
    done_.wait(lock, [&] { return entry.done; });
    if (entry.error) {
        std::rethrow_exception(entry.error);
    }
}

void GUICallQueue::ServePending() {
    for (;;) {
        Entry* entry = nullptr;
        {
            std::lock_guard lock(lock_);
            if (queue_.empty()) {
                return;
            }
            entry = queue_.front();
            queue_.pop_front();
        }
        try {
            (*entry->call)();
        } catch (...) {
            entry->error = std::current_exception();
        }
        {
            std::lock_guard lock(lock_);
            entry->done = true;
        }
        done_.notify_all();
    }
}

}  // namespace klink
