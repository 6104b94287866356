#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <string>

#include "app/klinkplay/Commands.h"
#include "common/Errors.h"
#include "platform/SerialPortList.h"

namespace klinkplay {

void AddPortsCommand(CLI::App& app, int& exitStatus) {
    auto* cmd = app.add_subcommand("ports", "List the serial ports, as the port selectors show them");
    cmd->callback([&exitStatus] {
        try {
            const auto ports = klink::platform::ListSerialPorts();
            if (ports.empty()) {
                std::cout << "No serial ports found.\n";
                exitStatus = 0;
                return;
            }
            size_t width = 0;
            for (const auto& p : ports) {
                width = std::max(width, p.name.size());
            }
            for (const auto& p : ports) {
                std::cout << p.name << std::string(width - p.name.size() + 2, ' ') << p.path;
                if (p.simulated) {
                    std::cout << "  (simulated)";
                } else if (!p.description.empty()) {
                    std::cout << "  " << p.description;
                }
                std::cout << '\n';
            }
            exitStatus = 0;
        } catch (const klink::Error& e) {
            std::cerr << e.what() << '\n';
            exitStatus = 1;
        }
    });
}

}  // namespace klinkplay
