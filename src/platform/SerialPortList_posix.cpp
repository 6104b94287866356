// POSIX port list: serial devices under /dev plus the simulated ports.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <array>
#include <cerrno>
#include <fstream>
#include <system_error>

#include "common/Errors.h"
#include "platform/SerialPortList_posix.h"
#include "platform/SimulatedPorts.h"

namespace klink::platform {
namespace {

namespace fs = std::filesystem;

// Device-name prefixes of serial ports, each followed by a number: PC UARTs,
// USB adapters (FTDI/CP210x/CH34x, CDC-ACM), SoC UARTs, Bluetooth serial.
constexpr std::array<std::string_view, 17> kNumberedPrefixes = {
    "ttyS",   "ttyUSB", "ttyACM", "ttyAMA", "rfcomm", "ttyXRUSB", "ttymxc", "ttySAC", "ttyO",
    "ttyTHS", "ttyHS",  "ttyMSM", "ttyAML", "ttyPS",  "ttyMFD",   "ttySC",  "ttyLP",
};

bool AllDigits(std::string_view s) noexcept {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

bool IsSerialDeviceName(std::string_view name) noexcept {
    for (std::string_view prefix : kNumberedPrefixes) {
        if (name.size() > prefix.size() && name.starts_with(prefix) &&
            AllDigits(name.substr(prefix.size()))) {
            return true;
        }
    }
    // macOS: the call-out devices of serial drivers.
    return name.starts_with("cu.") && name.size() > 3;
}

bool IsCharacterDevice(const fs::path& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// Most PCs declare 4 to 32 ttyS devices whatever UARTs they have; those
// without one have type 0 (PORT_UNKNOWN) and fail to open with EIO.
bool HasUart(const fs::path& device, const fs::path& sysTtyDir, const std::string& name) {
    std::ifstream typeFile(sysTtyDir / name / "type");
    int type = -1;
    if (typeFile >> type) {
        return type != 0;
    }
#ifdef __linux__
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // No permission or held by someone: a real port all the same.
        return errno != EIO && errno != ENXIO && errno != ENODEV && errno != ENOENT;
    }
    serial_struct info{};
    const bool known = ioctl(fd, TIOCGSERIAL, &info) != 0 || info.type != PORT_UNKNOWN;
    close(fd);
    return known;
#else
    (void)device;
    return true;
#endif
}

}  // namespace

std::vector<SerialPortEntry> ScanSerialPorts(const PosixPortScanRoots& roots) {
    std::vector<SerialPortEntry> ports;
    std::error_code ec;
    fs::directory_iterator it(roots.devDir, ec);
    if (ec) {
        throw OSError::FromErrno(ec.value());
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) {
            throw OSError::FromErrno(ec.value());
        }
        const std::string name = it->path().filename().string();
        if (!IsSerialDeviceName(name) || !IsCharacterDevice(it->path())) {
            continue;
        }
        if (name.starts_with("ttyS") && !HasUart(it->path(), roots.sysTtyDir, name)) {
            continue;
        }
        ports.push_back({name, it->path().string(), false});
    }
    if (!roots.simulatedDir.empty()) {
        for (auto& sim : ListSimulatedPorts(roots.simulatedDir)) {
            ports.push_back(std::move(sim));
        }
    }
    SortSerialPorts(ports);
    return ports;
}

std::vector<SerialPortEntry> ListSerialPorts() {
    PosixPortScanRoots roots;
    roots.simulatedDir = SimulatedPortFolder();
    return ScanSerialPorts(roots);
}

std::string SerialPortPath(std::string_view name) {
    if (name.find('/') != std::string_view::npos) {
        return std::string(name);
    }
    if (IsSimulatedPortName(name)) {
        return (SimulatedPortFolder() / std::string(name)).string();
    }
    return "/dev/" + std::string(name);
}

}  // namespace klink::platform
