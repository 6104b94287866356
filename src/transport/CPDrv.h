#pragma once
// TCommPortDriver: opens one serial port, sets its line parameters and keeps
// its input drained while nobody else reads it.
//
// Not thread-safe: every member is called on the owner's thread. The owner
// drives the polling: it runs a periodic timer while OnPollingTimer says so
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

enum class TPortNumber : uint8_t {
    pnCustom,
    pnCOM1,
    pnCOM2,
    pnCOM3,
    pnCOM4,
    pnCOM5,
    pnCOM6,
    pnCOM7,
    pnCOM8,
    pnCOM9,
    pnCOM10,
    pnCOM11,
    pnCOM12,
    pnCOM13,
    pnCOM14,
    pnCOM15,
    pnCOM16,
};

enum class TBaudRate : uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
};

enum class TDataBits : uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum class TStopBits : uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum class TParity : uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum class THwFlowControl : uint8_t { hfNONE, hfNONERTSON, hfRTSCTS };
enum class TSwFlowControl : uint8_t { sfNONE, sfXONXOFF };
enum class TPacketMode : uint8_t { pmDiscard, pmPass };

// Bits per second of a named rate; 0 for brCustom.
[[nodiscard]] uint32_t BaudRateBitsPerSecond(TBaudRate rate) noexcept;

class TCommPortDriver;

using TReceiveDataEvent =
    std::function<void(TCommPortDriver& sender, const uint8_t* DataPtr, uint32_t DataSize)>;
using TReceivePacketEvent =
    std::function<void(TCommPortDriver& sender, const uint8_t* Packet, uint32_t DataSize)>;
using TErrorEvent =
    std::function<void(TCommPortDriver& sender, uint16_t ErrorCode, const std::string& ErrorText)>;
// Start (Running true, with the period) or stop the owner's polling timer.
using TPollingTimerEvent = std::function<void(TCommPortDriver& sender, bool Running, uint32_t PeriodMs)>;

class TCommPortDriver {
public:
    static constexpr uint32_t kMinBufSize = 128;
    static constexpr uint32_t kMaxBufSize = 65535;
    static constexpr uint32_t kMinPollingDelay = 5;

    TCommPortDriver();
    ~TCommPortDriver();
    TCommPortDriver(const TCommPortDriver&) = delete;
    TCommPortDriver& operator=(const TCommPortDriver&) = delete;

    // Opens and configures the port; true when it is open afterwards (also
    // when it already was). Failures go to OnError.
    bool Connect();
    // Stops the polling and closes the port; Handle() is invalid afterwards
    // even when closing failed.
    void Disconnect();
    [[nodiscard]] bool Connected() const noexcept { return platform::IsValidHandle(Handle()); }

    // Pause counting: polling reads only while the count is 0 or less.
    void PausePolling() noexcept { ++FRXPollingPauses; }
    void ContinuePolling() noexcept { --FRXPollingPauses; }
    [[nodiscard]] bool IsPolling() const noexcept { return FRXPollingPauses <= 0; }

    // One timer tick: reads what the input queue holds in chunks of at most
    // InBufSize bytes and hands each chunk to OnReceiveData. Does nothing when
    // disconnected, paused, or called from inside a tick.
    void PollTick();

    [[nodiscard]] OSHandle Handle() const noexcept { return FHandle.load(std::memory_order_acquire); }

