// The main window: creation, layout, session, connections and the host
// services of the playback thread. The playlist half is in
// KLINKMainWindowPlaylist.cpp.
#include "ui/KLINKMainWindow.h"

#include <QAction>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdio>
#include <exception>

#include "platform/SerialPort.h"
#include "platform/SerialPortList.h"
#include "ui/PlaylistView.h"
#include "ui/PortComboBox.h"
#include "vgm/GD3Text.h"

namespace klink {
namespace {

constexpr int kTimerIntervalMs = 100;

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

// A scope guard for the "also when a step fails" rules.
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

QLineEdit* ReadOnlyEdit(QWidget* parent, const char* name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setReadOnly(true);
    return edit;
}

QLabel* ValueLabel(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setMinimumWidth(70);
    return label;
}

}  // namespace

void MainWindow::Guard(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        Log(QString::fromStdString(e.what()));
    }
}

MainWindow::MainWindow(PlaybackFactory factory, QWidget* parent)
    : QWidget(parent), factory_(std::move(factory)) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("KLINK Dev tool"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(WindowFont());
    setAcceptDrops(true);
    BuildControls();
    SetupDriver(drivers_[0], pollTimers_[0]);
    SetupDriver(drivers_[1], pollTimers_[1]);
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
    if (playbackTimer_ != nullptr) {
        playbackTimer_->stop();
    }
    if (sessionReady_) {
        try {
            StoreSession();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "KLINK session save: %s\n", e.what());
        }
    }
    try {
        StopPlayback();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "KLINK stop: %s\n", e.what());
    }
    // The drivers close their ports when destroyed; their polling timers are
    // children of the window and must not be called back by then.
    drivers_[0].onPollingTimer = nullptr;
    drivers_[1].onPollingTimer = nullptr;
    drivers_[0].Disconnect();
    drivers_[1].Disconnect();
}

void MainWindow::SetupDriver(CommPortDriver& driver, QTimer* pollTimer) {
    driver.SetPortName("");
    driver.SetBaudRateValue(115200);
    ApplyWindowDriverSettings(driver);
    // Whatever a board sends while no playback runs is dropped.
    driver.onReceiveData = [](CommPortDriver&, const uint8_t*, uint32_t) {};
    driver.onPollingTimer = [pollTimer](CommPortDriver&, bool running, uint32_t periodMs) {
        if (running) {
            pollTimer->start(static_cast<int>(periodMs));
        } else {
            pollTimer->stop();
        }
    };
    connect(pollTimer, &QTimer::timeout, this, [&driver] { driver.PollTick(); });
}

void MainWindow::BuildControls() {
    pollTimers_[0] = new QTimer(this);
    pollTimers_[1] = new QTimer(this);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(8, 8, 8, 8);
    root->setSpacing(6);

    auto* top = new QHBoxLayout;
    auto* panel = new QGroupBox(this);
    panel->setObjectName(QStringLiteral("connectionPanel"));
    panel->setFixedWidth(360);
    BuildConnectionPanel(panel);
    top->addWidget(panel);
    top->addWidget(BuildHeaderPanel(), 1);
    root->addLayout(top);
    root->addWidget(BuildTagPanel());
    root->addWidget(BuildPlaybackPanel(), 1);

    setFixedWidth(kClientWidth);
    setMinimumHeight(kClientHeight);
    resize(kClientWidth, kClientHeight);
}

void MainWindow::BuildConnectionPanel(QWidget* panel) {
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(6, 6, 6, 6);
    connectionLabels_[0] = new QLabel(QStringLiteral("KLINK 1"), panel);
    connectionLabels_[0]->setObjectName(QStringLiteral("connectionLabel1"));
    portCombos_[0] = new PortComboBox(panel);
    portCombos_[0]->setObjectName(QStringLiteral("portCombo1"));
    connectButtons_[0] = new QPushButton(QStringLiteral("接続"), panel);
    connectButtons_[0]->setObjectName(QStringLiteral("btnConnect"));
    rescanButton_ = new QPushButton(QStringLiteral("再スキャン"), panel);
    rescanButton_->setObjectName(QStringLiteral("btnRefresh"));
    connectionLabels_[1] = new QLabel(QStringLiteral("KLINK 2"), panel);
    connectionLabels_[1]->setObjectName(QStringLiteral("connectionLabel2"));
    portCombos_[1] = new PortComboBox(panel);
    portCombos_[1]->setObjectName(QStringLiteral("portCombo2"));
    connectButtons_[1] = new QPushButton(QStringLiteral("接続"), panel);
    connectButtons_[1]->setObjectName(QStringLiteral("Button1"));
    logView_ = new QPlainTextEdit(panel);
    logView_->setObjectName(QStringLiteral("memLog"));
    logView_->setReadOnly(true);
    logView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logView_->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    for (QComboBox* combo : portCombos_) {
        combo->setEditable(false);
        combo->setMinimumWidth(150);
        combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    }
    grid->addWidget(connectionLabels_[0], 0, 0);
    grid->addWidget(portCombos_[0], 0, 1);
    grid->addWidget(connectButtons_[0], 0, 2);
    grid->addWidget(connectionLabels_[1], 1, 0);
    grid->addWidget(portCombos_[1], 1, 1);
    grid->addWidget(connectButtons_[1], 1, 2);
    grid->addWidget(rescanButton_, 2, 2);
    grid->addWidget(logView_, 3, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);
}

