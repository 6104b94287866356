#pragma once
// What kind of device is behind an open serial port, for telling whether its
// line is bound to a baud rate: a USB modem-class device (CDC-ACM) moves data
// in USB packets whatever baud rate is set, while a USB-serial adapter, a
// built-in UART and anything the system does not describe send at the baud
// rate. A USB-serial adapter also holds what it receives for up to its
// latency timer before it passes it on, which delays every reply.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/OSHandle.h"

namespace klink::platform {

enum class SerialDeviceKind : std::uint8_t {
    kUnknown,           // not described by the system (a plain pseudo-terminal, another system)
    kBuiltInUart,       // a UART of the machine itself (ttyS, a SoC UART)
    kUsbSerialAdapter,  // a USB-serial bridge chip (FTDI, CP210x, CH34x, PL2303: ttyUSB)
    kUsbModem,          // a USB communications-class device (CDC-ACM: ttyACM)
    kSimulatedUart,     // a simulated board's line, paced as 115200 8N1
    kSimulatedUsb,      // a simulated board's line, paced as full-speed USB
    kSimulatedUnthrottled,
};

// Bytes per second of a 115200 baud 8N1 line: ten bits a byte.
inline constexpr std::uint32_t kUartLineBytesPerSecond = 11520;
// What a full-speed USB CDC-ACM line is taken to carry each way: eight
// 64-byte bulk packets in each 1 ms frame (see sim/README.md).
inline constexpr std::uint32_t kUsbLineBytesPerSecond = 512000;

struct SerialDeviceInfo {
    SerialDeviceKind kind = SerialDeviceKind::kUnknown;
    std::string name;    // the system's device name ("ttyUSB0"); empty when unknown
    std::string driver;  // the system's driver ("ftdi_sio", "cdc_acm", "serial8250"); may be empty
    // A USB-serial adapter's latency timer in ms, and the file that sets it;
    // -1 and empty when the device has none or it cannot be read.
    int latencyTimerMs = -1;
    std::string latencyTimerPath;
};

// Never fails: what cannot be found out stays unknown.
[[nodiscard]] SerialDeviceInfo DescribeSerialDevice(OSHandle port) noexcept;

// The Linux part of DescribeSerialDevice for the character device
// major:minor, under a sysfs tree rooted at `sysRoot` ("/sys"; tests pass a
// tree of their own).
[[nodiscard]] SerialDeviceInfo DescribeSysfsSerialDevice(const std::filesystem::path& sysRoot,
                                                         std::uint32_t major, std::uint32_t minor) noexcept;

// The bytes per second the device's line carries each way; 0 when it is not
// limited. Unknown devices count as 115200 baud.
[[nodiscard]] std::uint32_t SerialDeviceBytesPerSecond(SerialDeviceKind kind) noexcept;

// "USB modem-class device", "USB-serial adapter", "built-in UART", ...
[[nodiscard]] std::string_view SerialDeviceKindName(SerialDeviceKind kind) noexcept;

}  // namespace klink::platform
