#include "ui/MainWindow.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMimeData>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "ui/ConnectionController.h"
#include "ui/ConnectionPanel.h"
#include "ui/GuardedHandler.h"
#include "ui/HeaderPanel.h"
#include "ui/LogPanel.h"
#include "ui/PlaybackController.h"
#include "ui/PlaylistModel.h"
#include "ui/PlaylistPanel.h"
#include "ui/PlaylistView.h"
#include "ui/TagPanel.h"
#include "ui/TransportPanel.h"
#include "ui/WindowRules.h"

namespace klink {
namespace {

// Japanese-capable faces in order of preference; the first one present is used.
QFont WindowFont() {
    QFont font;
    font.setFamilies({QStringLiteral("メイリオ"), QStringLiteral("Meiryo"),
                      QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans JP"),
                      QStringLiteral("IPAexGothic"), QStringLiteral("IPAGothic"), QStringLiteral("VL Gothic"),
                      QStringLiteral("Droid Sans Fallback")});
    font.setPixelSize(12);
    return font;
}

}  // namespace

MainWindow::MainWindow(PlaybackFactory factory, QWidget* parent)
    : MainWindow(std::move(factory), std::string(), parent) {}

MainWindow::MainWindow(PlaybackFactory factory, std::string sessionPath, QWidget* parent)
    : QWidget(parent), sessionPath_(std::move(sessionPath)) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("KLINK Dev tool"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(WindowFont());
    // Files dropped from the file manager.
    setAcceptDrops(true);
    model_ = new PlaylistModel(this);
    BuildControls();
    connections_ = std::make_unique<ConnectionController>(*connectionPanel_, [this] {
        if (playback_) {
            playback_->StopPlayback();
        }
    });
    playback_ = std::make_unique<PlaybackController>(std::move(factory), *model_, *playlistPanel_,
                                                     *transportPanel_, *connections_);
    ConnectSignals();
    InitializeWindow();
    if (!boundsRestored_) {
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = geometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
}

MainWindow::~MainWindow() {
    playback_->PlaybackTimer()->stop();
    if (sessionReady_) {
        try {
            StoreSession();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "KLINK session save: %s\n", e.what());
        }
    }
    try {
        playback_->StopPlayback();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "KLINK stop: %s\n", e.what());
    }
    // Playback first: it uses the connections' ports.
    playback_.reset();
    connections_.reset();
}

void MainWindow::BuildControls() {
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(8, 8, 8, 8);
    root->setSpacing(6);

    auto* top = new QHBoxLayout;
    connectionPanel_ = new ConnectionPanel(this);
    top->addWidget(connectionPanel_);
    headerPanel_ = new HeaderPanel(this);
    top->addWidget(headerPanel_, 1);
    root->addLayout(top);
    tagPanel_ = new TagPanel(this);
    root->addWidget(tagPanel_);

    auto* lower = new QVBoxLayout;
    lower->setContentsMargins(0, 0, 0, 0);
    lower->setSpacing(4);
    transportPanel_ = new TransportPanel(this);
    lower->addWidget(transportPanel_);
    playlistPanel_ = new PlaylistPanel(*model_, this);
    lower->addWidget(playlistPanel_, 1);
    root->addLayout(lower, 1);

    setFixedWidth(kClientWidth);
    setMinimumHeight(kClientHeight);
    resize(kClientWidth, kClientHeight);
}

