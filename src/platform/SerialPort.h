#pragma once
// Serial port access on an OS handle: open, line settings, purge, queue
// counts, a read that returns at once, a write bounded by the port's write
// time-outs, a presence check and close.
//
// Every operation that can fail throws klink::OSError whose message is the
// system's own text for the error (no context prefix), so callers can put it
// into their own report texts; its code is the system's (SystemError.h).
// The functions are safe to call from several threads on the same handle as
// long as only one thread reads and one writes.

#include <cstdint>
#include <span>
#include <string>

#include "platform/OSHandle.h"

namespace klink::platform {

enum class SerialParity : std::uint8_t { kNone, kOdd, kEven, kMark, kSpace };
enum class SerialStopBits : std::uint8_t { kOne, kOneAndHalf, kTwo };

struct SerialLineSettings {
    std::uint32_t baudRate = 115200;  // bits per second
    std::uint8_t dataBits = 8;        // 5..8
    SerialParity parity = SerialParity::kNone;
    SerialStopBits stopBits = SerialStopBits::kOne;
    bool dtr = true;           // DTR asserted while open
    bool rts = true;           // RTS asserted (when RTS/CTS handshake is off)
    bool rtsCtsFlow = false;   // hardware handshake
    bool xonXoffFlow = false;  // software handshake in both directions
    std::uint8_t xonChar = 0x11;
    std::uint8_t xoffChar = 0x13;
};

// Bytes waiting in the driver's queues (what ClearCommError reports).
struct SerialQueueCounts {
    std::uint32_t input = 0;   // received, not yet read
    std::uint32_t output = 0;  // written, not yet on the wire
};

// The port's time-outs, in milliseconds, with the Windows meaning:
// a write gives up after writeTotalMultiplierMs * count + writeTotalConstantMs
// (both 0: no limit). Reads on this layer always return at once with what is
// there; the read values are only kept so that get/set round-trips.
struct SerialTimeouts {
    std::uint32_t readIntervalMs = 0;
    std::uint32_t readTotalMultiplierMs = 0;
    std::uint32_t readTotalConstantMs = 0;
    std::uint32_t writeTotalMultiplierMs = 0;
    std::uint32_t writeTotalConstantMs = 0;

    friend bool operator==(const SerialTimeouts&, const SerialTimeouts&) = default;
};

// The outcome of one bounded write: `written` bytes went out; `error` is 0, or the
// system's code of the failure that stopped the write (errno on POSIX, a
// Win32 error code on Windows; SystemErrorText gives its text). A time-out
// is not a failure: it shows as `written` < requested with `error` 0.
struct SerialWriteResult {
    std::uint32_t written = 0;
    int error = 0;
};

// Opens the device at `path` (a symbolic link to one is fine) for reading and
// writing with exclusive access: a port that another process holds fails
// ("Device or resource busy" on POSIX, "Access is denied." on Windows).
// The port is not configured yet; its write time-outs start as none (both 0).
[[nodiscard]] OSHandle OpenSerialPort(const std::string& path);

// Applies the line settings: raw 8-bit transfer, no echo, no line editing,
// the given rate, framing and handshake, and DTR/RTS as asked. Rates the
// system cannot set fail ("Invalid argument" on POSIX).
void ConfigureSerialPort(OSHandle port, const SerialLineSettings& settings);

// Asks for driver queue sizes (SetupComm). Where the system sizes its queues
// itself this only checks that the port is usable.
void SetupSerialQueues(OSHandle port, std::uint32_t inputBytes, std::uint32_t outputBytes);

// Discards everything queued in both directions.
void PurgeSerialPort(OSHandle port);

[[nodiscard]] SerialQueueCounts QuerySerialQueues(OSHandle port);

// Reads at most buffer.size() bytes of what has arrived; returns at once,
// with 0 when nothing is there.
[[nodiscard]] std::uint32_t ReadSerialPort(OSHandle port, std::span<std::uint8_t> buffer);

// Writes the bytes, blocking at most as long as the port's write time-outs
// allow in total.
[[nodiscard]] SerialWriteResult WriteSerialPort(OSHandle port, std::span<const std::uint8_t> data);

[[nodiscard]] SerialTimeouts GetSerialTimeouts(OSHandle port);
void SetSerialTimeouts(OSHandle port, const SerialTimeouts& timeouts);

// False when the device behind an open handle is gone: a USB adapter pulled
// out, a pseudo-terminal whose other side hung up, a closed handle.
[[nodiscard]] bool SerialPortPresent(OSHandle port) noexcept;

// Closes the handle. The handle is released even when this throws.
void CloseSerialPort(OSHandle port);

// The path of the numbered port COMn (1-based): "\\.\COMn" on Windows,
// /dev/ttyS<n-1> on POSIX.
[[nodiscard]] std::string NamedSerialPortPath(int number);

// Closes the port it holds when it goes out of scope. Move-only.
class UniqueSerialPort {
public:
    UniqueSerialPort() noexcept = default;
    explicit UniqueSerialPort(OSHandle handle) noexcept : handle_(handle) {}
    UniqueSerialPort(UniqueSerialPort&& other) noexcept : handle_(other.Release()) {}
    UniqueSerialPort& operator=(UniqueSerialPort&& other) noexcept;
    UniqueSerialPort(const UniqueSerialPort&) = delete;
    UniqueSerialPort& operator=(const UniqueSerialPort&) = delete;
    ~UniqueSerialPort();

    [[nodiscard]] OSHandle Get() const noexcept { return handle_; }
    [[nodiscard]] OSHandle Release() noexcept;
    // Closes now and reports a failed close; the handle is gone either way.
    void Close();

private:
    OSHandle handle_ = kInvalidOSHandle;
};

}  // namespace klink::platform
