// Device descriptions from Linux sysfs; other POSIX systems know only
// simulated lines.
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <climits>
#include <fstream>
#include <system_error>

#include "platform/SerialDevice.h"
#include "platform/SimulatedLine.h"

namespace klink::platform {
namespace {

namespace fs = std::filesystem;

// The last part of where a sysfs link points; empty when it is no link.
std::string LinkName(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.filename().string();
}

}  // namespace

SerialDeviceInfo DescribeSysfsSerialDevice(const fs::path& sysRoot, std::uint32_t major,
                                           std::uint32_t minor) noexcept {
    SerialDeviceInfo info;
    try {
        std::error_code ec;
        const fs::path tty = fs::canonical(
            sysRoot / "dev" / "char" / (std::to_string(major) + ":" + std::to_string(minor)), ec);
        if (ec) return info;
        info.name = tty.filename().string();
        const fs::path device = tty / "device";
        info.driver = LinkName(device / "driver");
        const std::string subsystem = LinkName(device / "subsystem");
        if (subsystem == "usb-serial") {
            info.kind = SerialDeviceKind::kUsbSerialAdapter;
            const fs::path timer = sysRoot / "bus" / "usb-serial" / "devices" / info.name / "latency_timer";
            std::ifstream in(timer);
            int ms = -1;
            if (in >> ms && ms >= 0) {
                info.latencyTimerMs = ms;
                // The system's path, also when the tree was read from elsewhere.
                info.latencyTimerPath = "/sys/bus/usb-serial/devices/" + info.name + "/latency_timer";
            }
        } else if (subsystem == "usb") {
            // A tty on a USB interface of its own: the communications class.
            info.kind = info.driver == "cdc_acm" || info.name.starts_with("ttyACM")
                            ? SerialDeviceKind::kUsbModem
                            : SerialDeviceKind::kUnknown;
        } else if (!subsystem.empty()) {
            info.kind = SerialDeviceKind::kBuiltInUart;  // platform, pnp, pci, amba, serial-base
        }
    } catch (...) {
        info = SerialDeviceInfo{};
    }
    return info;
}

SerialDeviceInfo DescribeSerialDevice(OSHandle port) noexcept {
    SerialDeviceInfo info;
    try {
        if (const auto line = SimulatedLineOf(port)) {
            info.kind = *line == SimulatedLineKind::kUsb           ? SerialDeviceKind::kSimulatedUsb
                        : *line == SimulatedLineKind::kUnthrottled ? SerialDeviceKind::kSimulatedUnthrottled
                                                                   : SerialDeviceKind::kSimulatedUart;
            return info;
        }
        if (port > static_cast<OSHandle>(INT_MAX)) return info;
        struct stat st {};
        if (fstat(static_cast<int>(port), &st) != 0 || !S_ISCHR(st.st_mode)) return info;
#ifdef __linux__
        return DescribeSysfsSerialDevice("/sys", ::major(st.st_rdev), ::minor(st.st_rdev));
#endif
    } catch (...) {
    }
    return info;
}

}  // namespace klink::platform
