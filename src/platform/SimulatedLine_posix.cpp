// Simulated lines on POSIX systems: the board's record is a small file in the
// simulated-port folder, mapped by both sides and locked by the board.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "common/Errors.h"
#include "platform/SimulatedLine.h"
#include "platform/SimulatedLineTable_posix.h"
#include "platform/SimulatedPorts.h"

namespace klink::platform {
namespace {

// A port's queue before SetupSerialQueues, as the kernel's serial queue.
constexpr std::uint32_t kDefaultQueueBytes = 4096;

std::string RecordPath(const std::filesystem::path& folder, dev_t device) {
    return (folder / (".line-" + std::to_string(static_cast<unsigned long long>(device)))).string();
}

struct HostLine {
    const SimulatedLineRecord* record = nullptr;
    SimulatedLineKind kind = SimulatedLineKind::kUart;
    std::uint64_t written = 0;  // since open or purge
    std::uint64_t base = 0;     // the board's count at that moment
    std::uint32_t queueBytes = kDefaultQueueBytes;

    ~HostLine() {
        if (record != nullptr) munmap(const_cast<SimulatedLineRecord*>(record), sizeof(SimulatedLineRecord));
    }

    // Bytes the board has not taken yet. Bytes it took beyond what this port
    // wrote (left by an earlier opener) move the base instead.
    std::uint64_t Queued() {
        const std::uint64_t taken = record->taken.load(std::memory_order_acquire);
        if (taken - base > written) base = taken - written;
        return written - (taken - base);
    }
};

class HostLineTable {
public:
    void Attach(int fd, std::unique_ptr<HostLine> line) {
        std::lock_guard lock(mutex_);
        lines_[fd] = std::move(line);
    }
    void Detach(int fd) {
        std::lock_guard lock(mutex_);
        lines_.erase(fd);
    }
    template <typename F>
    auto With(int fd, F&& f) -> std::optional<decltype(f(std::declval<HostLine&>()))> {
        std::lock_guard lock(mutex_);
        const auto it = lines_.find(fd);
        if (it == lines_.end()) return std::nullopt;
        return f(*it->second);
    }

private:
    std::mutex mutex_;
    std::unordered_map<int, std::unique_ptr<HostLine>> lines_;
};

HostLineTable& Lines() {
    static HostLineTable table;
    return table;
}

// The live record for the device behind `fd`, mapped read-only; nullptr when
// there is none (not a simulated line, or its board is gone).
const SimulatedLineRecord* FindRecord(int fd) {
    struct stat port {};
    if (fstat(fd, &port) != 0 || !S_ISCHR(port.st_mode)) return nullptr;
    const std::string path = RecordPath(SimulatedPortFolder(), port.st_rdev);
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0) return nullptr;
    struct stat st {};
    // A lock we can take means no board holds the record: it is stale.
    const bool live = fstat(file, &st) == 0 && st.st_uid == geteuid() &&
                      st.st_size >= static_cast<off_t>(sizeof(SimulatedLineRecord)) &&
                      flock(file, LOCK_SH | LOCK_NB) == 0 && flock(file, LOCK_EX | LOCK_NB) != 0;
    void* map =
        live ? mmap(nullptr, sizeof(SimulatedLineRecord), PROT_READ, MAP_SHARED, file, 0) : MAP_FAILED;
    close(file);
    if (map == MAP_FAILED) return nullptr;
    const auto* record = static_cast<const SimulatedLineRecord*>(map);
    if (record->magic != SimulatedLineRecord::kMagic || record->version != SimulatedLineRecord::kVersion ||
        record->device != static_cast<std::uint64_t>(port.st_rdev) || record->kind < 1 || record->kind > 3) {
        munmap(map, sizeof(SimulatedLineRecord));
        return nullptr;
    }
    return record;
}

}  // namespace

