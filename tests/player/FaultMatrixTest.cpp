// Every fault a simulated board can show, against every playback path that
// meets it: probing, routing (the start-up requests), register playback, the
// ADPCM stream, the KL2 DAC, and register-only files timed by the board
// (through the KL2 DAC path or a silent ADPCM stream). Each case checks the run's exact message,
// the board's resets, that the run ends, and that the next play on the same
// board succeeds once the fault is gone.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "PlayerTestSupport.h"
#include "SimFaultOptions.h"
#include "player/BoardTiming.h"

namespace klink::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using sim::SimTraceOp;

enum class Path : uint8_t { kProbe, kRoute, kRegister, kADPCM, kKL2DAC, kBoardTimedKL2, kBoardTimedKL4 };

const char* PathName(Path path) {
    switch (path) {
        case Path::kProbe:
            return "Probe";
        case Path::kRoute:
            return "Route";
        case Path::kRegister:
            return "Register";
        case Path::kADPCM:
            return "ADPCM";
        case Path::kKL2DAC:
            return "KL2DAC";
        case Path::kBoardTimedKL2:
            return "BoardTimedKL2";
        case Path::kBoardTimedKL4:
            return "BoardTimedKL4";
    }
    return "?";
}

Bytes Wait(uint16_t samples) {
    return {0x61, static_cast<uint8_t>(samples), static_cast<uint8_t>(samples >> 8)};
}

// Half a second of YM2151 writes for a Keltra 4: long enough that a fault
// armed at its first write still meets the path on a slow machine.
Bytes YM2151File() {
    VGMBuilder file = TestFile();
    file.Field(0x18, 50 * 441);  // the time line board timing needs
    for (int i = 0; i < 50; ++i) {
        file.Cmd({0x54, 0x20, static_cast<uint8_t>(i), 0x54, 0x08, 0x78});
        file.Raw(Wait(441));
    }
    file.End();
    return file.Build();
}

// About 100 ms of YM2612 and SN76489 writes without DAC samples: register
// playback on a KL2 board, with its start-up window.
Bytes KL2RegisterFile() {
    VGMBuilder file = KL2TestFile();
    file.Field(0x18, 10 * 441);
    for (int i = 0; i < 10; ++i) {
        // Key on and off: timed playback starts with the first sound.
        file.Cmd({0x52, 0x30, static_cast<uint8_t>(i), 0x52, 0x28,
                  static_cast<uint8_t>(i % 2 == 0 ? 0xF0 : 0x00), 0x50, 0x8A});
        file.Raw(Wait(441));
    }
    file.End();
    return file.Build();
}

// 400 ms of an OKIM6258 (4 MHz, divider 1024) beside a YM2151.
Bytes ADPCMFile() {
    VGMBuilder file;
    file.Field(0x30, 4000000);
    file.Field(0x90, 4000000);
    file.Cmd({0x54, 0x20, 0xC7, 0xB7, 0x00, 0x02, 0xB7, 0x01, 0x17, 0xB7, 0x01, 0x71, 0x54, 0x08, 0x78});
    file.Raw(Wait(8820));
    file.Cmd({0x54, 0x08, 0x00});
    file.Raw(Wait(8820));
    file.End();
    return file.Build();
}

// 3000 DAC samples 5 ticks apart (about 340 ms) with a YM2612 write every 32.
Bytes KL2DACFile() {
    constexpr uint32_t kSamples = 3000;
    VGMBuilder file = KL2TestFile();
    file.Cmd({0x67, 0x66, 0x00});
    file.Raw({static_cast<uint8_t>(kSamples), static_cast<uint8_t>(kSamples >> 8), 0, 0});
    for (uint32_t i = 0; i < kSamples; ++i) file.Cmd({static_cast<uint8_t>(i * 7)});
    file.Cmd({0x52, 0x2B, 0x80, 0x52, 0xB4, 0xC0});
    for (uint32_t i = 0; i < kSamples; ++i) {
        if (i % 32 == 0) file.Cmd({0x52, 0x30, static_cast<uint8_t>(i)});
        file.Cmd({0x85});
    }
    file.End();
    return file.Build();
}

// Which board and file a path plays on.
struct PathSetup {
    const char* model;
    bool throttled;
    Bytes file;
};