    [[nodiscard]] TPortNumber Port() const noexcept { return FPort; }
    void SetPort(TPortNumber value);
    [[nodiscard]] const std::string& PortName() const noexcept { return FPortName; }
    void SetPortName(const std::string& value);
    [[nodiscard]] TBaudRate BaudRate() const noexcept { return FBaudRate; }
    void SetBaudRate(TBaudRate value);
    [[nodiscard]] uint32_t BaudRateValue() const noexcept { return FBaudRateValue; }
    void SetBaudRateValue(uint32_t value);
    [[nodiscard]] TDataBits DataBits() const noexcept { return FDataBits; }
    void SetDataBits(TDataBits value) noexcept { FDataBits = value; }
    [[nodiscard]] TStopBits StopBits() const noexcept { return FStopBits; }
    void SetStopBits(TStopBits value) noexcept { FStopBits = value; }
    [[nodiscard]] TParity Parity() const noexcept { return FParity; }
    void SetParity(TParity value) noexcept { FParity = value; }
    [[nodiscard]] THwFlowControl HwFlow() const noexcept { return FHwFlow; }
    void SetHwFlow(THwFlowControl value) noexcept { FHwFlow = value; }
    [[nodiscard]] TSwFlowControl SwFlow() const noexcept { return FSwFlow; }
    void SetSwFlow(TSwFlowControl value) noexcept { FSwFlow = value; }
    [[nodiscard]] bool EnableDTROnOpen() const noexcept { return FEnableDTROnOpen; }
    void SetEnableDTROnOpen(bool value) noexcept { FEnableDTROnOpen = value; }
    [[nodiscard]] uint32_t InBufSize() const noexcept { return FInBufSize; }
    void SetInBufSize(uint32_t value);
    [[nodiscard]] uint32_t OutBufSize() const noexcept { return FOutBufSize; }
    void SetOutBufSize(uint32_t value);
    // Packet mode is kept as a setting; polling always hands on raw chunks.
    [[nodiscard]] int32_t PacketSize() const noexcept { return FPacketSize; }
    void SetPacketSize(int32_t value) noexcept { FPacketSize = value; }
    [[nodiscard]] TPacketMode PacketMode() const noexcept { return FPacketMode; }
    void SetPacketMode(TPacketMode value) noexcept { FPacketMode = value; }
    // Milliseconds between ticks; at least 5.
    [[nodiscard]] uint32_t PollingDelay() const noexcept { return FPollingDelay; }
    void SetPollingDelay(uint32_t value);
    // Milliseconds the driver's own send may take (the program writes through
    // its buffered writer instead).
    [[nodiscard]] uint32_t OutputTimeout() const noexcept { return FOutputTimeout; }
    void SetOutputTimeout(uint32_t value) noexcept { FOutputTimeout = value; }

    TReceiveDataEvent OnReceiveData;
    TReceivePacketEvent OnReceivePacket;
    TErrorEvent OnError;
    TPollingTimerEvent OnPollingTimer;

private:
    bool ApplyCOMSettings();
    void Report(int code, const std::string& text);
    void NotifyTimer(bool running);

    std::atomic<OSHandle> FHandle{platform::kInvalidOSHandle};
    TPortNumber FPort = TPortNumber::pnCOM2;
    std::string FPortName;
    TBaudRate FBaudRate = TBaudRate::br9600;
    uint32_t FBaudRateValue = 9600;
    TDataBits FDataBits = TDataBits::db8BITS;
    TStopBits FStopBits = TStopBits::sb1BITS;
    TParity FParity = TParity::ptNONE;
    THwFlowControl FHwFlow = THwFlowControl::hfNONERTSON;
    TSwFlowControl FSwFlow = TSwFlowControl::sfNONE;
    bool FEnableDTROnOpen = true;
    uint32_t FInBufSize = 2048;
    uint32_t FOutBufSize = 2048;
    int32_t FPacketSize = -1;
    TPacketMode FPacketMode = TPacketMode::pmDiscard;
    uint32_t FPollingDelay = 50;
    uint32_t FOutputTimeout = 500;
    std::vector<uint8_t> FTempInBuffer;
    int32_t FRXPollingPauses = 0;
    bool FIsInOnTimer = false;
    bool FTimerRunning = false;
};

// The settings the main window's form gives both of its drivers: 4096-byte
// input and 10000-byte output queues, 16 ms polling, 1000 ms output time-out.
void ApplyFormDriverSettings(TCommPortDriver& driver);

// Connects `driver` to `path` the way the window connects a port: 115200
// baud, Connect, then the one-second write time-out. Returns false when the
// port could not be opened (the driver told OnError why). When the write
// time-out cannot be set, the port is closed again and the error propagates.
bool ConnectAtLineRate(TCommPortDriver& driver, const std::string& path);

}  // namespace klink
