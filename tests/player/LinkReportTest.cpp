// The link lines of the log: the warning before a track, the latency timer
// note, and how the track went, with the lateness percentiles behind it.
#include <gtest/gtest.h>

#include "player/LinkReport.h"

namespace klink {
namespace {

using platform::SerialDeviceInfo;
using platform::SerialDeviceKind;

TEST(WriteLateness, PercentilesToTheHistogramsStep) {
    WriteLateness lateness;
    EXPECT_EQ(lateness.PercentileUs(50), 0);
    for (int i = 0; i < 98; ++i) lateness.Add(1'234);  // 1.2 ms, most of them
    lateness.Add(-500);                                // early counts as on time
    lateness.Add(2'500'000);                           // one of 2.5 s
    EXPECT_EQ(lateness.Count(), 100u);
    EXPECT_EQ(lateness.PercentileUs(50), 1'300);  // the upper edge of 1.2-1.3 ms
    EXPECT_EQ(lateness.PercentileUs(99), 1'300);
    EXPECT_EQ(lateness.PercentileUs(100), 2'500'000);
    EXPECT_EQ(lateness.MaxUs(), 2'500'000);
    lateness.Add(500'000'000);  // past the histogram: counted, kept exactly as the maximum
    EXPECT_EQ(lateness.PercentileUs(100), 500'000'000);
}

TEST(LinkReport, WarnsOnlyWhenThePortCannotCarryTheTrack) {
    LinkLoad load;
    load.peakBytes = 12'212;
    load.peakStartUs = 5'200'000;
    const struct {
        SerialDeviceKind kind;
        const char* expected;
    } cases[] = {
        {SerialDeviceKind::kSimulatedUart,
         "Link: sim-keltra4-1 (simulated UART line) carries 11520 bytes/s; this track needs 12212 bytes/s at "
         "its "
         "busiest (from 0:05.2), 106 %: it will fall behind."},
        {SerialDeviceKind::kUnknown,
         "Link: sim-keltra4-1 (serial device of unknown kind) carries 11520 bytes/s; this track needs 12212 "
         "bytes/s at its busiest (from 0:05.2), 106 %: it will fall behind."},
        {SerialDeviceKind::kUsbModem, ""},
        {SerialDeviceKind::kSimulatedUsb, ""},
        {SerialDeviceKind::kSimulatedUnthrottled, ""},
    };
    for (const auto& c : cases) {
        SerialDeviceInfo device;
        device.kind = c.kind;
        EXPECT_EQ(FormatLinkWarning("sim-keltra4-1", device, load), c.expected);
    }
    load.peakBytes = 11'520;
    SerialDeviceInfo uart;
    uart.kind = SerialDeviceKind::kBuiltInUart;
    EXPECT_EQ(FormatLinkWarning("ttyS0", uart, load), "");
}

TEST(LinkReport, NotesALatencyTimerAboveOneMillisecond) {
    SerialDeviceInfo adapter;
    adapter.kind = SerialDeviceKind::kUsbSerialAdapter;
    adapter.latencyTimerMs = 16;
    adapter.latencyTimerPath = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer";
    EXPECT_EQ(
        FormatLatencyTimerNote("ttyUSB0", adapter),
        "Link: ttyUSB0 is a USB-serial adapter whose latency timer holds every reply up to 16 ms; to lower "
        "it: echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
    adapter.latencyTimerMs = 1;
    EXPECT_EQ(FormatLatencyTimerNote("ttyUSB0", adapter), "");
    adapter.latencyTimerMs = -1;
    EXPECT_EQ(FormatLatencyTimerNote("ttyUSB0", adapter), "");
    SerialDeviceInfo modem;
    modem.kind = SerialDeviceKind::kUsbModem;
    modem.latencyTimerMs = 16;
    EXPECT_EQ(FormatLatencyTimerNote("ttyACM0", modem), "");
}

TEST(LinkReport, SaysHowTheTrackWent) {
    WriteLateness lateness;
    EXPECT_EQ(FormatRegisterLinkReport(lateness), "");
    for (int i = 0; i < 10; ++i) lateness.Add(1'150);
    lateness.Add(31'000);
    EXPECT_EQ(FormatRegisterLinkReport(lateness),
              "Link: writes late by 1.2 ms (median), 31.0 ms (p99), 31.0 ms (max).");
    EXPECT_EQ(FormatStreamLinkReport(3, 0), "Link: 3 underflows, 0 late events on the board.");
}

TEST(LinkReport, SaysWhatThePlaybackThreadGot) {
    struct Case {
        const char* scheduling;
        bool realtime;
        const char* refusal;
        bool locked;
        const char* line;
    } cases[] = {
        {"real-time (SCHED_FIFO, priority 10)", true, "", true,
         "Playback thread: real-time (SCHED_FIFO, priority 10), memory locked."},
        {"nice -5", false, "RLIMIT_RTPRIO is 0", false,
         "Playback thread: nice -5 (no real-time scheduling: RLIMIT_RTPRIO is 0), memory not locked "
         "(RLIMIT_MEMLOCK)."},
        {"normal priority", false, "RLIMIT_RTPRIO is 0", true,
         "Playback thread: normal priority (no real-time scheduling: RLIMIT_RTPRIO is 0), memory locked."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatPlaybackThreadNote(c.scheduling, c.realtime, c.refusal, c.locked), c.line);
    }
}

}  // namespace
}  // namespace klink
