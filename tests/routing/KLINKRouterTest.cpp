#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "platform/SerialPort.h"
#include "routing/KLINKRouter.h"
#include "sim/SimBoard.h"
#include "transport/BufferedSerialWriter.h"

namespace klink {
namespace {

using sim::SimBoard;
using sim::SimTraceEvent;
using sim::SimTraceOp;

// A simulated board and the host's open port on it.
struct ConnectedBoard {
    std::unique_ptr<SimBoard> board;
    platform::UniqueSerialPort port;

    explicit ConnectedBoard(const char* model) {
        sim::SimBoardOptions options;
        options.throttled = false;
        board = SimBoard::Start(model, options);
        port = platform::UniqueSerialPort(platform::OpenSerialPort(board->PortPath()));
        platform::ConfigureSerialPort(port.Get(), {});
        ConfigureWriteTimeouts(port.Get());
    }

    // The board records what it did just after it replies; these wait (up
    // to 5 s) for the trace to show what a test expects before reading it.
    [[nodiscard]] size_t Count(SimTraceOp op, size_t awaited) const {
        (void)board->WaitForTrace([&](const auto& trace) { return CountOf(trace, op) == awaited; },
                                  std::chrono::seconds(5));
        return CountOf(board->Trace(), op);
    }
    [[nodiscard]] std::string Setup(const std::string& awaited) const {
        (void)board->WaitForTrace([&](const auto& trace) { return SetupOf(trace) == awaited; },
                                  std::chrono::seconds(5));
        return SetupOf(board->Trace());
    }

