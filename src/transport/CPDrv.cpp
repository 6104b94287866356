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
    return std::clamp(value, TCommPortDriver::kMinBufSize, TCommPortDriver::kMaxBufSize);
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

uint32_t BaudRateBitsPerSecond(TBaudRate rate) noexcept {
    static constexpr uint32_t kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                          14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return kRates[static_cast<size_t>(rate)];
}

TCommPortDriver::TCommPortDriver() : FPortName(pf::NamedSerialPortPath(2)) {}

TCommPortDriver::~TCommPortDriver() {
    // The owner is going away as well: neither its timer nor its error
    // handler may be called any more.
    OnPollingTimer = nullptr;
    OnError = nullptr;
    Disconnect();
}

bool TCommPortDriver::Connect() {
    if (Connected()) {
        return true;
    }
    OSHandle handle = pf::kInvalidOSHandle;
    try {
        handle = pf::OpenSerialPort(FPortName);
    } catch (const OSError& e) {
        Report(e.code(), std::string("Error connecting. Reason: ") + e.what());
        return false;
    }
    FHandle.store(handle, std::memory_order_release);
    FTempInBuffer.assign(FInBufSize, 0);
    if (!ApplyCOMSettings()) {
        Disconnect();
        return false;
    }
    // Reads return at once; the driver's own sends give up after 10 ms.
    // The program replaces the write values right after connecting.
    try {
        pf::SetSerialTimeouts(handle, pf::SerialTimeouts{1, 0, 1, 0, 10});
    } catch (const OSError& e) {
        Report(e.code(), std::string("Error connecting. Reason: ") + e.what());
        Disconnect();
        return false;
    }
    NotifyTimer(true);
    return true;
}

bool TCommPortDriver::ApplyCOMSettings() {
    const OSHandle handle = Handle();
    pf::SerialLineSettings s;
    s.BaudRate = FBaudRateValue;
    s.DataBits = static_cast<uint8_t>(static_cast<int>(FDataBits) + 5);
    static constexpr pf::SerialParity kParity[] = {pf::SerialParity::None, pf::SerialParity::Odd,
                                                   pf::SerialParity::Even, pf::SerialParity::Mark,
                                                   pf::SerialParity::Space};
    s.Parity = kParity[static_cast<size_t>(FParity)];
    static constexpr pf::SerialStopBits kStop[] = {pf::SerialStopBits::One, pf::SerialStopBits::OneAndHalf,
                                                   pf::SerialStopBits::Two};
    s.StopBits = kStop[static_cast<size_t>(FStopBits)];
    s.Dtr = FEnableDTROnOpen;
    s.Rts = FHwFlow == THwFlowControl::hfNONERTSON;
    s.RtsCtsFlow = FHwFlow == THwFlowControl::hfRTSCTS;
    s.XonXoffFlow = FSwFlow == TSwFlowControl::sfXONXOFF;
    s.XonChar = 0x11;
    s.XoffChar = 0x13;

    const auto settingsError = [this](const OSError& e, const char* position) {
        Report(e.code(), std::string("Error in ApplyCOMSettings. \r\nReason: ") + e.what() +
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
        Report(e.code(), std::string("Error flushing buffers. Reason: ") + e.what());
        settingsError(e, "FlushBuffers");
        return false;
    }
    try {
        pf::SetupSerialQueues(handle, FInBufSize, FOutBufSize);
    } catch (const OSError& e) {
        settingsError(e, "SetupComm");
        return false;
    }
    return true;
}

void TCommPortDriver::Disconnect() {
    NotifyTimer(false);
    const OSHandle handle = FHandle.exchange(pf::kInvalidOSHandle, std::memory_order_acq_rel);
    if (!pf::IsValidHandle(handle)) {
        return;
    }
    try {
        pf::CloseSerialPort(handle);
    } catch (const OSError& e) {
        Report(e.code(), std::string("Error disconnecting. Reason: ") + e.what());
    }
}

void TCommPortDriver::PollTick() {
    if (FIsInOnTimer || !Connected()) {
        return;
    }
    FlagScope inTick(FIsInOnTimer);
    if (!IsPolling()) {
        return;
    }
    uint32_t remaining = 0;
    try {
        remaining = pf::QuerySerialQueues(Handle()).Input;
    } catch (const OSError&) {
        return;
    }
    // A receive handler may disconnect; stop reading then.
    while (remaining > 0 && Connected()) {
        const uint32_t want = std::min(remaining, static_cast<uint32_t>(FTempInBuffer.size()));
        uint32_t got = 0;
        try {
            got = pf::ReadSerialPort(Handle(), std::span<uint8_t>(FTempInBuffer.data(), want));
        } catch (const OSError& e) {
            Report(e.code(), std::string("Error reading. Reason: ") + e.what());
            return;
        }
        if (got == 0) {
            return;
        }
        if (OnReceiveData) {
            OnReceiveData(*this, FTempInBuffer.data(), got);
        }
        remaining -= std::min(got, remaining);
    }
}

void TCommPortDriver::SetPort(TPortNumber value) {
    if (Connected()) {
        return;
    }
    FPort = value;
    if (value != TPortNumber::pnCustom) {
        FPortName = pf::NamedSerialPortPath(static_cast<int>(value));
    }
}

void TCommPortDriver::SetPortName(const std::string& value) {
    if (Connected()) {
        return;
    }
    FPortName = value;
    FPort = TPortNumber::pnCustom;
}

void TCommPortDriver::SetBaudRate(TBaudRate value) {
    FBaudRate = value;
    if (value != TBaudRate::brCustom) {
        FBaudRateValue = BaudRateBitsPerSecond(value);
    }
    if (Connected()) {
        ApplyCOMSettings();
    }
}

void TCommPortDriver::SetBaudRateValue(uint32_t value) {
    FBaudRate = TBaudRate::brCustom;
    FBaudRateValue = value;
    if (Connected()) {
        ApplyCOMSettings();
    }
}

void TCommPortDriver::SetInBufSize(uint32_t value) {
    if (!Connected()) {
        FInBufSize = ClampBufSize(value);
    }
}

void TCommPortDriver::SetOutBufSize(uint32_t value) {
    if (!Connected()) {
        FOutBufSize = ClampBufSize(value);
    }
}

void TCommPortDriver::SetPollingDelay(uint32_t value) {
    FPollingDelay = std::max(value, kMinPollingDelay);
    if (Connected()) {
        NotifyTimer(true);
    }
}

void TCommPortDriver::Report(int code, const std::string& text) {
    if (OnError) {
        OnError(*this, static_cast<uint16_t>(code), text);
    }
}

void TCommPortDriver::NotifyTimer(bool running) {
    if (!running && !FTimerRunning) {
        return;
    }
    FTimerRunning = running;
    if (OnPollingTimer) {
        OnPollingTimer(*this, running, FPollingDelay);
    }
}

void ApplyFormDriverSettings(TCommPortDriver& driver) {
    driver.SetInBufSize(4096);
    driver.SetOutBufSize(10000);
    driver.SetPollingDelay(16);
    driver.SetOutputTimeout(1000);
}

bool ConnectAtLineRate(TCommPortDriver& driver, const std::string& path) {
    driver.SetPortName(path);
    driver.SetBaudRate(TBaudRate::brCustom);
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
