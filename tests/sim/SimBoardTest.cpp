// A running board on its pseudo-terminal, spoken to over a real serial port
// at the real line rate. Time bounds are generous: they tell a paced line
// from an unpaced one, not one scheduler from another.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "SimTestSupport.h"
#include "platform/SerialDevice.h"
#include "platform/SimulatedLine.h"
#include "platform/SimulatedPorts.h"
#include "sim/SimBoard.h"

namespace klink::sim {
namespace {

using testing::Cat;
using testing::RawClient;
using testing::Read32;
using testing::U32;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::vector<SimTraceEvent> Only(const std::vector<SimTraceEvent>& trace, SimTraceOp op) {
    std::vector<SimTraceEvent> out;
    for (const auto& e : trace) {
        if (e.op == op) out.push_back(e);
    }
    return out;
}

// Register packets of 127 YM2151 writes each; values count up so order shows.
std::vector<std::vector<uint8_t>> RegisterBurst(int packets) {
    std::vector<std::vector<uint8_t>> out;
    uint8_t value = 0;
    for (int p = 0; p < packets; ++p) {
        std::vector<uint8_t> payload{0, 0};
        for (int i = 0; i < 127; ++i) {
            payload.push_back(0x20 + static_cast<uint8_t>(i % 8));
            payload.push_back(++value);
        }
        out.push_back(payload);
    }
    return out;
}

TEST(SimBoard, AnswersTheBoardContractOverItsLine) {
    auto board = SimBoard::Start("Keltra 2.1");
    RawClient host(board->PortPath());
    const std::vector<uint8_t> probe{'K', 'L', 'I', 'N', 'K'};
    EXPECT_EQ(host.Request(Opcode::kPing, probe), Cat({{0}, probe}));
    auto info = host.Request(Opcode::kDeviceInfo);
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)[0], 0);
    EXPECT_EQ(std::string(info->begin() + 2, info->begin() + 2 + (*info)[1]), "Keltra 2.1");
    KLINKCapabilities caps;
    while (!caps.Complete()) {
        const uint16_t offset = caps.NextOffset();
        auto page = host.Request(Opcode::kCapabilities,
                                 {static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8)});
        ASSERT_TRUE(page);
        ASSERT_EQ((*page)[0], 0);
        caps.AddPage(offset, std::span(*page).subspan(1));
    }
    EXPECT_TRUE(caps.Supports(0x52, 0, 0, kFeatureBurst));
    EXPECT_EQ(host.Request(Opcode::kReset), std::vector<uint8_t>{0});
    EXPECT_EQ(host.Request(Opcode::kSetOutputVolume, {0}), std::vector<uint8_t>{0});
    EXPECT_EQ(host.Request(Opcode::kSetChipClock, Cat({{0x52, 0}, U32(7670453)})), std::vector<uint8_t>{0});
    auto dac = host.Request(Opcode::kDACStatus, {1});
    ASSERT_TRUE(dac);
    EXPECT_EQ(dac->size(), 73u);
    EXPECT_EQ(host.Request(Opcode{0x0E}), std::vector<uint8_t>{kStatusUnknownOpcode});
    EXPECT_EQ(board->Requests(), 9u);
}

TEST(SimBoard, TakesARegisterBurstAtTheLineRateAndTracesItInOrder) {
    auto board = SimBoard::Start("Keltra 4");
    RawClient host(board->PortPath());
    size_t wireBytes = 0;
    std::vector<uint8_t> all;
    for (const auto& payload : RegisterBurst(8)) {
        auto frame = EncodeFrame(MessageType::kPacket, WriteOpcode(0x54), 1, payload);
        wireBytes += frame.size();
        all.insert(all.end(), frame.begin(), frame.end());
    }
    const auto started = Clock::now();
    host.Send(all);
    ASSERT_TRUE(host.Request(Opcode::kPing));  // answered only after every packet was taken in
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    const auto regs = Only(board->Trace(), SimTraceOp::kReg);
    ASSERT_EQ(regs.size(), 8u * 127);
    for (size_t i = 0; i < regs.size(); ++i) {
        ASSERT_EQ(regs[i].value, static_cast<uint8_t>(i + 1)) << i;
        ASSERT_EQ(regs[i].source, SimWriteSource::kHost);
    }
    // The first packet completes one frame in; the last one wireBytes in.
    const double expected = static_cast<double>(wireBytes - all.size() / 8) / kLineBytesPerSecond;
    const double traced = static_cast<double>(regs.back().timeUs - regs.front().timeUs) / 1e6;
    EXPECT_NEAR(traced, expected, expected * 0.1);
    EXPECT_GT(wall, static_cast<double>(wireBytes) / kLineBytesPerSecond * 0.9);
    EXPECT_LT(wall, 2.0);
    EXPECT_EQ(board->Register(0x54, 0, 0, 0x26), static_cast<uint8_t>(8 * 127));
}

