// Windows serial ports through the communications API on a synchronous
// (non-overlapped) handle.
#include <algorithm>

#include "common/Errors.h"
#include "platform/SerialPort.h"
#include "platform/Win32Support.h"

namespace klink::platform {
namespace {

using win32::ThrowLastError;
using win32::ThrowSystemError;
using win32::ToHandle;

// The XON/XOFF thresholds: a quarter of the 4096-byte input queue the
// program asks for.
constexpr WORD kFlowLimit = 1024;

HANDLE Checked(OSHandle port) {
    if (!IsValidHandle(port)) {
        ThrowSystemError(ERROR_INVALID_HANDLE);
    }
    return ToHandle(port);
}

BYTE ParityFor(SerialParity parity) {
    switch (parity) {
        case SerialParity::kNone:
            return NOPARITY;
        case SerialParity::kOdd:
            return ODDPARITY;
        case SerialParity::kEven:
            return EVENPARITY;
        case SerialParity::kMark:
            return MARKPARITY;
        case SerialParity::kSpace:
            return SPACEPARITY;
    }
    ThrowSystemError(ERROR_INVALID_PARAMETER);
}

BYTE StopBitsFor(SerialStopBits stopBits) {
    switch (stopBits) {
        case SerialStopBits::kOne:
            return ONESTOPBIT;
        case SerialStopBits::kOneAndHalf:
            return ONE5STOPBITS;
        case SerialStopBits::kTwo:
            return TWOSTOPBITS;
    }
    ThrowSystemError(ERROR_INVALID_PARAMETER);
}

bool ReadQueues(HANDLE port, COMSTAT& status) noexcept {
    DWORD errors = 0;
    return ClearCommError(port, &errors, &status) != 0;
}

}  // namespace

OSHandle OpenSerialPort(const std::string& path) {
    // No sharing: a port that another program holds fails with
    // ERROR_ACCESS_DENIED, as Windows reports a busy port.
    HANDLE handle = CreateFileW(win32::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ThrowLastError();
    }
    UniqueSerialPort guard(win32::FromHandle(handle));
    // A file or a pipe opens too; only a communications device has a DCB.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        ThrowLastError();
    }
    // Reads return at once with what is there; no write time-out yet.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!SetCommTimeouts(handle, &timeouts)) {
        ThrowLastError();
    }
    return guard.Release();
}

void ConfigureSerialPort(OSHandle port, const SerialLineSettings& s) {
    HANDLE handle = Checked(port);
    if (s.dataBits < 5 || s.dataBits > 8) {
        ThrowSystemError(ERROR_INVALID_PARAMETER);
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        ThrowLastError();
    }
    dcb.BaudRate = s.baudRate;
    dcb.fBinary = TRUE;
    dcb.fParity = s.parity == SerialParity::kNone ? FALSE : TRUE;
    dcb.fOutxCtsFlow = s.rtsCtsFlow ? TRUE : FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = s.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = s.xonXoffFlow ? TRUE : FALSE;
    dcb.fInX = s.xonXoffFlow ? TRUE : FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    if (s.rtsCtsFlow) {
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.fRtsControl = s.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
    // Errors must not stop reads and writes until ClearCommError.
    dcb.fAbortOnError = FALSE;
    dcb.XonLim = kFlowLimit;
    dcb.XoffLim = kFlowLimit;
    dcb.ByteSize = s.dataBits;
    dcb.Parity = ParityFor(s.parity);
    dcb.StopBits = StopBitsFor(s.stopBits);
    dcb.XonChar = static_cast<char>(s.xonChar);
    dcb.XoffChar = static_cast<char>(s.xoffChar);
    if (!SetCommState(handle, &dcb)) {
        ThrowLastError();
    }
}

void SetupSerialQueues(OSHandle port, std::uint32_t inputBytes, std::uint32_t outputBytes) {
    if (!SetupComm(Checked(port), inputBytes, outputBytes)) {
        ThrowLastError();
    }
}

void PurgeSerialPort(OSHandle port) {
    if (!PurgeComm(Checked(port), PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR)) {
        ThrowLastError();
    }
}

SerialQueueCounts QuerySerialQueues(OSHandle port) {
    COMSTAT status{};
    if (!ReadQueues(Checked(port), status)) {
        ThrowLastError();
    }
    return {status.cbInQue, status.cbOutQue};
}

std::uint32_t ReadSerialPort(OSHandle port, std::span<std::uint8_t> buffer) {
    HANDLE handle = Checked(port);
    if (buffer.empty()) {
        return 0;
    }
    // Ask for no more than the driver holds: such a read never waits,
    // whatever read time-outs the port has.
    COMSTAT status{};
    if (!ReadQueues(handle, status)) {
        ThrowLastError();
    }
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), status.cbInQue));
    if (want == 0) {
        return 0;
    }
    DWORD got = 0;
    if (!ReadFile(handle, buffer.data(), want, &got, nullptr)) {
        ThrowLastError();
    }
    return got;
}

SerialWriteResult WriteSerialPort(OSHandle port, std::span<const std::uint8_t> data) {
    SerialWriteResult result;
    if (!IsValidHandle(port)) {
        result.error = ERROR_INVALID_HANDLE;
        return result;
    }
    if (data.empty()) {
        return result;
    }
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(data.size(), MAXDWORD));
    DWORD written = 0;
    // The port's write time-outs bound the call; when they expire the write
    // succeeds with fewer bytes (some drivers fail it with a time-out code).
    if (!WriteFile(ToHandle(port), data.data(), count, &written, nullptr)) {
        const DWORD code = GetLastError();
        if (code != ERROR_TIMEOUT && code != ERROR_SEM_TIMEOUT) {
            result.error = static_cast<int>(code);
        }
    }
    result.written = written;
    return result;
}

SerialTimeouts GetSerialTimeouts(OSHandle port) {
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(Checked(port), &t)) {
        ThrowLastError();
    }
    return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
            t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}

void SetSerialTimeouts(OSHandle port, const SerialTimeouts& timeouts) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.readIntervalMs;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplierMs;
    t.ReadTotalTimeoutConstant = timeouts.readTotalConstantMs;
    t.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplierMs;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalConstantMs;
    if (!SetCommTimeouts(Checked(port), &t)) {
        ThrowLastError();
    }
}

bool SerialPortPresent(OSHandle port) noexcept {
    if (!IsValidHandle(port)) {
        return false;
    }
    // A removed USB adapter leaves the handle open but fails every call on
    // it, usually with ERROR_ACCESS_DENIED or ERROR_BAD_COMMAND.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMSTAT status{};
    return GetCommState(ToHandle(port), &dcb) != 0 && ReadQueues(ToHandle(port), status);
}

void CloseSerialPort(OSHandle port) {
    if (!CloseHandle(Checked(port))) {
        ThrowLastError();
    }
}

std::string NamedSerialPortPath(int number) { return "\\\\.\\COM" + std::to_string(number); }

}  // namespace klink::platform
