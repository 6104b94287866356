#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "ExpectError.h"
#include "ScriptedBoard.h"
#include "common/Errors.h"
#include "protocol/KLINKConnection.h"

namespace {

using namespace klink;
using klink::test::Bytes;
using klink::test::DeviceInfoData;
using klink::test::ExpectError;
using klink::test::QuietClock;
using klink::test::ScriptedBoard;

TEST(KLINKConnection, EachConnectionTalksToItsOwnBoard) {
    ScriptedBoard first;
    ScriptedBoard second;
    first.SetDeviceInfo(DeviceInfoData("Keltra 4", "1.0"));
    second.SetDeviceInfo(DeviceInfoData("Keltra 2.1", "3.2"));
    KLINKConnection one(first.Port());
    KLINKConnection two(second.Port());

    EXPECT_EQ(two.DeviceInfo(), "Keltra 2.1 / Firmware 3.2");
    EXPECT_EQ(one.DeviceInfo(), "Keltra 4 / Firmware 1.0");
    EXPECT_EQ(one.DeviceName(), "Keltra 4");
    one.CheckCapabilities(false, false);
    one.WriteYM2151(Bytes{0x08, 0x00});
    one.Drain();
    EXPECT_EQ(one.PendingBytes(), 0);

    ASSERT_TRUE(first.WaitFrames(4));  // DEVICE_INFO, two CAPABILITIES pages, the write
    EXPECT_EQ(first.Frames().back().opcode, WriteOpcode(kWriteYM2151));
    EXPECT_EQ(second.Frames().size(), 1u);
}

TEST(KLINKConnection, PacketsQueuedBeforeItIsFreedStillReachTheBoard) {
    ScriptedBoard board;
    {
        KLINKConnection connection(board.Port());
        connection.SendPacket(Opcode::kDACEnd, Bytes{1, 2, 3});
    }
    ASSERT_TRUE(board.WaitFrames(1));
    EXPECT_EQ(board.Frames()[0].payload, (Bytes{1, 2, 3}));
}

TEST(KLINKConnection, TakesAWriterAndClockOfTheCallersMaking) {
    ScriptedBoard board;
    board.SetScript([](const KLINKFrame&) { return Bytes{}; });  // never answers
    auto writer = std::make_unique<BufferedSerialWriter>(board.Port());
    QuietClock clock(board, *writer);
    BufferedSerialWriter& own = *writer;
    KLINKConnection connection(std::move(writer), board.Port(), clock.Clock());
    EXPECT_EQ(&connection.Writer(), &own);
    EXPECT_EQ(&connection.Link().Writer(), &own);

    ExpectError<ReadError>([&] { (void)connection.Request(Opcode::kPing, Bytes{}); },
                           "KLINK response timeout (command $01).");
    connection.BeginAudioStatus();
    EXPECT_FALSE(connection.PollAudioStatus().has_value());
    clock.Advance(1000);
    ExpectError<ReadError>([&] { (void)connection.PollAudioStatus(); }, "KLINK AUDIO_STATUS timeout.");

    connection.PreparePlayback();
    ExpectError<WriteError>(
        [&] { connection.Writer().Enqueue(Bytes(BufferedSerialWriter::kPlaybackLimit + 1)); },
        "Serial backlog limit reached; playback stopped.");
}

}  // namespace
