// The serial link against the simulated boards, at the real line rate and
// with the real clock. The fast, exhaustive cases run against the scripted
// board; these show that the link and the board model agree, and how the
// board's faults look to the host. (klinkplay probe on them: tests/app.)
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "ExpectError.h"
#include "SimBoard.h"
#include "common/Errors.h"
#include "kl2/KL2DACCodec.h"
#include "platform/SerialPort.h"
#include "protocol/KLINKSerialLink.h"
#include "transport/BufferedSerialWriter.h"

namespace {

using namespace klink;
using klink::test::ExpectError;
using sim::SimBoard;
using sim::SimFaults;
using sim::SimReplyAction;
using sim::SimReplyRule;

class TestLink : public KLINKSerialLink {
public:
    using KLINKSerialLink::KLINKSerialLink;
    using KLINKSerialLink::SetRequestID;
};

// One simulated board with the host's port, writer and link on it.
struct SimConnection {
    explicit SimConnection(const std::string& model, SimFaults faults = {})
        : board(SimBoard::Start(model, Options(std::move(faults)))),
          port(platform::OpenSerialPort(board->PortPath())),
          writer((Configure(port.Get()), port.Get())),
          link(writer) {
        link.AttachPort(port.Get());
    }
    ~SimConnection() { writer.Shutdown(); }

    static sim::SimBoardOptions Options(SimFaults faults) {
        sim::SimBoardOptions o;
        o.faults = std::move(faults);
        return o;
    }
    static void Configure(platform::OSHandle handle) {
        platform::ConfigureSerialPort(handle, {});
        ConfigureWriteTimeouts(handle);
    }