void MainWindow::ConnectSignals() {
    // Each connection lives as long as the object that acts on it.
    ConnectionController* connections = connections_.get();
    connect(connectionPanel_, &ConnectionPanel::connectClicked, connections,
            [this](int i) { Guard([&] { connections_->ConnectButtonClick(i); }); });
    connect(connectionPanel_, &ConnectionPanel::portSelected, connections,
            [this](int i) { Guard([&] { connections_->PortComboChange(i); }); });
    connect(connectionPanel_, &ConnectionPanel::rescanRequested, connections,
            [this] { Guard([&] { connections_->ScanComPorts(); }); });
    connect(connections, &ConnectionController::logLine, this, &MainWindow::Log);

    PlaybackController* playback = playback_.get();
    connect(playback, &PlaybackController::logLine, this, &MainWindow::Log);
    connect(playback, &PlaybackController::headerAndTagsCleared, this, [this] {
        headerPanel_->Clear();
        tagPanel_->Clear();
    });
    connect(playback, &PlaybackController::headerShown, headerPanel_, &HeaderPanel::Show);
    connect(playback, &PlaybackController::tagsShown, tagPanel_, &TagPanel::Show);
    connect(playback, &PlaybackController::filePathShown, headerPanel_, &HeaderPanel::SetFilePath);
    connect(transportPanel_, &TransportPanel::openFileClicked, playback,
            [this] { Guard([&] { playback_->OpenFileButtonClick(); }); });

    connect(playlistPanel_->PlayAction(), &QAction::triggered, playback,
            [this] { Guard([&] { playback_->PlayActionExecute(); }); });
    connect(playlistPanel_, &PlaylistPanel::playRequested, playback,
            [this] { Guard([&] { playback_->PlaylistDoubleClick(); }); });
    connect(playlistPanel_, &PlaylistPanel::selectionChanged, playback,
            [this] { playback_->PlayActionUpdate(); });
    connect(playlistPanel_, &PlaylistPanel::menuAboutToOpen, playback,
            [this] { playback_->PlayActionUpdate(); });
    connect(playlistPanel_, &PlaylistPanel::logLine, this, &MainWindow::Log);
    connect(playlistPanel_->View(), &PlaylistView::filesDropped, playback,
            [this](const QStringList& files) { Guard([&] { HandleDroppedFiles(files, true); }); });
}

void MainWindow::InitializeWindow() {
    model_->SetIndexes(PlaylistIndexes{});
    tagPanel_->Clear();
    connectionPanel_->Log()->clear();
    RestoreSession();
    playback_->StartTimer();
    // A port list that cannot be read is reported; the window still opens.
    Guard([this] { connections_->ScanComPorts(); });
    sessionReady_ = true;
}

void MainWindow::Log(const QString& line) { connectionPanel_->Log()->Append(line); }

void MainWindow::Guard(const std::function<void()>& handler) {
    RunGuarded(handler, [this](const QString& message) { Log(message); });
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!sessionShown_) {
        sessionShown_ = true;
        if (const int focused = playlistPanel_->FocusedRow(); focused >= 0) {
            playlistPanel_->ScrollTo(focused);
        }
        if (boundsRestored_) {
            // Some window systems report the frame only a moment after the
            // window appears.
            KeepFrameInWorkArea();
            QTimer::singleShot(250, this, [this] { KeepFrameInWorkArea(); });
        }
    }
}

void MainWindow::KeepFrameInWorkArea() {
    if (isMaximized() || isMinimized() || isFullScreen()) {
        return;
    }
    const QRect client = geometry();
    const QRect frame = frameGeometry();
    QScreen* screen = this->screen();
    if (screen == nullptr) {
        return;
    }
    const QRect work = screen->availableGeometry();
    const Rect bounds = ClampWindowFrame(
        Rect{client.left(), client.top(), client.width(), client.height()},
        FrameMargins{client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                     frame.bottom() - client.bottom()},
        Rect{work.left(), work.top(), work.width(), work.height()}, minimumWidth(), minimumHeight());
    const QRect wanted(bounds.left, bounds.top, std::min(bounds.width, maximumWidth()), bounds.height);
    if (wanted != client) {
        setGeometry(wanted);
    }
}

// --- session ----------------------------------------------------------------

std::string MainWindow::SessionPath() const {
    return sessionPath_.empty() ? SessionFilePath() : sessionPath_;
}

void MainWindow::RestoreSession() {
    try {
        const std::optional<KLINKSessionState> loaded = LoadSession(SessionPath());
        if (!loaded) {
            return;
        }
        const KLINKSessionState& state = *loaded;
        connections_->SetPreferredPorts(state.comPort, state.comPort2);
        transportPanel_->SetRepeatIndex(state.repeatIndex);
        transportPanel_->SetFadeIndex(state.fadeIndex);
        playlistPanel_->SetTiming(ParsePlaybackTiming(state.timing).value_or(PlaybackTiming::kAuto));

        playlistPanel_->View()->setUpdatesEnabled(false);
        model_->Reset(state.playlist);
        playlistPanel_->View()->setUpdatesEnabled(true);

        const QString lastPath = QString::fromStdString(state.lastTrackPath);
        playback_->SetLastPlayedPath(lastPath);
        PlaylistIndexes indexes = model_->Indexes();
        indexes.last = -1;
        if (model_->IsRow(state.lastTrackIndex) &&
            model_->Path(state.lastTrackIndex).compare(lastPath, Qt::CaseInsensitive) == 0) {
            indexes.last = state.lastTrackIndex;
        }
        model_->SetIndexes(indexes);
        const int mark = indexes.last >= 0 ? indexes.last : state.selectedIndex;
        if (model_->IsRow(mark)) {
            playlistPanel_->MarkRow(mark);
        }
        if (!lastPath.isEmpty()) {
            headerPanel_->SetFilePath(lastPath);
            transportPanel_->SelectDialogFile(lastPath);
        }
        if (state.hasWindowBounds) {
            ApplySavedBounds(state);
        }
    } catch (const std::exception& e) {
        Log(QStringLiteral("セッション読込エラー: ") + QString::fromStdString(e.what()));
    }
}

