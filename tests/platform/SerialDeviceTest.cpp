// What kind of device a port is, read from a sysfs tree laid out as Linux
// lays out its ttys (a tree of the test's own making).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/SerialDevice.h"

namespace klink::platform {
namespace {

namespace fs = std::filesystem;

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("klink-sysfs-" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "dev" / "char");
    }
    void TearDown() override { fs::remove_all(root_); }

    // A tty `name` as char device major:minor, on a device of `subsystem`
    // bound to `driver`.
    void AddTty(const std::string& devNumber, const std::string& name, const std::string& subsystem,
                const std::string& driver) {
        const fs::path device = root_ / "devices" / "platform" / name;
        const fs::path ttyDir = device / "tty" / name;
        fs::create_directories(ttyDir);
        fs::create_directories(root_ / "bus" / subsystem / "drivers" / driver);
        fs::create_directory_symlink(root_ / "bus" / subsystem, device / "subsystem");
        fs::create_directory_symlink(root_ / "bus" / subsystem / "drivers" / driver, device / "driver");
        fs::create_directory_symlink(device, ttyDir / "device");
        fs::create_directory_symlink(ttyDir, root_ / "dev" / "char" / devNumber);
    }
    void SetLatencyTimer(const std::string& name, const std::string& text) {
        const fs::path dir = root_ / "bus" / "usb-serial" / "devices" / name;
        fs::create_directories(dir);
        std::ofstream(dir / "latency_timer") << text;
    }

    fs::path root_;
};

TEST_F(FakeSysfs, TellsTheKindsOfSerialDevice) {
    AddTty("188:0", "ttyUSB0", "usb-serial", "ftdi_sio");
    SetLatencyTimer("ttyUSB0", "16\n");
    AddTty("188:1", "ttyUSB1", "usb-serial", "cp210x");  // no readable timer
    AddTty("166:0", "ttyACM0", "usb", "cdc_acm");
    AddTty("4:64", "ttyS0", "platform", "serial8250");
    struct Case {
        uint32_t major, minor;
        SerialDeviceKind kind;
        const char* name;
        const char* driver;
        int timer;
    };
    const Case cases[] = {
        {188, 0, SerialDeviceKind::kUsbSerialAdapter, "ttyUSB0", "ftdi_sio", 16},
        {188, 1, SerialDeviceKind::kUsbSerialAdapter, "ttyUSB1", "cp210x", -1},
        {166, 0, SerialDeviceKind::kUsbModem, "ttyACM0", "cdc_acm", -1},
        {4, 64, SerialDeviceKind::kBuiltInUart, "ttyS0", "serial8250", -1},
        {4, 65, SerialDeviceKind::kUnknown, "", "", -1},  // no such device
    };
    for (const Case& c : cases) {
        const SerialDeviceInfo info = DescribeSysfsSerialDevice(root_, c.major, c.minor);
        EXPECT_EQ(info.kind, c.kind) << c.name;
        EXPECT_EQ(info.name, c.name);
        EXPECT_EQ(info.driver, c.driver);
        EXPECT_EQ(info.latencyTimerMs, c.timer) << c.name;
    }
    EXPECT_EQ(DescribeSysfsSerialDevice(root_, 188, 0).latencyTimerPath,
              "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
}

TEST(SerialDevice, OnlyUsbModemsAndUnpacedLinesAreFasterThanTheUart) {
    EXPECT_EQ(SerialDeviceBytesPerSecond(SerialDeviceKind::kUsbModem), kUsbLineBytesPerSecond);
    EXPECT_EQ(SerialDeviceBytesPerSecond(SerialDeviceKind::kSimulatedUsb), kUsbLineBytesPerSecond);
    EXPECT_EQ(SerialDeviceBytesPerSecond(SerialDeviceKind::kSimulatedUnthrottled), 0u);
    for (const auto kind : {SerialDeviceKind::kUnknown, SerialDeviceKind::kBuiltInUart,
                            SerialDeviceKind::kUsbSerialAdapter, SerialDeviceKind::kSimulatedUart}) {
        EXPECT_EQ(SerialDeviceBytesPerSecond(kind), kUartLineBytesPerSecond) << SerialDeviceKindName(kind);
    }
}

}  // namespace
}  // namespace klink::platform
