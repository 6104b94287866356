// klinkplay: plays VGM/VGZ files on Keltra boards from the command line.
#include <CLI/CLI.hpp>
#include <string>

#include "app/klinkplay/Commands.h"
#include "common/Version.h"
#include "platform/Console.h"

int main(int argc, char** argv) {
    klink::platform::UseUtf8ConsoleOutput();
    CLI::App app{"klinkplay - play VGM/VGZ chip music on Keltra boards"};
    app.set_version_flag("--version", "klinkplay " + std::string(klink::kProgramVersion));
    app.require_subcommand(1);
    int exitStatus = 0;
    klinkplay::AddInfoCommand(app, exitStatus);
    klinkplay::AddPortsCommand(app, exitStatus);
    klinkplay::AddProbeCommand(app, exitStatus);
    klinkplay::AddRouteCommand(app, exitStatus);
    klinkplay::AddPlayCommand(app, exitStatus);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return exitStatus;
}
