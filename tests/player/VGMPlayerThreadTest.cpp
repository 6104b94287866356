// The playback thread's run: what it shows and logs, how failures end it,
// stopping during preparation, the stop report and the final drain.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "PlayerTestSupport.h"
#include "protocol/KLINKCodec.h"
#include "vgm/VGMHeaderText.h"

namespace klink::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> ShortYM2151File() {
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78, 0x62}).End().GD3({u"Title", u"", u"Game"});
    return file.Build();
}

TEST(VGMPlayerThread, ShowsTheFileBeforeTheHeaderAndLogsRoutesAndRouting) {
    SimConnection board("Keltra 4");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "COM7");
    TempFile vgm(ShortYM2151File(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
    EXPECT_FALSE(thread.Finished());
    RunToEnd(thread);
    EXPECT_TRUE(thread.Finished());
    EXPECT_TRUE(thread.PlaybackCompleted());
    EXPECT_EQ(thread.PlaybackError(), "");

    const std::string path = vgm.Path().string();
    const std::vector<std::string> calls{"clear", "dialog " + path, "path " + path, "header", "tags"};
    EXPECT_EQ(host.calls, calls);
    EXPECT_EQ(FormatVGMHeader(host.header)[VGMHeaderField::kYM2151Clock], "3579545");
    auto log = host.LogLines();
    // What the playback thread got from the system is said once per program,
    // in whichever register-path track comes first.
    std::erase_if(log, [](const std::string& line) { return line.rfind("Playback thread: ", 0) == 0; });
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "VGM register routes=1; OKI=0 Hz, divider=0 (clock 0 = unused).");
    EXPECT_EQ(log[1].rfind("COM7 / ", 0), 0u) << log[1];
    EXPECT_NE(log[1].find("VGM routing (connection 1/2 = upper/lower COM selector):"), std::string::npos);
    // A track the line carries gets no warning before it, and how it went after it.
    EXPECT_EQ(log[2].rfind("Link: writes late by ", 0), 0u) << log[2];
}

TEST(VGMPlayerThread, AThreadThatNeverStartedIsDestroyedQuietly) {
    RecordingHost host;
    auto thread = std::make_unique<VGMPlayerThread>(host, "nothing.vgm", 1, 0);
    thread.reset();
    EXPECT_EQ(host.synchronizeCalls, 0);
}

struct FailureCase {
    const char* name;
    std::vector<uint8_t> file;
    bool withBoard;
    const char* model;
    const char* message;
    bool headerShown;
};

class VGMPlayerThreadFailure : public ::testing::TestWithParam<FailureCase> {};