void MainWindow::ApplySavedBounds(const KLINKSessionState& state) {
    // The screen nearest to the saved top-left corner.
    const QPoint corner(state.left, state.top);
    QScreen* nearest = QGuiApplication::screenAt(corner);
    if (nearest == nullptr) {
        qint64 best = -1;
        for (QScreen* screen : QGuiApplication::screens()) {
            const QRect g = screen->geometry();
            const qint64 dx =
                std::max<qint64>({qint64{g.left()} - corner.x(), 0, corner.x() - qint64{g.right()}});
            const qint64 dy =
                std::max<qint64>({qint64{g.top()} - corner.y(), 0, corner.y() - qint64{g.bottom()}});
            const qint64 distance = dx * dx + dy * dy;
            if (best < 0 || distance < best) {
                best = distance;
                nearest = screen;
            }
        }
    }
    if (nearest == nullptr) {
        return;
    }
    const QRect work = nearest->availableGeometry();
    const Rect bounds = ClampWindowBounds(Rect{state.left, state.top, state.width, state.height},
                                          Rect{work.left(), work.top(), work.width(), work.height()},
                                          minimumWidth(), minimumHeight());
    setGeometry(bounds.left, bounds.top, std::min(bounds.width, maximumWidth()), bounds.height);
    boundsRestored_ = true;
    if (state.maximized) {
        setWindowState(windowState() | Qt::WindowMaximized);
    }
}

void MainWindow::StoreSession() {
    KLINKSessionState state = DefaultSession();
    state.comPort = connections_->SessionPort(0);
    state.comPort2 = connections_->SessionPort(1);
    state.repeatIndex = transportPanel_->RepeatIndex();
    state.fadeIndex = transportPanel_->FadeIndex();
    state.timing = std::string(PlaybackTimingName(playlistPanel_->Timing()));
    state.lastTrackPath = playback_->LastPlayedPath().toStdString();
    state.lastTrackIndex = model_->Indexes().last;
    if (const int focused = playlistPanel_->FocusedRow(); focused >= 0) {
        state.selectedIndex = focused;
    }
    state.playlist = model_->Tracks();
    // The restored (normal) rectangle of the client area, also while the
    // window is maximized or minimized.
    const bool notNormal = isMaximized() || isMinimized();
    const QRect rect = notNormal ? normalGeometry() : geometry();
    state.maximized = isMaximized() || (isMinimized() && windowState().testFlag(Qt::WindowMaximized));
    state.hasWindowBounds = true;
    state.left = rect.left();
    state.top = rect.top();
    state.width = rect.width();
    state.height = rect.height();
    SaveSession(SessionPath(), state);
}

// --- files dropped from the file manager ---------------------------------------------

void MainWindow::HandleDroppedFiles(const QStringList& names, bool onList) {
    QStringList kept;
    for (const QString& name : names) {
        const QFileInfo info(name);
        // isFile follows links; folders and missing files are skipped quietly.
        if (HasPlayableExtension(name.toStdString()) && info.isFile()) {
            kept << info.absoluteFilePath();
        }
    }
    if (kept.isEmpty()) {
        return;
    }
    const int first = model_->Count();
    QWidget* view = playlistPanel_->View();
    view->setUpdatesEnabled(false);
    for (const QString& path : kept) {
        playlistPanel_->AddPlaylistFile(path);
    }
    view->setUpdatesEnabled(true);
    if (!onList) {
        playback_->PlayPlaylistIndex(first);
    }
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!PlaylistView::DroppedFiles(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (!PlaylistView::DroppedFiles(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QStringList files = PlaylistView::DroppedFiles(event->mimeData());
    if (files.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    const QPoint global = mapToGlobal(event->position().toPoint());
    const PlaylistView* view = playlistPanel_->View();
    const bool onList =
        view->isVisible() && QRect(view->mapToGlobal(QPoint(0, 0)), view->size()).contains(global);
    Guard([&] { HandleDroppedFiles(files, onList); });
}

}  // namespace klink
