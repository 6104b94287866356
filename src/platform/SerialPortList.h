#pragma once
// The serial ports a user can pick, as the port selectors show them.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace klink::platform {

struct SerialPortEntry {
    SerialPortEntry() = default;
    SerialPortEntry(std::string portName, std::string portPath, bool isSimulated = false,
                    std::string systemDescription = {})
        : name(std::move(portName)),
          path(std::move(portPath)),
          simulated(isSimulated),
          description(std::move(systemDescription)) {}

    std::string name;  // short name shown to the user: "COM3", "ttyUSB0", "sim-keltra4-1"
    std::string path;  // what OpenSerialPort opens
    bool simulated = false;
    // What the system calls the device ("USB Serial Port (COM3)"); empty
    // where the system names none.
    std::string description;

    friend bool operator==(const SerialPortEntry&, const SerialPortEntry&) = default;
};

// Every serial port present now, real ones and those of simulated boards,
// sorted by NaturalLess on the name. Throws OSError when the system's device
// list cannot be read at all.
[[nodiscard]] std::vector<SerialPortEntry> ListSerialPorts();

// The path to open for a short name from the list. A name that already is a
// path is returned unchanged.
[[nodiscard]] std::string SerialPortPath(std::string_view name);

// Order for port names: runs of digits compare by value, so ttyUSB2 comes
// before ttyUSB10 and COM9 before COM10; letters compare without case.
[[nodiscard]] bool NaturalLess(std::string_view a, std::string_view b) noexcept;

void SortSerialPorts(std::vector<SerialPortEntry>& ports);

}  // namespace klink::platform
