// The host's view of a simulated line: a pseudo-terminal whose board tells,
// through its record, what it has taken off the line. Here the test plays the
// board: it holds the record and says what it took.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "PtyPair.h"
#include "platform/SerialPort.h"
#include "platform/SimulatedLine.h"
#include "platform/SimulatedPorts.h"

namespace klink::platform {
namespace {

using testing::PtyPair;

UniqueSerialPort OpenConfigured(const std::string& path, uint32_t queue) {
    UniqueSerialPort port(OpenSerialPort(path));
    ConfigureSerialPort(port.Get(), SerialLineSettings{});
    SetupSerialQueues(port.Get(), 4096, queue);
    SetSerialTimeouts(port.Get(), {0, 0, 0, 0, 50});
    return port;
}

TEST(SimulatedLine, TheHostCountsWhatTheBoardHasNotTaken) {
    PtyPair pty;
    SimulatedLinePublisher board(pty.SlavePath(), SimulatedLineKind::kUsb);
    UniqueSerialPort port = OpenConfigured(pty.SlavePath(), 1000);
    EXPECT_EQ(SimulatedLineOf(port.Get()), SimulatedLineKind::kUsb);
    const std::vector<uint8_t> data(1500, 0x55);
    // The queue takes 1000 bytes; then the write waits for the board until its time-out.
    EXPECT_EQ(WriteSerialPort(port.Get(), data).written, 1000u);
    EXPECT_EQ(QuerySerialQueues(port.Get()).output, 1000u);
    board.Taken(400);
    EXPECT_EQ(QuerySerialQueues(port.Get()).output, 600u);
    EXPECT_EQ(WriteSerialPort(port.Get(), std::span(data).first(500)).written, 400u);
    board.Taken(1000);
    EXPECT_EQ(QuerySerialQueues(port.Get()).output, 0u);
    // Bytes the board took beyond what this port wrote (an earlier opener's) never make it negative.
    board.Taken(50);
    EXPECT_EQ(QuerySerialQueues(port.Get()).output, 0u);
    EXPECT_EQ(WriteSerialPort(port.Get(), std::span(data).first(10)).written, 10u);
    EXPECT_EQ(QuerySerialQueues(port.Get()).output, 10u);
    PurgeSerialPort(port.Get());
    EXPECT_EQ(QuerySerialQueues(port.Get()).output, 0u);
}

TEST(SimulatedLine, ARecordNoBoardHoldsIsIgnored) {
    PtyPair pty;
    struct stat device {};
    ASSERT_EQ(stat(pty.SlavePath().c_str(), &device), 0);
    const auto record = SimulatedPortFolder() / (".line-" + std::to_string(device.st_rdev));
    const auto kept = record.string() + ".kept";
    {
        SimulatedLinePublisher board(pty.SlavePath(), SimulatedLineKind::kUart);
        std::filesystem::copy_file(record, kept, std::filesystem::copy_options::overwrite_existing);
    }
    // What a simulator killed while it ran leaves behind: its record, held by nobody.
    std::filesystem::rename(kept, record);
    UniqueSerialPort plain = OpenConfigured(pty.SlavePath(), 1000);
    EXPECT_EQ(SimulatedLineOf(plain.Get()), std::nullopt);
    EXPECT_EQ(QuerySerialQueues(plain.Get()).output, 0u);  // a pseudo-terminal shows none
    std::filesystem::remove(record);
}

}  // namespace
}  // namespace klink::platform
