// klinkplay route: which connected board would play which chip of a file,
// worked out exactly as a playback would, without starting any board.
#include <CLI/CLI.hpp>
#include <array>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/klinkplay/CommandPort.h"
#include "app/klinkplay/Commands.h"
#include "common/Errors.h"
#include "platform/PathText.h"
#include "platform/SerialPortList.h"
#include "routing/KLINKRouter.h"
#include "transport/BufferedSerialWriter.h"
#include "transport/CPDrv.h"
#include "vgm/VGMAnalysis.h"

namespace klinkplay {

namespace {

// The log texts use CR LF; a terminal wants plain line feeds.
std::string TerminalText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

struct RouteOptions {
    std::string file;
    std::string port1;
    std::string port2;
};

int RunRoute(const RouteOptions& options) {
    const klink::VGMAnalysis analysis = klink::AnalyseVGMFile(klink::platform::PathFromUtf8(options.file));
    if (!analysis.ok) {
        std::cerr << options.file << ": " << analysis.error << '\n';
        return 1;
    }

    // Declared before the router: the ports must outlive its writers.
    std::array<CommandPort, klink::kKLINKConnectionCount> open;
    klink::KLINKPorts ports;
    const std::array<const std::string*, klink::kKLINKConnectionCount> names{&options.port1, &options.port2};
    try {
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i]->empty()) continue;
            open[i].Open(*names[i]);
            ports[i] = {open[i].Handle(), *names[i]};
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }

    int status = 0;
    auto router = std::make_unique<klink::KLINKRouter>(ports);
    try {
        router->Prepare(analysis.registerTargets, analysis.registerClocks, analysis.okiClock, {},
                        analysis.useKl2Dac);
        std::cout << TerminalText(router->Description());
    } catch (const std::exception& e) {
        // What the boards reported before the refusal still helps.
        std::cout << TerminalText(router->Description());
        std::cout.flush();
        std::cerr << e.what() << '\n';
        status = 1;
    }
    std::cout.flush();

    try {
        router->Stop();
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        status = 1;
    }
    router.reset();
    return status;
}

}  // namespace

void AddRouteCommand(CLI::App& app, int& exitStatus) {
    auto* cmd = app.add_subcommand(
        "route", "Show which connected board would play which chip of a file, without playing it");
    auto options = std::make_shared<RouteOptions>();
    cmd->add_option("FILE", options->file, "VGM or VGZ file")->required();
    cmd->add_option("--port1", options->port1, "Connection 1: a name from 'klinkplay ports' or a device path")
        ->required();
    cmd->add_option("--port2", options->port2, "Connection 2, when a second board is connected");
    cmd->callback([options, &exitStatus] { exitStatus = RunRoute(*options); });
}

}  // namespace klinkplay
