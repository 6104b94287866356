#pragma once
// The main window: two board connections, the header and tag display, the
// playlist and the playback control. It owns the two serial port drivers and
// the one playback run, restores the session when created and saves it when
// destroyed.
//
// Every handler runs on the GUI thread. The playback thread reaches the
// window only through PlayerHost: its display calls are queued to the GUI
// thread and served there, also while StopPlayback waits for it to end.

#include <QWidget>
#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "player/PlayerHost.h"
#include "transport/CPDrv.h"
#include "ui/GUICallQueue.h"
#include "ui/KLINKSession.h"
#include "ui/PlaybackRun.h"
#include "ui/WindowRules.h"

class QAction;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QTreeWidgetItem;

namespace klink {

class PlaylistView;
class PortComboBox;

class MainWindow : public QWidget, public PlayerHost {
    Q_OBJECT
public:
    // The client area the window opens with; its width never changes.
    static constexpr int kClientWidth = 1093;
    static constexpr int kClientHeight = 819;

    // Runs InitializeWindow. `factory` makes the playback runs (CreateVGMPlayerRun
    // in the program).
    explicit MainWindow(PlaybackFactory factory, QWidget* parent = nullptr);
    // Saves the session (if creation completed), stops playback, closes ports.
    ~MainWindow() override;

    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // --- connections -------------------------------------------------------
    CommPortDriver& GetPortDriver(int index);
    PortComboBox* GetPortCombo(int index);
    QPushButton* GetConnectButton(int index);
    // Refills both selectors from the port list. Throws OSError when the list
    // cannot be read.
    void ScanComPorts();
    void ConnectButtonClick(int index);
    void PortComboChange(int index);
    void StopPlayback();
    void PlaybackTimerTick();
    void HandleConnectionLost(int index);
    void RestoreSession();
    void StoreSession();

    // --- playlist and playback ---------------------------------------------
    void PlayActionUpdate();
    void PlayActionExecute();
    void DeleteActionUpdate();
    void DeleteActionExecute();
    void CopyPathActionUpdate();
    void CopyPathActionExecute();
    void PlaylistMenuPopup();
    void OpenFileButtonClick();
    void PlaylistDoubleClick();
    void SelectAllRows();
    // Moves the selected rows to the drop point (viewport coordinates).
    void PlaylistDragDrop(QPoint pos);
    void AddPlaylistFile(const QString& path);
    void RequestPlay(const QString& path, int row);
    void PlayPlaylistIndex(int row);
    // Files dropped from the file manager: kept when they are .vgm/.vgz files
    // that exist, added in order; a drop off the list plays the first of them.
    void HandleDroppedFiles(const QStringList& names, bool onList);

    // State the tests and the self-test read.
    [[nodiscard]] int PlaylistIndex() const noexcept { return indexes_.playing; }
    [[nodiscard]] int NextPlaylistIndex() const noexcept { return indexes_.next; }
    [[nodiscard]] int LastPlaylistIndex() const noexcept { return indexes_.last; }
    [[nodiscard]] const QString& LastPlayedPath() const noexcept { return lastPlayedPath_; }
    [[nodiscard]] bool HasPlayerThread() const noexcept { return playerThread_ != nullptr; }
    [[nodiscard]] QTimer* PlaybackTimer() const noexcept { return playbackTimer_; }
    [[nodiscard]] PlaylistView* Playlist() const noexcept { return playlistView_; }
    // Serves the playback thread's waiting display calls now.
    void ServeThreadCalls() { calls_.ServePending(); }

    // --- PlayerHost ---------------------------------------------------------
    void Synchronize(const std::function<void()>& call) override;
    [[nodiscard]] bool PortConnected(int index) const override;
    [[nodiscard]] platform::OSHandle PortHandle(int index) const override;
    [[nodiscard]] std::string PortName(int index) const override;
    void AppendLog(const std::string& line) override;
    void ClearHeaderAndTags() override;
    void ShowHeader(const VGMDisplay& display) override;
    void ShowTags(const GD3Strings& gd3) override;
    void SetFilePath(const std::string& path) override;
    void SetOpenDialogHints(const std::string& fileName, const std::string& folder) override;

protected:
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    void BuildConnectionPanel(QWidget* panel);
    QWidget* BuildHeaderPanel();
    QWidget* BuildTagPanel();
    QWidget* BuildPlaybackPanel();
    void ConnectSignals();
    void SetupDriver(CommPortDriver& driver, QTimer* pollTimer);
    void InitializeWindow();
    void Log(const QString& line);
    // Runs a handler; a failure that leaves it goes to the log (the window's
    // last-resort error report).
    void Guard(const std::function<void()>& handler);
    void RefreshPortNameCache();
    void RepaintPlaylist();
    [[nodiscard]] int SelectedRowCount() const;
    [[nodiscard]] std::vector<bool> SelectedRows() const;
    [[nodiscard]] int FocusedRow() const;
    void ResumePausedPolling();
    // The path stored in a row (its third column).
    [[nodiscard]] static QString RowPath(const QTreeWidgetItem* item);
    void ApplySavedBounds(const KLINKSessionState& state);

    PlaybackFactory factory_;
    GUICallQueue calls_{this};

    // Connection panel; index 0 is connection 1 (upper row), index 1 connection 2.
    std::array<QLabel*, 2> connectionLabels_{};
    std::array<PortComboBox*, 2> portCombos_{};
    std::array<QPushButton*, 2> connectButtons_{};
    QPushButton* rescanButton_ = nullptr;
    QPlainTextEdit* logView_ = nullptr;

    // Header, tags, playback controls.
    QLineEdit* filePathEdit_ = nullptr;
    QPlainTextEdit* notesEdit_ = nullptr;
    std::array<QLineEdit*, 10> tagEdits_{};
    QPushButton* openFileButton_ = nullptr;
    QFileDialog* openDialog_ = nullptr;
    QComboBox* repeatCombo_ = nullptr;
    QComboBox* fadeCombo_ = nullptr;
    PlaylistView* playlistView_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    QAction* playAction_ = nullptr;
    QAction* deleteAction_ = nullptr;
    QAction* copyPathAction_ = nullptr;
    QMenu* playlistMenu_ = nullptr;
    QAction* playMenuItem_ = nullptr;
    QAction* deleteMenuItem_ = nullptr;
    QAction* copyPathMenuItem_ = nullptr;
    QLabel* timeLabel_ = nullptr;
    QLabel* samplesLabel_ = nullptr;

    std::array<CommPortDriver, 2> drivers_;
    QTimer* pollTimers_[2] = {nullptr, nullptr};
    QTimer* playbackTimer_ = nullptr;

    bool serialInputPaused_[2] = {false, false};
    bool updatingPortList_ = false;
    std::string preferredPorts_[2];
    bool sessionReady_ = false;
    bool sessionShown_ = false;
    bool boundsRestored_ = false;  // the session placed the window; no centring
    bool stoppingPlayback_ = false;
    std::unique_ptr<PlaybackRun> playerThread_;
    PlaylistIndexes indexes_;  // the playing, next and last rows
    QString lastPlayedPath_;
    bool startingPlayback_ = false;
    QString requestedPlayPath_;
    int requestedPlayIndex_ = -1;

    // The selectors' texts for the playback thread, which may ask from its own thread.
    mutable std::mutex portNameLock_;
    std::string portNames_[2];
};

}  // namespace klink
