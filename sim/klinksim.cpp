// klinksim: simulated Keltra boards on pseudo-terminals, published in the
// port list, running until interrupted.
#include <fmt/format.h>
#include <pthread.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SimBoard.h"
#include "SimFaultOptions.h"
#include "common/Errors.h"
#include "common/Version.h"
#include "platform/Event.h"
#include "platform/TerminationSignals.h"

namespace {

using namespace klink::sim;

struct Settings {
    std::vector<std::string> models;
    std::vector<std::string> profiles;
    std::string tracePath;
    std::string wavPath;
    bool unthrottled = false;
    bool realtime = false;
    SimLineKind line = SimLineKind::kUart;
    SimFaults faults;
};

// Fills `settings` from the command line; returns the exit code when the
// program should end here (help, or a bad command line), otherwise -1.
int ParseCommandLine(int argc, char** argv, Settings& settings) {
    CLI::App app{
        "Simulated Keltra boards: each board gets a pseudo-terminal that appears in the port list "
        "(as sim-<model>-<n>) and answers KLINK like the real board, at 115200 baud or as a USB device "
        "(--link)."};
    app.set_version_flag("--version", "klinksim " + std::string(klink::kProgramVersion));
    app.add_option("--board", settings.models,
                   "Start a board of this model (\"Keltra 2\", \"Keltra 2.1\", \"Keltra 3\", "
                   "\"Keltra 4\"); repeat for more boards");
    app.add_option("--profile", settings.profiles, "Start a board described by this JSON profile; repeatable")
        ->check(CLI::ExistingFile);
    app.add_option("--trace", settings.tracePath, "Write what the boards do to this JSON Lines file");
    app.add_option("--wav", settings.wavPath,
                   "Write what a board plays to this WAV file (with several boards: one file each, the port "
                   "name added before the extension)");
    const std::map<std::string, SimLineKind> lines{{"uart", SimLineKind::kUart}, {"usb", SimLineKind::kUsb}};
    app.add_option("--link", settings.line,
                   "How the line is paced: uart (115200 8N1, 11520 bytes/s; the default) or usb (full-speed "
                   "USB CDC-ACM: 512 bytes per 1 ms frame each way)")
        ->transform(CLI::CheckedTransformer(lines, CLI::ignore_case));
    app.add_flag("--unthrottled", settings.unthrottled, "Do not pace the line at all");
    app.add_flag(
        "--realtime", settings.realtime,
        "Run each board's thread at real-time priority where the system allows it, as a board with a "
        "processor of its own would react (for timing measurements on a busy machine)");
    // The fault options are parsed by ParseFaultOptions from what CLI11 leaves over.
    app.allow_extras();
    app.footer("Faults (all boards alike):\n" + FaultOptionsHelp());
    try {
        app.parse(argc, argv);
        settings.faults = ParseFaultOptions(app.remaining());
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const klink::Error& e) {
        std::fprintf(stderr, "klinksim: %s\n", e.what());
        return 2;
    }
    if (settings.models.empty() && settings.profiles.empty()) {
        std::fprintf(stderr, "klinksim: name at least one --board or --profile\n");
        return 2;
    }
    return -1;
}

// The boards the command line names, built-in models first. Throws
// ArgumentOutOfRange for an unknown model, ReadError for a bad profile.
std::vector<SimProfile> LoadBoards(const Settings& settings) {
    std::vector<SimProfile> boards;
    for (const auto& model : settings.models) {
        auto profile = BuiltInProfile(model);
        if (!profile)
            throw klink::ArgumentOutOfRange(
                fmt::format("unknown model \"{}\" (known: Keltra 2, Keltra 2.1, Keltra 3, Keltra 4)", model));
        boards.push_back(std::move(*profile));
    }
    for (const auto& file : settings.profiles) boards.push_back(LoadProfile(file));
    return boards;
}

std::vector<std::unique_ptr<SimBoard>> StartBoards(const std::vector<SimProfile>& boards,
                                                   const Settings& settings,
                                                   const std::shared_ptr<SimTraceFile>& trace) {
    std::vector<std::unique_ptr<SimBoard>> running;
    for (const SimProfile& profile : boards) {
        SimBoardOptions options;
        options.line = settings.unthrottled ? SimLineKind::kUnthrottled : settings.line;
        options.publish = true;
        options.keepTrace = false;
        options.traceFile = trace;
        options.faults = settings.faults;
        options.wavPath = settings.wavPath;
        options.wavPerBoard = boards.size() > 1;
        options.realtime = settings.realtime;
        running.push_back(SimBoard::Start(profile, options));
    }
    return running;
}

void PrintBoards(const std::vector<std::unique_ptr<SimBoard>>& running) {
    for (const auto& b : running) {
        std::printf("%s %s (%s)\n", b->PortName().c_str(), b->PortPath().c_str(), b->Profile().model.c_str());
    }
    std::fflush(stdout);
}

// Ctrl+C and SIGTERM through the platform's watch; SIGHUP (a closed
// terminal), which the watch does not take, on a thread of its own. Made
// before the boards start: SIGHUP is blocked first, so that every thread
// started later keeps it blocked and only that thread takes it.
class StopRequests {
public:
    StopRequests() = default;
    ~StopRequests() {
        stop_.Set();
        // Wakes the SIGHUP thread when no hang-up came.
        pthread_kill(hangUpThread_.native_handle(), SIGHUP);
        hangUpThread_.join();
    }
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    void Wait() {
        while (!stop_.Wait(1000)) {
        }
    }

private:
    static sigset_t BlockHangUp() {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        return signals;
    }

    // In this order: the threads below start with SIGHUP blocked.
    const sigset_t hangUp_ = BlockHangUp();
    klink::platform::Event stop_{klink::platform::EventReset::kManual, false};
    klink::platform::TerminationRequestWatch termination_{[this] { stop_.Set(); }};
    std::thread hangUpThread_{[this] {
        int signal = 0;
        sigwait(&hangUp_, &signal);
        stop_.Set();
    }};
};

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (const int exitCode = ParseCommandLine(argc, argv, settings); exitCode >= 0) return exitCode;

    std::vector<SimProfile> boards;
    try {
        boards = LoadBoards(settings);
    } catch (const klink::Error& e) {
        std::fprintf(stderr, "klinksim: %s\n", e.what());
        return 2;
    }

    try {
        StopRequests stop;
        std::shared_ptr<SimTraceFile> trace;
        if (!settings.tracePath.empty()) trace = std::make_shared<SimTraceFile>(settings.tracePath);
        std::vector<std::unique_ptr<SimBoard>> running = StartBoards(boards, settings, trace);
        PrintBoards(running);
        stop.Wait();
        for (auto& b : running) b->Stop();
        if (trace) trace->Close();
    } catch (const klink::Error& e) {
        std::fprintf(stderr, "klinksim: %s\n", e.what());
        return 1;
    }
    return 0;
}
