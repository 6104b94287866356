#pragma once
// What a playback thread needs from the program that hosts it: the window,
// or the command-line player. The thread owns none of these things; it asks.
//
// Deadlock rule: the playback thread changes the host's state only through
// Synchronize, which blocks until the host's thread has run the call. A host
// that waits for a playback thread to end (stop, close) must keep running
// those calls while it waits; otherwise both threads wait for each other.

#include <functional>
#include <string>

#include "platform/OSHandle.h"
#include "vgm/VGMHeader.h"
#include "vgm/VGMHeaderSummary.h"

namespace klink {

class PlayerHost {
public:
    virtual ~PlayerHost() = default;

    // Runs `call` on the host's thread and returns once it has run. Exceptions
    // thrown by `call` propagate to the caller.
    virtual void Synchronize(const std::function<void()>& call) = 0;

    // Connection index 0 (connection 1) or 1 (connection 2). These are read
    // directly from any thread; the host does not replace, close or reopen a
    // connection while a playback thread exists.
    [[nodiscard]] virtual bool PortConnected(int index) const = 0;
    [[nodiscard]] virtual platform::OSHandle PortHandle(int index) const = 0;
    // The text of the connection's port selector (shown in messages).
    [[nodiscard]] virtual std::string PortName(int index) const = 0;

    // Called only through Synchronize, on the host's thread.
    virtual void AppendLog(const std::string& line) = 0;
    // Empties every header and tag control and the notes.
    virtual void ClearHeaderAndTags() = 0;
    virtual void ShowHeader(const VGMHeaderSummary& header) = 0;
    virtual void ShowTags(const GD3Strings& gd3) = 0;
    virtual void SetFilePath(const std::string& path) = 0;
    // The open-file dialog starts with this file name in this folder.
    virtual void SetOpenDialogHints(const std::string& fileName, const std::string& folder) = 0;
};

}  // namespace klink
