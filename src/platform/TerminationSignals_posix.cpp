// POSIX termination requests: the self-pipe pattern.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/Errors.h"
#include "platform/TerminationSignals.h"

namespace klink::platform {
namespace {

// Written by the signal handler; only async-signal-safe calls touch it.
volatile sig_atomic_t gWriteEnd = -1;

extern "C" void OnTerminationSignal(int) {
    const int saved = errno;
    if (gWriteEnd >= 0) {
        const char byte = 1;
        // A full pipe already holds a pending request; nothing is lost.
        (void)::write(gWriteEnd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

int InstallTerminationSignalPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw OSError::FromErrno(errno);
    }
    gWriteEnd = fds[1];
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0) {
        throw OSError::FromErrno(errno);
    }
    return fds[0];
}

int DrainTerminationSignalPipe(int fd) noexcept {
    int count = 0;
    char buffer[64];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            count += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return count;
    }
}

}  // namespace klink::platform
