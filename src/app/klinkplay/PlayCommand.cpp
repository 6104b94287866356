// klinkplay play: plays files one after another on the connected boards, the
// way the window's playlist does, with the log, the header and tags and the
// live time on the console. Without a port it plays on simulated boards.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <array>
#include <atomic>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SimBoard.h"
#include "SimProfile.h"
#include "app/klinkplay/CommandPort.h"
#include "app/klinkplay/Commands.h"
#include "app/klinkplay/ConsoleHost.h"
#include "common/Errors.h"
#include "platform/Console.h"
#include "platform/PathText.h"
#include "platform/SerialPortList.h"
#include "platform/TerminationSignals.h"
#include "player/BoardTiming.h"
#include "player/KLINKFadeOut.h"
#include "player/VGMPlayerThread.h"
#include "routing/KLINKRouting.h"
#include "transport/BufferedSerialWriter.h"
#include "transport/CPDrv.h"
#include "vgm/VGMAnalysis.h"

namespace klinkplay {

namespace {

// Set on Ctrl+C (and SIGTERM); the main loop turns it into a stop.
std::atomic<bool> gStopSignal{false};

constexpr int kExitInterrupted = 130;

struct PlayOptions {
    std::vector<std::string> files;
    std::string port1;
    std::string port2;
    std::string repeat = "1";
    int32_t fade = 10;
    std::string simTrace;
    std::string simLink = "auto";
    std::string timing = "auto";
};

// The repeat count as the window's selector gives it: 1..5, or "inf" = 0.
[[nodiscard]] int32_t ParseRepeat(const std::string& text) {
    if (text == "inf") return 0;
    if (text.size() == 1 && text[0] >= '1' && text[0] <= '5') return text[0] - '0';
    throw CLI::ValidationError("--repeat", "must be 1 to 5 or inf");
}

// Simulated boards for a file: the first built-in model whose capability
// table takes every chip and clock of the file, else the first pair of them.
class SimulatedBoards {
public:
    explicit SimulatedBoards(std::shared_ptr<klink::sim::SimTraceFile> trace) : trace_(std::move(trace)) {}

    // The models for the file; empty with `why` when none would do.
    [[nodiscard]] static std::vector<std::string> ChooseModels(const klink::VGMAnalysis& a,
                                                               std::string& why) {
        static const std::array<std::string, 4> kOrder{"Keltra 4", "Keltra 2.1", "Keltra 3", "Keltra 2"};
        std::array<klink::KLINKCapabilities, kOrder.size()> tables;
        for (size_t i = 0; i < kOrder.size(); ++i) {
            const auto profile = klink::sim::BuiltInProfile(kOrder[i]);
            for (const auto& page : profile->pages) {
                tables[i].AddPage(page.offset, page.raw ? *page.raw : klink::EncodeCapabilityPage(page.page));
            }
        }
        auto fits = [&](int first, int second) {
            klink::KLINKDeviceCapabilities caps{&tables[static_cast<size_t>(first)], nullptr};
            klink::KLINKDeviceNames names{kOrder[static_cast<size_t>(first)], ""};
            if (second >= 0) {
                caps[1] = &tables[static_cast<size_t>(second)];
                names[1] = kOrder[static_cast<size_t>(second)];
            }
            try {
                (void)klink::KLINKRoutePlan::Create(caps, names, a.registerTargets, a.registerClocks,
                                                    a.okiClock != 0, a.useKl2Dac);
                return true;
            } catch (const std::exception& e) {
                if (why.empty()) why = e.what();
                return false;
            }
        };
        for (int i = 0; i < static_cast<int>(kOrder.size()); ++i) {
            if (fits(i, -1)) return {kOrder[static_cast<size_t>(i)]};
        }
        for (int i = 0; i < static_cast<int>(kOrder.size()); ++i) {
            for (int j = 0; j < static_cast<int>(kOrder.size()); ++j) {
                if (i != j && fits(i, j))
                    return {kOrder[static_cast<size_t>(i)], kOrder[static_cast<size_t>(j)]};
            }
        }
        return {};
    }

    [[nodiscard]] const std::vector<std::string>& Models() const noexcept { return models_; }
    // Whether boards of `models` on lines of kind `line` already run.
    [[nodiscard]] bool Running(const std::vector<std::string>& models, klink::sim::SimLineKind line) const {
        return models == models_ && line == line_;
    }

