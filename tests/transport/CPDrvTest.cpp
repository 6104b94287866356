#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "PtyPair.h"
#include "platform/SerialPort.h"
#include "platform/SerialPortList.h"
#include "transport/CPDrv.h"

namespace {

using namespace klink;
using klink::testing::Pattern;
using klink::testing::PtyPair;

// A driver set up the way the window sets up both of its drivers, with its
// reports, timer requests and received chunks recorded.
struct RecordedDriver {
    CommPortDriver drv;
    std::vector<std::pair<uint16_t, std::string>> errors;
    std::vector<std::pair<bool, uint32_t>> timer;
    std::vector<std::vector<uint8_t>> chunks;

    explicit RecordedDriver(const std::string& path) {
        drv.SetPortName(path);
        drv.SetBaudRate(BaudRate::kCustom);
        drv.SetBaudRateValue(115200);
        drv.SetInBufSize(4096);
        drv.SetOutBufSize(10000);
        drv.SetPollingDelay(16);
        drv.onError = [this](CommPortDriver&, uint16_t code, const std::string& text) {
            errors.emplace_back(code, text);
        };
        drv.onPollingTimer = [this](CommPortDriver&, bool running, uint32_t period) {
            timer.emplace_back(running, period);
        };
        drv.onReceiveData = [this](CommPortDriver&, const uint8_t* data, uint32_t size) {
            chunks.emplace_back(data, data + size);
        };
    }

