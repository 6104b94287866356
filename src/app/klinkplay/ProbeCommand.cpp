#include "app/klinkplay/ProbeCommand.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/klinkplay/Commands.h"
#include "common/Errors.h"
#include "platform/SerialPortList.h"
#include "protocol/KLINKSerialLink.h"
#include "transport/BufferedSerialWriter.h"
#include "transport/CPDrv.h"

namespace klinkplay {
namespace {

using namespace klink;

// Connects the driver as the window does: port path, 115200 baud, Connect,
// then the writers' time-out; a port whose time-out cannot be set is closed
// again. Returns the failure text, or nothing when the port is open.
std::optional<std::string> ConnectLikeTheWindow(TCommPortDriver& driver, const std::string& path) {
    std::string reported;
    driver.OnError = [&reported](TCommPortDriver&, uint16_t, const std::string& text) {
        if (reported.empty()) {
            reported = text;
        }
    };
    driver.SetInBufSize(4096);
    driver.SetOutBufSize(10000);
    driver.SetPollingDelay(16);
    driver.SetOutputTimeout(1000);
    driver.SetPortName(path);
    driver.SetBaudRate(TBaudRate::brCustom);
    driver.SetBaudRateValue(115200);
    const bool connected = driver.Connect();
    driver.OnError = nullptr;
    if (!connected) {
        return reported.empty() ? std::string("The port could not be opened.") : reported;
    }
    try {
        ConfigureWriteTimeouts(driver.Handle());
    } catch (const Error& e) {
        driver.Disconnect();
        return std::string(e.what());
    }
    return std::nullopt;
}

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
    TCommPortDriver driver;
    if (const auto failure = ConnectLikeTheWindow(driver, platform::SerialPortPath(port))) {
        err << port << ": " << *failure << '\n';
        return false;
    }
    // The link reads the port itself from now on.
    driver.PausePolling();
    bool answered = false;
    {
        TBufferedSerialWriter writer(driver.Handle());
        TKLINKSerialLink link;
        link.AttachPort(driver.Handle());
        try {
            link.Probe(writer);
            const std::string identity = link.DeviceInfo(writer);
            link.CheckCapabilities(writer, false, false);
            out << port << ": " << identity << '\n';
            PrintCapabilities(out, link.Capabilities().Describe());
            answered = true;
        } catch (const Error& e) {
            err << port << ": " << e.what() << '\n';
        }
        link.DetachPort();
        writer.Shutdown();
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