    static size_t CountOf(const std::vector<SimTraceEvent>& trace, SimTraceOp op) {
        return static_cast<size_t>(
            std::count_if(trace.begin(), trace.end(), [op](const SimTraceEvent& e) { return e.op == op; }));
    }
    // The trace as "op id/inst value" words, register writes left out.
    static std::string SetupOf(const std::vector<SimTraceEvent>& trace) {
        std::string text;
        for (const SimTraceEvent& e : trace) {
            switch (e.op) {
                case SimTraceOp::kReset:
                    text += "reset ";
                    break;
                case SimTraceOp::kVolume:
                    text += "volume " + std::to_string(e.number) + " ";
                    break;
                case SimTraceOp::kClock:
                    text += "clock " + std::to_string(e.writeId) + "/" + std::to_string(e.instance) + " " +
                            std::to_string(e.hz) + " ";
                    break;
                default:
                    break;
            }
        }
        return text;
    }
};

// What the board was told to do beyond register writes, once it shows.
::testing::AssertionResult SetupIs(const ConnectedBoard& board, const std::string& expected) {
    const std::string got = board.Setup(expected);
    if (got == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the board did \"" << got << "\"";
}

KLINKPorts Ports(const ConnectedBoard* b1, const ConnectedBoard* b2) {
    KLINKPorts ports;
    if (b1) ports[0] = {b1->port.Get(), "COM3"};
    if (b2) ports[1] = {b2->port.Get(), "COM4"};
    return ports;
}

template <typename Error, typename F>
std::string Failure(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "no failure";
}

// Register pairs for a write batch of `pairs` writes from register `first`.
std::vector<uint8_t> Pairs(uint8_t first, int pairs) {
    std::vector<uint8_t> data;
    for (int i = 0; i < pairs; ++i) {
        data.push_back(static_cast<uint8_t>(first + i));
        data.push_back(0);
    }
    return data;
}

const std::vector<KLINKVGMTarget> kFMAndPSG = {{0x54, 0, 0}, {0x52, 0, 0}, {0x50, 0, 0}};
const std::vector<KLINKVGMClock> kFMAndPSGClocks = {
    {0x54, 0, 4000000}, {0x52, 0, 7670453}, {0x50, 0, 3579545}};

TEST(KLINKRouter, PreparesStartsAndStopsTwoBoards) {
    ConnectedBoard kl4("Keltra 4");
    ConnectedBoard kl2("Keltra 2.1");
    KLINKRouter router(Ports(&kl4, &kl2));
    router.Prepare(kFMAndPSG, kFMAndPSGClocks, 0, {}, false);
    EXPECT_EQ(router.Description(),
              "COM3 / Keltra 4 / Firmware 1.6 (klinksim)\r\n"
              "YM2151 / instance=0 / page=0 / clock=variable\r\n"
              "OKIM6258 / instance=0 / page=0 / clock=variable\r\n"
              "COM4 / Keltra 2.1 / Firmware 3.2 (klinksim)\r\n"
              "Write $52 / instance=0 / page=0 / clock=variable\r\n"
              "Write $53 / instance=0 / page=1 / clock=variable\r\n"
              "Write $50 / instance=0 / page=0 / clock=variable\r\n"
              "Write $30 / instance=1 / page=0 / clock=variable\r\n"
              "VGM routing (connection 1/2 = upper/lower COM selector):\r\n"
              "$54/0/0 -> connection 1\r\n"
              "$52/0/0 -> connection 2\r\n"
              "$50/0/0 -> connection 2\r\n"
              "KL2 FM/PSG register playback (KL3 timing, no DAC FIFO) -> connection 2\r\n");
    ASSERT_NE(router.Plan(), nullptr);
    EXPECT_FALSE(router.IsDACRoute({0x54, 0, 0}));
    EXPECT_TRUE(router.IsDACRoute({0x52, 0, 0}));
    EXPECT_TRUE(router.IsDACRoute({0x53, 0, 1}));
    EXPECT_TRUE(router.IsDACRoute({0x50, 0, 0}));
    EXPECT_EQ(&router.DACConnection(), router.Connection(1));
    EXPECT_EQ(Failure<WriteError>([&] { (void)router.AudioConnection(); }), "No audio route.");
    EXPECT_TRUE(SetupIs(kl4, "")) << "preparing leaves the boards alone";

    router.Start(kFMAndPSGClocks, 0, {});
    EXPECT_TRUE(SetupIs(kl4, "reset volume 0 clock 84/0 4000000 "));
    EXPECT_TRUE(SetupIs(kl2, "reset volume 0 clock 82/0 7670453 clock 80/0 3579545 "));

    // Every write goes to the board that plays its chip.
    router.WriteRegisters(0x54, 0, 0, Pairs(0x20, 2), {});
    router.WriteRegisters(0x53, 0, 1, Pairs(0x30, 1), {});
    router.WriteRegisters(0x50, 0, 0, std::vector<uint8_t>{0x9F}, {});
    router.SynchronizeStartup({});
    router.Drain();
    auto writes = [](const ConnectedBoard& b) {
        std::string text;
        for (const SimTraceEvent& e : b.board->Trace())
            if (e.op == SimTraceOp::kReg)
                text += std::to_string(e.writeId) + "/" + std::to_string(e.page) + " ";
        return text;
    };
    EXPECT_TRUE(kl4.board->WaitForTrace(
        [](const std::vector<SimTraceEvent>& t) {
            return std::count_if(t.begin(), t.end(),
                                 [](const auto& e) { return e.op == SimTraceOp::kReg; }) == 2;
        },
        std::chrono::seconds(5)));
    EXPECT_EQ(writes(kl4), "84/0 84/0 ");
    EXPECT_EQ(writes(kl2), "83/1 80/0 ");
    EXPECT_GE(router.RegisterPendingBytes({0x54, 0, 0}), 0);

    router.SetVolume(40, {}, true);
    EXPECT_EQ(kl4.board->Attenuation(), 40);
    EXPECT_EQ(kl2.board->Attenuation(), 40);

    EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
    EXPECT_EQ(kl4.Count(SimTraceOp::kReset, 2), 2u);
    EXPECT_EQ(kl2.Count(SimTraceOp::kReset, 2), 2u);
    // A second stop finds nothing left to reset.
    EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
    EXPECT_EQ(kl4.Count(SimTraceOp::kReset, 2), 2u);
}

TEST(KLINKRouter, BoardWithoutRouteIsProbedButNeverReset) {
    ConnectedBoard kl2("Keltra 2");
    ConnectedBoard kl3("Keltra 3");
    KLINKRouter router(Ports(&kl2, &kl3));
    const std::vector<KLINKVGMTarget> targets = {{0x52, 0, 0}, {0x53, 0, 1}};
    const std::vector<KLINKVGMClock> clocks = {{0x52, 0, 7670453}};
    router.Prepare(targets, clocks, 0, {}, false);
    EXPECT_NE(router.Description().find(
                  "COM4 / Keltra 3 / Firmware 2.4 (klinksim)\r\nYM2413 / instance=0 / page=0 / "
                  "clock=fixed 3579545 Hz\r\n"),
              std::string::npos)
        << router.Description();
    EXPECT_GT(kl3.board->Requests(), 0u);
    EXPECT_FALSE(router.Plan()->UsesDevice(1));

    router.Start(clocks, 0, {});
    router.SetVolume(10, {}, true);
    router.SynchronizeStartup({});
    router.PreparePlayback();
    EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
    EXPECT_TRUE(SetupIs(kl2, "reset volume 0 clock 82/0 7670453 volume 10 reset "));
    EXPECT_TRUE(SetupIs(kl3, "")) << "no reset, volume or clock on a board without a route";
    // Its writer was shut down all the same.
    EXPECT_EQ(Failure<WriteError>([&] { router.Connection(1)->Writer().Enqueue(std::vector<uint8_t>{0}); }),
              Failure<WriteError>([&] { router.Connection(0)->Writer().Enqueue(std::vector<uint8_t>{0}); }));
    EXPECT_NE(Failure<WriteError>([&] { router.Connection(1)->Writer().Enqueue(std::vector<uint8_t>{0}); }),
              "no failure");
}

TEST(KLINKRouter, StopResetFailureStillResetsAndShutsDownTheOthers) {
    ConnectedBoard kl3("Keltra 3");
    ConnectedBoard kl2("Keltra 2");
    KLINKRouter router(Ports(&kl3, &kl2));
    const std::vector<KLINKVGMTarget> targets = {{0x55, 0, 0}, {0x52, 0, 0}};
    const std::vector<KLINKVGMClock> clocks = {{0x55, 0, 4000000}, {0x52, 0, 7670453}};
    router.Prepare(targets, clocks, 0, {}, false);
    router.Start(clocks, 0, {});

    sim::SimFaults faults;
    faults.replies.push_back({sim::SimReplyAction::kDrop, Opcode::kReset});
    kl3.board->SetFaults(faults);
    EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }),
              "KLINK stop failed: COM3 RESET: KLINK response timeout (command $00).; ");
    EXPECT_EQ(kl2.Count(SimTraceOp::kReset, 2), 2u);
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(
            Failure<WriteError>([&] { router.Connection(i)->Writer().Enqueue(std::vector<uint8_t>{0}); }),
            "no failure")
            << "writer " << i << " still takes data";
    // The failed board is not reset again by a second stop.
    EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
}

