// The link as it really is: a register track denser than a 115200-baud line
// on a simulated UART board, whose backlog the host now sees in the port's
// driver queue, and a request queued behind a full backlog.
#include <gtest/gtest.h>

#include <chrono>

#include "PlayerTestSupport.h"
#include "player/LinkBudget.h"
#include "protocol/KLINKCodec.h"
#include "protocol/KLINKConnection.h"

namespace klink::test {
namespace {

using Clock = std::chrono::steady_clock;

// `seconds` of YM2151 writes, `writesPerFrame` of them every 1/60 s: 94 make
// about 106 % of what a 115200-baud line carries.
std::vector<uint8_t> DenseYM2151File(int seconds, int writesPerFrame) {
    VGMBuilder file = TestFile();
    file.Cmd({0x54, 0x08, 0x78});  // key on: the first audible write starts the clock
    for (int frame = 0; frame < seconds * 60; ++frame) {
        for (int i = 0; i < writesPerFrame; ++i) {
            file.Cmd({0x54, static_cast<uint8_t>(0x20 + i), static_cast<uint8_t>(1 + (frame + i) % 254)});
        }
        file.Cmd({0x62});
    }
    file.End();
    return file.Build();
}

TEST(LinkPlayback, DenseTrackOnAUartLineEndsNormally) {
    const std::vector<uint8_t> bytes = DenseYM2151File(20, 94);
    const LinkLoad load = MeasureLinkLoad(AnalyseVGMBytes(bytes));
    EXPECT_GT(load.peakBytes * 100, 105u * platform::kUartLineBytesPerSecond);
    EXPECT_LT(load.peakBytes * 100, 108u * platform::kUartLineBytesPerSecond);

    SimConnection board("Keltra 4");
    RecordingHost host;
    host.SetPort(0, board.port.Get(), "sim-keltra4-1");
    TempFile vgm(bytes, ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0);
    RunToEnd(thread, std::chrono::seconds(60));
    // The backlog it builds (about 14 KB by the end) waits in the driver
    // queue the host can see, at most 10000 bytes ahead of the RESET at the
    // stop, so the reset is answered within its 1000 ms.
    EXPECT_EQ(thread.PlaybackError(), "");
    EXPECT_TRUE(thread.PlaybackCompleted());
    const auto warnings =
        host.LogStarting("Link: sim-keltra4-1 (simulated UART line) carries 11520 bytes/s;");
    EXPECT_EQ(warnings.size(), 1u);
    const auto after = host.LogStarting("Link: writes late by ");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(host.LogLines().back(), after[0]);
    // Every write reached the board, in order.
    const auto writes = board.HostWrites();
    ASSERT_EQ(writes.size(), 1u + 20u * 60u * 94u);
    EXPECT_EQ(writes.back().reg, 0x20 + 93);
}

// A request queued behind a full backlog: the writer hands its ring to the
// driver queue (Drain), and only the queue's 10000 bytes, 0.87 s of line
// time, lie ahead of the request when its 1000 ms start.
TEST(LinkPlayback, RequestBehindAFullBacklogIsAnsweredInTime) {
    SimConnection board("Keltra 4");
    KLINKConnection connection(board.port.Get());
    connection.Reset();
    connection.Probe();  // the first request after RESET ends the board's start-up phase
    std::vector<uint8_t> pairs;
    for (int i = 0; i < 120; ++i) {
        pairs.push_back(static_cast<uint8_t>(0x20 + i % 0x60));
        pairs.push_back(static_cast<uint8_t>(1 + i));
    }
    const std::vector<uint8_t> frame =
        EncodeFrame(MessageType::kPacket, WriteOpcode(0x54), 1, EncodeRegisterBatch(0, 0, pairs));
    // About 20 KB: 1.7 s of line time, more than the 1000 ms reply time.
    int64_t queued = 0;
    while (queued < 20000) {
        connection.Writer().Enqueue(frame);
        queued += static_cast<int64_t>(frame.size());
    }
    EXPECT_GT(connection.PendingBytes(), 15000);
    connection.Writer().Drain();
    const uint32_t driverQueue = platform::QuerySerialQueues(board.port.Get()).output;
    EXPECT_GT(driverQueue, 5000u);
    EXPECT_LE(driverQueue, 10000u);
    connection.Probe();  // a PING, answered behind what the queue holds
    EXPECT_EQ(platform::QuerySerialQueues(board.port.Get()).output, 0u);
    EXPECT_EQ(board.HostWrites().size(),
              static_cast<size_t>(queued / static_cast<int64_t>(frame.size())) * 120);
}

}  // namespace
}  // namespace klink::test
