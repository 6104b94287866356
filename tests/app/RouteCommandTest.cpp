// End to end: 'klinkplay route' against simulated boards.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ProgramRun.h"
#include "sim/SimBoard.h"

namespace klink {
namespace {

using sim::SimBoard;
using RouteRun = test::ProgramRun;

RouteRun RunRoute(const std::string& arguments) {
    return test::RunProgram(std::string("\"") + KLINKPLAY_PATH + "\" route " + arguments);
}

std::string Sample(const char* name) {
    return std::string("\"") + KLINK_SOURCE_DIR + "/samples/" + name + "\"";
}

std::unique_ptr<SimBoard> Board(const char* model) {
    sim::SimBoardOptions options;
    options.throttled = false;
    return SimBoard::Start(model, options);
}

bool Touched(const SimBoard& board) {
    for (const auto& e : board.Trace())
        if (e.op == sim::SimTraceOp::kReset || e.op == sim::SimTraceOp::kVolume ||
            e.op == sim::SimTraceOp::kClock)
            return true;
    return false;
}

TEST(RouteCommand, PrintsTheProbeAndRoutingLinesWithoutStartingTheBoards) {
    auto kl4 = Board("Keltra 4");
    auto kl2 = Board("Keltra 2.1");
    const RouteRun run = RunRoute(Sample("demo_ym2612_sn76489.vgm") + " --port1 " + kl4->PortPath() +
                                  " --port2 " + kl2->PortPath());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind(kl4->PortPath() + " / Keltra 4 / Firmware 1.6 (klinksim)\n", 0), 0u)
        << run.output;
    EXPECT_NE(run.output.find(kl2->PortPath() + " / Keltra 2.1 / Firmware 3.2 (klinksim)\n"),
              std::string::npos);
    EXPECT_NE(run.output.find("VGM routing (connection 1/2 = upper/lower COM selector):\n"
                              "$52/0/0 -> connection 2\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find('\r'), std::string::npos);
    EXPECT_FALSE(Touched(*kl4));
    EXPECT_FALSE(Touched(*kl2));
}

TEST(RouteCommand, RefusalExitsWithStatus1) {
    auto kl4 = Board("Keltra 4");
    const RouteRun run = RunRoute(Sample("demo_ym2203.vgm") + " --port1 " + kl4->PortPath());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("No connected device supports VGM target $55/0/0 and its requested clock.\n"),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(Touched(*kl4));

    const RouteRun missing = RunRoute(Sample("demo_ym2203.vgm") + " --port1 /nonexistent/port");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output.rfind("/nonexistent/port: ", 0), 0u) << missing.output;

    const RouteRun noFile = RunRoute("\"/nonexistent/file.vgm\" --port1 " + kl4->PortPath());
    EXPECT_EQ(noFile.status, 1);
}

}  // namespace
}  // namespace klink