TEST(KLINKRouter, StartupWindowOnlyOnKL2Models) {
    struct Case {
        const char* model;
        KLINKVGMTarget target;
        KLINKVGMClock clock;
        bool fenced;
    } cases[] = {
        {"Keltra 2.1", {0x52, 0, 0}, {0x52, 0, 7670453}, true},
        {"Keltra 2", {0x52, 0, 0}, {0x52, 0, 7670453}, true},
        {"Keltra 3", {0x55, 0, 0}, {0x55, 0, 4000000}, false},
    };
    for (const auto& c : cases) {
        ConnectedBoard board(c.model);
        KLINKRouter router(Ports(&board, nullptr));
        const std::vector<KLINKVGMTarget> targets = {c.target};
        const std::vector<KLINKVGMClock> clocks = {c.clock};
        router.Prepare(targets, clocks, 0, {}, false);
        router.Start(clocks, 0, {});
        const uint64_t before = board.board->Requests();
        // More than the 2048 bytes a KL2 board takes in before a fence.
        for (int i = 0; i < 12; ++i) router.WriteRegisters(c.target.writeId, 0, 0, Pairs(0x30, 100), {});
        EXPECT_EQ(board.board->Requests() > before, c.fenced) << c.model;
        EXPECT_EQ(board.board->RejectedPackets(), 0u) << c.model << ": the board's receive buffer overflowed";
        EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
    }
}

TEST(KLINKRouter, AudioBoardGetsTheOKIClock) {
    ConnectedBoard kl3("Keltra 3");
    ConnectedBoard kl4("Keltra 4");
    KLINKRouter router(Ports(&kl3, &kl4));
    const std::vector<KLINKVGMTarget> targets = {{0x54, 0, 0}};
    const std::vector<KLINKVGMClock> clocks = {{0x54, 0, 4000000}};
    router.Prepare(targets, clocks, 8000000, {}, false);
    EXPECT_EQ(&router.AudioConnection(), router.Connection(1));
    EXPECT_EQ(Failure<WriteError>([&] { (void)router.DACConnection(); }), "No KL2 DAC route.");
    const std::string& d = router.Description();
    EXPECT_EQ(d.substr(d.find("VGM routing")),
              "VGM routing (connection 1/2 = upper/lower COM selector):\r\n"
              "$54/0/0 -> connection 2\r\n"
              "OKIM6258 stream -> connection 2\r\n");
    router.Start(clocks, 8000000, {});
    EXPECT_TRUE(SetupIs(kl4, "reset volume 0 clock 84/0 4000000 clock 183/0 8000000 "));
    EXPECT_TRUE(SetupIs(kl3, ""));
    EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
}

TEST(KLINKRouter, DACCapabilitiesOnlyWhenAsked) {
    ConnectedBoard kl2("Keltra 2.1");
    KLINKRouter router(Ports(&kl2, nullptr));
    const std::vector<KLINKVGMTarget> targets = {{0x52, 0, 0}, {0x50, 0, 0}};
    const std::vector<KLINKVGMClock> clocks = {{0x52, 0, 7670453}, {0x50, 0, 3579545}};
    uint64_t before = kl2.board->Requests();
    router.Prepare(targets, clocks, 0, {}, false);
    const uint64_t withoutDac = kl2.board->Requests() - before;
    EXPECT_EQ(router.DACCapabilities(), KL2DACCapabilities{});
    before = kl2.board->Requests();
    router.Prepare(targets, clocks, 0, {}, true);
    EXPECT_EQ(kl2.board->Requests() - before, withoutDac + 1);
    EXPECT_EQ(router.DACCapabilities().recordCapacity, 16384u);
    EXPECT_EQ(router.DACCapabilities().maxRecords, 60);
    const std::string& d = router.Description();
    EXPECT_EQ(d.substr(d.find("VGM routing")),
              "VGM routing (connection 1/2 = upper/lower COM selector):\r\n"
              "$52/0/0 -> connection 1\r\n"
              "$50/0/0 -> connection 1\r\n"
              "KL2 buffered DAC/FM/PSG -> connection 1\r\n");
    EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
}