TEST(SimBoard, UnthrottledBoardTakesTheSameBurstAtOnce) {
    SimBoardOptions options;
    options.throttled = false;
    auto board = SimBoard::Start("Keltra 4", options);
    RawClient host(board->PortPath());
    // About 10.8 KB: close to a second at the line rate.
    const auto started = Clock::now();
    for (const auto& payload : RegisterBurst(40)) host.SendPacket(WriteOpcode(0x54), payload);
    ASSERT_TRUE(host.Request(Opcode::kPing));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - started).count(), 0.5);
    EXPECT_EQ(Only(board->Trace(), SimTraceOp::kReg).size(), 40u * 127);
}

TEST(SimBoard, KeepsRunningWhenTheHostClosesAndReopensThePort) {
    auto board = SimBoard::Start("Keltra 3");
    {
        RawClient first(board->PortPath());
        EXPECT_EQ(first.Request(Opcode::kPing, {1}), (std::vector<uint8_t>{0, 1}));
        // Half a frame, then the host goes away.
        auto frame = EncodeFrame(MessageType::kRequest, Opcode::kPing, 9, std::vector<uint8_t>{7, 7});
        first.Send(std::vector<uint8_t>(frame.begin(), frame.begin() + 6));
    }
    std::this_thread::sleep_for(milliseconds(30));
    RawClient second(board->PortPath());
    EXPECT_EQ(second.Request(Opcode::kPing, {2}), (std::vector<uint8_t>{0, 2}));
    EXPECT_EQ(board->Requests(), 2u);
}

TEST(SimBoard, ADPCMAndDACClocksRunInRealTime) {
    // The status a request gets reflects the board's clock when the request
    // arrived, which lies between the board times read before and after it.
    auto kl4 = SimBoard::Start("Keltra 4");
    RawClient host4(kl4->PortPath());
    // 4 MHz / 1024: 1953.125 bytes per second; one second buffered.
    for (uint32_t pos = 0; pos < 2000; pos += 250) {
        host4.SendPacket(Opcode::kStreamData, Cat({{0xB7, 0}, U32(pos), std::vector<uint8_t>(250, 0x08)}));
    }
    host4.SendPacket(Opcode::kStreamStart, Cat({{0xB7, 0}, U32(4000000), {0x00, 0x04}}));
    ASSERT_TRUE(kl4->WaitForTrace([](const auto& t) { return !Only(t, SimTraceOp::kStreamStart).empty(); },
                                  milliseconds(3000)));
    const double start = static_cast<double>(Only(kl4->Trace(), SimTraceOp::kStreamStart)[0].timeUs);
    std::this_thread::sleep_for(milliseconds(150));
    double before = static_cast<double>(kl4->NowUS());
    auto status = host4.Request(Opcode::kAudioStatus, {0xB7, 0});
    double after = static_cast<double>(kl4->NowUS());
    ASSERT_TRUE(status);
    const double played = Read32(*status, 5);
    EXPECT_GE(played, (before - start) / 512.0 - 2);
    EXPECT_LE(played, (after - start) / 512.0 + 2);
    EXPECT_GT(played, 50);
    EXPECT_EQ(Read32(*status, 29), kStreamStarted);

    auto kl2 = SimBoard::Start("Keltra 2");
    RawClient host2(kl2->PortPath());
    KL2DACChunk chunk;
    for (int i = 0; i < 60; ++i) chunk.records.push_back({KL2RecordKind::kSample, 0x80, 600});
    chunk.endTick = 60 * 600;
    host2.SendPacket(Opcode::kDACRecords, EncodeKL2DACRecords(0, chunk));
    ASSERT_EQ(host2.Request(Opcode::kDACStart, EncodeKL2DACStart(3528)), std::vector<uint8_t>{0});
    const auto dacStart = Only(kl2->Trace(), SimTraceOp::kDACStart);
    ASSERT_EQ(dacStart.size(), 1u);
    std::this_thread::sleep_for(milliseconds(150));
    before = static_cast<double>(kl2->NowUS());
    auto dac = host2.Request(Opcode::kDACStatus, {1});
    after = static_cast<double>(kl2->NowUS());
    ASSERT_TRUE(dac);
    KL2DACStatus s;
    s.Decode(std::span(*dac).subspan(1));
    const double origin = static_cast<double>(dacStart[0].timeUs);
    EXPECT_GE(static_cast<double>(s.playedTick), (before - origin) * 0.0441 - 2);
    EXPECT_LE(static_cast<double>(s.playedTick), (after - origin) * 0.0441 + 2);
    EXPECT_GT(s.playedTick, 3000u);
}

