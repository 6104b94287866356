// POSIX serial ports through termios and ioctl.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "common/Errors.h"
#include "platform/SerialPort.h"
#include "platform/SimulatedLineTable_posix.h"

namespace klink::platform {
namespace {

[[noreturn]] void ThrowErrno(int code) { throw OSError::FromErrno(code); }

int ToFd(OSHandle port) {
    if (port > static_cast<OSHandle>(INT_MAX)) {
        ThrowErrno(EBADF);
    }
    return static_cast<int>(port);
}

// POSIX has no per-handle write time-out, so the values set through
// SetSerialTimeouts live here, keyed by descriptor, from open to close.
class TimeoutTable {
public:
    void Set(int fd, const SerialTimeouts& t) {
        std::lock_guard lock(mutex_);
        table_[fd] = t;
    }
    SerialTimeouts Get(int fd) {
        std::lock_guard lock(mutex_);
        auto it = table_.find(fd);
        return it == table_.end() ? SerialTimeouts{} : it->second;
    }
    void Erase(int fd) {
        std::lock_guard lock(mutex_);
        table_.erase(fd);
    }

private:
    std::mutex mutex_;
    std::unordered_map<int, SerialTimeouts> table_;
};

TimeoutTable& Timeouts() {
    static TimeoutTable table;
    return table;
}

termios GetAttributes(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        ThrowErrno(errno);
    }
    return t;
}

speed_t SpeedFor(std::uint32_t baud) {
    switch (baud) {
        case 50:
            return B50;
        case 75:
            return B75;
        case 110:
            return B110;
        case 134:
            return B134;
        case 150:
            return B150;
        case 200:
            return B200;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 1800:
            return B1800;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
#ifdef B460800
        case 460800:
            return B460800;
#endif
#ifdef B921600
        case 921600:
            return B921600;
#endif
        default:
            ThrowErrno(EINVAL);
    }
}

// Sets or clears modem-control lines. Pseudo-terminals have no such lines and
// answer ENOTTY; that alone is not a failure.
void SetModemLine(int fd, int line, bool on) {
    int bits = line;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && errno != ENOTTY) {
        ThrowErrno(errno);
    }
}

using SteadyClock = std::chrono::steady_clock;

}  // namespace

OSHandle OpenSerialPort(const std::string& path) {
    int fd = -1;
    do {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        ThrowErrno(errno);
    }
    // A process started with a standard stream closed would get its port as
    // descriptor 0, 1 or 2: 0 reads as "not connected" wherever handles are
    // passed on, and a stray print to 1 or 2 would reach the board.
    if (fd <= STDERR_FILENO) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        const int code = errno;
        close(fd);
        if (moved < 0) {
            ThrowErrno(code);
        }
        fd = moved;
    }
    UniqueSerialPort guard(static_cast<OSHandle>(fd));
    if (!isatty(fd)) {
        ThrowErrno(ENOTTY);
    }
    // TIOCEXCL keeps later opens out (except for privileged processes); the
    // advisory lock also stops a privileged second instance of this program.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ThrowErrno(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        ThrowErrno(errno);
    }
    Timeouts().Set(fd, SerialTimeouts{});
    detail::AttachSimulatedLine(fd);
    return guard.Release();
}

void ConfigureSerialPort(OSHandle port, const SerialLineSettings& s) {
    const int fd = ToFd(port);
    if (s.dataBits < 5 || s.dataBits > 8) {
        ThrowErrno(EINVAL);
    }
    termios t = GetAttributes(fd);
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[s.dataBits - 5];
    switch (s.parity) {
        case SerialParity::kNone:
            break;
        case SerialParity::kOdd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case SerialParity::kEven:
            t.c_cflag |= PARENB;
            break;
        case SerialParity::kMark:
        case SerialParity::kSpace:
#ifdef CMSPAR
            t.c_cflag |= PARENB | CMSPAR | (s.parity == SerialParity::kMark ? PARODD : 0);
            break;
#else
            ThrowErrno(EINVAL);
#endif
    }
    // POSIX has no 1.5 stop bits; like most UARTs, use 2 (the hardware
    // itself sends 1.5 only with 5 data bits).
    if (s.stopBits != SerialStopBits::kOne) {
        t.c_cflag |= CSTOPB;
    }
    if (s.rtsCtsFlow) {
        t.c_cflag |= CRTSCTS;
    }
    if (s.xonXoffFlow) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    }
    // Reads return at once with whatever is there.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const speed_t speed = SpeedFor(s.baudRate);
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) {
        ThrowErrno(errno);
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        ThrowErrno(errno);
    }
    SetModemLine(fd, TIOCM_DTR, s.dtr);
    if (!s.rtsCtsFlow) {
        SetModemLine(fd, TIOCM_RTS, s.rts);
    }
}

void SetupSerialQueues(OSHandle port, std::uint32_t, std::uint32_t outputBytes) {
    // The kernel sizes tty queues itself; only check that the port answers.
    // A simulated line's queue is ours to size, as a Windows driver sizes its own.
    const int fd = ToFd(port);
    (void)GetAttributes(fd);
    detail::SetSimulatedQueueSize(fd, outputBytes);
}

