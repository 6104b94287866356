#pragma once
// "klinkplay probe PORT...": checks that a board answers before playing.

#include <iosfwd>
#include <string>

namespace klinkplay {

// Opens `port` (a short name from "klinkplay ports", or a full path) the way
// the window connects a board, then asks the board for PING, DEVICE_INFO and
// its capability table. Prints "<port>: <model> / Firmware <firmware>" and
// one indented line per capability entry to `out`, or "<port>: <failure>" to
// `err`. True when the board answered everything.
bool ProbePort(const std::string& port, std::ostream& out, std::ostream& err);

}  // namespace klinkplay
