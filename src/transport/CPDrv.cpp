#include "transport/CPDrv.h"

#include <algorithm>
#include <span>

#include "common/Errors.h"
#include "platform/SerialPort.h"
#include "transport/BufferedSerialWriter.h"

namespace klink {
namespace {

namespace pf = platform;

uint32_t ClampBufSize(uint32_t value) {
    return std::clamp(value, CommPortDriver::kMinBufSize, CommPortDriver::kMaxBufSize);
}

// Clears a flag when the scope ends, however it ends.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag_;
};

}  // namespace

uint32_t BaudRateBitsPerSecond(BaudRate rate) noexcept {
    static constexpr uint32_t kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                          14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return kRates[static_cast<size_t>(rate)];
}

CommPortDriver::CommPortDriver() : portName_(pf::NamedSerialPortPath(2)) {}

CommPortDriver::~CommPortDriver() {
    // The owner is going away as well: neither its timer nor its error
    // handler may be called any more.
    onPollingTimer = nullptr;
    onError = nullptr;
    Disconnect();
}

bool CommPortDriver::Connect() {
    if (Connected()) {
        return true;
    }
    OSHandle handle = pf::kInvalidOSHandle;
    try {
        handle = pf::OpenSerialPort(portName_);
    } catch (const OSError& e) {
        Report(e.Code(), std::string("Error connecting. Reason: ") + e.what());
        return false;
    }
    handle_.store(handle, std::memory_order_release);
    tempInBuffer_.assign(inBufSize_, 0);
    if (!ApplyCOMSettings()) {
        Disconnect();
        return false;
    }
    // Reads return at once; the driver's own sends give up after 10 ms.
    // The program replaces the write values right after connecting.
    try {
        pf::SetSerialTimeouts(handle, pf::SerialTimeouts{1, 0, 1, 0, 10});
    } catch (const OSError& e) {
        Report(e.Code(), std::string("Error connecting. Reason: ") + e.what());
        Disconnect();
        return false;
    }
    NotifyTimer(true);
    return true;
}

bool CommPortDriver::ApplyCOMSettings() {
    const OSHandle handle = Handle();
    pf::SerialLineSettings s;
    s.baudRate = baudRateValue_;
    s.dataBits = static_cast<uint8_t>(static_cast<int>(dataBits_) + 5);
    static constexpr pf::SerialParity kParity[] = {pf::SerialParity::kNone, pf::SerialParity::kOdd,
                                                   pf::SerialParity::kEven, pf::SerialParity::kMark,
                                                   pf::SerialParity::kSpace};
    s.parity = kParity[static_cast<size_t>(parity_)];
    static constexpr pf::SerialStopBits kStop[] = {pf::SerialStopBits::kOne, pf::SerialStopBits::kOneAndHalf,
                                                   pf::SerialStopBits::kTwo};
    s.stopBits = kStop[static_cast<size_t>(stopBits_)];
    s.dtr = enableDtrOnOpen_;
    s.rts = hwFlow_ == HwFlowControl::kNoneRtsOn;
    s.rtsCtsFlow = hwFlow_ == HwFlowControl::kRtsCts;
    s.xonXoffFlow = swFlow_ == SwFlowControl::kXonXoff;
    s.xonChar = 0x11;
    s.xoffChar = 0x13;

    const auto settingsError = [this](const OSError& e, const char* position) {
        Report(e.Code(), std::string("Error in ApplyCOMSettings. \r\nReason: ") + e.what() +
                             ".\r\nPosition: " + position);
    };
    try {
        pf::ConfigureSerialPort(handle, s);
    } catch (const OSError& e) {
        settingsError(e, "SetCommSTate");
        return false;
    }
    try {
        pf::PurgeSerialPort(handle);
    } catch (const OSError& e) {
        Report(e.Code(), std::string("Error flushing buffers. Reason: ") + e.what());
        settingsError(e, "FlushBuffers");
        return false;
    }
    try {
        pf::SetupSerialQueues(handle, inBufSize_, outBufSize_);
    } catch (const OSError& e) {
        settingsError(e, "SetupComm");
        return false;
    }
    return true;
}