    // Starts boards of `models` unless those already run; returns whether it did.
    bool Use(const std::vector<std::string>& models, klink::sim::SimLineKind line) {
        if (Running(models, line)) return false;
        boards_.clear();
        models_.clear();
        line_ = line;
        for (const std::string& model : models) {
            klink::sim::SimBoardOptions options;
            options.line = line;
            options.keepTrace = false;
            options.traceFile = trace_;
            boards_.push_back(klink::sim::SimBoard::Start(model, options));
        }
        models_ = models;
        return true;
    }

    [[nodiscard]] const klink::sim::SimBoard& Board(size_t index) const { return *boards_.at(index); }

private:
    std::shared_ptr<klink::sim::SimTraceFile> trace_;
    std::vector<std::string> models_;
    klink::sim::SimLineKind line_ = klink::sim::SimLineKind::kUart;
    std::vector<std::unique_ptr<klink::sim::SimBoard>> boards_;
};

// The line the simulated boards get for a file: the one asked for, or by
// default a 115200-baud UART, except for the streaming paths. An OKIM6258
// stream at 8 MHz / 512 and a KL2 DAC stream (25-35 KB/s) need more than
// such a UART carries, so those boards are USB devices, as real boards that
// play them are; so is a KL2 board that times a register-only file (its
// status replies alone need more). The silent stream of a board-timed
// YM2151 file fits a UART.
[[nodiscard]] klink::sim::SimLineKind SimulatedLineFor(const klink::VGMAnalysis& analysis,
                                                       const std::string& choice,
                                                       klink::PlaybackTiming timing) {
    if (choice == "uart") return klink::sim::SimLineKind::kUart;
    if (choice == "usb") return klink::sim::SimLineKind::kUsb;
    if (!analysis.ok) return klink::sim::SimLineKind::kUart;
    std::string why;
    const bool boardTimedKL2 = timing != klink::PlaybackTiming::kHost &&
                               klink::BoardTimedPathFor(analysis, why) == klink::BoardTimedPath::kKL2;
    const bool streams =
        klink::PlaybackPathFor(analysis) != klink::VGMPlaybackPath::kRegister || boardTimedKL2;
    return streams ? klink::sim::SimLineKind::kUsb : klink::sim::SimLineKind::kUart;
}

// The result of one track.
enum class TrackEnd { kCompleted, kStopped, kFailed };

TrackEnd PlayTrack(ConsoleHost& host, std::array<CommandPort, 2>& ports, const std::string& file,
                   int32_t repeat, int32_t fade, klink::PlaybackTiming timing) {
    auto thread = std::make_unique<klink::VGMPlayerThread>(host, file, repeat, fade, timing);
    // The playback thread is the only reader of the ports while it runs.
    for (auto& port : ports) {
        if (port.Connected()) port.Driver().PausePolling();
    }
    try {
        thread->Start();
    } catch (const std::exception& e) {
        for (auto& port : ports) {
            if (port.Connected()) port.Driver().ContinuePolling();
        }
        host.Print(std::string("再生エラー: ") + e.what());
        return TrackEnd::kFailed;
    }
    while (!thread->Finished()) {
        if (gStopSignal && !thread->StopRequested()) thread->Stop();
        host.RunPending(20);
        host.ShowTime(thread->PositionMS());
    }
    host.RunPending(0);
    host.EndStatus();
    const bool completed = thread->PlaybackCompleted() && thread->PlaybackError().empty();
    const bool stopped = thread->StopRequested();
    thread.reset();
    for (auto& port : ports) {
        if (port.Connected()) {
            port.Driver().ContinuePolling();
            port.Driver().PollTick();
        }
    }
    if (completed) return TrackEnd::kCompleted;
    return stopped ? TrackEnd::kStopped : TrackEnd::kFailed;
}

int RunPlay(const PlayOptions& options) {
    int32_t repeat = 1;
    try {
        repeat = ParseRepeat(options.repeat);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }

    gStopSignal = false;
    std::optional<klink::platform::TerminationRequestWatch> stopRequests;
    try {
        stopRequests.emplace([] { gStopSignal = true; });
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }

    ConsoleHost host(std::cout, klink::platform::StdoutIsTerminal());
    std::array<CommandPort, 2> ports;
    const bool simulated = options.port1.empty() && options.port2.empty();
    std::optional<SimulatedBoards> boards;
    try {
        if (simulated) {
            std::shared_ptr<klink::sim::SimTraceFile> trace;
            if (!options.simTrace.empty())
                trace = std::make_shared<klink::sim::SimTraceFile>(options.simTrace);
            boards.emplace(std::move(trace));
        } else {
            const std::array<const std::string*, 2> names{&options.port1, &options.port2};
            for (size_t i = 0; i < names.size(); ++i) {
                if (names[i]->empty()) continue;
                ports[i].Open(*names[i]);
                host.SetPort(static_cast<int>(i), ports[i].Handle(), *names[i]);
            }
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }

    const klink::PlaybackTiming timing =
        klink::ParsePlaybackTiming(options.timing).value_or(klink::PlaybackTiming::kAuto);
    int status = 0;
    for (const std::string& file : options.files) {
        if (gStopSignal) break;
        if (boards) {
            // Boards that suit this file; the ports follow the boards.
            std::string why;
            const klink::VGMAnalysis analysis = klink::AnalyseVGMFile(klink::platform::PathFromUtf8(file));
            std::vector<std::string> models =
                analysis.ok ? SimulatedBoards::ChooseModels(analysis, why) : std::vector<std::string>{};
            if (models.empty())
                models = boards->Models().empty() ? std::vector<std::string>{"Keltra 4"} : boards->Models();
            const klink::sim::SimLineKind line = SimulatedLineFor(analysis, options.simLink, timing);
            try {
                if (!boards->Running(models, line)) {
                    for (size_t i = 0; i < ports.size(); ++i) {
                        host.SetPort(static_cast<int>(i), klink::platform::kInvalidOSHandle, "");
                        ports[i].Driver().Disconnect();
                    }
                    (void)boards->Use(models, line);
                    std::string names;
                    for (size_t i = 0; i < models.size(); ++i) {
                        const auto& board = boards->Board(i);
                        ports[i].Open(board.DevicePath());
                        host.SetPort(static_cast<int>(i), ports[i].Handle(), board.PortName());
                        names += fmt::format("{}{} on connection {}", i == 0 ? "" : ", ", models[i], i + 1);
                    }
                    host.Print(fmt::format("No port given; playing on simulated boards: {} ({} line).", names,
                                           klink::sim::SimLineKindName(line)));
                }
            } catch (const std::exception& e) {
                std::cerr << e.what() << '\n';
                return 1;
            }
        }
        const TrackEnd end = PlayTrack(host, ports, file, repeat, options.fade, timing);
        if (end == TrackEnd::kCompleted) continue;
        status = end == TrackEnd::kStopped ? kExitInterrupted : 1;
        break;
    }
    if (gStopSignal) status = kExitInterrupted;
    return status;
}

}  // namespace

void AddPlayCommand(CLI::App& app, int& exitStatus) {
    auto* cmd = app.add_subcommand("play", "Play VGM/VGZ files one after another on the connected boards");
    auto options = std::make_shared<PlayOptions>();
    cmd->add_option("FILE", options->files, "VGM or VGZ files, played in order")->required();
    cmd->add_option("--port1", options->port1,
                    "Connection 1: a name from 'klinkplay ports' or a device path (none: simulated boards)");
    cmd->add_option("--port2", options->port2, "Connection 2, when a second board is connected");
    cmd->add_option("--repeat", options->repeat, "Passes through the loop: 1 to 5, or inf")
        ->default_str("1")
        ->check(CLI::IsMember({"1", "2", "3", "4", "5", "inf"}));
    cmd->add_option("--fade", options->fade, "Fade-out seconds at the end of a looped track")
        ->default_str("10")
        ->check(CLI::IsMember({0, 1, 3, 5, 10, 15}));
    cmd->add_option("--sim-trace", options->simTrace,
                    "With simulated boards: write what they do to this JSON Lines file");
    cmd->add_option("--sim-link", options->simLink,
                    "With simulated boards: their line, 'uart' (115200 baud), 'usb' (full-speed USB) or "
                    "'auto' (USB for files that stream to the board, else UART)")
        ->default_str("auto")
        ->check(CLI::IsMember({"auto", "uart", "usb"}));
    cmd->add_option("--timing", options->timing,
                    "Who times the writes of a file without samples: 'host', 'board' (a KL2 board's tick "
                    "clock or a Keltra 4's stream) or 'auto' (board where the board and the line allow it)")
        ->default_str("auto")
        ->check(CLI::IsMember({"host", "board", "auto"}));
    cmd->callback([options, &exitStatus] { exitStatus = RunPlay(*options); });
}

}  // namespace klinkplay