QWidget* MainWindow::BuildHeaderPanel() {
    auto* box = new QGroupBox(this);
    box->setObjectName(QStringLiteral("headerGroup"));
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setVerticalSpacing(3);

    auto caption = [box](const QString& text) { return new QLabel(text, box); };

    grid->addWidget(caption(QStringLiteral("FilePath:")), 0, 0);
    filePathEdit_ = ReadOnlyEdit(box, "edtFilePath");
    grid->addWidget(filePathEdit_, 0, 1, 1, 5);

    struct Field {
        const char* caption;
        const char* name;
        bool edit;
    };
    // Header values on the left, chip clocks in the middle and on the right.
    const Field left[] = {
        {"File Size:", "lblFileSize", false},
        {"EoF offset", "edtEofOffset", true},
        {"Version", "edtVersion", true},
        {"Total # samples", "edtTotalSamples", true},
        {"GD3 offset", "edtGD3offset", true},
        {"Loop offset", "edtLoopOffset", true},
        {"Loop # samples", "edtLoopSamples", true},
        {"VGM data offset", "edtVGMDataOffset", true},
    };
    const Field clocks[] = {
        {"SN76489 clock:", "lblClkSN76489", false}, {"SN76489 clock:", "lblClkSN764892", false},
        {"YM2612 clock:", "lblClkYM2612", false},   {"YM2151 clock:", "lblClkYM2151", false},
        {"YM2203 clock:", "lblClkYM2203", false},   {"YM2608 clock:", "lblClkYM2608", false},
        {"YM3812 clock:", "lblClkYM3812", false},   {"YM3526 clock:", "lblClkYM3526", false},
        {"AY8910 clock:", "lblClkAY8910", false},   {"M6258 clock:", "lblClkM6258", false},
    };
    int row = 1;
    for (const Field& f : left) {
        grid->addWidget(caption(QString::fromLatin1(f.caption)), row, 0);
        QWidget* value = f.edit ? static_cast<QWidget*>(ReadOnlyEdit(box, f.name)) : ValueLabel(box, f.name);
        grid->addWidget(value, row, 1);
        ++row;
    }
    for (size_t i = 0; i < std::size(clocks); ++i) {
        const int r = 1 + static_cast<int>(i % 5);
        const int c = 2 + 2 * static_cast<int>(i / 5);
        grid->addWidget(caption(QString::fromLatin1(clocks[i].caption)), r, c);
        grid->addWidget(ValueLabel(box, clocks[i].name), r, c + 1);
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    grid->setColumnStretch(5, 1);
    grid->setRowStretch(row, 1);  // spare height below the fields, not between them
    return box;
}

QWidget* MainWindow::BuildTagPanel() {
    auto* box = new QGroupBox(this);
    box->setObjectName(QStringLiteral("tagGroup"));
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setVerticalSpacing(3);
    const char* captions[10] = {"トラック名(英)", "トラック名(日)", "ゲーム名(英)", "ゲーム名(日)",
                                "システム名(英)", "システム名(日)", "作曲者(英)",   "作曲者(日)",
                                "リリース日",     "VGM変換者"};
    for (int i = 0; i < 10; ++i) {
        const int r = i / 2;
        const int c = (i % 2) * 2;
        grid->addWidget(new QLabel(QString::fromUtf8(captions[i]), box), r, c);
        tagEdits_[static_cast<size_t>(i)] = ReadOnlyEdit(box, ("Edit" + std::to_string(i + 1)).c_str());
        grid->addWidget(tagEdits_[static_cast<size_t>(i)], r, c + 1);
    }
    grid->addWidget(new QLabel(QStringLiteral("ノート"), box), 0, 4);
    notesEdit_ = new QPlainTextEdit(box);
    notesEdit_->setObjectName(QStringLiteral("notesEdit"));
    notesEdit_->setReadOnly(true);
    notesEdit_->setFixedWidth(260);
    grid->addWidget(notesEdit_, 1, 4, 4, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    return box;
}

void MainWindow::InitializeWindow() {
    indexes_ = PlaylistIndexes{};
    notesEdit_->clear();
    logView_->clear();
    RestoreSession();
    // Files dropped from the file manager: setAcceptDrops in the constructor.
    playbackTimer_ = new QTimer(this);
    playbackTimer_->setObjectName(QStringLiteral("playbackTimer"));
    playbackTimer_->setInterval(kTimerIntervalMs);
    connect(playbackTimer_, &QTimer::timeout, this, [this] { Guard([this] { PlaybackTimerTick(); }); });
    playbackTimer_->start();
    // A port list that cannot be read is reported; the window still opens.
    Guard([this] { ScanComPorts(); });
    sessionReady_ = true;
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!sessionShown_) {
        sessionShown_ = true;
        if (QTreeWidgetItem* item = playlistView_->currentItem()) {
            playlistView_->scrollToItem(item, QAbstractItemView::EnsureVisible);
        }
    }
}

void MainWindow::Log(const QString& line) { logView_->appendPlainText(line); }

// --- connections ----------------------------------------------------------

CommPortDriver& MainWindow::GetPortDriver(int index) { return drivers_[index == 0 ? 0 : 1]; }
PortComboBox* MainWindow::GetPortCombo(int index) { return portCombos_[index == 0 ? 0 : 1]; }
QPushButton* MainWindow::GetConnectButton(int index) { return connectButtons_[index == 0 ? 0 : 1]; }

void MainWindow::RefreshPortNameCache() {
    std::lock_guard lock(portNameLock_);
    portNames_[0] = portCombos_[0]->currentText().toStdString();
    portNames_[1] = portCombos_[1]->currentText().toStdString();
}

void MainWindow::ScanComPorts() {
    std::string wanted[2];
    for (int i = 0; i < 2; ++i) {
        QComboBox* combo = GetPortCombo(i);
        wanted[i] = combo->currentIndex() >= 0 ? combo->currentText().toStdString() : preferredPorts_[i];
    }
    std::vector<std::string> names;
    for (const platform::SerialPortEntry& entry : platform::ListSerialPorts()) {
        names.push_back(entry.name);
    }
    QStringList items;
    for (const std::string& name : names) {
        items << QString::fromStdString(name);
    }

    updatingPortList_ = true;
    Finally done([this] {
        updatingPortList_ = false;
        RefreshPortNameCache();
    });
    for (int i = 0; i < 2; ++i) {
        QComboBox* combo = GetPortCombo(i);
        combo->setUpdatesEnabled(false);
        combo->clear();
        combo->addItems(items);
        combo->setCurrentIndex(ChoosePortItem(names, wanted[i]));
        combo->setUpdatesEnabled(true);
        if (combo->currentIndex() >= 0) {
            preferredPorts_[i] = combo->currentText().toStdString();
        }
        CommPortDriver& driver = GetPortDriver(i);
        // An open connection keeps its port even if the port left the list.
        if (!driver.Connected()) {
            driver.SetPortName(combo->currentIndex() >= 0
                                   ? platform::SerialPortPath(combo->currentText().toStdString())
                                   : std::string());
        }
    }
}

void MainWindow::ConnectButtonClick(int index) {
    CommPortDriver& driver = GetPortDriver(index);
    QComboBox* combo = GetPortCombo(index);
    const std::string text = combo->currentText().toStdString();
    if (!driver.Connected()) {
        if (combo->currentIndex() < 0) {
            Log(QStringLiteral("使用可能なCOMポートを選択してください。"));
            return;
        }
        CommPortDriver& other = GetPortDriver(index == 0 ? 1 : 0);
        if (other.Connected() && SameTextIgnoringCase(other.PortName(), platform::SerialPortPath(text))) {
            Log(QStringLiteral("同じCOMポートへ重複接続できません。"));
            return;
        }
    }
    StopPlayback();
    if (driver.Connected()) {
        driver.Disconnect();
    } else {
        preferredPorts_[index] = text;
        (void)ConnectAtLineRate(driver, platform::SerialPortPath(text));
    }
    const QString name = QString::fromStdString(text);
    if (driver.Connected()) {
        GetConnectButton(index)->setText(QStringLiteral("切断"));
        Log(name + QStringLiteral(": 接続成功"));
    } else {
        GetConnectButton(index)->setText(QStringLiteral("接続"));
        Log(name + QStringLiteral(": 切断"));
    }
}

void MainWindow::PortComboChange(int index) {
    QComboBox* combo = GetPortCombo(index);
    RefreshPortNameCache();
    if (updatingPortList_ || combo->currentIndex() < 0) {
        return;
    }
    const std::string text = combo->currentText().toStdString();
    preferredPorts_[index] = text;
    StopPlayback();
    CommPortDriver& driver = GetPortDriver(index);
    if (driver.Connected()) {
        driver.Disconnect();
    }
    if (!driver.Connected()) {
        driver.SetPortName(platform::SerialPortPath(text));
        GetConnectButton(index)->setText(QStringLiteral("接続"));
    }
}

void MainWindow::ResumePausedPolling() {
    for (int i = 0; i < 2; ++i) {
        if (serialInputPaused_[i]) {
            GetPortDriver(i).ContinuePolling();
            serialInputPaused_[i] = false;
        }
    }
}

void MainWindow::StopPlayback() {
    if (stoppingPlayback_) {
        return;
    }
    stoppingPlayback_ = true;
    Finally done([this] {
        indexes_.playing = -1;
        indexes_.next = -1;
        RepaintPlaylist();
        stoppingPlayback_ = false;
    });
    if (playerThread_) {
        playerThread_->Stop();
        // The thread may be waiting for a display call: keep serving them.
        while (!playerThread_->WaitFor(10)) {
            calls_.ServePending();
        }
        calls_.ServePending();
        playerThread_.reset();
    }
    ResumePausedPolling();
}

void MainWindow::PlaybackTimerTick() {
    if (stoppingPlayback_) {
        return;
    }
    // A port that vanished while idle; ports in use by playback are checked
    // by the playback thread through its own failures.
    for (int i = 0; i < 2; ++i) {
        CommPortDriver& driver = GetPortDriver(i);
        if (driver.Connected() && driver.IsPolling() && !serialInputPaused_[i]) {
            if (!platform::SerialPortPresent(driver.Handle())) {
                HandleConnectionLost(i);
                return;
            }
        }
    }

    if (!playerThread_) {
        return;
    }
    if (playerThread_->Finished()) {
        const int next = (playerThread_->PlaybackCompleted() && playerThread_->PlaybackError().empty())
                             ? indexes_.next
                             : -1;
        StopPlayback();
        if (next >= 0 && next < playlistView_->topLevelItemCount()) {
            PlayPlaylistIndex(next);
        }
        return;
    }
    timeLabel_->setText(QString::fromStdString(FormatPlaybackTime(playerThread_->PositionMS())));
}

void MainWindow::HandleConnectionLost(int index) {
    playbackTimer_->stop();
    Finally restart([this] { playbackTimer_->start(); });
    StopPlayback();
    GetPortDriver(index).Disconnect();
    GetConnectButton(index)->setText(QStringLiteral("接続"));
    timeLabel_->setText(QStringLiteral("00:00.00"));
    samplesLabel_->setText(QStringLiteral("0"));
    Log(QStringLiteral("接続%1の切断を検出しました。VGM送出を停止しました。").arg(index + 1));
    ScanComPorts();
}

// --- session ----------------------------------------------------------------

void MainWindow::RestoreSession() {
    try {
        KLINKSessionState state;
        if (!LoadSession(SessionFilePath(), state)) {
            return;
        }
        preferredPorts_[0] = state.comPort;
        preferredPorts_[1] = state.comPort2;
        repeatCombo_->setCurrentIndex(state.repeatIndex);
        fadeCombo_->setCurrentIndex(state.fadeIndex);

        playlistView_->setUpdatesEnabled(false);
        playlistView_->clear();
        for (const KLINKSessionTrack& track : state.playlist) {
            auto* item = new QTreeWidgetItem(playlistView_);
            item->setText(0, QString::fromStdString(track.title));
            item->setText(1, QString::fromStdString(track.gameName));
            item->setText(2, QString::fromStdString(track.path));
        }
        playlistView_->setUpdatesEnabled(true);

        lastPlayedPath_ = QString::fromStdString(state.lastTrackPath);
        indexes_.last = -1;
        const int rows = playlistView_->topLevelItemCount();
        if (state.lastTrackIndex >= 0 && state.lastTrackIndex < rows &&
            RowPath(playlistView_->topLevelItem(state.lastTrackIndex))
                    .compare(lastPlayedPath_, Qt::CaseInsensitive) == 0) {
            indexes_.last = state.lastTrackIndex;
        }
        const int mark = indexes_.last >= 0 ? indexes_.last : state.selectedIndex;
        if (mark >= 0 && mark < rows) {
            playlistView_->setCurrentItem(playlistView_->topLevelItem(mark));
        }
        if (!lastPlayedPath_.isEmpty()) {
            filePathEdit_->setText(lastPlayedPath_);
            openDialog_->selectFile(lastPlayedPath_);
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
    state.comPort = portCombos_[0]->currentIndex() >= 0 ? portCombos_[0]->currentText().toStdString()
                                                        : preferredPorts_[0];
    state.comPort2 = portCombos_[1]->currentIndex() >= 0 ? portCombos_[1]->currentText().toStdString()
                                                         : preferredPorts_[1];
    state.repeatIndex = repeatCombo_->currentIndex();
    state.fadeIndex = fadeCombo_->currentIndex();
    state.lastTrackPath = lastPlayedPath_.toStdString();
    state.lastTrackIndex = indexes_.last;
    if (QTreeWidgetItem* focused = playlistView_->currentItem()) {
        state.selectedIndex = playlistView_->indexOfTopLevelItem(focused);
    }
    for (int i = 0; i < playlistView_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = playlistView_->topLevelItem(i);
        state.playlist.push_back(KLINKSessionTrack{item->text(2).toStdString(), item->text(0).toStdString(),
                                                   item->text(1).toStdString()});
    }
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
    SaveSession(SessionFilePath(), state);
}

// --- PlayerHost --------------------------------------------------------------

void MainWindow::Synchronize(const std::function<void()>& call) { calls_.Call(call); }

bool MainWindow::PortConnected(int index) const { return drivers_[index == 0 ? 0 : 1].Connected(); }

platform::OSHandle MainWindow::PortHandle(int index) const { return drivers_[index == 0 ? 0 : 1].Handle(); }

std::string MainWindow::PortName(int index) const {
    std::lock_guard lock(portNameLock_);
    return portNames_[index == 0 ? 0 : 1];
}

void MainWindow::AppendLog(const std::string& line) { Log(QString::fromStdString(line)); }

void MainWindow::ClearHeaderAndTags() {
    for (std::string_view name : VGMDisplay::kNames) {
        const QString objectName = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
        if (auto* edit = findChild<QLineEdit*>(objectName)) {
            edit->clear();
        } else if (auto* label = findChild<QLabel*>(objectName)) {
            label->clear();
        }
    }
    for (QLineEdit* edit : tagEdits_) {
        edit->clear();
    }
    notesEdit_->clear();
}

void MainWindow::ShowHeader(const VGMDisplay& display) {
    for (size_t i = 0; i < kVGMDisplayFieldCount; ++i) {
        const std::string_view name = VGMDisplay::kNames[i];
        const QString objectName = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
        const QString text = QString::fromStdString(display.texts[i]);
        if (auto* edit = findChild<QLineEdit*>(objectName)) {
            edit->setText(text);
        } else if (auto* label = findChild<QLabel*>(objectName)) {
            label->setText(text);
        }
    }
}

void MainWindow::ShowTags(const GD3Strings& gd3) {
    for (size_t i = 0; i < tagEdits_.size(); ++i) {
        tagEdits_[i]->setText(QString::fromStdString(UTF16ToUTF8(gd3[i])));
    }
    // The notes keep their CR LF line breaks in the tag; the editor wants LF.
    QString notes = QString::fromStdString(UTF16ToUTF8(gd3[10]));
    notes.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    notesEdit_->setPlainText(notes);
}

void MainWindow::SetFilePath(const std::string& path) {
    filePathEdit_->setText(QString::fromStdString(path));
}

void MainWindow::SetOpenDialogHints(const std::string& fileName, const std::string& folder) {
    openDialog_->setDirectory(QString::fromStdString(folder));
    openDialog_->selectFile(QString::fromStdString(fileName));
}

// --- drops from the file manager off the list ---------------------------------

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
    const bool onList =
        playlistView_->isVisible() &&
        QRect(playlistView_->mapToGlobal(QPoint(0, 0)), playlistView_->size()).contains(global);
    Guard([&] { HandleDroppedFiles(files, onList); });
}

}  // namespace klink