PathSetup SetupFor(Path path, bool kl2Board) {
    switch (path) {
        case Path::kADPCM:
            return {"Keltra 4", true, ADPCMFile()};
        case Path::kKL2DAC:
            return {"Keltra 2.1", false, KL2DACFile()};
        // Board timing is forced, whatever the line: its status replies need
        // a line faster than a UART on the KL2 board.
        case Path::kBoardTimedKL2:
            return {"Keltra 2.1", false, KL2RegisterFile()};
        case Path::kBoardTimedKL4:
            return {"Keltra 4", true, YM2151File()};
        default:
            return kl2Board ? PathSetup{"Keltra 2.1", true, KL2RegisterFile()}
                            : PathSetup{"Keltra 4", false, YM2151File()};
    }
}

struct MatrixCase {
    const char* fault;  // names the case with the path
    Path path;
    std::vector<std::string> switches;  // klinksim's fault options
    // The run's message, exactly; "{n}" stands for a number that varies (a
    // request ID, a count), a line break parts the forms a message may take.
    std::string message;
    int resets = 2;         // RESETs the board carried out: 0 when never started
    bool kl2Board = false;  // the register paths on a Keltra 2.1 instead of a Keltra 4
    bool lineLost = false;  // the board hung up: the next play on the port fails too
    // Arms the faults only once the board's trace shows this; the byte and
    // time counts of --stop-reading-after and --hang-up-after then count
    // from that moment. Empty: the faults hold from the board's start.
    std::optional<SimTraceOp> armAt;
};

std::string CaseName(const MatrixCase& c) { return std::string(c.fault) + "_x_" + PathName(c.path); }

// What CTest shows beside the case's name.
void PrintTo(const MatrixCase& c, std::ostream* out) { *out << CaseName(c); }

// Whether `text` is one of the forms of `expected` (see MatrixCase::message).
bool MessageMatches(const std::string& text, const std::string& expected) {
    size_t from = 0;
    for (;;) {
        const size_t bar = expected.find('\n', from);
        const std::string form =
            expected.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
        std::string pattern;
        for (size_t i = 0; i < form.size(); ++i) {
            if (form.compare(i, 3, "{n}") == 0) {
                pattern += "[0-9]+";
                i += 2;
            } else {
                if (std::string("\\^$.|?*+()[]{}").find(form[i]) != std::string::npos) pattern += '\\';
                pattern += form[i];
            }
        }
        if (std::regex_match(text, std::regex(pattern))) return true;
        if (bar == std::string::npos) return false;
        from = bar + 1;
    }
}

