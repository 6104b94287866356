// The timing choice through the playback thread on simulated boards, with
// tiny generated files: what auto picks and why, what board timing does to
// the writes, and host timing left as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PlayerTestSupport.h"
#include "player/BoardTiming.h"

namespace klink::test {
namespace {

constexpr uint8_t kYM2151 = 0x54;
constexpr uint8_t kYM2612 = 0x52;
constexpr uint8_t kSN76489 = 0x50;

const std::string kKL4Line = "Timing: board (YM2151 writes as events of a silent 4000000 Hz / 1024 stream).";
const std::string kKL2Line =
    "Timing: board (register events on the KL2 board's 44100 Hz tick clock, delay records only).";

// A YM2151 tune: a key-on, then `points` points 100 samples apart,
// `writes` writes each. The key-on is the first sound: every write from it
// on is music, timed by the board when board-timed.
std::vector<uint8_t> YM2151Tune(int points, int writes) {
    VGMBuilder b = TestFile();
    b.Field(0x18, static_cast<uint32_t>(points) * 100);
    b.Cmd({kYM2151, 0x08, 0x78});
    for (int p = 0; p < points; ++p) {
        for (int i = 0; i < writes; ++i)
            b.Cmd({kYM2151, static_cast<uint8_t>(0x20 + i), static_cast<uint8_t>(p)});
        b.Cmd({0x61, 100, 0});
    }
    return b.End().Build();
}

// After a first wait, a key-on and then YM2612 and SN76489 writes every 100
// samples. Nothing at time zero, and everything after the first sound: every
// write is timed.
std::vector<uint8_t> KL2Tune(int points) {
    VGMBuilder b = KL2TestFile();
    b.Field(0x18, static_cast<uint32_t>(points + 1) * 100);
    b.Cmd({0x61, 100, 0});
    b.Cmd({kYM2612, 0x28, 0xF0});
    for (int p = 0; p < points; ++p) {
        b.Cmd({kYM2612, 0xA0, static_cast<uint8_t>(p)});
        b.Cmd({kSN76489, static_cast<uint8_t>(0x90 | (p & 0x0F))});
        b.Cmd({0x61, 100, 0});
    }
    return b.End().Build();
}

struct Played {
    std::vector<std::string> log;
    std::string error;
    bool completed = false;

