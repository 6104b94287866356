#pragma once
// Playback from the window: starts one playback run per track, polls it every
// 100 ms (time display, end of track, advance to the next playlist row),
// stops it, and is the run's PlayerHost. The run's display calls are queued
// to the GUI thread and served there, also while StopPlayback waits for the
// run to end; what they show goes out through the signals below.
//
// GUI thread only, except the PlayerHost queries the run makes from its own
// thread (see PlayerHost).

#include <QObject>
#include <QString>
#include <memory>
#include <string>

#include "player/PlayerHost.h"
#include "ui/GUICallQueue.h"
#include "ui/PlaybackRun.h"

class QTimer;

namespace klink {

class ConnectionController;
class PlaylistModel;
class PlaylistPanel;
class TransportPanel;

class PlaybackController : public QObject, public PlayerHost {
    Q_OBJECT
public:
    // `factory` makes the runs (CreateVGMPlayerRun in the program). The
    // panels and connections must outlive the controller.
    PlaybackController(PlaybackFactory factory, PlaylistModel& model, PlaylistPanel& playlist,
                       TransportPanel& transport, ConnectionController& connections,
                       QObject* parent = nullptr);
    // Stops playback.
    ~PlaybackController() override;

    PlaybackController(const PlaybackController&) = delete;
    PlaybackController& operator=(const PlaybackController&) = delete;

    // Starts the 100 ms poll.
    void StartTimer();
    [[nodiscard]] QTimer* PlaybackTimer() const noexcept { return playbackTimer_; }

    // The play action: enabled while no track is starting and either a play
    // request is pending or exactly one row is selected.
    void PlayActionUpdate();
    // Plays the requested file, else the one selected row. A failure to start
    // is logged as "再生エラー: " + message.
    void PlayActionExecute();
    // Double-click or Enter in the list.
    void PlaylistDoubleClick();
    // Plays `path` through the play action; `row` is its playlist row, -1 for
    // a file from outside the playlist (no row follows it).
    void RequestPlay(const QString& path, int row);
    // Plays a playlist row; a failure is logged as "プレイリスト再生エラー: " + message.
    void PlayPlaylistIndex(int row);
    // The open-file button: plays the chosen file without adding it.
    void OpenFileButtonClick();
    // Stops, waits for and frees the run; resumes the ports' input polling.
    void StopPlayback();
    // The 100 ms poll: a vanished idle port first, then the run.
    void PlaybackTimerTick();
    void HandleConnectionLost(int index);

    [[nodiscard]] int PlaylistIndex() const noexcept;
    [[nodiscard]] int NextPlaylistIndex() const noexcept;
    [[nodiscard]] int LastPlaylistIndex() const noexcept;
    [[nodiscard]] const QString& LastPlayedPath() const noexcept { return lastPlayedPath_; }
    // The session's last track.
    void SetLastPlayedPath(const QString& path) { lastPlayedPath_ = path; }
    [[nodiscard]] bool HasPlayerThread() const noexcept { return run_ != nullptr; }

    // --- PlayerHost ---------------------------------------------------------
    void Synchronize(const std::function<void()>& call) override;
    [[nodiscard]] bool PortConnected(int index) const override;
    [[nodiscard]] platform::OSHandle PortHandle(int index) const override;
    [[nodiscard]] std::string PortName(int index) const override;
    void AppendLog(const std::string& line) override;
    void ClearHeaderAndTags() override;
    void ShowHeader(const VGMHeaderSummary& header) override;
    void ShowTags(const GD3Strings& gd3) override;
    void SetFilePath(const std::string& path) override;
    void SetOpenDialogHints(const std::string& fileName, const std::string& folder) override;

signals:
    void logLine(const QString& line);
    void headerAndTagsCleared();
    void headerShown(const klink::VGMHeaderSummary& header);
    void tagsShown(const klink::GD3Strings& gd3);
    void filePathShown(const QString& path);
    // A run started for `path` (playlist row `row`, -1 for a file from
    // outside the playlist).
    void trackStarted(const QString& path, int row);

private:
    void SetPlayingRows(int playing, int next);

    PlaybackFactory factory_;
    PlaylistModel& model_;
    PlaylistPanel& playlist_;
    TransportPanel& transport_;
    ConnectionController& connections_;
    GUICallQueue calls_{this};
    QTimer* playbackTimer_ = nullptr;

    std::unique_ptr<PlaybackRun> run_;
    bool startingPlayback_ = false;
    bool stoppingPlayback_ = false;
    QString requestedPlayPath_;
    int requestedPlayIndex_ = -1;
    QString lastPlayedPath_;
    int32_t runRepeatCount_ = 1;  // of the current run, for its length
    int32_t runFadeSeconds_ = 0;
};

}  // namespace klink
