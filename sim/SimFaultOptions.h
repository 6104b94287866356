#pragma once
// klinksim's fault options: the command-line words that make the boards
// misbehave, turned into the SimFaults they name.

#include <span>
#include <string>

#include "SimFaults.h"

namespace klink::sim {

// `arguments` holds fault options only, each as on the command line: the
// option and its value as two words ("--drop-reply", "3") or one
// ("--drop-reply=3"); flags stand alone ("--never-start"). Options marked
// repeatable in FaultOptionsHelp may come more than once, the others once.
// Throws ArgumentOutOfRange naming the option and what is wrong with it.
[[nodiscard]] SimFaults ParseFaultOptions(std::span<const std::string> arguments);

// One line per fault option with its value and what it does, for --help.
[[nodiscard]] std::string FaultOptionsHelp();

}  // namespace klink::sim