TEST(SimBoard, ReplyFaultsShowOnTheLine) {
    SimBoardOptions options;
    options.faults.replies = {{SimReplyAction::kDrop, Opcode::kPing, 1, 0, 0},
                              {SimReplyAction::kCorruptCrc, Opcode::kDeviceInfo, 0, 0, 0},
                              {SimReplyAction::kDelay, Opcode::kReset, 0, 300, 0}};
    auto board = SimBoard::Start("Keltra 4", options);
    RawClient host(board->PortPath());
    host.SendRequest(Opcode::kPing);
    EXPECT_FALSE(host.Receive(milliseconds(200)));
    host.SendRequest(Opcode::kDeviceInfo);
    EXPECT_FALSE(host.Receive(milliseconds(200)));
    const auto started = Clock::now();
    EXPECT_EQ(host.Request(Opcode::kReset), std::vector<uint8_t>{0});
    EXPECT_GE(Clock::now() - started, milliseconds(290));
    EXPECT_EQ(host.Request(Opcode::kPing, {3}), (std::vector<uint8_t>{0, 3}));
}

// The host's serial layer gives a simulated line a driver queue it can see:
// writes stop once it holds what SetupSerialQueues asked for (4096 before),
// not when the pseudo-terminal's larger buffer is full.
TEST(SimBoard, StoppingToReadBacksUpTheHostsDriverQueue) {
    for (const uint32_t queue : {0u, 10000u}) {
        SimBoardOptions options;
        options.faults.stopReadingAfterBytes = 100;
        auto board = SimBoard::Start("Keltra 4", options);
        RawClient host(board->PortPath());
        if (queue != 0) platform::SetupSerialQueues(host.Handle(), 4096, queue);
        const uint32_t expected = queue != 0 ? queue : 4096;
        platform::SetSerialTimeouts(host.Handle(), {0, 0, 0, 0, 300});
        const std::vector<uint8_t> data(64 * 1024, 0x55);
        const auto r = platform::WriteSerialPort(host.Handle(), data);
        EXPECT_EQ(r.error, 0);
        EXPECT_EQ(board->BytesRead(), 100u);
        EXPECT_EQ(r.written, 100u + expected) << "queue " << queue;
        EXPECT_EQ(platform::QuerySerialQueues(host.Handle()).output, expected);
    }
}

TEST(SimBoard, HostSeesItsQueueDrainAtTheLineRate) {
    auto board = SimBoard::Start("Keltra 4");
    RawClient host(board->PortPath());
    platform::SetupSerialQueues(host.Handle(), 4096, 10000);
    EXPECT_EQ(platform::SimulatedLineOf(host.Handle()), platform::SimulatedLineKind::kUart);
    EXPECT_EQ(platform::DescribeSerialDevice(host.Handle()).kind, platform::SerialDeviceKind::kSimulatedUart);
    platform::SetSerialTimeouts(host.Handle(), {0, 0, 0, 0, 1000});
    // Zero bytes are frame delimiters only: the board takes them and does nothing.
    const std::vector<uint8_t> data(2000, 0x00);
    ASSERT_EQ(platform::WriteSerialPort(host.Handle(), data).written, data.size());
    const uint32_t first = platform::QuerySerialQueues(host.Handle()).output;
    EXPECT_GT(first, 1000u);  // 2000 bytes take 174 ms on the line
    const auto start = Clock::now();
    while (platform::QuerySerialQueues(host.Handle()).output != 0 &&
           Clock::now() - start < milliseconds(5000)) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(platform::QuerySerialQueues(host.Handle()).output, 0u);
    EXPECT_GE(Clock::now() - start, milliseconds(100));
    EXPECT_EQ(board->BytesRead(), 2000u);
}

