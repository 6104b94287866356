#pragma once
// The board's end of a pseudo-terminal: the host opens the other end (the
// slave device) as its serial port. The board's end stays raw (no echo, no
// translation) so bytes pass unchanged both ways, and a host that closes the
// port and opens it again finds the board still there.

#include <cstdint>
#include <span>
#include <string>

namespace klink::sim {

enum class SimWaitResult : uint8_t {
    kTimeout,
    kInput,   // bytes are waiting (only when input was asked for)
    kHungUp,  // the host has no open handle on the port (closed it, or never opened it after a close)
    kWoken,   // Wake() was called
};

class SimPseudoTerminal {
public:
    // Opens a new pseudo-terminal pair. Throws OSError.
    SimPseudoTerminal();
    ~SimPseudoTerminal();
    SimPseudoTerminal(const SimPseudoTerminal&) = delete;
    SimPseudoTerminal& operator=(const SimPseudoTerminal&) = delete;

    // The device the host opens, e.g. /dev/pts/7.
    [[nodiscard]] const std::string& DevicePath() const noexcept { return device_; }
    [[nodiscard]] bool Open() const noexcept { return master_ >= 0; }

    // Reads at most buffer.size() bytes; 0 when none are waiting. `hungUp`
    // becomes true when the host's side is closed (the bytes it left are
    // still returned first).
    [[nodiscard]] size_t Read(std::span<uint8_t> buffer, bool& hungUp);
    // Writes what the line takes now; returns the bytes written (0 when its
    // buffer is full or the host's side is closed).
    [[nodiscard]] size_t Write(std::span<const uint8_t> bytes);
    // True while the host's side is closed.
    [[nodiscard]] bool HungUp() const;
    // Reads and drops everything waiting, and makes the line raw again for
    // the next opener; returns the bytes dropped.
    size_t Discard();

    // Waits up to timeoutNs (negative: no limit) for Wake, and when watchLine
    // for a hang-up and (when wantInput) for input.
    SimWaitResult Wait(int64_t timeoutNs, bool watchLine, bool wantInput);
    // Makes a Wait in another thread return. Thread-safe.
    void Wake() noexcept;

    // Closes the board's end: the host sees the device hang up.
    void Close() noexcept;

private:
    void MakeRaw() noexcept;

    int master_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::string device_;
};

// A port name in the simulated-port folder, held for as long as this object
// lives: "sim-<stem>-<n>" with the lowest free n. A lock beside the link
// keeps names unique between running simulators; a name left by a simulator
// that died is taken over.
class SimPortClaim {
public:
    // Claims a name and publishes `device` under it. Throws OSError.
    SimPortClaim(const std::string& stem, const std::string& device);
    ~SimPortClaim();
    SimPortClaim(const SimPortClaim&) = delete;
    SimPortClaim& operator=(const SimPortClaim&) = delete;

    [[nodiscard]] const std::string& Name() const noexcept { return name_; }
    // The link's full path, which the host opens.
    [[nodiscard]] const std::string& Path() const noexcept { return path_; }
    // Withdraws the port now (also done by the destructor).
    void Release() noexcept;

private:
    std::string folder_;
    std::string name_;
    std::string path_;
    std::string lockPath_;
    int lock_ = -1;
};

}  // namespace klink::sim
