// Windows: no device description yet; every port counts as a UART.
#include "platform/SerialDevice.h"

namespace klink::platform {

SerialDeviceInfo DescribeSysfsSerialDevice(const std::filesystem::path&, std::uint32_t,
                                           std::uint32_t) noexcept {
    return {};
}

SerialDeviceInfo DescribeSerialDevice(OSHandle) noexcept { return {}; }

}  // namespace klink::platform