void CommPortDriver::Disconnect() {
    NotifyTimer(false);
    const OSHandle handle = handle_.exchange(pf::kInvalidOSHandle, std::memory_order_acq_rel);
    if (!pf::IsValidHandle(handle)) {
        return;
    }
    try {
        pf::CloseSerialPort(handle);
    } catch (const OSError& e) {
        Report(e.Code(), std::string("Error disconnecting. Reason: ") + e.what());
    }
}

void CommPortDriver::PollTick() {
    if (isInOnTimer_ || !Connected()) {
        return;
    }
    FlagScope inTick(isInOnTimer_);
    if (!IsPolling()) {
        return;
    }
    uint32_t remaining = 0;
    try {
        remaining = pf::QuerySerialQueues(Handle()).input;
    } catch (const OSError&) {
        return;
    }
    // A receive handler may disconnect; stop reading then.
    while (remaining > 0 && Connected()) {
        const uint32_t want = std::min(remaining, static_cast<uint32_t>(tempInBuffer_.size()));
        uint32_t got = 0;
        try {
            got = pf::ReadSerialPort(Handle(), std::span<uint8_t>(tempInBuffer_.data(), want));
        } catch (const OSError& e) {
            Report(e.Code(), std::string("Error reading. Reason: ") + e.what());
            return;
        }
        if (got == 0) {
            return;
        }
        if (onReceiveData) {
            onReceiveData(*this, tempInBuffer_.data(), got);
        }
        remaining -= std::min(got, remaining);
    }
}

void CommPortDriver::SetPortName(const std::string& value) {
    if (Connected()) {
        return;
    }
    portName_ = value;
}

void CommPortDriver::SetBaudRate(klink::BaudRate value) {
    baudRate_ = value;
    if (value != klink::BaudRate::kCustom) {
        baudRateValue_ = BaudRateBitsPerSecond(value);
    }
    if (Connected()) {
        ApplyCOMSettings();
    }
}

void CommPortDriver::SetBaudRateValue(uint32_t value) {
    baudRate_ = klink::BaudRate::kCustom;
    baudRateValue_ = value;
    if (Connected()) {
        ApplyCOMSettings();
    }
}

void CommPortDriver::SetInBufSize(uint32_t value) {
    if (!Connected()) {
        inBufSize_ = ClampBufSize(value);
    }
}

void CommPortDriver::SetOutBufSize(uint32_t value) {
    if (!Connected()) {
        outBufSize_ = ClampBufSize(value);
    }
}

void CommPortDriver::SetPollingDelay(uint32_t value) {
    pollingDelay_ = std::max(value, kMinPollingDelay);
    if (Connected()) {
        NotifyTimer(true);
    }
}

void CommPortDriver::Report(int code, const std::string& text) {
    if (onError) {
        onError(*this, static_cast<uint16_t>(code), text);
    }
}

void CommPortDriver::NotifyTimer(bool running) {
    if (!running && !timerRunning_) {
        return;
    }
    timerRunning_ = running;
    if (onPollingTimer) {
        onPollingTimer(*this, running, pollingDelay_);
    }
}

void ConfigureForKLINK(CommPortDriver& driver) {
    driver.SetInBufSize(4096);
    driver.SetOutBufSize(10000);
    driver.SetPollingDelay(16);
}

bool ConnectAtLineRate(CommPortDriver& driver, const std::string& path) {
    driver.SetPortName(path);
    driver.SetBaudRate(BaudRate::kCustom);
    driver.SetBaudRateValue(115200);
    if (!driver.Connect()) {
        return false;
    }
    try {
        ConfigureWriteTimeouts(driver.Handle());
    } catch (...) {
        driver.Disconnect();
        throw;
    }
    return true;
}

}  // namespace klink
