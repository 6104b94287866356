#pragma once
// The serial ports a user can pick, as the port selectors show them.

#include <string>
#include <string_view>
#include <vector>

namespace klink::platform {

struct SerialPortEntry {
    std::string name;  // short name shown to the user: "COM3", "ttyUSB0", "sim-keltra4-1"
    std::string path;  // what OpenSerialPort opens
    bool simulated = false;

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
