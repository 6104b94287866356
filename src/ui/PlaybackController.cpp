#include "ui/PlaybackController.h"

#include <QAction>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <utility>

#include "player/KLINKFadeOut.h"
#include "ui/ConnectionController.h"
#include "ui/GuardedHandler.h"
#include "ui/PlaylistModel.h"
#include "ui/PlaylistPanel.h"
#include "ui/TransportPanel.h"
#include "ui/WindowRules.h"

namespace klink {
namespace {

constexpr int kTimerIntervalMs = 100;

// The file-system form of a path the window shows.
std::string NativePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// Runs `f` when the scope ends, however it ends.
template <typename F>
class Finally {
public:
    explicit Finally(F f) : f_(std::move(f)) {}
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;
    ~Finally() { f_(); }

private:
    F f_;
};

}  // namespace

PlaybackController::PlaybackController(PlaybackFactory factory, PlaylistModel& model, PlaylistPanel& playlist,
                                       TransportPanel& transport, ConnectionController& connections,
                                       QObject* parent)
    : QObject(parent),
      factory_(std::move(factory)),
      model_(model),
      playlist_(playlist),
      transport_(transport),
      connections_(connections) {
    playbackTimer_ = new QTimer(this);
    playbackTimer_->setObjectName(QStringLiteral("playbackTimer"));
    playbackTimer_->setInterval(kTimerIntervalMs);
    connect(playbackTimer_, &QTimer::timeout, this, [this] {
        RunGuarded([this] { PlaybackTimerTick(); },
                   [this](const QString& message) { emit logLine(message); });
    });
}

PlaybackController::~PlaybackController() {
    playbackTimer_->stop();
    try {
        StopPlayback();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "KLINK stop: %s\n", e.what());
    }
}

void PlaybackController::StartTimer() { playbackTimer_->start(); }

int PlaybackController::PlaylistIndex() const noexcept { return model_.Indexes().playing; }
int PlaybackController::NextPlaylistIndex() const noexcept { return model_.Indexes().next; }
int PlaybackController::LastPlaylistIndex() const noexcept { return model_.Indexes().last; }

void PlaybackController::SetPlayingRows(int playing, int next) {
    PlaylistIndexes indexes = model_.Indexes();
    indexes.playing = playing;
    indexes.next = next;
    model_.SetIndexes(indexes);
}

// --- the play action -------------------------------------------------------------

void PlaybackController::PlayActionUpdate() {
    playlist_.PlayAction()->setEnabled(!startingPlayback_ &&
                                       (!requestedPlayPath_.isEmpty() || playlist_.SelectedRowCount() == 1));
}

void PlaybackController::PlaylistDoubleClick() {
    PlayActionUpdate();
    playlist_.PlayAction()->trigger();
}

void PlaybackController::PlayActionExecute() {
    if (startingPlayback_ || stoppingPlayback_) {
        return;
    }
    QString path;
    int row = -1;
    if (!requestedPlayPath_.isEmpty()) {
        path = requestedPlayPath_;
        row = requestedPlayIndex_;
    } else if (const std::optional<int> selected = playlist_.SingleSelectedRow()) {
        row = *selected;
        path = model_.Path(row);
        playlist_.ScrollTo(row);
    } else {
        return;
    }
    requestedPlayPath_.clear();
    requestedPlayIndex_ = -1;
    startingPlayback_ = true;
    Finally started([this] { startingPlayback_ = false; });

    try {
        if (!HasPlayableExtension(path.toStdString())) {
            return;
        }
        StopPlayback();
        const int32_t repeatCount = RepeatCountForIndex(transport_.RepeatIndex());
        const int32_t fadeSeconds = FadeSecondsForIndex(transport_.FadeIndex());
        connections_.RefreshPortNameCache();
        runRepeatCount_ = repeatCount;
        runFadeSeconds_ = fadeSeconds;
        run_ = factory_(*this, NativePath(path), repeatCount, fadeSeconds, playlist_.Timing());
        connections_.PauseOpenConnections();
        try {
            run_->Start();
        } catch (...) {
            run_.reset();
            connections_.ResumePausedPolling();
            throw;
        }
        lastPlayedPath_ = path;
        model_.SetIndexes(PlaylistIndexes{row, row >= 0 ? row + 1 : -1, row});
        emit trackStarted(path, row);
    } catch (const std::exception& e) {
        emit logLine(QStringLiteral("再生エラー: ") + QString::fromStdString(e.what()));
    }
}

