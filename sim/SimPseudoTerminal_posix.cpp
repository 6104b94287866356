// Pseudo-terminals and the port-name lock on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "SimPseudoTerminal.h"
#include "common/Errors.h"
#include "platform/SimulatedPorts.h"

namespace klink::sim {

SimPseudoTerminal::SimPseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) throw OSError::FromErrno(errno, "posix_openpt");
    char name[128] = {};
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        const int code = errno;
        ::close(master_);
        throw OSError::FromErrno(code, "pseudo-terminal");
    }
    device_ = name;
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        const int code = errno;
        ::close(master_);
        throw OSError::FromErrno(code, "pipe");
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    MakeRaw();
}

SimPseudoTerminal::~SimPseudoTerminal() {
    Close();
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

void SimPseudoTerminal::MakeRaw() noexcept {
    // Termios settings made through the master belong to the slave side,
    // which is what the host opens.
    termios t{};
    if (master_ >= 0 && tcgetattr(master_, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        tcsetattr(master_, TCSANOW, &t);
    }
}

size_t SimPseudoTerminal::Read(std::span<uint8_t> buffer, bool& hungUp) {
    hungUp = false;
    if (master_ < 0 || buffer.empty()) return 0;
    for (;;) {
        const ssize_t got = ::read(master_, buffer.data(), buffer.size());
        if (got > 0) return static_cast<size_t>(got);
        if (got < 0 && errno == EINTR) continue;
        // EIO: the slave side has no opener left.
        if (got == 0 || errno == EIO) hungUp = true;
        return 0;
    }
}

size_t SimPseudoTerminal::Write(std::span<const uint8_t> bytes) {
    if (master_ < 0 || bytes.empty()) return 0;
    for (;;) {
        const ssize_t put = ::write(master_, bytes.data(), bytes.size());
        if (put >= 0) return static_cast<size_t>(put);
        if (errno == EINTR) continue;
        return 0;
    }
}

bool SimPseudoTerminal::HungUp() const {
    if (master_ < 0) return true;
    pollfd p{master_, 0, 0};
    int ready = 0;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (p.revents & POLLHUP) != 0;
}

size_t SimPseudoTerminal::Discard() {
    uint8_t buffer[4096];
    size_t dropped = 0;
    for (int i = 0; i < 64 && master_ >= 0; ++i) {
        const ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got > 0) dropped += static_cast<size_t>(got);
        if (got <= 0 && !(got < 0 && errno == EINTR)) break;
    }
    MakeRaw();
    return dropped;
}

SimWaitResult SimPseudoTerminal::Wait(int64_t timeoutNs, bool watchLine, bool wantInput) {
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {master_, static_cast<short>(wantInput ? POLLIN : 0), 0}};
    const nfds_t count = master_ >= 0 && watchLine ? 2 : 1;
    timespec ts{};
    timespec* limit = nullptr;
    if (timeoutNs >= 0) {
        ts.tv_sec = static_cast<time_t>(timeoutNs / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(timeoutNs % 1'000'000'000);
        limit = &ts;
    }
    const int ready = ::ppoll(fds, count, limit, nullptr);
    if (ready <= 0) return SimWaitResult::kTimeout;
    if ((fds[0].revents & POLLIN) != 0) {
        uint8_t drain[64];
        while (::read(wakeRead_, drain, sizeof drain) > 0) {
        }
        return SimWaitResult::kWoken;
    }
    if (count == 2 && (fds[1].revents & POLLIN) != 0) return SimWaitResult::kInput;
    if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) return SimWaitResult::kHungUp;
    return SimWaitResult::kTimeout;
}

void SimPseudoTerminal::Wake() noexcept {
    if (wakeWrite_ >= 0) {
        const uint8_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &one, 1);
    }
}

void SimPseudoTerminal::Close() noexcept {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

SimPortClaim::SimPortClaim(const std::string& stem, const std::string& device) {
    folder_ = platform::EnsureSimulatedPortFolder().string();
    for (int n = 1; n < 1000; ++n) {
        const std::string name = std::string(platform::kSimulatedPortPrefix) + stem + "-" + std::to_string(n);
        const std::string lockPath = folder_ + "/." + name + ".lock";
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) throw OSError::FromErrno(errno, lockPath);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        // The lock file may have been removed by its previous holder between
        // our open and our lock; then this lock guards nothing.
        struct stat held {};
        struct stat now {};
        if (::fstat(fd, &held) != 0 || ::stat(lockPath.c_str(), &now) != 0 || held.st_ino != now.st_ino ||
            held.st_dev != now.st_dev) {
            ::close(fd);
            --n;
            continue;
        }
        lock_ = fd;
        name_ = name;
        lockPath_ = lockPath;
        try {
            path_ = platform::CreateSimulatedPortLink(folder_, name_, device).string();
        } catch (...) {
            Release();
            throw;
        }
        return;
    }
    throw OSError(EBUSY, "no free simulated port name for " + stem);
}

SimPortClaim::~SimPortClaim() { Release(); }

void SimPortClaim::Release() noexcept {
    if (lock_ < 0) return;
    platform::RemoveSimulatedPortLink(folder_, name_);
    ::unlink(lockPath_.c_str());
    ::close(lock_);
    lock_ = -1;
}

}  // namespace klink::sim
