// The parts of the serial layer that are the same on every system.
#include "platform/SerialPort.h"

namespace klink::platform {

UniqueSerialPort& UniqueSerialPort::operator=(UniqueSerialPort&& other) noexcept {
    if (this != &other) {
        UniqueSerialPort old(handle_);
        handle_ = other.Release();
    }
    return *this;
}

UniqueSerialPort::~UniqueSerialPort() {
    if (IsValidHandle(handle_)) {
        try {
            CloseSerialPort(handle_);
        } catch (...) {
            // Nothing to do about a failed close while unwinding.
        }
    }
}

OSHandle UniqueSerialPort::Release() noexcept {
    const OSHandle h = handle_;
    handle_ = kInvalidOSHandle;
    return h;
}

void UniqueSerialPort::Close() {
    const OSHandle h = Release();
    if (IsValidHandle(h)) {
        CloseSerialPort(h);
    }
}

}  // namespace klink::platform
