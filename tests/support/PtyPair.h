#pragma once
// A pseudo-terminal pair standing in for a board: the code under test opens
// SlavePath() as its serial port, the test talks through the master side.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace klink::testing {

class PtyPair {
public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            throw std::runtime_error("cannot open a pseudo-terminal");
        }
        char name[128] = {};
        if (ptsname_r(master_, name, sizeof name) != 0) {
            throw std::runtime_error("no pseudo-terminal name");
        }
        slavePath_ = name;
        // Raw from the start, so nothing is echoed or translated before the
        // code under test configures its side.
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
    ~PtyPair() {
        StopReader();
        HangUp();
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    [[nodiscard]] const std::string& SlavePath() const { return slavePath_; }
    [[nodiscard]] int MasterFd() const { return master_; }

    // The board goes away: the master side closes.
    void HangUp() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

    // Sends bytes to the port's input; waits for room up to 5 s.
    void Send(std::span<const uint8_t> data) {
        size_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (done < data.size() && std::chrono::steady_clock::now() < deadline) {
            const ssize_t n = write(master_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p{master_, POLLOUT, 0};
                poll(&p, 1, 50);
            }
        }
        if (done != data.size()) {
            throw std::runtime_error("pseudo-terminal input is full");
        }
    }

    // Reads until `count` bytes have come or `timeoutMs` has passed.
    std::vector<uint8_t> Receive(size_t count, int timeoutMs = 10000) {
        std::vector<uint8_t> out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            if (!ReadSome(out, count - out.size())) {
                pollfd p{master_, POLLIN, 0};
                poll(&p, 1, 20);
            }
        }
        return out;
    }

    // Collects everything the port writes on a thread until StopReader.
    void StartReader() {
        stop_ = false;
        reader_ = std::thread([this] {
            std::vector<uint8_t> chunk;
            while (!stop_) {
                chunk.clear();
                if (ReadSome(chunk, 4096)) {
                    std::lock_guard lock(mutex_);
                    collected_.insert(collected_.end(), chunk.begin(), chunk.end());
                } else {
                    pollfd p{master_, POLLIN, 0};
                    poll(&p, 1, 10);
                }
            }
        });
    }
    void StopReader() {
        stop_ = true;
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    [[nodiscard]] size_t CollectedSize() {
        std::lock_guard lock(mutex_);
        return collected_.size();
    }
    [[nodiscard]] std::vector<uint8_t> Collected() {
        std::lock_guard lock(mutex_);
        return collected_;
    }
    // Waits until the reader has collected `count` bytes (or 10 s passed).
    bool WaitCollected(size_t count, int timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (CollectedSize() < count) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    // Appends up to `max` bytes; false when nothing was there. EIO only means
    // that the slave side is not open at the moment.
    bool ReadSome(std::vector<uint8_t>& out, size_t max) {
        uint8_t buf[4096];
        const ssize_t n = read(master_, buf, std::min(max, sizeof buf));
        if (n <= 0) {
            return false;
        }
        out.insert(out.end(), buf, buf + n);
        return true;
    }

    int master_ = -1;
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    std::mutex mutex_;
    std::vector<uint8_t> collected_;
};

// Bytes 0..250 repeating, so order and loss show in any stretch.
inline std::vector<uint8_t> Pattern(size_t count, size_t offset = 0) {
    std::vector<uint8_t> v(count);
    for (size_t i = 0; i < count; ++i) {
        v[i] = static_cast<uint8_t>((offset + i) % 251);
    }
    return v;
}

}  // namespace klink::testing
