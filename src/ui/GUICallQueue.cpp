#include "ui/GUICallQueue.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace klink {

void TGUICallQueue::Call(const std::function<void()>& call) {
    if (QThread::currentThread() == FContext->thread()) {
        call();
        return;
    }
    TEntry entry;
    entry.Call = &call;
    {
        std::lock_guard lock(FLock);
        FQueue.push_back(&entry);
    }
    QMetaObject::invokeMethod(
        FContext, [this] { ServePending(); }, Qt::QueuedConnection);
    std::unique_lock lock(FLock);
    FDone.wait(lock, [&] { return entry.Done; });
    if (entry.Error) {
        std::rethrow_exception(entry.Error);
    }
}

void TGUICallQueue::ServePending() {
    for (;;) {
        TEntry* entry = nullptr;
        {
            std::lock_guard lock(FLock);
            if (FQueue.empty()) {
                return;
            }
            entry = FQueue.front();
            FQueue.pop_front();
        }
        try {
            (*entry->Call)();
        } catch (...) {
            entry->Error = std::current_exception();
        }
        {
            std::lock_guard lock(FLock);
            entry->Done = true;
        }
        FDone.notify_all();
    }
}

}  // namespace klink
