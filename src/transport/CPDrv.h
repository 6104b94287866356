#pragma once
// CommPortDriver: opens one serial port, sets its line parameters and keeps
// its input drained while nobody else reads it.
//
// Not thread-safe: every member is called on the owner's thread. The owner
// drives the polling: it runs a periodic timer while onPollingTimer says so
// and calls PollTick from it (a Qt timer in the window, a loop in a
// command-line tool). Handle() may also be read from another thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/OSHandle.h"

namespace klink {

using platform::OSHandle;

enum class BaudRate : uint8_t {
    kCustom,
    k110,
    k300,
    k600,
    k1200,
    k2400,
    k4800,
    k9600,
    k14400,
    k19200,
    k38400,
    k56000,
    k57600,
    k115200,
    k128000,
    k256000,
};

enum class DataBits : uint8_t { k5, k6, k7, k8 };
enum class StopBits : uint8_t { kOne, kOneAndHalf, kTwo };
enum class Parity : uint8_t { kNone, kOdd, kEven, kMark, kSpace };
enum class HwFlowControl : uint8_t { kNone, kNoneRtsOn, kRtsCts };
enum class SwFlowControl : uint8_t { kNone, kXonXoff };

// Bits per second of a named rate; 0 for kCustom.
[[nodiscard]] uint32_t BaudRateBitsPerSecond(BaudRate rate) noexcept;

class CommPortDriver;

using ReceiveDataEvent =
    std::function<void(CommPortDriver& sender, const uint8_t* dataPtr, uint32_t dataSize)>;
using ErrorEvent =
    std::function<void(CommPortDriver& sender, uint16_t errorCode, const std::string& errorText)>;
// Start (`running` true, with the period) or stop the owner's polling timer.
using PollingTimerEvent = std::function<void(CommPortDriver& sender, bool running, uint32_t periodMs)>;

class CommPortDriver {
public:
    static constexpr uint32_t kMinBufSize = 128;
    static constexpr uint32_t kMaxBufSize = 65535;
    static constexpr uint32_t kMinPollingDelay = 5;

    CommPortDriver();
    ~CommPortDriver();
    CommPortDriver(const CommPortDriver&) = delete;
    CommPortDriver& operator=(const CommPortDriver&) = delete;

    // Opens and configures the port; true when it is open afterwards (also
    // when it already was). Failures go to onError.
    bool Connect();
    // Stops the polling and closes the port; Handle() is invalid afterwards
    // even when closing failed.
    void Disconnect();
    [[nodiscard]] bool Connected() const noexcept { return platform::IsValidHandle(Handle()); }

    // Pause counting: polling reads only while the count is 0 or less.
    void PausePolling() noexcept { ++rxPollingPauses_; }
    void ContinuePolling() noexcept { --rxPollingPauses_; }
    [[nodiscard]] bool IsPolling() const noexcept { return rxPollingPauses_ <= 0; }

    // One timer tick: reads what the input queue holds in chunks of at most
    // InBufSize bytes and hands each chunk to onReceiveData. Does nothing when
    // disconnected, paused, or called from inside a tick.
    void PollTick();

    [[nodiscard]] OSHandle Handle() const noexcept { return handle_.load(std::memory_order_acquire); }

    // The setting types are spelled klink::X in this class: the accessors
    // share their names.
    // The device path opened by Connect.
    [[nodiscard]] const std::string& PortName() const noexcept { return portName_; }
    void SetPortName(const std::string& value);
    [[nodiscard]] klink::BaudRate BaudRate() const noexcept { return baudRate_; }
    void SetBaudRate(klink::BaudRate value);
    [[nodiscard]] uint32_t BaudRateValue() const noexcept { return baudRateValue_; }
    void SetBaudRateValue(uint32_t value);
    [[nodiscard]] klink::DataBits DataBits() const noexcept { return dataBits_; }
    void SetDataBits(klink::DataBits value) noexcept { dataBits_ = value; }
    [[nodiscard]] klink::StopBits StopBits() const noexcept { return stopBits_; }
    void SetStopBits(klink::StopBits value) noexcept { stopBits_ = value; }
    [[nodiscard]] klink::Parity Parity() const noexcept { return parity_; }
    void SetParity(klink::Parity value) noexcept { parity_ = value; }
    [[nodiscard]] HwFlowControl HwFlow() const noexcept { return hwFlow_; }
    void SetHwFlow(HwFlowControl value) noexcept { hwFlow_ = value; }
    [[nodiscard]] SwFlowControl SwFlow() const noexcept { return swFlow_; }
    void SetSwFlow(SwFlowControl value) noexcept { swFlow_ = value; }
    [[nodiscard]] bool EnableDTROnOpen() const noexcept { return enableDtrOnOpen_; }
    void SetEnableDTROnOpen(bool value) noexcept { enableDtrOnOpen_ = value; }
    [[nodiscard]] uint32_t InBufSize() const noexcept { return inBufSize_; }
    void SetInBufSize(uint32_t value);
    [[nodiscard]] uint32_t OutBufSize() const noexcept { return outBufSize_; }
    void SetOutBufSize(uint32_t value);
    // Milliseconds between ticks; at least 5.
    [[nodiscard]] uint32_t PollingDelay() const noexcept { return pollingDelay_; }
    void SetPollingDelay(uint32_t value);

    ReceiveDataEvent onReceiveData;
    ErrorEvent onError;
    PollingTimerEvent onPollingTimer;

private:
    bool ApplyCOMSettings();
    void Report(int code, const std::string& text);
    void NotifyTimer(bool running);

    std::atomic<OSHandle> handle_{platform::kInvalidOSHandle};
    std::string portName_;
    klink::BaudRate baudRate_ = klink::BaudRate::k9600;
    uint32_t baudRateValue_ = 9600;
    klink::DataBits dataBits_ = klink::DataBits::k8;
    klink::StopBits stopBits_ = klink::StopBits::kOne;
    klink::Parity parity_ = klink::Parity::kNone;
    HwFlowControl hwFlow_ = HwFlowControl::kNoneRtsOn;
    SwFlowControl swFlow_ = SwFlowControl::kNone;
    bool enableDtrOnOpen_ = true;
    uint32_t inBufSize_ = 2048;
    uint32_t outBufSize_ = 2048;
    uint32_t pollingDelay_ = 50;
    std::vector<uint8_t> tempInBuffer_;
    int32_t rxPollingPauses_ = 0;
    bool isInOnTimer_ = false;
    bool timerRunning_ = false;
};

// The queue sizes and polling period of a driver that reaches a KLINK board:
// 4096-byte input and 10000-byte output queues, input polled every 16 ms.
void ConfigureForKLINK(CommPortDriver& driver);

// Connects `driver` to the KLINK board at `path`: 115200 baud, Connect, then
// the one-second write time-out. Returns false when the
// port could not be opened (the driver told onError why). When the write
// time-out cannot be set, the port is closed again and the error propagates.
bool ConnectAtLineRate(CommPortDriver& driver, const std::string& path);

}  // namespace klink