TEST(KLINKRouter, PrepareFailures) {
    {
        KLINKPorts none;
        none[0] = {0, "COM1"};
        KLINKRouter router(none);
        EXPECT_EQ(router.Connection(0), nullptr);
        EXPECT_EQ(router.Connection(1), nullptr);
        EXPECT_EQ(router.Connection(2), nullptr);
        EXPECT_EQ(Failure<WriteError>([&] { router.Prepare({}, {}, 0, {}, false); }),
                  "Connect at least one KLINK device before playback.");
        EXPECT_EQ(router.Plan(), nullptr);
        EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
    }
    {
        // A probe failure names the port; the error keeps its kind.
        ConnectedBoard kl4("Keltra 4");
        ConnectedBoard broken("Keltra 2");
        sim::SimFaults faults;
        faults.deviceInfo = sim::SimDeviceInfoFault::kShort;
        broken.board->SetFaults(faults);
        KLINKRouter router(Ports(&kl4, &broken));
        EXPECT_EQ(Failure<ReadError>([&] { router.Prepare({}, {}, 0, {}, false); }),
                  "COM4: Invalid KLINK device info.");
        EXPECT_EQ(router.Plan(), nullptr);
        EXPECT_EQ(Failure<AbortError>([&] {
                      router.Prepare(
                          {}, {}, 0, [] { return true; }, false);
                  }),
                  "COM3: Playback cancelled.");
        EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
        EXPECT_EQ(kl4.Count(SimTraceOp::kReset, 0), 0u);
    }
    {
        // Plan refusals pass unchanged, after the probe lines.
        ConnectedBoard kl4("Keltra 4");
        KLINKRouter router(Ports(&kl4, nullptr));
        const std::vector<KLINKVGMTarget> targets = {{0x52, 0, 0}};
        EXPECT_EQ(Failure<ReadError>([&] { router.Prepare(targets, {}, 0, {}, false); }),
                  "No connected device supports VGM target $52/0/0 and its requested clock.");
        EXPECT_EQ(router.Description().rfind("COM3 / Keltra 4", 0), 0u);
        EXPECT_EQ(router.Plan(), nullptr);
        EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
    }
}

TEST(KLINKRouter, RefusesWritesWithoutRoute) {
    ConnectedBoard kl4("Keltra 4");
    KLINKRouter router(Ports(nullptr, &kl4));
    EXPECT_EQ(router.Connection(0), nullptr);
    EXPECT_NE(router.Connection(1), nullptr);
    EXPECT_FALSE(router.IsDACRoute({0x52, 0, 0}));
    EXPECT_EQ(Failure<WriteError>([&] { router.WriteRegisters(0x54, 0, 0, Pairs(0x20, 1), {}); }),
              "No register route.");
    EXPECT_EQ(Failure<WriteError>([&] { (void)router.DACConnection(); }), "No KL2 DAC route.");
    EXPECT_EQ(Failure<WriteError>([&] { (void)router.AudioConnection(); }), "No audio route.");

    const std::vector<KLINKVGMTarget> targets = {{0x54, 0, 0}};
    const std::vector<KLINKVGMClock> clocks = {{0x54, 0, 4000000}};
    router.Prepare(targets, clocks, 0, {}, false);
    EXPECT_EQ(Failure<WriteError>([&] { router.WriteRegisters(0x51, 0, 0, Pairs(0x20, 1), {}); }),
              "No register route.");
    EXPECT_EQ(Failure<WriteError>([&] {
                  (void)router.RegisterPendingBytes({0x54, 1, 0});
              }),
              "No register route.");
    EXPECT_FALSE(router.IsDACRoute({0x54, 0, 0}));
    const std::vector<KLINKVGMClock> extra = {{0x54, 0, 4000000}, {0x5A, 0, 3579545}};
    EXPECT_EQ(Failure<WriteError>([&] { router.Start(extra, 0, {}); }), "No clock route.");
    EXPECT_EQ(Failure<WriteError>([&] { router.Stop(); }), "no failure");
    EXPECT_EQ(kl4.Count(SimTraceOp::kReset, 2), 2u) << "the board Start reset is reset at stop";
}

}  // namespace
}  // namespace klink
