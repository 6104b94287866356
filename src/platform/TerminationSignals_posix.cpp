// POSIX termination requests: the self-pipe pattern. The handlers only write
// a byte; a thread of the watch reads it and runs the callback.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <thread>

#include "common/Errors.h"
#include "platform/TerminationSignals.h"

namespace klink::platform {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};

// The pipe the handler writes to, -1 while no watch lives. Lock-free, so
// the handler may read it.
std::atomic<int> gWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<bool> gWatching{false};

extern "C" void OnTerminationSignal(int) {
    const int saved = errno;
    const int fd = gWriteEnd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds pending requests; the watch is awake.
        (void)::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

struct TerminationRequestWatch::State {
    std::function<void()> onRequest;
    int readEnd = -1;
    int writeEnd = -1;
    struct sigaction saved[std::size(kSignals)] = {};
    std::size_t installed = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;

    void Run() {
        char buffer[64];
        while (!stopping.load()) {
            pollfd p{readEnd, POLLIN, 0};
            if (::poll(&p, 1, -1) < 0) {
                continue;  // EINTR: one of our own signals, most likely
            }
            for (;;) {
                const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                for (ssize_t i = 0; i < n && !stopping.load(); ++i) {
                    // 0 is the destructor's wake-up, not a request.
                    if (buffer[i] != 0) {
                        onRequest();
                    }
                }
            }
        }
    }

    void Restore() noexcept {
        while (installed > 0) {
            --installed;
            ::sigaction(kSignals[installed], &saved[installed], nullptr);
        }
        gWriteEnd = -1;
    }

    void Close() noexcept {
        if (readEnd >= 0) ::close(readEnd);
        if (writeEnd >= 0) ::close(writeEnd);
        readEnd = writeEnd = -1;
    }
};

TerminationRequestWatch::TerminationRequestWatch(std::function<void()> onRequest) : state_(new State) {
    if (gWatching.exchange(true)) {
        throw Error("Only one termination request watch may exist at a time.");
    }
    State& s = *state_;
    s.onRequest = std::move(onRequest);
    try {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw OSError::FromErrno(errno);
        }
        s.readEnd = fds[0];
        s.writeEnd = fds[1];
        gWriteEnd = s.writeEnd;
        struct sigaction action {};
        action.sa_handler = OnTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : kSignals) {
            if (::sigaction(signal, &action, &s.saved[s.installed]) != 0) {
                throw OSError::FromErrno(errno);
            }
            ++s.installed;
        }
        s.thread = std::thread([&s] { s.Run(); });
    } catch (...) {
        s.Restore();
        s.Close();
        gWatching = false;
        throw;
    }
}

TerminationRequestWatch::~TerminationRequestWatch() {
    State& s = *state_;
    s.Restore();
    s.stopping = true;
    const char wake = 0;
    (void)::write(s.writeEnd, &wake, 1);
    s.thread.join();
    s.Close();
    gWatching = false;
}

}  // namespace klink::platform