TEST(SimBoard, UsbLineTakesABurstInFramesFarFasterThanTheUart) {
    SimBoardOptions options;
    options.line = SimLineKind::kUsb;
    auto board = SimBoard::Start("Keltra 4", options);
    EXPECT_EQ(board->Line(), SimLineKind::kUsb);
    RawClient host(board->PortPath());
    EXPECT_EQ(platform::SimulatedLineOf(host.Handle()), platform::SimulatedLineKind::kUsb);
    EXPECT_EQ(platform::DescribeSerialDevice(host.Handle()).kind, platform::SerialDeviceKind::kSimulatedUsb);
    platform::SetupSerialQueues(host.Handle(), 4096, 10000);
    // 20000 bytes: 1.7 s on a UART, 40 frames on USB.
    const auto start = Clock::now();
    host.Send(std::vector<uint8_t>(20000, 0x00));
    while (board->BytesRead() < 20000 && Clock::now() - start < milliseconds(5000)) {
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_EQ(board->BytesRead(), 20000u);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_EQ(host.Request(Opcode::kPing, {1, 2}), (std::vector<uint8_t>{0, 1, 2}));
}

TEST(SimBoard, HangUpFaultClosesTheLine) {
    SimBoardOptions options;
    options.faults.hangUpAfterMs = 100;
    auto board = SimBoard::Start("Keltra 4", options);
    RawClient host(board->PortPath());
    EXPECT_TRUE(platform::SerialPortPresent(host.Handle()));
    ASSERT_TRUE(board->WaitForTrace([](const auto& t) { return !Only(t, SimTraceOp::kFault).empty(); },
                                    milliseconds(2000)));
    EXPECT_FALSE(platform::SerialPortPresent(host.Handle()));
    EXPECT_EQ(Only(board->Trace(), SimTraceOp::kFault)[0].what, "hang up");
}

class PublishedBoards : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() / ("klinksim-test-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder_);
        std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
        const char* old = getenv("XDG_RUNTIME_DIR");
        if (old != nullptr) old_ = old;
        setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
    }
    void TearDown() override {
        if (old_) {
            setenv("XDG_RUNTIME_DIR", old_->c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        std::filesystem::remove_all(folder_);
    }
    std::filesystem::path folder_;
    std::optional<std::string> old_;
};

TEST_F(PublishedBoards, AppearInThePortListUnderUniqueNamesUntilStopped) {
    SimBoardOptions options;
    options.publish = true;
    auto a = SimBoard::Start("Keltra 4", options);
    auto b = SimBoard::Start("Keltra 4", options);
    EXPECT_EQ(a->PortName(), "sim-keltra4-1");
    EXPECT_EQ(b->PortName(), "sim-keltra4-2");
    auto listed = platform::ListSimulatedPorts(platform::SimulatedPortFolder());
    EXPECT_EQ(listed.size(), 2u);
    RawClient host(b->PortPath());
    EXPECT_EQ(host.Request(Opcode::kPing, {4}), (std::vector<uint8_t>{0, 4}));
    a->Stop();
    listed = platform::ListSimulatedPorts(platform::SimulatedPortFolder());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "sim-keltra4-2");
    auto c = SimBoard::Start("Keltra 4", options);
    EXPECT_EQ(c->PortName(), "sim-keltra4-1");  // a withdrawn name is free again
}

// Starts klinksim with `args` and returns its pid and the first `lines`
// lines it prints (within 5 s).
std::pair<pid_t, std::string> SpawnKlinksim(std::vector<std::string> args, int lines) {
    int out[2];
    if (pipe(out) != 0) return {0, ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    args.insert(args.begin(), "klinksim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const bool spawned = posix_spawn(&pid, KLINKSIM_PATH, &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    const auto until = Clock::now() + milliseconds(5000);
    while (spawned && std::count(text.begin(), text.end(), '\n') < lines && Clock::now() < until) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buffer[256];
            const ssize_t got = read(out[0], buffer, sizeof buffer);
            if (got <= 0) break;
            text.append(buffer, static_cast<size_t>(got));
        }
    }
    close(out[0]);
    return {spawned ? pid : 0, text};
}

TEST_F(PublishedBoards, KlinksimServesItsBoardsUntilInterrupted) {
    const std::string trace = (folder_ / "t.jsonl").string();
    const auto [pid, text] = SpawnKlinksim({"--board", "Keltra 4", "--board", "Keltra 3", "--link", "usb",
                                            "--trace", trace, "--status", "0x02=9"},
                                           2);
    ASSERT_NE(pid, 0);
    const std::string first = text.substr(0, text.find('\n'));
    EXPECT_EQ(first.rfind("sim-keltra4-1 ", 0), 0u) << text;
    EXPECT_NE(text.find("sim-keltra3-1 "), std::string::npos) << text;
    EXPECT_NE(first.find("(Keltra 4)"), std::string::npos);
    const std::string path = first.substr(first.find(' ') + 1, first.rfind(" (") - first.find(' ') - 1);
    EXPECT_EQ(platform::ListSimulatedPorts(platform::SimulatedPortFolder()).size(), 2u);
    {
        RawClient host(path);
        EXPECT_EQ(platform::SimulatedLineOf(host.Handle()), platform::SimulatedLineKind::kUsb);
        EXPECT_EQ(host.Request(Opcode::kPing, {'K', 'L', 'I', 'N', 'K'}),
                  (std::vector<uint8_t>{0, 'K', 'L', 'I', 'N', 'K'}));
        EXPECT_EQ(host.Request(Opcode::kDeviceInfo), std::vector<uint8_t>{9});  // the fault option
        host.SendPacket(WriteOpcode(0x54), {0, 0, 0x20, 0xC7});
        EXPECT_EQ(host.Request(Opcode::kReset), std::vector<uint8_t>{0});
    }
    ASSERT_EQ(kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(platform::ListSimulatedPorts(platform::SimulatedPortFolder()).empty());
    std::ifstream in(trace);
    std::vector<std::string> ops;
    for (std::string line; std::getline(in, line);) ops.push_back(nlohmann::json::parse(line)["op"]);
    EXPECT_EQ(ops, (std::vector<std::string>{"fault", "reg", "reset"}));
}

TEST_F(PublishedBoards, KlinksimStopsCleanlyOnTerminateAndHangUp) {
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const auto [pid, text] = SpawnKlinksim({"--board", "Keltra 2.1"}, 1);
        ASSERT_NE(pid, 0);
        EXPECT_EQ(text.rfind("sim-keltra2.1-1 ", 0), 0u) << text;
        EXPECT_EQ(platform::ListSimulatedPorts(platform::SimulatedPortFolder()).size(), 1u);
        ASSERT_EQ(kill(pid, signal), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_TRUE(platform::ListSimulatedPorts(platform::SimulatedPortFolder()).empty());
    }
}

TEST(SimBoard, KlinksimRefusesABadFaultOption) {
    const auto [pid, text] = SpawnKlinksim({"--board", "Keltra 4", "--drop-reply", "x"}, 1);
    ASSERT_NE(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_EQ(text, "");  // the message goes to stderr
    const auto [badLink, linkText] = SpawnKlinksim({"--board", "Keltra 4", "--link", "serial"}, 1);
    ASSERT_NE(badLink, 0);
    ASSERT_EQ(waitpid(badLink, &status, 0), badLink);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_EQ(linkText, "");
}

TEST(SimBoard, WritesTheTraceAsJsonLines) {
    const auto path =
        std::filesystem::temp_directory_path() / ("klinksim-trace-" + std::to_string(getpid()) + ".jsonl");
    {
        SimBoardOptions options;
        options.traceFile = std::make_shared<SimTraceFile>(path);
        options.name = "sim-keltra4-9";
        auto board = SimBoard::Start("Keltra 4", options);
        RawClient host(board->PortPath());
        host.SendPacket(WriteOpcode(0x54), {0, 0, 0x20, 0xC7});
        EXPECT_TRUE(host.Request(Opcode::kReset));
    }
    std::ifstream in(path);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    std::filesystem::remove(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["op"], "reg");
    EXPECT_EQ(lines[0]["board"], "sim-keltra4-9");
    EXPECT_EQ(lines[0]["val"], 0xC7);
    EXPECT_EQ(lines[0]["src"], "host");
    EXPECT_EQ(lines[1]["op"], "reset");
    EXPECT_GT(lines[1]["t_us"].get<uint64_t>(), lines[0]["t_us"].get<uint64_t>());
}

}  // namespace
}  // namespace klink::sim