    [[nodiscard]] std::vector<uint8_t> Received() const {
        std::vector<uint8_t> all;
        for (const auto& c : chunks) {
            all.insert(all.end(), c.begin(), c.end());
        }
        return all;
    }
};

bool WaitForInput(const CommPortDriver& drv, uint32_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (platform::QuerySerialQueues(drv.Handle()).input < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(CommPortDriver, StartsWithTheComponentDefaults) {
    CommPortDriver drv;
    EXPECT_FALSE(drv.Connected());
    EXPECT_EQ(drv.Handle(), platform::kInvalidOSHandle);
    EXPECT_EQ(drv.PortName(), platform::NamedSerialPortPath(2));
    EXPECT_EQ(drv.BaudRate(), BaudRate::k9600);
    EXPECT_EQ(drv.BaudRateValue(), 9600u);
    EXPECT_EQ(drv.DataBits(), DataBits::k8);
    EXPECT_EQ(drv.StopBits(), StopBits::kOne);
    EXPECT_EQ(drv.Parity(), Parity::kNone);
    EXPECT_EQ(drv.HwFlow(), HwFlowControl::kNoneRtsOn);
    EXPECT_EQ(drv.SwFlow(), SwFlowControl::kNone);
    EXPECT_TRUE(drv.EnableDTROnOpen());
    EXPECT_EQ(drv.InBufSize(), 2048u);
    EXPECT_EQ(drv.OutBufSize(), 2048u);
    EXPECT_EQ(drv.PollingDelay(), 50u);
    EXPECT_TRUE(drv.IsPolling());
}

TEST(CommPortDriver, SettersClampAndFollowTheirRules) {
    CommPortDriver drv;
    struct Case {
        uint32_t set;
        uint32_t buf;
        uint32_t delay;
    };
    for (const Case c : {Case{0, 128, 5}, Case{4, 128, 5}, Case{5, 128, 5}, Case{128, 128, 128},
                         Case{4096, 4096, 4096}, Case{65535, 65535, 65535}, Case{70000, 65535, 70000}}) {
        drv.SetInBufSize(c.set);
        drv.SetOutBufSize(c.set);
        drv.SetPollingDelay(c.set);
        EXPECT_EQ(drv.InBufSize(), c.buf) << c.set;
        EXPECT_EQ(drv.OutBufSize(), c.buf) << c.set;
        EXPECT_EQ(drv.PollingDelay(), c.delay) << c.set;
    }
    drv.SetPortName("/dev/ttyUSB0");
    EXPECT_EQ(drv.PortName(), "/dev/ttyUSB0");
    drv.SetBaudRate(BaudRate::k57600);
    EXPECT_EQ(drv.BaudRateValue(), 57600u);
    drv.SetBaudRateValue(115200);
    EXPECT_EQ(drv.BaudRate(), BaudRate::kCustom);
    EXPECT_EQ(BaudRateBitsPerSecond(BaudRate::k256000), 256000u);
}

TEST(CommPortDriver, ConnectToAMissingDeviceFailsAndReportsWhy) {
    RecordedDriver r("/dev/klink-no-such-port");
    EXPECT_FALSE(r.drv.Connect());
    EXPECT_FALSE(r.drv.Connected());
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].first, ENOENT);
    EXPECT_EQ(r.errors[0].second, "Error connecting. Reason: No such file or directory");
    EXPECT_TRUE(r.timer.empty()) << "no polling for a closed port";
}

TEST(CommPortDriver, ConnectOpensConfiguresAndStartsPolling) {
    PtyPair pty;
    RecordedDriver r(pty.SlavePath());
    ASSERT_TRUE(r.drv.Connect());
    EXPECT_TRUE(r.drv.Connected());
    EXPECT_TRUE(platform::SerialPortPresent(r.drv.Handle()));
    EXPECT_EQ(platform::GetSerialTimeouts(r.drv.Handle()), (platform::SerialTimeouts{1, 0, 1, 0, 10}));
    termios t{};
    ASSERT_EQ(tcgetattr(static_cast<int>(r.drv.Handle()), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B115200);

    const OSHandle handle = r.drv.Handle();
    EXPECT_TRUE(r.drv.Connect()) << "already open";
    EXPECT_EQ(r.drv.Handle(), handle);
    EXPECT_EQ(r.timer, (std::vector<std::pair<bool, uint32_t>>{{true, 16}}));

    // Port name and queue sizes stay while connected.
    r.drv.SetPortName("/dev/other");
    r.drv.SetInBufSize(128);
    r.drv.SetOutBufSize(128);
    EXPECT_EQ(r.drv.PortName(), pty.SlavePath());
    EXPECT_EQ(r.drv.InBufSize(), 4096u);
    EXPECT_EQ(r.drv.OutBufSize(), 10000u);
    // A new rate applies at once; a new delay restarts the timer.
    r.drv.SetBaudRate(BaudRate::k57600);
    ASSERT_EQ(tcgetattr(static_cast<int>(r.drv.Handle()), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    r.drv.SetPollingDelay(0);
    EXPECT_EQ(r.timer.back(), (std::pair<bool, uint32_t>{true, 5}));

    // A second driver cannot take the same port.
    RecordedDriver other(pty.SlavePath());
    EXPECT_FALSE(other.drv.Connect());
    ASSERT_EQ(other.errors.size(), 1u);
    EXPECT_EQ(other.errors[0].second, "Error connecting. Reason: Device or resource busy");

    r.drv.Disconnect();
    EXPECT_FALSE(r.drv.Connected());
    EXPECT_EQ(r.timer.back(), (std::pair<bool, uint32_t>{false, 5}));
    EXPECT_TRUE(other.drv.Connect()) << "free again after disconnecting";
    EXPECT_TRUE(r.errors.empty());
}

TEST(CommPortDriver, RejectedLineSettingsAreReportedWithTheirPosition) {
    PtyPair pty;
    RecordedDriver r(pty.SlavePath());
    r.drv.SetBaudRateValue(14400);  // no such rate on this system
    EXPECT_FALSE(r.drv.Connect());
    EXPECT_FALSE(r.drv.Connected()) << "closed again";
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].second,
              "Error in ApplyCOMSettings. \r\nReason: Invalid argument.\r\nPosition: SetCommSTate");
}

TEST(CommPortDriver, PausedPollingReadsNothingUntilEveryPauseIsContinued) {
    PtyPair pty;
    RecordedDriver r(pty.SlavePath());
    r.drv.SetInBufSize(128);
    ASSERT_TRUE(r.drv.Connect());
    const auto data = Pattern(1000);
    pty.Send(data);
    ASSERT_TRUE(WaitForInput(r.drv, 1000));

    r.drv.PausePolling();
    r.drv.PausePolling();
    r.drv.PollTick();
    r.drv.ContinuePolling();
    EXPECT_FALSE(r.drv.IsPolling());
    r.drv.PollTick();
    EXPECT_TRUE(r.chunks.empty());

    r.drv.ContinuePolling();
    EXPECT_TRUE(r.drv.IsPolling());
    r.drv.PollTick();
    ASSERT_EQ(r.chunks.size(), 8u);
    for (size_t i = 0; i + 1 < r.chunks.size(); ++i) {
        EXPECT_EQ(r.chunks[i].size(), 128u);
    }
    EXPECT_EQ(r.chunks.back().size(), 1000u - 7 * 128);
    EXPECT_EQ(r.Received(), data);
}

TEST(CommPortDriver, TicksNeverNest) {
    PtyPair pty;
    RecordedDriver r(pty.SlavePath());
    r.drv.SetInBufSize(128);
    ASSERT_TRUE(r.drv.Connect());
    int depth = 0;
    int deepest = 0;
    std::vector<uint32_t> sizes;
    r.drv.onReceiveData = [&](CommPortDriver& sender, const uint8_t*, uint32_t size) {
        deepest = std::max(deepest, ++depth);
        sizes.push_back(size);
        sender.PollTick();  // a handler that pumps messages re-enters the timer
        --depth;
    };
    pty.Send(Pattern(300));
    ASSERT_TRUE(WaitForInput(r.drv, 300));
    r.drv.PollTick();
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(sizes, (std::vector<uint32_t>{128, 128, 44}));
}

TEST(CommPortDriver, HungUpPortShowsAsGoneAndStillDisconnects) {
    PtyPair pty;
    RecordedDriver r(pty.SlavePath());
    ASSERT_TRUE(r.drv.Connect());
    pty.HangUp();
    EXPECT_FALSE(platform::SerialPortPresent(r.drv.Handle()));
    r.drv.PollTick();
    r.drv.Disconnect();
    EXPECT_FALSE(r.drv.Connected());
}

}  // namespace