    std::unique_ptr<SimBoard> board;
    platform::UniqueSerialPort port;
    BufferedSerialWriter writer;
    TestLink link;
};

SimFaults Rule(SimReplyAction action, std::optional<Opcode> opcode, uint32_t nth = 0, uint32_t delayMs = 0,
               uint8_t status = 1) {
    SimFaults f;
    f.replies.push_back(SimReplyRule{action, opcode, nth, delayMs, status});
    return f;
}

TEST(KLINKSerialLinkSim, IdentifiesEveryBuiltInBoard) {
    for (const std::string model : {"Keltra 2", "Keltra 2.1", "Keltra 3", "Keltra 4"}) {
        SCOPED_TRACE(model);
        SimConnection c(model);
        c.link.Probe();
        const std::string identity = c.link.DeviceInfo();
        EXPECT_EQ(identity.rfind(model + " / Firmware ", 0), 0u) << identity;
        EXPECT_EQ(c.link.DeviceName(), model);
        c.link.CheckCapabilities(false, false);
        EXPECT_FALSE(c.link.Capabilities().Describe().empty());
        c.link.Reset();
        c.link.SetOutputVolume(0);
    }
}

TEST(KLINKSerialLinkSim, ProbeAnswersALateFirstPingOnTheSecondAttempt) {
    SimConnection c("Keltra 4", Rule(SimReplyAction::kDelay, Opcode::kPing, 1, 1500));
    c.link.Probe();
    EXPECT_EQ(c.board->Requests(), 2u);
    // The late answer to the first PING arrives later and is dropped.
    EXPECT_EQ(c.link.DeviceInfo().rfind("Keltra 4", 0), 0u);
}

TEST(KLINKSerialLinkSim, BoardFaultsAsTheHostSeesThem) {
    {
        SimConnection c("Keltra 4", Rule(SimReplyAction::kWrongEcho, Opcode::kPing));
        ExpectError<ReadError>([&] { c.link.Probe(); }, "KLINK PING echo mismatch.");
        EXPECT_EQ(c.board->Requests(), 3u);
    }
    {
        SimConnection c("Keltra 4", Rule(SimReplyAction::kStaleRequestID, Opcode::kDeviceInfo));
        ExpectError<ReadError>([&] { (void)c.link.DeviceInfo(); }, "KLINK response timeout (command $02).");
        c.link.Probe();  // still usable
    }
    {
        SimConnection c("Keltra 4", Rule(SimReplyAction::kEmptyPayload, Opcode::kReset));
        ExpectError<ReadError>([&] { c.link.Reset(); }, "Empty KLINK response.");
    }
    {
        SimConnection c("Keltra 4", Rule(SimReplyAction::kStatus, Opcode::kSetChipClock, 0, 0, 3));
        c.link.CheckCapabilities(false, false);
        c.link.SetRequestID(0x1233);
        ExpectError<ReadError>([&] { c.link.SetChipClock(0x54, 0, 4000000); },
                               "SET_CHIP_CLOCK $54 / instance=0 / requested=4000000 Hz: "
                               "KLINK command $04 rejected (status=3, transaction=4660).");
    }
    {
        SimFaults f;
        f.deviceInfo = sim::SimDeviceInfoFault::kModelLength;
        SimConnection c("Keltra 4", f);
        ExpectError<ReadError>([&] { (void)c.link.DeviceInfo(); }, "Invalid KLINK model length.");
    }
}

// The start-up fence keeps the writes within what a KL2 board buffers;
// without it the same writes overrun the board.
TEST(KLINKSerialLinkSim, StartupWritesNeverOverrunTheBoard) {
    for (const bool fenced : {true, false}) {
        SCOPED_TRACE(fenced ? "fenced" : "fence switched off");
        SimConnection c("Keltra 2.1");
        c.link.CheckCapabilities(false, false);
        c.link.Reset();
        if (fenced) c.link.BeginStartup();
        std::vector<uint8_t> pairs;
        for (int r = 0x30; r < 0x30 + 127; ++r) {
            pairs.push_back(static_cast<uint8_t>(r));
            pairs.push_back(0x7F);
        }
        for (int i = 0; i < 20; ++i) {
            c.link.WriteRegisters(0x52, 0, 0, pairs);
        }
        c.link.SynchronizeStartup();
        if (fenced) {
            EXPECT_EQ(c.board->RejectedPackets(), 0u);
            EXPECT_EQ(c.board->Register(0x52, 0, 0, 0x30 + 126), 0x7F);
        } else {
            EXPECT_GT(c.board->RejectedPackets(), 0u);
            EXPECT_EQ(c.board->DACStatus().fault, sim::kDACFaultReceiveOverflow);
        }
    }
}

// DAC_RECORDS payloads of 60 records each that continue the stream.
class DACRecords {
public:
    [[nodiscard]] std::vector<uint8_t> Peek() const {
        KL2DACChunk chunk;
        chunk.startTick = tick_;
        for (int i = 0; i < 60; ++i) chunk.records.push_back({KL2RecordKind::kSample, 0x80, 100});
        chunk.endTick = tick_ + 6000;
        return EncodeKL2DACRecords(sequence_, chunk);
    }
    void Sent() {
        sequence_ += 60;
        tick_ += 6000;
    }

private:
    uint32_t sequence_ = 0;
    uint64_t tick_ = 0;
};

// A host that fills the receive window to the brim, data and control
// reserve, between status requests never overruns the board; the same
// packets without the window do.
TEST(KLINKSerialLinkSim, ReceiveWindowPacketsNeverOverrunTheBoard) {
    const std::array<uint8_t, 1> volume = {4};
    for (const bool window : {true, false}) {
        SCOPED_TRACE(window ? "receive window" : "window switched off");
        SimConnection c("Keltra 2.1");
        c.link.CheckCapabilities(false, false);
        c.link.Reset();
        DACRecords records;
        ASSERT_TRUE(c.link.TrySendPacket(Opcode::kDACRecords, records.Peek(), {}, false));
        records.Sent();
        EXPECT_TRUE(c.link.Request(Opcode::kDACStart, EncodeKL2DACStart(3528)).empty());
        if (window) c.link.BeginReceiveWindow();
        size_t data = 0;
        size_t control = 0;
        for (int round = 0; round < 2; ++round) {
            for (size_t n = 0; n < 16 && c.link.TrySendPacket(Opcode::kDACRecords, records.Peek(), {}, false);
                 ++n) {
                records.Sent();
                ++data;
            }
            for (size_t n = 0; n < 140 && c.link.TrySendPacket(Opcode::kSetOutputVolume, volume, {}, true);
                 ++n) {
                ++control;
            }
            (void)c.link.Request(Opcode::kDACStatus, std::array<uint8_t, 1>{1});
        }
        KL2DACStatus status;
        status.Decode(c.link.Request(Opcode::kDACStatus, std::array<uint8_t, 1>{1}));
        if (window) {
            EXPECT_EQ(data, 2u * 15);  // 4096 bytes hold 15 packets of 60 records
            EXPECT_GT(control, 2u * 100);
            EXPECT_EQ(c.board->RejectedPackets(), 0u);
            EXPECT_EQ(status.state, KL2DACState::kPlaying);
            EXPECT_EQ(status.accepted, (data + 1) * 60);
        } else {
            EXPECT_GT(c.board->RejectedPackets(), 0u);
            EXPECT_EQ(status.state, KL2DACState::kFaulted);
            EXPECT_EQ(status.fault, sim::kDACFaultReceiveOverflow);
        }
    }
}

}  // namespace
