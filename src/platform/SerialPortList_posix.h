#pragma once
// The POSIX port scan with its folders as parameters, so that tests can scan
// a made-up device tree.

#include <filesystem>
#include <vector>

#include "platform/SerialPortList.h"

namespace klink::platform {

struct PosixPortScanRoots {
    std::filesystem::path devDir = "/dev";
    // Per-device attributes (Linux sysfs); used to leave out ttyS entries
    // that have no UART behind them.
    std::filesystem::path sysTtyDir = "/sys/class/tty";
    // Folder of simulated ports; empty lists none.
    std::filesystem::path simulatedDir;
};

// Serial devices of devDir plus the simulated ports, sorted naturally.
[[nodiscard]] std::vector<SerialPortEntry> ScanSerialPorts(const PosixPortScanRoots& roots);

}  // namespace klink::platform
