#pragma once
// One connection of a klinkplay command, opened the way the window opens a
// port: the form's driver settings, 115200 baud, then the one-second write
// time-out. Whatever a board sends while no playback reads the port is
// polled and dropped, as in the window.

#include <string>

#include "platform/OSHandle.h"
#include "transport/CPDrv.h"

namespace klinkplay {

class CommandPort {
public:
    CommandPort();
    ~CommandPort();
    CommandPort(const CommandPort&) = delete;
    CommandPort& operator=(const CommandPort&) = delete;

    // Opens `name`: a short name from "klinkplay ports", or a device path.
    // Throws klink::Error "<name>: <reason>".
    void Open(const std::string& name);

    [[nodiscard]] bool Connected() const noexcept { return driver_.Connected(); }
    [[nodiscard]] klink::platform::OSHandle Handle() const noexcept { return driver_.Handle(); }
    [[nodiscard]] const std::string& Name() const noexcept { return name_; }
    klink::CommPortDriver& Driver() noexcept { return driver_; }

private:
    klink::CommPortDriver driver_;
    std::string error_;
    std::string name_;
};

}  // namespace klinkplay
