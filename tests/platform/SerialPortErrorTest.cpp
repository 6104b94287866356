// What every system's serial layer must do with ports it cannot use: fail
// with the system's own text, and leave nothing open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "platform/Process.h"
#include "platform/SerialPort.h"
#include "platform/SerialPortList.h"
#include "platform/SystemError.h"

namespace {

namespace fs = std::filesystem;
using namespace klink::platform;

// The OSError of `open`, which must fail.
klink::OSError FailureOf(const std::string& path) {
    try {
        UniqueSerialPort port(OpenSerialPort(path));
    } catch (const klink::OSError& e) {
        return e;
    }
    ADD_FAILURE() << path << " opened as a serial port";
    return klink::OSError(0, "");
}

TEST(SerialPortErrors, MissingPortFailsWithOnlyTheSystemText) {
    const klink::OSError e = FailureOf(SerialPortPath("klink-no-such-port"));
    EXPECT_NE(e.Code(), 0);
    const std::string text = SystemErrorText(e.Code());
    EXPECT_EQ(std::string(e.what()), text);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n') << "one line, as callers put it into their own sentences";
    EXPECT_NE(text.back(), ' ');
}

TEST(SerialPortErrors, AFileIsNotASerialPort) {
    const fs::path file =
        fs::temp_directory_path() / ("klink_not_a_port_" + std::to_string(CurrentProcessId()) + ".bin");
    std::ofstream(file) << "x";
    const klink::OSError e = FailureOf(file.string());
    EXPECT_EQ(std::string(e.what()), SystemErrorText(e.Code()));
    // Nothing holds the file any more: it can be removed at once.
    std::error_code ec;
    EXPECT_TRUE(fs::remove(file, ec)) << ec.message();
}

TEST(SerialPortErrors, AnInvalidHandleIsRefusedEverywhere) {
    EXPECT_FALSE(SerialPortPresent(kInvalidOSHandle));
    EXPECT_THROW((void)QuerySerialQueues(kInvalidOSHandle), klink::OSError);
    EXPECT_THROW((void)GetSerialTimeouts(kInvalidOSHandle), klink::OSError);
    EXPECT_THROW(SetSerialTimeouts(kInvalidOSHandle, {}), klink::OSError);
    EXPECT_THROW(PurgeSerialPort(kInvalidOSHandle), klink::OSError);
    std::vector<std::uint8_t> buffer(4);
    EXPECT_THROW((void)ReadSerialPort(kInvalidOSHandle, buffer), klink::OSError);
    const SerialWriteResult written = WriteSerialPort(kInvalidOSHandle, buffer);
    EXPECT_EQ(written.written, 0u);
    EXPECT_NE(written.error, 0);
}

TEST(SerialPortList, EveryListedPortOpensByItsOwnPathInNaturalOrder) {
    const std::vector<SerialPortEntry> ports = ListSerialPorts();
    for (const SerialPortEntry& port : ports) {
        EXPECT_FALSE(port.name.empty());
        EXPECT_EQ(port.path, SerialPortPath(port.name)) << port.name;
    }
    EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end(),
                               [](const auto& a, const auto& b) { return NaturalLess(a.name, b.name); }));
    // A path is already what to open.
    const std::string path = SerialPortPath("COM7");
    EXPECT_EQ(SerialPortPath(path), path);
}

}  // namespace
