// The parts of the device description that are the same on every system.
#include "platform/SerialDevice.h"

namespace klink::platform {

std::uint32_t SerialDeviceBytesPerSecond(SerialDeviceKind kind) noexcept {
    switch (kind) {
        case SerialDeviceKind::kUsbModem:
        case SerialDeviceKind::kSimulatedUsb:
            return kUsbLineBytesPerSecond;
        case SerialDeviceKind::kSimulatedUnthrottled:
            return 0;
        case SerialDeviceKind::kUnknown:
        case SerialDeviceKind::kBuiltInUart:
        case SerialDeviceKind::kUsbSerialAdapter:
        case SerialDeviceKind::kSimulatedUart:
            break;
    }
    return kUartLineBytesPerSecond;
}

std::string_view SerialDeviceKindName(SerialDeviceKind kind) noexcept {
    switch (kind) {
        case SerialDeviceKind::kBuiltInUart:
            return "built-in UART";
        case SerialDeviceKind::kUsbSerialAdapter:
            return "USB-serial adapter";
        case SerialDeviceKind::kUsbModem:
            return "USB modem-class device";
        case SerialDeviceKind::kSimulatedUart:
            return "simulated UART line";
        case SerialDeviceKind::kSimulatedUsb:
            return "simulated USB line";
        case SerialDeviceKind::kSimulatedUnthrottled:
            return "simulated unpaced line";
        case SerialDeviceKind::kUnknown:
            break;
    }
    return "serial device of unknown kind";
}

}  // namespace klink::platform