void PlaybackController::RequestPlay(const QString& path, int row) {
    if (startingPlayback_ || stoppingPlayback_) {
        return;
    }
    requestedPlayPath_ = path;
    requestedPlayIndex_ = row;
    Finally done([this] {
        requestedPlayPath_.clear();
        requestedPlayIndex_ = -1;
        PlayActionUpdate();
    });
    PlayActionUpdate();
    if (playlist_.PlayAction()->isEnabled()) {
        PlayActionExecute();
    }
}

void PlaybackController::PlayPlaylistIndex(int row) {
    try {
        if (!model_.IsRow(row)) {
            return;
        }
        playlist_.ScrollTo(row);
        RequestPlay(model_.Path(row), row);
    } catch (const std::exception& e) {
        emit logLine(QStringLiteral("プレイリスト再生エラー: ") + QString::fromStdString(e.what()));
    }
}

void PlaybackController::OpenFileButtonClick() {
    if (const std::optional<QString> file = transport_.ChooseFile()) {
        RequestPlay(*file, -1);
    }
}

// --- stop and poll ------------------------------------------------------------------

void PlaybackController::StopPlayback() {
    if (stoppingPlayback_) {
        return;
    }
    stoppingPlayback_ = true;
    Finally done([this] {
        SetPlayingRows(-1, -1);
        stoppingPlayback_ = false;
    });
    if (run_) {
        run_->Stop();
        // The run may be waiting for a display call: keep serving them.
        while (!run_->WaitFor(10)) {
            calls_.ServePending();
        }
        calls_.ServePending();
        run_.reset();
    }
    connections_.ResumePausedPolling();
}

void PlaybackController::PlaybackTimerTick() {
    if (stoppingPlayback_) {
        return;
    }
    // A port that vanished while idle; ports in use by playback are checked
    // by the playback thread through its own failures.
    if (const std::optional<int> lost = connections_.FindLostConnection()) {
        HandleConnectionLost(*lost);
        return;
    }

    if (!run_) {
        return;
    }
    if (run_->Finished()) {
        const int next =
            (run_->PlaybackCompleted() && run_->PlaybackError().empty()) ? NextPlaylistIndex() : -1;
        StopPlayback();
        if (model_.IsRow(next)) {
            PlayPlaylistIndex(next);
        }
        return;
    }
    const int32_t ms = run_->PositionMS();
    transport_.ShowTime(QString::fromStdString(FormatPlaybackTime(ms)));
    transport_.ShowSamples(PositionSamples(ms));
}

void PlaybackController::HandleConnectionLost(int index) {
    playbackTimer_->stop();
    Finally restart([this] { playbackTimer_->start(); });
    StopPlayback();
    connections_.CloseLostConnection(index);
    transport_.ResetCounters();
    emit logLine(QStringLiteral("接続%1の切断を検出しました。VGM送出を停止しました。").arg(index + 1));
    connections_.ScanComPorts();
}

// --- PlayerHost ------------------------------------------------------------------------

void PlaybackController::Synchronize(const std::function<void()>& call) { calls_.Call(call); }

bool PlaybackController::PortConnected(int index) const { return connections_.PortConnected(index); }

platform::OSHandle PlaybackController::PortHandle(int index) const { return connections_.PortHandle(index); }

std::string PlaybackController::PortName(int index) const { return connections_.PortName(index); }

void PlaybackController::AppendLog(const std::string& line) { emit logLine(QString::fromStdString(line)); }

void PlaybackController::ClearHeaderAndTags() {
    transport_.ShowLength(QStringLiteral("/ 00:00.00"));
    emit headerAndTagsCleared();
}

void PlaybackController::ShowHeader(const VGMHeaderSummary& header) {
    // The run plays with the repeat and fade it was started with, whatever
    // the selectors show now.
    transport_.ShowLength(QString::fromStdString(FormatTrackLength(TrackLengthMs(
        header.totalSamples, header.loopOffset, header.loopSamples, runRepeatCount_, runFadeSeconds_))));
    emit headerShown(header);
}

void PlaybackController::ShowTags(const GD3Strings& gd3) { emit tagsShown(gd3); }

void PlaybackController::SetFilePath(const std::string& path) {
    emit filePathShown(QString::fromStdString(path));
}

void PlaybackController::SetOpenDialogHints(const std::string& fileName, const std::string& folder) {
    transport_.SetOpenDialogHints(QString::fromStdString(fileName), QString::fromStdString(folder));
}

}  // namespace klink
