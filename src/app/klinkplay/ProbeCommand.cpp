#include "app/klinkplay/ProbeCommand.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/klinkplay/CommandPort.h"
#include "app/klinkplay/Commands.h"
#include "common/Errors.h"
#include "platform/SerialPortList.h"
#include "protocol/KLINKConnection.h"
#include "transport/CPDrv.h"

namespace klinkplay {
namespace {

using namespace klink;

// The capability table's lines, one per entry, indented under the identity.
void PrintCapabilities(std::ostream& out, const std::string& describe) {
    std::istringstream lines(describe);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        out << "  " << line << '\n';
    }
}

}  // namespace

bool ProbePort(const std::string& port, std::ostream& out, std::ostream& err) {
    CommandPort connection;
    try {
        connection.Open(port);
    } catch (const Error& e) {
        err << e.what() << '\n';
        return false;
    }
    CommPortDriver& driver = connection.Driver();
    // The link reads the port itself from now on.
    driver.PausePolling();
    bool answered = false;
    {
        KLINKConnection board(driver.Handle());
        try {
            board.Probe();
            const std::string identity = board.DeviceInfo();
            board.CheckCapabilities(false, false);
            out << port << ": " << identity << '\n';
            PrintCapabilities(out, board.Capabilities().Describe());
            answered = true;
        } catch (const Error& e) {
            err << port << ": " << e.what() << '\n';
        }
    }
    driver.ContinuePolling();
    driver.Disconnect();
    return answered;
}

void AddProbeCommand(CLI::App& app, int& exitStatus) {
    auto* cmd =
        app.add_subcommand("probe", "Check that the boards on the given ports answer, and what they offer");
    auto ports = std::make_shared<std::vector<std::string>>();
    cmd->add_option("PORT", *ports, "Short port names from 'klinkplay ports', or device paths")->required();
    cmd->callback([ports, &exitStatus] {
        bool all = true;
        for (const auto& port : *ports) {
            all = ProbePort(port, std::cout, std::cerr) && all;
        }
        exitStatus = all ? 0 : 1;
    });
}

}  // namespace klinkplay
