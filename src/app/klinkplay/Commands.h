#pragma once
// Each klinkplay subcommand registers itself here. A subcommand's callback
// stores the process exit status in `exitStatus`.

namespace CLI {
class App;
}

namespace klinkplay {

// "info FILE... [--json]": header, tags, targets, clocks and playback path.
void AddInfoCommand(CLI::App& app, int& exitStatus);

// "ports": the serial ports by short name, with the path each one opens.
void AddPortsCommand(CLI::App& app, int& exitStatus);

// "probe PORT...": PING, identity and capability table of each board.
void AddProbeCommand(CLI::App& app, int& exitStatus);
// "route FILE --port1 PORT [--port2 PORT]": which board would play which chip,
// and the boards' probe lines, without starting playback.
void AddRouteCommand(CLI::App& app, int& exitStatus);

// "play FILE... [--port1 PORT] [--port2 PORT] [--repeat 1..5|inf] [--fade 0|1|3|5|10|15]":
// plays the files one after another; without a port on simulated boards.
void AddPlayCommand(CLI::App& app, int& exitStatus);

}  // namespace klinkplay