SimulatedLinePublisher::SimulatedLinePublisher(const std::string& devicePath, SimulatedLineKind kind) {
    struct stat device {};
    if (stat(devicePath.c_str(), &device) != 0) throw OSError::FromErrno(errno, devicePath);
    path_ = RecordPath(EnsureSimulatedPortFolder(), device.st_rdev);
    // A new file each time: a host may still map the record of a board that used this device before.
    unlink(path_.c_str());
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) throw OSError::FromErrno(errno, path_);
    void* map = MAP_FAILED;
    if (flock(fd_, LOCK_SH) == 0 && ftruncate(fd_, sizeof(SimulatedLineRecord)) == 0) {
        map = mmap(nullptr, sizeof(SimulatedLineRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    }
    if (map == MAP_FAILED) {
        const int code = errno;
        close(fd_);
        unlink(path_.c_str());
        throw OSError::FromErrno(code, path_);
    }
    record_ = new (map) SimulatedLineRecord();
    record_->device = static_cast<std::uint64_t>(device.st_rdev);
    record_->kind = static_cast<std::uint32_t>(kind);
}

SimulatedLinePublisher::~SimulatedLinePublisher() {
    munmap(record_, sizeof(SimulatedLineRecord));
    unlink(path_.c_str());
    close(fd_);
}

void SimulatedLinePublisher::Taken(std::uint64_t count) noexcept {
    record_->taken.fetch_add(count, std::memory_order_release);
}

std::optional<SimulatedLineKind> SimulatedLineOf(OSHandle port) {
    if (port > static_cast<OSHandle>(INT32_MAX)) return std::nullopt;
    return detail::SimulatedLineKindOf(static_cast<int>(port));
}

namespace detail {

void AttachSimulatedLine(int fd) noexcept {
    try {
        const SimulatedLineRecord* record = FindRecord(fd);
        if (record == nullptr) return;
        auto line = std::make_unique<HostLine>();
        line->record = record;
        line->kind = static_cast<SimulatedLineKind>(record->kind);
        line->base = record->taken.load(std::memory_order_acquire);
        Lines().Attach(fd, std::move(line));
    } catch (...) {
        // Without its record the port is a plain pseudo-terminal.
    }
}

void DetachSimulatedLine(int fd) noexcept { Lines().Detach(fd); }

std::optional<SimulatedLineKind> SimulatedLineKindOf(int fd) noexcept {
    return Lines().With(fd, [](HostLine& l) { return l.kind; });
}

void SetSimulatedQueueSize(int fd, std::uint32_t bytes) noexcept {
    (void)Lines().With(fd, [bytes](HostLine& l) {
        l.queueBytes = std::clamp<std::uint32_t>(bytes, 128, 65535);
        return 0;
    });
}

std::optional<std::uint32_t> SimulatedOutputQueue(int fd) noexcept {
    return Lines().With(fd, [](HostLine& l) { return static_cast<std::uint32_t>(l.Queued()); });
}

std::optional<std::uint32_t> SimulatedQueueRoom(int fd) noexcept {
    return Lines().With(fd, [](HostLine& l) {
        const std::uint64_t queued = l.Queued();
        return static_cast<std::uint32_t>(queued >= l.queueBytes ? 0 : l.queueBytes - queued);
    });
}

void SimulatedBytesWriting(int fd, std::uint32_t count) noexcept {
    (void)Lines().With(fd, [count](HostLine& l) {
        l.written += count;
        return 0;
    });
}

void SimulatedBytesUnwritten(int fd, std::uint32_t count) noexcept {
    (void)Lines().With(fd, [count](HostLine& l) {
        l.written -= std::min<std::uint64_t>(count, l.written);
        return 0;
    });
}

void SimulatedQueuePurged(int fd) noexcept {
    (void)Lines().With(fd, [](HostLine& l) {
        l.written = 0;
        l.base = l.record->taken.load(std::memory_order_acquire);
        return 0;
    });
}

}  // namespace detail
}  // namespace klink::platform
