#pragma once
// The window's last-resort error report: a failure that leaves a GUI handler
// is shown by its message alone (in the log), and the window goes on.

#include <QString>
#include <exception>
#include <utility>

namespace klink {

template <typename Handler, typename Report>
void RunGuarded(Handler&& handler, Report&& report) {
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception& e) {
        std::forward<Report>(report)(QString::fromStdString(e.what()));
    }
}

}  // namespace klink
