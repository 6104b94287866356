#pragma once
// The main window: lays out the panels (connections and log, header, tags,
// transport controls, playlist), wires them to the two controllers, takes
// files dropped from the file manager, restores the session when created and
// saves it when destroyed.
//
// ConnectionController owns the two board connections; PlaybackController
// owns the playback run and is its PlayerHost; PlaylistModel holds the
// playlist. Every handler runs on the GUI thread.

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "ui/KLINKSession.h"
#include "ui/PlaybackRun.h"

namespace klink {

class ConnectionController;
class ConnectionPanel;
class HeaderPanel;
class PlaybackController;
class PlaylistModel;
class PlaylistPanel;
class TagPanel;
class TransportPanel;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    // The client area the window opens with; its width never changes.
    static constexpr int kClientWidth = 1093;
    static constexpr int kClientHeight = 819;

    // Builds the window and restores the session. `factory` makes the
    // playback runs (CreateVGMPlayerRun in the program).
    explicit MainWindow(PlaybackFactory factory, QWidget* parent = nullptr);
    // The same with a session file of its own (UTF-8 path; the demo run's),
    // read at the start and written at the end instead of the user's; empty
    // for the user's.
    MainWindow(PlaybackFactory factory, std::string sessionPath, QWidget* parent = nullptr);
    // Saves the session (if creation completed), then stops playback and
    // closes the ports.
    ~MainWindow() override;

    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    [[nodiscard]] ConnectionController& Connections() const noexcept { return *connections_; }
    [[nodiscard]] PlaybackController& Playback() const noexcept { return *playback_; }
    [[nodiscard]] PlaylistPanel& Playlist() const noexcept { return *playlistPanel_; }

    // Any failure is logged as "セッション読込エラー: " + message; what was
    // applied before it stays.
    void RestoreSession();
    // Throws what SaveSession throws.
    void StoreSession();
    // Files dropped from the file manager: kept when they are .vgm/.vgz files
    // that exist, added in order; a drop off the list plays the first of them.
    void HandleDroppedFiles(const QStringList& names, bool onList);

protected:
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    void ConnectSignals();
    void InitializeWindow();
    void Log(const QString& line);
    // Runs a handler; a failure that leaves it goes to the log.
    void Guard(const std::function<void()>& handler);
    void ApplySavedBounds(const KLINKSessionState& state);
    [[nodiscard]] std::string SessionPath() const;
    // Once the window system has framed the window: moves a restored window
    // so that its frame, not only its client area, lies in the work area.
    void KeepFrameInWorkArea();

    PlaylistModel* model_ = nullptr;
    ConnectionPanel* connectionPanel_ = nullptr;
    HeaderPanel* headerPanel_ = nullptr;
    TagPanel* tagPanel_ = nullptr;
    TransportPanel* transportPanel_ = nullptr;
    PlaylistPanel* playlistPanel_ = nullptr;
    std::unique_ptr<ConnectionController> connections_;
    std::unique_ptr<PlaybackController> playback_;

    std::string sessionPath_;
    bool sessionReady_ = false;
    bool sessionShown_ = false;
    bool boundsRestored_ = false;  // the session placed the window; no centring
};

}  // namespace klink
