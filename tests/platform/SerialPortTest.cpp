#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "PtyPair.h"
#include "common/Errors.h"
#include "platform/SerialPort.h"

namespace {

using namespace klink::platform;
using klink::testing::Pattern;
using klink::testing::PtyPair;

int Fd(const UniqueSerialPort& port) { return static_cast<int>(port.Get()); }

// Waits until the port's input queue holds `count` bytes (pty delivery is
// asynchronous).
bool WaitForInput(OSHandle port, uint32_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (QuerySerialQueues(port).input < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int ErrnoOfOpen(const std::string& path) {
    try {
        UniqueSerialPort port(OpenSerialPort(path));
    } catch (const klink::OSError& e) {
        return e.Code();
    }
    return 0;
}

struct LineCase {
    const char* name;
    SerialLineSettings settings;
    tcflag_t size;
    bool parity;
    bool twoStop;
    bool rtscts;
    bool xonxoff;
};

TEST(SerialPort, OpenedPortCarriesTheRequestedLineSettings) {
    SerialLineSettings s7e2;
    s7e2.dataBits = 7;
    s7e2.parity = SerialParity::kEven;
    s7e2.stopBits = SerialStopBits::kTwo;
    s7e2.baudRate = 9600;
    SerialLineSettings odd15;
    odd15.parity = SerialParity::kOdd;
    odd15.stopBits = SerialStopBits::kOneAndHalf;
    SerialLineSettings flow;
    flow.rtsCtsFlow = true;
    flow.xonXoffFlow = true;
    const LineCase cases[] = {
        {"115200 8N1 (the boards' settings)", SerialLineSettings{}, CS8, false, false, false, false},
        {"9600 7E2", s7e2, CS7, true, true, false, false},
        {"8O1.5 becomes two stop bits", odd15, CS8, true, true, false, false},
        {"both handshakes", flow, CS8, false, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        UniqueSerialPort port(OpenSerialPort(pty.SlavePath()));
        ConfigureSerialPort(port.Get(), c.settings);
        termios t{};
        ASSERT_EQ(tcgetattr(Fd(port), &t), 0);
        const speed_t want = c.settings.baudRate == 9600 ? B9600 : B115200;
        EXPECT_EQ(cfgetispeed(&t), want);
        EXPECT_EQ(cfgetospeed(&t), want);
        // A pseudo-terminal always keeps 8 data bits and no parity, so the
        // framing of the other cases can only be seen on a real UART.
        if (c.size == CS8 && !c.parity) {
            EXPECT_EQ(t.c_cflag & CSIZE, c.size);
            EXPECT_EQ(t.c_cflag & (PARENB | PARODD), 0u);
        }
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.rtscts);
        EXPECT_EQ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), c.xonxoff);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        // Raw: no line editing, echo, signals or output translation.
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST(SerialPort, RefusesWhatItCannotOpenOrSet) {
    PtyPair pty;
    UniqueSerialPort held(OpenSerialPort(pty.SlavePath()));
    EXPECT_EQ(ErrnoOfOpen(pty.SlavePath()), EBUSY) << "a port held by another opener";
    EXPECT_EQ(ErrnoOfOpen("/dev/klink-no-such-port"), ENOENT);
    EXPECT_EQ(ErrnoOfOpen("/dev/null"), ENOTTY) << "not a terminal";

    SerialLineSettings odd;
    odd.baudRate = 14400;
    try {
        ConfigureSerialPort(held.Get(), odd);
        FAIL() << "a rate the system cannot set";
    } catch (const klink::OSError& e) {
        EXPECT_EQ(e.Code(), EINVAL);
        EXPECT_STREQ(e.what(), "Invalid argument");
    }
}

TEST(SerialPort, MissingDeviceErrorCarriesOnlyTheSystemText) {
    try {
        (void)OpenSerialPort("/dev/klink-no-such-port");
        FAIL();
    } catch (const klink::OSError& e) {
        EXPECT_STREQ(e.what(), "No such file or directory");
    }
}

TEST(SerialPort, ClosingReleasesThePortForTheNextOpener) {
    PtyPair pty;
    UniqueSerialPort first(OpenSerialPort(pty.SlavePath()));
    first.Close();
    EXPECT_FALSE(IsValidHandle(first.Get()));
    UniqueSerialPort second(OpenSerialPort(pty.SlavePath()));
    EXPECT_TRUE(IsValidHandle(second.Get()));
}

TEST(SerialPort, NeverTakesTheDescriptorsOfTheStandardStreams) {
    // A process started with stdin closed: the port must not become
    // descriptor 0, which reads as "not connected" wherever handles are
    // passed on, nor 1 or 2, where a stray print would reach the board.
    PtyPair pty;
    const int saved = dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    close(STDIN_FILENO);
    OSHandle handle = kInvalidOSHandle;
    int code = 0;
    try {
        handle = OpenSerialPort(pty.SlavePath());
    } catch (const klink::OSError& e) {
        code = e.Code();
    }
    if (IsValidHandle(handle)) {
        CloseSerialPort(handle);
    }
    dup2(saved, STDIN_FILENO);
    close(saved);
    ASSERT_EQ(code, 0);
    EXPECT_GT(handle, OSHandle{STDERR_FILENO});
}

TEST(SerialPort, ReadsReturnAtOnceAndBytesKeepTheirOrder) {
    PtyPair pty;
    UniqueSerialPort port(OpenSerialPort(pty.SlavePath()));
    ConfigureSerialPort(port.Get(), {});

    uint8_t buf[256];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadSerialPort(port.Get(), buf), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    const auto in = Pattern(200);
    pty.Send(in);
    ASSERT_TRUE(WaitForInput(port.Get(), 200));
    EXPECT_EQ(QuerySerialQueues(port.Get()).input, 200u);
    std::vector<uint8_t> got;
    while (got.size() < in.size()) {
        const uint32_t n = ReadSerialPort(port.Get(), std::span<uint8_t>(buf, 64));
        ASSERT_GT(n, 0u);
        ASSERT_LE(n, 64u);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(got, in);
    EXPECT_EQ(QuerySerialQueues(port.Get()).input, 0u);

    const auto out = Pattern(300, 7);
    const SerialWriteResult r = WriteSerialPort(port.Get(), out);
    EXPECT_EQ(r.written, 300u);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(pty.Receive(300), out);
}

TEST(SerialPort, PurgeDropsWhatWasReceived) {
    PtyPair pty;
    UniqueSerialPort port(OpenSerialPort(pty.SlavePath()));
    ConfigureSerialPort(port.Get(), {});
    pty.Send(Pattern(100));
    ASSERT_TRUE(WaitForInput(port.Get(), 100));
    PurgeSerialPort(port.Get());
    EXPECT_EQ(QuerySerialQueues(port.Get()).input, 0u);
    uint8_t buf[16];
    EXPECT_EQ(ReadSerialPort(port.Get(), buf), 0u);
}

TEST(SerialPort, WriteGivesUpAtItsTimeOutWhenNobodyReads) {
    PtyPair pty;
    UniqueSerialPort port(OpenSerialPort(pty.SlavePath()));
    ConfigureSerialPort(port.Get(), {});
    SerialTimeouts t;
    t.writeTotalConstantMs = 300;
    SetSerialTimeouts(port.Get(), t);
    EXPECT_EQ(GetSerialTimeouts(port.Get()), t);

    // Far more than a pseudo-terminal buffers, so the write must stall.
    const auto data = Pattern(1 << 20);
    const auto start = std::chrono::steady_clock::now();
    const SerialWriteResult r = WriteSerialPort(port.Get(), data);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.error, 0) << "a time-out is a short count, not a failure";
    EXPECT_LT(r.written, data.size());
    EXPECT_GE(elapsed, std::chrono::milliseconds(250));
    EXPECT_LT(elapsed, std::chrono::seconds(20));
}

TEST(SerialPort, HungUpPortCountsAsGone) {
    PtyPair pty;
    UniqueSerialPort port(OpenSerialPort(pty.SlavePath()));
    ConfigureSerialPort(port.Get(), {});
    EXPECT_TRUE(SerialPortPresent(port.Get()));
    pty.HangUp();
    EXPECT_FALSE(SerialPortPresent(port.Get()));
    const SerialWriteResult r = WriteSerialPort(port.Get(), Pattern(10));
    EXPECT_EQ(r.error, EIO);
    EXPECT_FALSE(SerialPortPresent(kInvalidOSHandle));
}

TEST(SerialPort, OperationsOnAClosedHandleFail) {
    PtyPair pty;
    UniqueSerialPort port(OpenSerialPort(pty.SlavePath()));
    const OSHandle stale = port.Get();
    port.Close();
    EXPECT_FALSE(SerialPortPresent(stale));
    EXPECT_THROW((void)GetSerialTimeouts(stale), klink::OSError);
    EXPECT_THROW((void)QuerySerialQueues(kInvalidOSHandle), klink::OSError);
    EXPECT_EQ(WriteSerialPort(kInvalidOSHandle, Pattern(1)).error, EBADF);
}

}  // namespace
