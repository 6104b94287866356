// The line pacing: bytes arrive and leave no faster than 115200 8N1 allows.
#include <gtest/gtest.h>

#include "sim/SimLine.h"

namespace klink::sim {
namespace {

constexpr int64_t kByteNs = 1'000'000'000 / kLineBytesPerSecond;  // 86805 ns

TEST(SimInputLine, BytesArriveOneByteTimeApartFromWhenTheyWereSeen) {
    SimInputLine line(SimLineKind::kUart);
    EXPECT_EQ(line.Due(1'000'000), 0u);  // idle: nothing seen yet
    line.Detected(1'000'000);
    EXPECT_EQ(line.Due(1'000'000), 0u);
    EXPECT_EQ(line.Due(1'000'000 + 10 * kByteNs + 10), 10u);
    int64_t last = 0;
    for (int i = 0; i < 10; ++i) last = line.Consume(0);
    EXPECT_NEAR(static_cast<double>(last), 1'000'000 + 10 * 1e9 / 11520, 1);
    EXPECT_EQ(line.Due(1'000'000 + 10 * kByteNs + 10), 0u);
    // 2000 bytes take 2000/11520 s.
    EXPECT_EQ(line.Due(1'000'000 + static_cast<int64_t>(2010 * 1e9 / 11520) + 1), 2000u);
    line.Drained();
    // Seen again right away: the next byte still queues behind the last one.
    line.Detected(last - 50'000);
    EXPECT_EQ(line.Due(last + kByteNs - 1000), 0u);
    EXPECT_EQ(line.Due(last + kByteNs + 1000), 1u);
}

TEST(SimInputLine, UnthrottledLineHasEverythingAtOnce) {
    SimInputLine line(SimLineKind::kUnthrottled);
    line.Detected(500);
    EXPECT_GE(line.Due(500), 4096u);
    EXPECT_EQ(line.Consume(700), 700);
}

TEST(SimOutputLine, RepliesLeaveInOrderAtTheLineRate) {
    SimOutputLine line(SimLineKind::kUart);
    line.Push({std::vector<uint8_t>(10, 1), 1'000'000});
    line.Push({std::vector<uint8_t>(5, 2), 0});  // ready earlier, still waits its turn
    EXPECT_TRUE(line.Due(999'999).empty());
    EXPECT_EQ(line.NextDueNs(), 1'000'000 + kByteNs);
    auto due = line.Due(1'000'000 + 3 * kByteNs + 100);
    EXPECT_EQ(due.size(), 3u);
    line.Commit(due.size());
    due = line.Due(1'000'000 + 15 * kByteNs + 100);
    EXPECT_EQ(due.size(), 7u);
    line.Commit(due.size());
    due = line.Due(1'000'000 + 15 * kByteNs + 100);
    ASSERT_EQ(due.size(), 5u);
    EXPECT_EQ(due[0], 2);
    line.Commit(2);  // the pty took only two
    EXPECT_EQ(line.Due(1'000'000 + 15 * kByteNs + 100).size(), 3u);
    line.Clear();
    EXPECT_TRUE(line.Empty());
}

constexpr int64_t kFrameNs = kUsbFrameNs;

TEST(SimInputLine, UsbBytesArriveAtTheEndOfTheFrameAfterTheyWereSeen) {
    SimInputLine line(SimLineKind::kUsb);
    line.Detected(3 * kFrameNs + 200'000);  // during frame 3: carried by frame 4
    EXPECT_EQ(line.Due(5 * kFrameNs - 1), 0u);
    EXPECT_EQ(line.Due(5 * kFrameNs), kUsbBytesPerFrame);
    EXPECT_EQ(line.NextDueNs(), 5 * kFrameNs);
    int64_t last = 0;
    for (uint64_t i = 0; i < kUsbBytesPerFrame; ++i) last = line.Consume(0);
    EXPECT_EQ(last, 5 * kFrameNs);
    // A burst of 1200 bytes takes three frames: the next 512 one frame later.
    EXPECT_EQ(line.NextDueNs(), 6 * kFrameNs);
    EXPECT_EQ(line.Due(6 * kFrameNs + 10), kUsbBytesPerFrame);
    for (uint64_t i = 0; i < 688; ++i) last = line.Consume(0);
    EXPECT_EQ(last, 7 * kFrameNs);
    line.Drained();
    // More bytes handed over while the last frame still ran go in the frame after it.
    line.Detected(6 * kFrameNs + 500'000);
    EXPECT_EQ(line.Due(8 * kFrameNs + 999'999), 0u);
    EXPECT_EQ(line.Due(9 * kFrameNs), kUsbBytesPerFrame);
}

TEST(SimOutputLine, UsbRepliesLeaveInTheNextFrame) {
    SimOutputLine line(SimLineKind::kUsb);
    line.Push({std::vector<uint8_t>(600, 1), 2 * kFrameNs + 100});
    EXPECT_TRUE(line.Due(4 * kFrameNs - 1).empty());
    EXPECT_EQ(line.NextDueNs(), 4 * kFrameNs);
    auto due = line.Due(4 * kFrameNs);
    EXPECT_EQ(due.size(), kUsbBytesPerFrame);
    line.Commit(due.size());
    EXPECT_EQ(line.NextDueNs(), 5 * kFrameNs);
    EXPECT_EQ(line.Due(5 * kFrameNs).size(), 600 - kUsbBytesPerFrame);
}

}  // namespace
}  // namespace klink::sim