    [[nodiscard]] std::vector<std::string> Timing() const {
        std::vector<std::string> out;
        for (const auto& line : log)
            if (line.rfind("Timing: ", 0) == 0) out.push_back(line);
        return out;
    }
};

Played Play(std::initializer_list<SimConnection*> boards, const std::vector<uint8_t>& file,
            PlaybackTiming timing) {
    RecordingHost host;
    int index = 0;
    for (SimConnection* b : boards) {
        host.SetPort(index, b->port.Get(), "sim" + std::to_string(index + 1));
        ++index;
    }
    TempFile vgm(file, ".vgm");
    VGMPlayerThread thread(host, vgm.Path().string(), 1, 0, timing);
    RunToEnd(thread, std::chrono::seconds(30));
    return {host.LogLines(), thread.PlaybackError(), thread.PlaybackCompleted()};
}

size_t Count(const std::vector<sim::SimTraceEvent>& trace, sim::SimWriteSource source, uint8_t writeId) {
    size_t n = 0;
    for (const auto& e : trace)
        if (e.op == sim::SimTraceOp::kReg && e.source == source && e.writeId == writeId) ++n;
    return n;
}

TEST(BoardTimedPlayback, AutoTimesAYM2151FileByTheKeltra4Stream) {
    SimConnection kl4("Keltra 4");
    const Played run = Play({&kl4}, YM2151Tune(100, 2), PlaybackTiming::kAuto);
    EXPECT_EQ(run.error, "");
    EXPECT_TRUE(run.completed);
    EXPECT_EQ(run.Timing(), std::vector<std::string>{kKL4Line});
    const auto trace = kl4.board->Trace();
    EXPECT_EQ(Count(trace, sim::SimWriteSource::kStream, kYM2151), 201u);
    EXPECT_EQ(Count(trace, sim::SimWriteSource::kHost, kYM2151), 0u);
    EXPECT_EQ(kl4.Events(sim::SimTraceOp::kStreamStart).size(), 1u);
}

TEST(BoardTimedPlayback, AutoTimesAKL2FileByTheBoardsTickClock) {
    // A board with the buffered DAC is a USB device: its status alone needs more than a UART.
    SimConnection kl2("Keltra 2.1", {}, true, sim::SimLineKind::kUsb);
    const Played run = Play({&kl2}, KL2Tune(100), PlaybackTiming::kAuto);
    EXPECT_EQ(run.error, "");
    EXPECT_TRUE(run.completed);
    EXPECT_EQ(run.Timing(), std::vector<std::string>{kKL2Line});
    const auto trace = kl2.board->Trace();
    EXPECT_EQ(Count(trace, sim::SimWriteSource::kEvent, kYM2612), 101u);
    // Data bytes go out as latch bytes on a KL2 board: one event each.
    EXPECT_EQ(Count(trace, sim::SimWriteSource::kEvent, kSN76489), 100u);
    EXPECT_EQ(Count(trace, sim::SimWriteSource::kDAC, kYM2612), 0u) << "no DAC sample is invented";
    EXPECT_EQ(kl2.Events(sim::SimTraceOp::kDACStart).size(), 1u);
}

// Where auto keeps host timing, the log says why and the writes stay the host's.
TEST(BoardTimedPlayback, AutoKeepsHostTimingWithTheReason) {
    struct Case {
        const char* name;
        std::vector<const char*> models;
        std::vector<uint8_t> file;
        std::string reasonStart;
        std::string reasonEnd;
    };
    const std::vector<Case> cases = {
        {"no stream board",
         {"Keltra 3"},
         YM2151Tune(20, 1),
         "Timing: host (No connected device supports the required OKIM6258 stream/capacity.).",
         ""},
        {"the KL2 board's replies do not fit a UART",
         {"Keltra 2.1"},
         KL2Tune(20),
         "Timing: host (board timing's status replies need ",
         " bytes/s; the line carries 11520 bytes/s)."},
        {"the stream board is not the YM2151's board",
         {"Keltra 3", "Keltra 4"},
         YM2151Tune(20, 1),
         "Timing: host (board timing would move a chip to another board).",
         ""},
        // 30 writes every 100 samples: about 26 KB/s of events on a 11.5 KB/s line.
        {"the line cannot carry the events",
         {"Keltra 4"},
         YM2151Tune(220, 30),
         "Timing: host (board timing needs ",
         " bytes/s at its busiest (from 0:00.0); the line carries 11520 bytes/s)."},
    };
    for (const Case& c : cases) {
        std::vector<std::unique_ptr<SimConnection>> boards;
        for (const char* model : c.models) boards.push_back(std::make_unique<SimConnection>(model));
        const Played run = boards.size() == 1
                               ? Play({boards[0].get()}, c.file, PlaybackTiming::kAuto)
                               : Play({boards[0].get(), boards[1].get()}, c.file, PlaybackTiming::kAuto);
        EXPECT_EQ(run.error, "") << c.name;
        EXPECT_TRUE(run.completed) << c.name;
        const auto timing = run.Timing();
        ASSERT_EQ(timing.size(), 1u) << c.name;
        EXPECT_EQ(timing[0].rfind(c.reasonStart, 0), 0u) << c.name << ": " << timing[0];
        EXPECT_TRUE(timing[0].ends_with(c.reasonEnd)) << c.name << ": " << timing[0];
        for (const auto& b : boards) {
            EXPECT_EQ(Count(b->board->Trace(), sim::SimWriteSource::kStream, kYM2151), 0u) << c.name;
            EXPECT_TRUE(b->Events(sim::SimTraceOp::kStreamStart).empty()) << c.name;
            EXPECT_TRUE(b->Events(sim::SimTraceOp::kDACStart).empty()) << c.name;
        }
    }
}

TEST(BoardTimedPlayback, HostTimingLogsNothingNewAndWritesFromTheHost) {
    SimConnection kl4("Keltra 4");
    const Played run = Play({&kl4}, YM2151Tune(20, 1), PlaybackTiming::kHost);
    EXPECT_EQ(run.error, "");
    EXPECT_TRUE(run.Timing().empty());
    EXPECT_EQ(Count(kl4.board->Trace(), sim::SimWriteSource::kHost, kYM2151), 21u);
    EXPECT_TRUE(kl4.Events(sim::SimTraceOp::kStreamStart).empty());
}

TEST(BoardTimedPlayback, BoardTimingOnAFileNoBoardCanTimePlaysHostTimed) {
    SimConnection kl3("Keltra 3");
    VGMBuilder b;
    b.Field(0x10, 3579545).Field(0x18, 735).Cmd({0x51, 0x0E, 0x20}).Cmd({0x62});
    const Played run = Play({&kl3}, b.End().Build(), PlaybackTiming::kBoard);
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.Timing(),
              std::vector<std::string>{"Timing: host (no chip of the file can be timed by its board)."});
}

TEST(BoardTimedPlayback, BoardTimingWithoutAStreamBoardFailsWithThePlansRefusal) {
    SimConnection kl3("Keltra 3");
    const Played run = Play({&kl3}, YM2151Tune(20, 1), PlaybackTiming::kBoard);
    EXPECT_EQ(run.error, "No connected device supports the required OKIM6258 stream/capacity.");
    EXPECT_FALSE(run.completed);
}

// A second board keeps host timing for its chips, as on the streaming paths.
TEST(BoardTimedPlayback, ChipsOnAnotherBoardStayHostTimed) {
    SimConnection kl2("Keltra 2.1", {}, true, sim::SimLineKind::kUsb);
    SimConnection kl3("Keltra 3");
    VGMBuilder b = KL2TestFile();
    b.Field(0x30, 3579545).Field(0x18, 2100);
    b.Cmd({0x61, 100, 0});
    b.Cmd({kYM2612, 0x28, 0xF0});
    for (int p = 0; p < 20; ++p) {
        b.Cmd({kYM2612, 0xA0, static_cast<uint8_t>(p)});
        b.Cmd({kYM2151, 0x20, static_cast<uint8_t>(p)});
        b.Cmd({0x61, 100, 0});
    }
    const Played run = Play({&kl2, &kl3}, b.End().Build(), PlaybackTiming::kBoard);
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.Timing(), std::vector<std::string>{kKL2Line});
    EXPECT_EQ(Count(kl2.board->Trace(), sim::SimWriteSource::kEvent, kYM2612), 21u);
    EXPECT_EQ(Count(kl3.board->Trace(), sim::SimWriteSource::kHost, kYM2151), 20u);
}

}  // namespace
}  // namespace klink::test
