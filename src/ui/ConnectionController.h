#pragma once
// The two board connections behind the connection panel: their serial port
// drivers and input polling, the port scan that fills both selectors, the
// connect and disconnect buttons, and what the playback thread reads of them.
//
// GUI thread only, except the three Port* queries, which the playback thread
// may make from its own thread.

#include <QObject>
#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/OSHandle.h"
#include "transport/CPDrv.h"

class QPushButton;
class QTimer;

namespace klink {

class ConnectionPanel;
class PortComboBox;

class ConnectionController : public QObject {
    Q_OBJECT
public:
    // `stopPlayback` runs before a connection is opened, closed or changed.
    ConnectionController(ConnectionPanel& panel, std::function<void()> stopPlayback,
                         QObject* parent = nullptr);
    // Closes both ports.
    ~ConnectionController() override;

    ConnectionController(const ConnectionController&) = delete;
    ConnectionController& operator=(const ConnectionController&) = delete;

    // Index 0 is connection 1, any other index connection 2.
    CommPortDriver& GetPortDriver(int index);
    [[nodiscard]] PortComboBox* GetPortCombo(int index) const;
    [[nodiscard]] QPushButton* GetConnectButton(int index) const;

    // Refills both selectors from the port list and keeps each one on its
    // preferred port where it can. Throws OSError when the list cannot be read.
    void ScanComPorts();
    // Opens or closes the connection. Refusals are logged; a port that cannot
    // be opened is logged as closed. A failure to set the write time-out after
    // opening closes the port again and propagates.
    void ConnectButtonClick(int index);
    void PortComboChange(int index);

    // The first open connection that is polling and whose port is gone.
    [[nodiscard]] std::optional<int> FindLostConnection() const;
    // Closes a lost connection; its button reads "接続" again.
    void CloseLostConnection(int index);

    // Playback takes over the open ports: their input polling pauses until
    // ResumePausedPolling.
    void PauseOpenConnections();
    void ResumePausedPolling();
    // Takes the selectors' texts for PortName (before a playback thread starts).
    void RefreshPortNameCache();

    // Safe from any thread while the connections stay as they are.
    [[nodiscard]] bool PortConnected(int index) const;
    [[nodiscard]] platform::OSHandle PortHandle(int index) const;
    // The connection's selector text, as the messages name the port.
    [[nodiscard]] std::string PortName(int index) const;

    // The session's ports: restored as the preferred ones; saved as the
    // selected one, else the preferred one.
    void SetPreferredPorts(const std::string& first, const std::string& second);
    [[nodiscard]] std::string SessionPort(int index) const;

signals:
    void logLine(const QString& line);

private:
    [[nodiscard]] static size_t Slot(int index) noexcept { return index == 0 ? 0 : 1; }
    void SetupDriver(size_t slot);

    ConnectionPanel& panel_;
    std::function<void()> stopPlayback_;
    std::array<CommPortDriver, 2> drivers_;
    std::array<QTimer*, 2> pollTimers_{};
    std::array<bool, 2> serialInputPaused_{};
    std::array<std::string, 2> preferredPorts_;
    bool updatingPortList_ = false;

    // The selectors' texts for the playback thread.
    mutable std::mutex portNameLock_;
    std::array<std::string, 2> portNames_;
};

}  // namespace klink