// Every failure ends the run with its message kept and logged exactly once.
TEST_P(VGMPlayerThreadFailure, LogsTheMessageOnceWithItsPrefix) {
    const FailureCase& c = GetParam();
    std::unique_ptr<SimConnection> board;
    RecordingHost host;
    if (c.withBoard) {
        board = std::make_unique<SimConnection>(c.model);
        host.SetPort(0, board->port.Get(), "sim");
    }
    TempFile vgm(c.file, ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
    RunToEnd(thread);
    EXPECT_EQ(thread.PlaybackError(), c.message);
    EXPECT_FALSE(thread.PlaybackCompleted());
    const auto errors = host.LogStarting("エラー: ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], std::string("エラー: ") + c.message);
    EXPECT_EQ(host.LogLines().back(), errors[0]);
    EXPECT_EQ(std::count(host.calls.begin(), host.calls.end(), "header"), c.headerShown ? 1 : 0);
    if (board) {
        // A board that was started is reset again at the end.
        const auto resets = board->Events(sim::SimTraceOp::kReset).size();
        EXPECT_TRUE(resets == 0 || resets == 2) << resets;
    }
}

std::vector<uint8_t> NotAVGMFile() {
    std::vector<uint8_t> bytes(0x100, 0);
    bytes[0] = 'R';
    bytes[1] = 'I';
    bytes[2] = 'F';
    bytes[3] = 'F';
    return bytes;
}

std::vector<uint8_t> OnlyYM2608() {
    VGMBuilder file;
    file.Field(0x48, 7987200);
    file.Cmd({0x56, 0x07, 0x38, 0x62}).End();
    return file.Build();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VGMPlayerThreadFailure,
    ::testing::Values(FailureCase{"NotAVGMFile", NotAVGMFile(), true, "Keltra 4", "Invalid VGM signature.",
                                  false},
                      FailureCase{"NoSupportedChip", OnlyYM2608(), true, "Keltra 4",
                                  "No supported KLINK register or audio commands in this VGM.", true},
                      FailureCase{"NoBoard", ShortYM2151File(), false, "",
                                  "Connect at least one KLINK device before playback.", true}),
    [](const auto& row) { return std::string(row.param.name); });

// Stopping while the boards are probed ends the run at once and quietly,
// and a board that was never started is not reset.
TEST(VGMPlayerThread, StopDuringPrepareEndsQuietly) {
    sim::SimFaults faults;
    faults.replies.push_back({sim::SimReplyAction::kDrop, Opcode::kDeviceInfo});
    SimConnection board("Keltra 4", faults);
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    TempFile vgm(ShortYM2151File(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
    thread.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto stopAt = Clock::now();
    thread.Stop();
    EXPECT_TRUE(thread.StopRequested());
    ASSERT_TRUE(thread.WaitFor(3000));
    EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(700));
    EXPECT_FALSE(thread.PlaybackCompleted());
    EXPECT_NE(thread.PlaybackError().find("Playback cancelled."), std::string::npos)
        << thread.PlaybackError();
    EXPECT_TRUE(host.LogStarting("エラー: ").empty());
    EXPECT_TRUE(board.Events(sim::SimTraceOp::kReset).empty());
}

// A board that stops answering at the final reset: the track played, but the
// run reports the failed stop, so a playlist does not advance.
TEST(VGMPlayerThread, AFailedResetAtTheEndIsReported) {
    sim::SimFaults faults;
    faults.replies.push_back({sim::SimReplyAction::kDrop, Opcode::kReset, 2});
    SimConnection board("Keltra 4", faults);
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "COM3");
    TempFile vgm(ShortYM2151File(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
    RunToEnd(thread);
    EXPECT_TRUE(thread.PlaybackCompleted());
    EXPECT_EQ(thread.PlaybackError().rfind("KLINK stop failed: COM3 RESET: ", 0), 0u)
        << thread.PlaybackError();
    EXPECT_EQ(thread.PlaybackError().substr(thread.PlaybackError().size() - 2), "; ");
    const auto errors = host.LogStarting("エラー: KLINK stop failed: COM3 RESET: ");
    EXPECT_EQ(errors.size(), 1u);
}

// On a pseudo-terminal the driver's output queue always reads empty, so a
// stuck board cannot show there. A socket pair whose far end nobody reads
// holds the written bytes in its queue the way a stuck serial port does.
class StuckPort {
public:
    StuckPort() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
        nearEnd = fds[0];
        farEnd = fds[1];
    }
    ~StuckPort() {
        close(nearEnd);
        close(farEnd);
    }
    int nearEnd = -1;
    int farEnd = -1;
};

TEST(VGMPlayerThread, OutputThatNeverDrainsFailsTheRunAfterTwoSeconds) {
    for (const bool stopped : {false, true}) {
        StuckPort port;
        RecordingHost host;
        host.SetPort(0, static_cast<platform::OSHandle>(port.nearEnd), "COM9");
        TempFile vgm(ShortYM2151File(), ".vgm");
        VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
        thread.Start();
        if (stopped) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            thread.Stop();
        }
        ASSERT_TRUE(thread.WaitFor(10000));
        // The drain outlasts the probe's time-out and replaces its failure;
        // the final drain runs even after a stop.
        EXPECT_EQ(thread.PlaybackError(), "Serial output did not drain.") << stopped;
        EXPECT_EQ(host.LogStarting("エラー: ").size(), stopped ? 0u : 1u);
        if (!stopped) {
            EXPECT_EQ(host.LogLines().back(), "エラー: Serial output did not drain.");
        }
    }
}

}  // namespace
}  // namespace klink::test

namespace klink::test {
namespace {

// A loop offset past the end: logged, shown as 0x0000, and the file plays
// once whatever the repeat count.
TEST(VGMPlayerThread, ALoopOffsetPastTheEndPlaysOnce) {
    SimConnection board("Keltra 4");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78, 0x62, 0x54, 0x20, 0x01, 0x62}).End();
    file.Field(0x1C, 0x10000);
    TempFile vgm(file.Build(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 3, 0);
    RunToEnd(thread);
    EXPECT_EQ(thread.PlaybackError(), "");
    EXPECT_TRUE(thread.PlaybackCompleted());
    EXPECT_EQ(host.LogStarting("Invalid VGM loop offset $00010000; looping disabled.").size(), 1u);
    EXPECT_EQ(FormatVGMHeader(host.header)[VGMHeaderField::kLoopOffset], "0x0000");
    EXPECT_EQ(board.HostWrites().size(), 2u);
}

// The window never passes a negative fade; if one arrives, the fade refuses
// it when the last pass ends.
TEST(VGMPlayerThread, ANegativeFadeFailsWhenTheFadeWouldStart) {
    SimConnection board("Keltra 4");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim");
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78});
    file.LoopHere();
    file.Cmd({0x54, 0x20, 0x01, 0x62}).End();
    TempFile vgm(file.Build(), ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, -1);
    RunToEnd(thread);
    EXPECT_EQ(thread.PlaybackError(), "Invalid fade duration.");
    EXPECT_EQ(host.LogStarting("エラー: Invalid fade duration.").size(), 1u);
}

}  // namespace
}  // namespace klink::test