void PurgeSerialPort(OSHandle port) {
    const int fd = ToFd(port);
    if (tcflush(fd, TCIOFLUSH) != 0) {
        ThrowErrno(errno);
    }
    detail::SimulatedQueuePurged(fd);
}

SerialQueueCounts QuerySerialQueues(OSHandle port) {
    const int fd = ToFd(port);
    int in = 0;
    int out = 0;
    if (ioctl(fd, FIONREAD, &in) != 0 || ioctl(fd, TIOCOUTQ, &out) != 0) {
        ThrowErrno(errno);
    }
    // A pseudo-terminal shows no output queue; a simulated line's board tells it.
    const std::uint32_t output =
        detail::SimulatedOutputQueue(fd).value_or(out < 0 ? 0 : static_cast<std::uint32_t>(out));
    return {static_cast<std::uint32_t>(in < 0 ? 0 : in), output};
}

std::uint32_t ReadSerialPort(OSHandle port, std::span<std::uint8_t> buffer) {
    const int fd = ToFd(port);
    if (buffer.empty()) {
        return 0;
    }
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got >= 0) {
            return static_cast<std::uint32_t>(got);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        ThrowErrno(errno);
    }
}

SerialWriteResult WriteSerialPort(OSHandle port, std::span<const std::uint8_t> data) {
    SerialWriteResult result;
    if (port > static_cast<OSHandle>(INT_MAX)) {
        result.error = EBADF;
        return result;
    }
    const int fd = static_cast<int>(port);
    const SerialTimeouts t = Timeouts().Get(fd);
    const std::uint64_t totalMs =
        static_cast<std::uint64_t>(t.writeTotalMultiplierMs) * data.size() + t.writeTotalConstantMs;
    const bool limited = totalMs > 0;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(totalMs);

    while (result.written < data.size()) {
        std::size_t want = data.size() - result.written;
        const std::optional<std::uint32_t> room = detail::SimulatedQueueRoom(fd);
        if (room) {
            // A simulated line's queue is full: wait for the board as for a driver's queue.
            if (*room == 0) {
                if (limited && SteadyClock::now() >= deadline) {
                    return result;
                }
                if (!SerialPortPresent(port)) {
                    result.error = EIO;
                    return result;
                }
                pollfd none{-1, 0, 0};
                (void)poll(&none, 0, 1);
                continue;
            }
            want = std::min<std::size_t>(want, *room);
        }
        // Counted before they go, so the board can never be seen to take bytes not yet counted.
        detail::SimulatedBytesWriting(fd, static_cast<std::uint32_t>(want));
        const ssize_t put = write(fd, data.data() + result.written, want);
        detail::SimulatedBytesUnwritten(
            fd, static_cast<std::uint32_t>(want - static_cast<std::size_t>(std::max<ssize_t>(put, 0))));
        if (put > 0) {
            result.written += static_cast<std::uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            result.error = errno;
            return result;
        }
        // The driver's queue is full: wait for room until the time-out.
        int waitMs = -1;
        if (limited) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
            if (left.count() <= 0) {
                return result;
            }
            waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX));
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.error = errno;
            return result;
        }
        if (ready > 0 && (p.revents & POLLNVAL) != 0) {
            result.error = EBADF;
            return result;
        }
        if (ready > 0 && (p.revents & POLLOUT) == 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
            // The other side is gone; the next write says why, else call it EIO.
            const std::size_t rest = data.size() - result.written;
            detail::SimulatedBytesWriting(fd, static_cast<std::uint32_t>(rest));
            const ssize_t last = write(fd, data.data() + result.written, rest);
            detail::SimulatedBytesUnwritten(
                fd, static_cast<std::uint32_t>(rest - static_cast<std::size_t>(std::max<ssize_t>(last, 0))));
            if (last > 0) {
                result.written += static_cast<std::uint32_t>(last);
                continue;
            }
            result.error = (last < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ? errno : EIO;
            return result;
        }
    }
    return result;
}

SerialTimeouts GetSerialTimeouts(OSHandle port) {
    const int fd = ToFd(port);
    (void)GetAttributes(fd);
    return Timeouts().Get(fd);
}

void SetSerialTimeouts(OSHandle port, const SerialTimeouts& timeouts) {
    const int fd = ToFd(port);
    (void)GetAttributes(fd);
    Timeouts().Set(fd, timeouts);
}

bool SerialPortPresent(OSHandle port) noexcept {
    if (port > static_cast<OSHandle>(INT_MAX)) {
        return false;
    }
    const int fd = static_cast<int>(port);
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    // A port opened with CLOCAL never reports a hang-up while its device
    // lives; a pseudo-terminal whose master closed does.
    pollfd p{fd, 0, 0};
    int ready = 0;
    do {
        ready = poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return !(ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0);
}

void CloseSerialPort(OSHandle port) {
    const int fd = ToFd(port);
    Timeouts().Erase(fd);
    detail::DetachSimulatedLine(fd);
    // Never retried: after EINTR the descriptor is already released on Linux,
    // and a retry could close a descriptor another thread just opened.
    if (close(fd) != 0 && errno != EINTR) {
        ThrowErrno(errno);
    }
}

std::string NamedSerialPortPath(int number) { return "/dev/ttyS" + std::to_string(number - 1); }

}  // namespace klink::platform