std::string Quoted(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

// One play of `file` on `board` by a playback thread; the thread must end
// within a bound far above any time-out of the paths.
struct Play {
    Play(SimConnection& board, const Bytes& bytes, PlaybackTiming timing) : vgm(bytes, ".vgm") {
        host.SetPort(0, board.port.Get(), "sim");
        thread = std::make_unique<VGMPlayerThread>(host, vgm.Path().string(), 1, 0, timing);
    }
    TempFile vgm;
    RecordingHost host;
    std::unique_ptr<VGMPlayerThread> thread;
};

constexpr uint32_t kRunLimitMs = 60000;

class FaultMatrix : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(FaultMatrix, EndsWithItsMessageAndTheNextPlaySucceeds) {
    const MatrixCase& c = GetParam();
    const PathSetup setup = SetupFor(c.path, c.kl2Board);
    const PlaybackTiming timing = c.path == Path::kBoardTimedKL2 || c.path == Path::kBoardTimedKL4
                                      ? PlaybackTiming::kBoard
                                      : PlaybackTiming::kHost;
    const sim::SimFaults faults = sim::ParseFaultOptions(c.switches);
    SimConnection board(setup.model, c.armAt ? sim::SimFaults{} : faults, setup.throttled);

    std::string error;
    {
        Play run(board, setup.file, timing);
        run.thread->Start();
        if (c.armAt) {
            const SimTraceOp op = *c.armAt;
            const auto reached = [op](const auto& trace) {
                return std::any_of(trace.begin(), trace.end(), [op](const auto& e) { return e.op == op; });
            };
            while (!board.board->WaitForTrace(reached, 50ms)) {
                ASSERT_FALSE(run.thread->Finished())
                    << "the run ended before the fault was armed: \"" << run.thread->PlaybackError() << "\"";
            }
            sim::SimFaults armed = faults;
            if (armed.stopReadingAfterBytes != 0) armed.stopReadingAfterBytes += board.board->BytesRead();
            if (armed.hangUpAfterMs != 0)
                armed.hangUpAfterMs += static_cast<uint32_t>(board.board->NowUS() / 1000);
            board.board->SetFaults(armed);
        }
        ASSERT_TRUE(run.thread->WaitFor(kRunLimitMs)) << "the run did not end";
        error = run.thread->PlaybackError();
        EXPECT_TRUE(MessageMatches(error, c.message)) << "the run ended with \"" << error << "\"";
        // Logged once, or not at all when the run went well.
        EXPECT_EQ(run.host.LogStarting("エラー: "),
                  error.empty() ? std::vector<std::string>{} : std::vector<std::string>{"エラー: " + error});
    }
    const auto resets = board.Events(SimTraceOp::kReset).size();
    EXPECT_EQ(resets, static_cast<size_t>(c.resets));

    board.board->SetFaults({});
    board.board->ClearTrace();
    std::string next;
    {
        Play run(board, setup.file, timing);
        run.thread->Start();
        ASSERT_TRUE(run.thread->WaitFor(kRunLimitMs)) << "the next run did not end";
        next = run.thread->PlaybackError();
        if (c.lineLost) {
            EXPECT_FALSE(run.thread->PlaybackCompleted());
            EXPECT_FALSE(next.empty());
        } else {
            EXPECT_EQ(next, "");
            EXPECT_TRUE(run.thread->PlaybackCompleted());
        }
    }
    std::cout << "checked " << CaseName(c) << ": faults \"" << Quoted(c.switches) << "\""
              << (c.armAt ? " armed during the run" : "") << " on a " << setup.model << "; message \""
              << error << "\"; " << resets << " resets; the run ended; the next play "
              << (next.empty() ? std::string("succeeded") : "failed with \"" + next + "\"")
              << (c.lineLost ? " as the line is gone" : "") << "\n";
}

const MatrixCase kCases[] = {
    // ---- probing: PING, DEVICE_INFO, CAPABILITIES; the board is never started.
    {"DropReply",
     Path::kProbe,
     {"--drop-reply", "2"},
     "sim: KLINK response timeout (command $02).",
     0,
     false,
     false,
     std::nullopt},
    {"DropOpcode",
     Path::kProbe,
     {"--drop-opcode", "0x01"},
     "sim: KLINK response timeout (command $01).",
     0,
     false,
     false,
     std::nullopt},
    {"DelayReplies",
     Path::kProbe,
     {"--delay-replies", "1200"},
     "sim: KLINK response timeout (command $01).",
     0,
     false,
     false,
     std::nullopt},
    {"LateFirstPing", Path::kProbe, {"--late-first-ping", "1500"}, "", 2, false, false, std::nullopt},
    {"CorruptCrc",
     Path::kProbe,
     {"--corrupt-crc", "0x05:0"},
     "sim: KLINK response timeout (command $05).",
     0,
     false,
     false,
     std::nullopt},
    {"Status",
     Path::kProbe,
     {"--status", "0x02=3"},
     "sim: KLINK command $02 rejected (status=3, transaction={n}).",
     0,
     false,
     false,
     std::nullopt},
    {"StaleRequestID",
     Path::kProbe,
     {"--stale-request-id", "0x02"},
     "sim: KLINK response timeout (command $02).",
     0,
     false,
     false,
     std::nullopt},
    {"EmptyReply",
     Path::kProbe,
     {"--empty-reply", "0x05"},
     "sim: Empty KLINK response.",
     0,
     false,
     false,
     std::nullopt},
    {"WrongPingEcho",
     Path::kProbe,
     {"--wrong-ping-echo"},
     "sim: KLINK PING echo mismatch.",
     0,
     false,
     false,
     std::nullopt},
    {"BadDeviceInfoShort",
     Path::kProbe,
     {"--bad-device-info", "short"},
     "sim: Invalid KLINK device info.",
     0,
     false,
     false,
     std::nullopt},
    {"BadDeviceInfoModel",
     Path::kProbe,
     {"--bad-device-info", "model"},
     "sim: Invalid KLINK model length.",
     0,
     false,
     false,
     std::nullopt},
    {"BadDeviceInfoFirmware",
     Path::kProbe,
     {"--bad-device-info", "firmware"},
     "sim: Invalid KLINK firmware length.",
     0,
     false,
     false,
     std::nullopt},
    {"BadCapabilitiesChanged",
     Path::kProbe,
     {"--bad-capabilities", "changed"},
     "sim: KLINK capabilities changed during query.",
     0,
     false,
     false,
     std::nullopt},
    {"BadCapabilitiesDuplicate",
     Path::kProbe,
     {"--bad-capabilities", "duplicate"},
     "sim: Duplicate KLINK capability entry.",
     0,
     false,
     false,
     std::nullopt},
    {"BadCapabilitiesClock",
     Path::kProbe,
     {"--bad-capabilities", "clock"},
     "sim: Inconsistent KLINK clock across pages.",
     0,
     false,
     false,
     std::nullopt},
    {"BadCapabilitiesCyclic",
     Path::kProbe,
     {"--bad-capabilities", "cyclic"},
     "sim: Invalid KLINK capabilities header.",
     0,
     false,
     false,
     std::nullopt},
    {"BadCapabilitiesLength",
     Path::kProbe,
     {"--bad-capabilities", "length"},
     "sim: Invalid KLINK capabilities length.",
     0,
     false,
     false,
     std::nullopt},
    {"BadCapabilitiesPayload",
     Path::kProbe,
     {"--bad-capabilities", "payload"},
     "sim: This playback profile requires 256-byte KLINK payloads.",
     0,
     false,
     false,
     std::nullopt},
    {"StopReadingAfter",
     Path::kProbe,
     {"--stop-reading-after", "1"},
     "Serial output did not drain.",
     0,
     false,
     false,
     std::nullopt},
    // ---- routing: RESET, SET_OUTPUT_VOLUME and SET_CHIP_CLOCK while starting.
    {"DropOpcodeReset",
     Path::kRoute,
     {"--drop-opcode", "0x00"},
     "KLINK stop failed: sim RESET: KLINK response timeout (command $00).; ",
     2,
     false,
     false,
     std::nullopt},
    {"StatusReset",
     Path::kRoute,
     {"--status", "0x00=2"},
     "KLINK stop failed: sim RESET: KLINK command $00 rejected (status=2, transaction={n}).; ",
     0,
     false,
     false,
     std::nullopt},
    {"StaleRequestIDReset",
     Path::kRoute,
     {"--stale-request-id", "0x00"},
     "KLINK stop failed: sim RESET: KLINK response timeout (command $00).; ",
     2,
     false,
     false,
     std::nullopt},
    {"DropOpcodeVolume",
     Path::kRoute,
     {"--drop-opcode", "0x03"},
     "KLINK response timeout (command $03).",
     2,
     false,
     false,
     std::nullopt},
    {"EmptyReplyVolume",
     Path::kRoute,
     {"--empty-reply", "0x03"},
     "Empty KLINK response.",
     2,
     false,
     false,
     std::nullopt},
    {"DropOpcodeClock",
     Path::kRoute,
     {"--drop-opcode", "0x04"},
     "SET_CHIP_CLOCK $54 / instance=0 / requested=3579545 Hz: KLINK response timeout (command $04).",
     2,
     false,
     false,
     std::nullopt},
    {"StatusClock",
     Path::kRoute,
     {"--status", "0x04=5"},
     "SET_CHIP_CLOCK $54 / instance=0 / requested=3579545 Hz: KLINK command $04 rejected (status=5, "
     "transaction={n}).",
     2,
     false,
     false,
     std::nullopt},
    {"CorruptCrcClock",
     Path::kRoute,
     {"--corrupt-crc", "0x04:1"},
     "SET_CHIP_CLOCK $54 / instance=0 / requested=3579545 Hz: KLINK response timeout (command $04).",
     2,
     false,
     false,
     std::nullopt},
    {"StopReadingAfter",
     Path::kRoute,
     {"--stop-reading-after", "1"},
     "KLINK stop failed: sim RESET: KLINK response timeout (command $00).; ",
     1,
     false,
     false,
     SimTraceOp::kReset},
    {"HangUpAfter",
     Path::kRoute,
     {"--hang-up-after", "1"},
     "KLINK stop failed: sim RESET: Serial WriteFile failed: Win32 5 (Input/output error); requested={n}, "
     "reported=0 bytes. Playback stopped.; \nKLINK stop failed: sim RESET: Input/output error; ",
     1,
     false,
     true,
     SimTraceOp::kReset},
    // ---- register playback: a Keltra 4, and a Keltra 2.1 with its start-up window.
    {"StopReadingAfter",
     Path::kRegister,
     {"--stop-reading-after", "1"},
     "KLINK stop failed: sim RESET: KLINK response timeout (command $00).; ",
     1,
     false,
     false,
     SimTraceOp::kReg},
    {"HangUpAfter",
     Path::kRegister,
     {"--hang-up-after", "1"},
     "KLINK stop failed: sim RESET: Serial WriteFile failed: Win32 5 (Input/output error); requested={n}, "
     "reported=0 bytes. Playback stopped.; \nKLINK stop failed: sim RESET: Input/output error; ",
     1,
     false,
     true,
     SimTraceOp::kReg},
    {"DropOpcodeStartupPing",
     Path::kRegister,
     {"--drop-opcode", "0x01:2"},
     "KLINK response timeout (command $01).",
     2,
     true,
     false,
     std::nullopt},
    {"CorruptCrcStartupPing",
     Path::kRegister,
     {"--corrupt-crc", "0x01:2"},
     "KLINK response timeout (command $01).",
     2,
     true,
     false,
     std::nullopt},
    {"StopReadingAfterKL2",
     Path::kRegister,
     {"--stop-reading-after", "1"},
     "KLINK stop failed: sim RESET: KLINK response timeout (command $00).; ",
     1,
     true,
     false,
     SimTraceOp::kReg},
    // ---- the ADPCM stream on a Keltra 4.
    {"NeverStart",
     Path::kADPCM,
     {"--never-start"},
     "KL4 ADPCM START was not confirmed.",
     2,
     false,
     false,
     std::nullopt},
    {"AdpcmFault",
     Path::kADPCM,
     {"--adpcm-fault", "0x10@100"},
     "KL4 ADPCM fault: ADPCM: accepted={n}, played=100, pending={n}, underflows={n}, overflows=0, "
     "rejected=0, max pending={n} bytes, flags=21, late events={n}, max event lag={n} bytes; "
     "reason=rx-overflow",
     2,
     false,
     false,
     std::nullopt},
    {"DropOpcodeStatus",
     Path::kADPCM,
     {"--drop-opcode", "0x13:3"},
     "KLINK AUDIO_STATUS timeout.",
     2,
     false,
     false,
     std::nullopt},
    {"StatusStatus",
     Path::kADPCM,
     {"--status", "0x13=4"},
     "KLINK command $13 rejected (status=4, transaction={n}).",
     2,
     false,
     false,
     std::nullopt},
    {"EmptyReplyStatus",
     Path::kADPCM,
     {"--empty-reply", "0x13"},
     "Empty KLINK response.",
     2,
     false,
     false,
     std::nullopt},
    {"CorruptCrcStatus",
     Path::kADPCM,
     {"--corrupt-crc", "0x13:3"},
     "KLINK AUDIO_STATUS timeout.",
     2,
     false,
     false,
     std::nullopt},
    {"StaleRequestIDStatus",
     Path::kADPCM,
     {"--stale-request-id", "0x13"},
     "KLINK response timeout (command $13).",
     2,
     false,
     false,
     std::nullopt},
    {"StopReadingAfter",
     Path::kADPCM,
     {"--stop-reading-after", "1"},
     "KLINK stop failed: sim RESET: KLINK response timeout (command $00).; ",
     1,
     false,
     false,
     SimTraceOp::kStreamStart},
    {"HangUpAfter",
     Path::kADPCM,
     {"--hang-up-after", "1"},
     "KLINK stop failed: sim RESET: Serial WriteFile failed: Win32 5 (Input/output error); requested={n}, "
     "reported=0 bytes. Playback stopped.; \nKLINK stop failed: sim RESET: Input/output error; ",
     1,
     false,
     true,
     SimTraceOp::kStreamStart},
    // ---- the KL2 DAC on a Keltra 2.1.
    {"DropOpcodeDACCapabilities",
     Path::kKL2DAC,
     {"--drop-opcode", "0x18"},
     "KLINK response timeout (command $18).",
     0,
     false,
     false,
     std::nullopt},
    {"DacFault",
     Path::kKL2DAC,
     {"--dac-fault", "7@2000"},
     "DAC: state=3 fault=7 accepted={n} consumed={n} queued={n}; underflows={n} overflows=0 rejected={n}; "
     "max DAC late={n} us; ticks=2000/{n}",
     2,
     false,
     false,
     std::nullopt},
    {"DropOpcodeDACStatus",
     Path::kKL2DAC,
     {"--drop-opcode", "0x1C"},
     "KL2 DAC STATUS timeout after read-only retries.",
     2,
     false,
     false,
     std::nullopt},
    {"EmptyReplyDACStatus",
     Path::kKL2DAC,
     {"--empty-reply", "0x1C"},
     "Empty KLINK response.",
     2,
     false,
     false,
     std::nullopt},
    {"StaleRequestIDDACStatus",
     Path::kKL2DAC,
     {"--stale-request-id", "0x1C"},
     "KL2 DAC STATUS timeout after read-only retries.",
     2,
     false,
     false,
     std::nullopt},
    {"DropOpcodeDACStart",
     Path::kKL2DAC,
     {"--drop-opcode", "0x1A"},
     "KLINK response timeout (command $1A).",
     2,
     false,
     false,
     std::nullopt},
    {"StatusDACStart",
     Path::kKL2DAC,
     {"--status", "0x1A=2"},
     "KLINK command $1A rejected (status=2, transaction={n}).",
     2,
     false,
     false,
     std::nullopt},
    {"StopReadingAfter",
     Path::kKL2DAC,
     {"--stop-reading-after", "1"},
     "KLINK stop failed: sim RESET: KLINK response timeout (command $00).; ",
     1,
     false,
     false,
     SimTraceOp::kDACStart},
    {"HangUpAfter",
     Path::kKL2DAC,
     {"--hang-up-after", "1"},
     "KLINK stop failed: sim RESET: Serial WriteFile failed: Win32 5 (Input/output error); requested={n}, "
     "reported=0 bytes. Playback stopped.; \nKLINK stop failed: sim RESET: Input/output error; ",
     1,
     false,
     true,
     SimTraceOp::kDACStart},
    // ---- register-only files timed by the board: the KL2 board's tick clock
    // (the DAC path with delay records alone), and a Keltra 4's silent stream.
    {"DropOpcodeDACCapabilities",
     Path::kBoardTimedKL2,
     {"--drop-opcode", "0x18"},
     "KLINK response timeout (command $18).",
     0,
     false,
     false,
     std::nullopt},
    // The board finds its fault at the end of the delay record that holds its tick.
    {"DacFault",
     Path::kBoardTimedKL2,
     {"--dac-fault", "7@2000"},
     "DAC: state=3 fault=7 accepted={n} consumed={n} queued={n}; underflows={n} overflows=0 rejected={n}; "
     "max DAC late={n} us; ticks={n}/{n}",
     2,
     false,
     false,
     std::nullopt},
    {"DropOpcodeDACStatus",
     Path::kBoardTimedKL2,
     {"--drop-opcode", "0x1C"},
     "KL2 DAC STATUS timeout after read-only retries.",
     2,
     false,
     false,
     std::nullopt},
    {"HangUpAfter",
     Path::kBoardTimedKL2,
     {"--hang-up-after", "1"},
     "KLINK stop failed: sim RESET: Serial WriteFile failed: Win32 5 (Input/output error); requested={n}, "
     "reported=0 bytes. Playback stopped.; \nKLINK stop failed: sim RESET: Input/output error; ",
     1,
     false,
     true,
     SimTraceOp::kDACStart},
    {"NeverStart",
     Path::kBoardTimedKL4,
     {"--never-start"},
     "KL4 ADPCM START was not confirmed.",
     2,
     false,
     false,
     std::nullopt},
    {"AdpcmFault",
     Path::kBoardTimedKL4,
     {"--adpcm-fault", "0x10@100"},
     "KL4 ADPCM fault: ADPCM: accepted={n}, played=100, pending={n}, underflows={n}, overflows=0, "
     "rejected=0, max pending={n} bytes, flags=21, late events={n}, max event lag={n} bytes; "
     "reason=rx-overflow",
     2,
     false,
     false,
     std::nullopt},
    {"DropOpcodeStatus",
     Path::kBoardTimedKL4,
     {"--drop-opcode", "0x13:3"},
     "KLINK AUDIO_STATUS timeout.",
     2,
     false,
     false,
     std::nullopt},
    {"StopReadingAfter",
     Path::kBoardTimedKL4,
     {"--stop-reading-after", "1"},
     "KLINK stop failed: sim RESET: KLINK response timeout (command $00).; ",
     1,
     false,
     false,
     SimTraceOp::kStreamStart},
};

INSTANTIATE_TEST_SUITE_P(Cases, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return CaseName(row.param); });

}  // namespace
}  // namespace klink::test
