// End to end: 'klinkplay play' of the Ys III OKIM6258 files of the shared
// samples on a simulated Keltra 4, once on a board given with --port1 and once
// on the board klinkplay starts itself. Each plays in real time (14 and 27 s).
// The board's trace must hold every YM2151 write of the file in file order,
// each stream write applied within one stream byte of its sample time.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "ADPCMStreamTrace.h"
#include "TempFile.h"
#include "sim/SimBoard.h"
#include "sim/SimTrace.h"
#include "vgm/VGMAnalysis.h"
#include "vgm/VGMCommand.h"

namespace klink {
namespace {

std::filesystem::path SharedSample(const char* name) {
    // KLINK_SHARED_DIR in the environment overrides the build's idea (worktrees sit elsewhere).
    const char* env = std::getenv("KLINK_SHARED_DIR");
    return std::filesystem::path(env != nullptr ? env : KLINK_SHARED_DIR) / "vgm-samples" / name;
}

struct PlayRun {
    std::string output;  // stdout and stderr
    int status = -1;
};

PlayRun RunPlay(const std::string& arguments) {
    const std::string command = std::string("\"") + KLINKPLAY_PATH + "\" play " + arguments + " 2>&1";
    PlayRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The board's last status line as the log shows it.
std::string StatusLine(const std::string& output) {
    const size_t at = output.rfind("ADPCM: accepted=");
    if (at == std::string::npos) return {};
    return output.substr(at, output.find('\n', at) - at);
}

void ExpectCleanEnd(const std::string& status) {
    EXPECT_NE(status.find(", underflows=0,"), std::string::npos) << status;
    EXPECT_NE(status.find(", flags=3,"), std::string::npos) << status;  // started, finished
    EXPECT_NE(status.find(", late events=0,"), std::string::npos) << status;
}

// Plays with `play`, and once more when the board ran dry. The simulated
// board runs on the host's machine: a pause of the whole machine longer than
// the stream's 80 ms lead (a virtual machine's stolen time) stops the host
// and the board alike, and the board, catching up on its clock, runs dry
// although no byte came late. A player that starves the board does so on
// the second play as well.
PlayRun PlayOnceMoreIfDry(const std::function<PlayRun()>& play) {
    PlayRun run = play();
    const std::string status = StatusLine(run.output);
    if (run.status == 0 && status.find(", underflows=0,") == std::string::npos) {
        std::cout << "the board ran dry (" << status << "); playing once more\n";
        run = play();
    }
    return run;
}

void Report(int64_t worstUs, const test::FileFacts& facts) {
    std::cout << "largest stream write error: " << worstUs << " µs (" << facts.byteUs
              << " µs per stream byte)\n";
}

TEST(PlayADPCM, QuickeningDreamOnAGivenPort) {
    const std::filesystem::path file = SharedSample("a_x68k_ys3_13_quickening_dream.vgz");
    if (!std::filesystem::exists(file)) GTEST_SKIP() << "no shared sample " << file;
    const VGMAnalysis a = AnalyseVGMFile(file);
    ASSERT_TRUE(a.ok) << a.error;

    // The stream needs more than a 115200-baud UART carries: the board is a USB device.
    sim::SimBoardOptions options;
    options.line = sim::SimLineKind::kUsb;
    auto board = sim::SimBoard::Start("Keltra 4", options);
    const PlayRun run = PlayOnceMoreIfDry([&] {
        board->ClearTrace();
        return RunPlay("\"" + file.string() + "\" --port1 " + board->PortPath() + " --repeat 1 --fade 0");
    });
    ASSERT_EQ(run.status, 0) << run.output;
    ExpectCleanEnd(StatusLine(run.output));
    const test::FileFacts facts = test::WalkYM2151Writes(a);
    Report(test::CheckStreamTrace(test::FromBoard(*board), facts), facts);
}

TEST(PlayADPCM, PrayerForLoveOnItsOwnBoard) {
    const std::filesystem::path file = SharedSample("a_x68k_ys3_17_prayer_for_love.vgz");
    if (!std::filesystem::exists(file)) GTEST_SKIP() << "no shared sample " << file;
    const VGMAnalysis a = AnalyseVGMFile(file);
    ASSERT_TRUE(a.ok) << a.error;

    test::TempFile trace(std::vector<uint8_t>{}, ".jsonl");
    const PlayRun run = PlayOnceMoreIfDry([&] {
        return RunPlay("\"" + file.string() + "\" --repeat 1 --fade 0 --sim-trace \"" +
                       trace.Path().string() + "\"");
    });
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("playing on simulated boards: Keltra 4 on connection 1 (usb line)."),
              std::string::npos)
        << run.output;
    ExpectCleanEnd(StatusLine(run.output));
    const test::FileFacts facts = test::WalkYM2151Writes(a);
    Report(test::CheckStreamTrace(test::FromTraceFile(trace.Path()), facts), facts);
}

// The same stream on a board behind a 115200-baud UART, which carries less
// than the stream needs (the log says so first): the board runs dry and
// counts it, while the host keeps only a short backlog ahead of the line so
// that its status requests are still answered in time, and the track ends
// cleanly once the board has played every byte. The underflows on each line
// kind are printed for comparison.
TEST(PlayADPCM, ALineTooSlowForTheStreamEndsCleanlyWithItsUnderflowsCounted) {
    const std::filesystem::path file = SharedSample("a_x68k_ys3_13_quickening_dream.vgz");
    if (!std::filesystem::exists(file)) GTEST_SKIP() << "no shared sample " << file;
    for (const std::string line : {"usb", "uart"}) {
        const PlayRun run = RunPlay("\"" + file.string() + "\" --repeat 1 --fade 0 --sim-link " + line);
        ASSERT_EQ(run.status, 0) << run.output;
        const std::string status = StatusLine(run.output);
        EXPECT_NE(status.find(", pending=0,"), std::string::npos) << status;
        const size_t at = status.find(", underflows=");
        ASSERT_NE(at, std::string::npos) << status;
        const unsigned long underflows = std::stoul(status.substr(at + 13));
        EXPECT_NE(run.output.find("Link: " + std::to_string(underflows) + " underflows, "), std::string::npos)
            << run.output;
        std::cout << line << " line: " << underflows << " underflows\n";
        if (line == "uart") {
            EXPECT_NE(run.output.find("(simulated UART line) carries 11520 bytes/s"), std::string::npos)
                << run.output;
            EXPECT_GT(underflows, 0u);
        }
    }
}

}  // namespace
}  // namespace klink
