// POSIX durable writes: write + fsync, rename + fsync of the folder.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/Errors.h"
#include "platform/DurableFile.h"

namespace klink::platform {
namespace {

// Closes a descriptor on every path out; a failed close after a successful
// fsync loses nothing, so it is not reported from here.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    [[nodiscard]] int Get() const noexcept { return fd_; }
    // Closes now and reports a failure (NFS reports late write errors here).
    void Close() {
        int fd = fd_;
        fd_ = -1;
        // Not retried on EINTR: the descriptor is released either way.
        if (::close(fd) != 0 && errno != EINTR) {
            throw OSError::FromErrno(errno);
        }
    }

private:
    int fd_;
};

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
    for (;;) {
        int fd = ::open(path, flags | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EINTR) {
            return fd;
        }
    }
}

void SyncRetrying(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            throw OSError::FromErrno(errno);
        }
    }
}

}  // namespace

void WriteFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    FileDescriptor file(OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (file.Get() < 0) {
        throw OSError::FromErrno(errno);
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(file.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw OSError::FromErrno(errno);
        }
        done += static_cast<size_t>(n);
    }
    SyncRetrying(file.Get());
    file.Close();
}

void ReplaceFileDurably(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        throw OSError::FromErrno(errno);
    }
    // The rename is only durable once the folder entry is flushed.
    std::filesystem::path folder = to.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    FileDescriptor dir(OpenRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.Get() < 0) {
        throw OSError::FromErrno(errno);
    }
    // Some file systems cannot sync a folder (EINVAL); the data itself is synced.
    while (::fsync(dir.Get()) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno == EINVAL || errno == EROFS) {
            break;
        }
        throw OSError::FromErrno(errno);
    }
}

}  // namespace klink::platform
