// The main window on the offscreen platform: playlist rules on real rows,
// playback control against stand-in runs, connections against simulated
// boards, the session, and (when the playback thread is built) real
// playback on simulated boards.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "SimBoard.h"
#include "common/Errors.h"
#include "player/PlayerHost.h"
#include "ui/ConnectionController.h"
#include "ui/KLINKSession.h"
#include "ui/MainWindow.h"
#include "ui/PlaybackController.h"
#include "ui/PlaylistModel.h"
#include "ui/PlaylistPanel.h"
#include "ui/PlaylistView.h"
#include "ui/PortComboBox.h"

using namespace klink;

namespace {

// A run the test finishes by hand.
struct FakeRunState {
    std::string file;
    int32_t repeat = 0;
    int32_t fade = 0;
    PlaybackTiming timing = PlaybackTiming::kHost;
    bool started = false;
    bool stopCalled = false;
    std::atomic<bool> finished{false};
    bool completed = false;
    std::string error;
    std::atomic<int32_t> position{0};
};

class FakeRun final : public PlaybackRun {
public:
    explicit FakeRun(std::shared_ptr<FakeRunState> state) : state_(std::move(state)) {}
    void Start() override { state_->started = true; }
    void Stop() noexcept override {
        state_->stopCalled = true;
        state_->finished = true;
    }
    [[nodiscard]] bool Finished() const noexcept override { return state_->finished; }
    bool WaitFor(uint32_t) override { return state_->finished; }
    [[nodiscard]] int32_t PositionMS() const noexcept override { return state_->position; }
    [[nodiscard]] bool PlaybackCompleted() const noexcept override { return state_->completed; }
    [[nodiscard]] std::string PlaybackError() const override { return state_->error; }

private:
    std::shared_ptr<FakeRunState> state_;
};

// A run on a thread of its own that keeps asking the host for display calls
// until it is stopped: the shape that deadlocks a stop that does not serve them.
class ChattyRun final : public PlaybackRun {
public:
    explicit ChattyRun(PlayerHost& host) : host_(host) {}
    ~ChattyRun() override {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void Start() override {
        thread_ = std::thread([this] {
            while (!stop_) {
                host_.Synchronize([this] { host_.AppendLog("tick"); });
                ++calls;
            }
            host_.Synchronize([this] { host_.AppendLog("last call while stopping"); });
            done_ = true;
        });
    }
    void Stop() noexcept override { stop_ = true; }
    [[nodiscard]] bool Finished() const noexcept override { return done_; }
    bool WaitFor(uint32_t timeoutMs) override {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done_ && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        return done_;
    }
    [[nodiscard]] int32_t PositionMS() const noexcept override { return 0; }
    [[nodiscard]] bool PlaybackCompleted() const noexcept override { return false; }
    [[nodiscard]] std::string PlaybackError() const override { return {}; }
    std::atomic<int> calls{0};

private:
    PlayerHost& host_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

QString Sample(const char* name) {
    return QStringLiteral(KLINK_SOURCE_DIR "/samples/") + QString::fromLatin1(name);
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir config_;
    QTemporaryDir runtime_;
    std::vector<std::shared_ptr<FakeRunState>> runs_;

    PlaybackFactory FakeFactory() {
        return [this](PlayerHost&, const std::string& file, int32_t repeat, int32_t fade,
                      PlaybackTiming timing) {
            auto state = std::make_shared<FakeRunState>();
            state->file = file;
            state->repeat = repeat;
            state->fade = fade;
            state->timing = timing;
            runs_.push_back(state);
            return std::make_unique<FakeRun>(state);
        };
    }
    std::unique_ptr<MainWindow> NewForm(PlaybackFactory factory = {}) {
        auto form = std::make_unique<MainWindow>(factory ? std::move(factory) : FakeFactory());
        // The timer is driven by hand in these tests.
        form->Playback().PlaybackTimer()->stop();
        return form;
    }
    static PlaylistModel& Model(const MainWindow& form) { return form.Playlist().Model(); }
    static PlaylistView* View(const MainWindow& form) { return form.Playlist().View(); }
    static int RowCount(const MainWindow& form) { return Model(form).Count(); }
    static QString Text(const MainWindow& form, int row, int column) {
        return Model(form).data(Model(form).index(row, column), Qt::DisplayRole).toString();
    }
    static void SetText(const MainWindow& form, int row, int column, const QString& text) {
        QVERIFY(Model(form).setData(Model(form).index(row, column), text, Qt::EditRole));
    }
    static void AddRows(MainWindow& form, int count) {
        QStringList files;
        for (int i = 0; i < count; ++i) {
            form.Playlist().AddPlaylistFile(Sample("demo_ym2151.vgm"));
            SetText(form, i, 0, QString::number(i));
        }
    }
    static QStringList Titles(const MainWindow& form) {
        QStringList titles;
        for (int i = 0; i < RowCount(form); ++i) {
            titles << Text(form, i, 0);
        }
        return titles;
    }
    static void Select(MainWindow& form, const QList<int>& rows) {
        QItemSelectionModel* selection = View(form)->selectionModel();
        selection->clearSelection();
        for (int row : rows) {
            selection->select(Model(form).index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    static int CurrentRow(const MainWindow& form) {
        const QModelIndex current = View(form)->selectionModel()->currentIndex();
        return current.isValid() ? current.row() : -1;
    }
    static QString Log(const MainWindow& form) {
        return form.findChild<QPlainTextEdit*>(QStringLiteral("memLog"))->toPlainText();
    }
    static bool RowIsHighlighted(const MainWindow& form, int row) {
        return Model(form).data(Model(form).index(row, 0), Qt::BackgroundRole).value<QBrush>().color() ==
               QColor(220, 240, 220);
    }
    QString SessionFile() const { return config_.path() + QStringLiteral("/KLINKdev/session.json"); }

private slots:
    void initTestCase() {
        // Never the real ~/.config, and a private folder for simulated ports.
        QVERIFY(config_.isValid());
        QVERIFY(runtime_.isValid());
        QFile::setPermissions(runtime_.path(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", runtime_.path().toUtf8());
    }
    void init() {
        runs_.clear();
        QFile::remove(SessionFile());
    }

    void controlsHaveTheirNamesAndTexts() {
        auto form = NewForm();
        QCOMPARE(form->windowTitle(), QStringLiteral("KLINK Dev tool"));
        QCOMPARE(form->width(), MainWindow::kClientWidth);
        QCOMPARE(form->findChild<QPushButton*>(QStringLiteral("btnConnect"))->text(), QStringLiteral("接続"));
        QCOMPARE(form->findChild<QPushButton*>(QStringLiteral("Button1"))->text(), QStringLiteral("接続"));
        QCOMPARE(form->findChild<QPushButton*>(QStringLiteral("btnRefresh"))->text(),
                 QStringLiteral("再スキャン"));
        QCOMPARE(form->findChild<QPushButton*>(QStringLiteral("Button3"))->text(),
                 QStringLiteral("ファイルを開く(&O)"));
        QCOMPARE(form->findChild<QLabel*>(QStringLiteral("lblTime"))->text(), QStringLiteral("00:00.00"));
        QCOMPARE(form->findChild<QComboBox*>(QStringLiteral("cmbRepeatNum"))->currentIndex(), 0);
        QCOMPARE(form->findChild<QComboBox*>(QStringLiteral("cmbFadeout"))->currentText(),
                 QStringLiteral("10秒"));
        for (const char* name : {"actPlay", "actDelete", "actCopyPath"}) {
            QVERIFY2(!form->findChild<QAction*>(QString::fromLatin1(name))->isEnabled(), name);
        }
        QStringList headers;
        for (int c = 0; c < 3; ++c) {
            headers << Model(*form).headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        }
        QCOMPARE(headers, (QStringList{QStringLiteral("タイトル"), QStringLiteral("ゲーム名"),
                                       QStringLiteral("パス")}));
        for (int i = 1; i <= 10; ++i) {
            QVERIFY(form->findChild<QLineEdit*>(QStringLiteral("Edit%1").arg(i)) != nullptr);
        }
    }

    void repeatAndFadeReachTheRun_data() {
        QTest::addColumn<int>("repeatItem");
        QTest::addColumn<int>("fadeItem");
        QTest::addColumn<int>("repeat");
        QTest::addColumn<int>("fade");
        QTest::newRow("1, none") << 0 << 0 << 1 << 0;
        QTest::newRow("2, 1 s") << 1 << 1 << 2 << 1;
        QTest::newRow("3, 3 s") << 2 << 2 << 3 << 3;
        QTest::newRow("4, 5 s") << 3 << 3 << 4 << 5;
        QTest::newRow("5, 10 s") << 4 << 4 << 5 << 10;
        QTest::newRow("endless, 15 s") << 5 << 5 << 0 << 15;
    }
    void repeatAndFadeReachTheRun() {
        QFETCH(int, repeatItem);
        QFETCH(int, fadeItem);
        QFETCH(int, repeat);
        QFETCH(int, fade);
        auto form = NewForm();
        form->findChild<QComboBox*>(QStringLiteral("cmbRepeatNum"))->setCurrentIndex(repeatItem);
        form->findChild<QComboBox*>(QStringLiteral("cmbFadeout"))->setCurrentIndex(fadeItem);
        form->Playback().RequestPlay(Sample("demo_ym2151.vgm"), -1);
        QCOMPARE(runs_.size(), size_t{1});
        QCOMPARE(runs_[0]->repeat, repeat);
        QCOMPARE(runs_[0]->fade, fade);
        QVERIFY(runs_[0]->started);
    }

    // The playlist menu's timing items: auto at first, one checked, the
    // choice reaching the next run and kept in the session.
    void timingChoiceReachesTheRunAndTheSession() {
        {
            auto form = NewForm();
            QCOMPARE(form->Playlist().Timing(), PlaybackTiming::kAuto);
            QVERIFY(form->findChild<QAction*>(QStringLiteral("timing_auto"))->isChecked());
            form->findChild<QAction*>(QStringLiteral("timing_host"))->trigger();
            QVERIFY(!form->findChild<QAction*>(QStringLiteral("timing_auto"))->isChecked());
            form->Playback().RequestPlay(Sample("demo_ym2151.vgm"), -1);
            QCOMPARE(runs_.back()->timing, PlaybackTiming::kHost);
            form->findChild<QAction*>(QStringLiteral("timing_board"))->trigger();
            form->Playback().RequestPlay(Sample("demo_ym2151.vgm"), -1);
            QCOMPARE(runs_.back()->timing, PlaybackTiming::kBoard);
        }  // closing saves
        const std::optional<KLINKSessionState> state = LoadSession(SessionFile().toStdString());
        QVERIFY(state.has_value());
        QCOMPARE(state->timing, std::string("board"));
        auto again = NewForm();
        QCOMPARE(again->Playlist().Timing(), PlaybackTiming::kBoard);
    }

    // How a track ends decides whether the next row plays.
    void advanceAfterATrack_data() {
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<bool>("advances");
        QTest::newRow("completed") << QStringLiteral("completed") << true;
        QTest::newRow("failed") << QStringLiteral("failed") << false;
        QTest::newRow("completed, then stop failed") << QStringLiteral("stop-failed") << false;
        QTest::newRow("stopped by the user") << QStringLiteral("stopped") << false;
        QTest::newRow("endless, still playing") << QStringLiteral("endless") << false;
    }
    void advanceAfterATrack() {
        QFETCH(QString, outcome);
        QFETCH(bool, advances);
        auto form = NewForm();
        AddRows(*form, 3);
        form->Playback().PlayPlaylistIndex(0);
        QCOMPARE(runs_.size(), size_t{1});
        QCOMPARE(form->Playback().PlaylistIndex(), 0);
        QCOMPARE(form->Playback().NextPlaylistIndex(), 1);
        QVERIFY(RowIsHighlighted(*form, 0));
        FakeRunState& run = *runs_[0];
        if (outcome == QStringLiteral("completed")) {
            run.completed = true;
            run.finished = true;
        } else if (outcome == QStringLiteral("failed")) {
            run.error = "Reply time-out.";
            run.finished = true;
        } else if (outcome == QStringLiteral("stop-failed")) {
            run.completed = true;
            run.error = "KLINK stop failed: x";
            run.finished = true;
        } else if (outcome == QStringLiteral("stopped")) {
            form->Playback().StopPlayback();
        } else {
            run.position = 6'000'000;
        }
        form->Playback().PlaybackTimerTick();
        form->Playback().PlaybackTimerTick();
        if (advances) {
            QCOMPARE(runs_.size(), size_t{2});
            QCOMPARE(form->Playback().PlaylistIndex(), 1);
            QVERIFY(RowIsHighlighted(*form, 1));
            QVERIFY(!RowIsHighlighted(*form, 0));
        } else {
            QCOMPARE(runs_.size(), size_t{1});
        }
        if (outcome == QStringLiteral("endless")) {
            QVERIFY(form->Playback().HasPlayerThread());
            QCOMPARE(form->findChild<QLabel*>(QStringLiteral("lblTime"))->text(),
                     QStringLiteral("100:00.00"));
        }
    }

    void lastRowCompletesAndPlaybackStops() {
        auto form = NewForm();
        AddRows(*form, 2);
        form->Playback().PlayPlaylistIndex(1);
        runs_[0]->completed = true;
        runs_[0]->finished = true;
        form->Playback().PlaybackTimerTick();
        QCOMPARE(runs_.size(), size_t{1});
        QVERIFY(!form->Playback().HasPlayerThread());
        QCOMPARE(form->Playback().PlaylistIndex(), -1);
        QVERIFY(!RowIsHighlighted(*form, 1));
        QCOMPARE(form->Playback().LastPlaylistIndex(), 1);
    }

    void openedFileIsNotAddedAndHasNoNext() {
        auto form = NewForm();
        AddRows(*form, 2);
        form->Playback().RequestPlay(Sample("demo_sn76489.vgm"), -1);
        QCOMPARE(runs_.size(), size_t{1});
        QCOMPARE(RowCount(*form), 2);
        QCOMPARE(form->Playback().PlaylistIndex(), -1);
        QCOMPARE(form->Playback().NextPlaylistIndex(), -1);
        QCOMPARE(form->Playback().LastPlaylistIndex(), -1);
        QCOMPARE(form->Playback().LastPlayedPath(), Sample("demo_sn76489.vgm"));
        runs_[0]->completed = true;
        runs_[0]->finished = true;
        form->Playback().PlaybackTimerTick();
        QCOMPARE(runs_.size(), size_t{1});
    }

    void playNeedsOneSelectedRowAndAPlayableName() {
        auto form = NewForm();
        AddRows(*form, 3);
        Select(*form, {0, 1});
        form->Playback().PlaylistDoubleClick();  // Enter does the same
        QVERIFY(runs_.empty());
        Select(*form, {2});
        form->Playback().PlaylistDoubleClick();
        QCOMPARE(runs_.size(), size_t{1});
        QCOMPARE(form->Playback().PlaylistIndex(), 2);

        form->Playback().RequestPlay(QStringLiteral("/music/readme.txt"), -1);
        QCOMPARE(runs_.size(), size_t{1});  // ignored, without a message
        QVERIFY(form->Playback().HasPlayerThread());
    }

    void aNewPlayRequestStopsTheRunningTrackWithoutAdvance() {
        auto form = NewForm();
        AddRows(*form, 3);
        form->Playback().PlayPlaylistIndex(0);
        form->Playback().PlayPlaylistIndex(2);
        QCOMPARE(runs_.size(), size_t{2});
        QVERIFY(runs_[0]->stopCalled);
        QCOMPARE(form->Playback().PlaylistIndex(), 2);
        QCOMPARE(form->Playback().NextPlaylistIndex(), 3);
    }

    void stopKeepsServingTheThreadsCalls() {
        ChattyRun* chatty = nullptr;
        auto form =
            NewForm([&chatty](PlayerHost& host, const std::string&, int32_t, int32_t, PlaybackTiming) {
                auto run = std::make_unique<ChattyRun>(host);
                chatty = run.get();
                return run;
            });
        form->Playback().RequestPlay(Sample("demo_ym2151.vgm"), -1);
        QVERIFY(chatty != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(chatty->calls > 3, 10000);
        form->Playback().StopPlayback();  // would hang if the calls were not served while waiting
        QVERIFY(!form->Playback().HasPlayerThread());
        QVERIFY(Log(*form).contains(QStringLiteral("last call while stopping")));
    }

    void synchronizeRunsOnTheGUIThreadAndPassesFailuresBack() {
        auto form = NewForm();
        std::atomic<bool> done{false};
        Qt::HANDLE ranOn = nullptr;
        std::string caught;
        std::thread thread([&] {
            form->Playback().Synchronize([&] { ranOn = QThread::currentThreadId(); });
            try {
                form->Playback().Synchronize([] { throw ReadError("Invalid VGM signature."); });
            } catch (const ReadError& e) {
                caught = e.what();
            }
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 10000);
        thread.join();
        QCOMPARE(ranOn, QThread::currentThreadId());
        QCOMPARE(caught, std::string("Invalid VGM signature."));
    }

    void draggingRowsMovesThemAsABlock_data() {
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<int>("targetRow");
        QTest::addColumn<bool>("lowerHalf");
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<int>("playing");
        QTest::newRow("playing row to the end keeps its highlight")
            << QList<int>{1} << 4 << true << QStringList{"0", "2", "3", "4", "1"} << 4;
        QTest::newRow("two rows above the playing row")
            << QList<int>{3, 4} << 0 << false << QStringList{"3", "4", "0", "1", "2"} << 3;
        QTest::newRow("onto a selected row changes nothing")
            << QList<int>{1, 2} << 2 << false << QStringList{"0", "1", "2", "3", "4"} << 1;
        QTest::newRow("below the last row")
            << QList<int>{0} << -1 << false << QStringList{"1", "2", "3", "4", "0"} << 0;
    }
    void draggingRowsMovesThemAsABlock() {
        QFETCH(QList<int>, selected);
        QFETCH(int, targetRow);
        QFETCH(bool, lowerHalf);
        QFETCH(QStringList, order);
        QFETCH(int, playing);
        auto form = NewForm();
        form->resize(MainWindow::kClientWidth, 900);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        AddRows(*form, 5);
        form->Playback().PlayPlaylistIndex(1);
        Select(*form, selected);
        View(*form)->selectionModel()->setCurrentIndex(Model(*form).index(selected.front(), 0),
                                                       QItemSelectionModel::NoUpdate);
        QPoint pos;
        if (targetRow < 0) {
            const QRect last = View(*form)->visualRect(Model(*form).index(4, 0));
            pos = QPoint(last.center().x(), last.bottom() + 20);
        } else {
            const QRect r = View(*form)->visualRect(Model(*form).index(targetRow, 0));
            pos = QPoint(r.center().x(), lowerHalf ? r.bottom() - 1 : r.top() + 1);
        }
        form->Playlist().PlaylistDragDrop(pos);
        QCOMPARE(Titles(*form), order);
        QCOMPARE(form->Playback().PlaylistIndex(), playing);
        QCOMPARE(form->Playback().NextPlaylistIndex(), playing + 1);
        QVERIFY(RowIsHighlighted(*form, playing));
        // The moved rows stay selected, and the focused row follows its row.
        QStringList selectedTitles;
        for (const QModelIndex& index : View(*form)->selectionModel()->selectedRows()) {
            selectedTitles << Text(*form, index.row(), 0);
        }
        selectedTitles.sort();
        QStringList expected;
        for (int row : selected) {
            expected << QString::number(row);
        }
        QCOMPARE(selectedTitles, expected);
        QCOMPARE(Text(*form, CurrentRow(*form), 0), QString::number(selected.front()));
    }

    void deletingRowsKeepsTheIndexesOnTheirTracks() {
        auto form = NewForm();
        AddRows(*form, 5);
        form->Playback().PlayPlaylistIndex(3);
        Select(*form, {0, 1});
        form->Playlist().DeleteActionUpdate();
        QVERIFY(form->findChild<QAction*>(QStringLiteral("actDelete"))->isEnabled());
        form->Playlist().DeleteActionExecute();
        QCOMPARE(Titles(*form), (QStringList{"2", "3", "4"}));
        QCOMPARE(form->Playback().PlaylistIndex(), 1);
        QCOMPARE(form->Playback().NextPlaylistIndex(), 2);
        QCOMPARE(form->Playback().LastPlaylistIndex(), 1);
        QVERIFY(RowIsHighlighted(*form, 1));

        // Deleting the playing row keeps playing, without a highlight; the row
        // after it stays next.
        Select(*form, {1});
        form->Playlist().DeleteActionExecute();
        QVERIFY(form->Playback().HasPlayerThread());
        QCOMPARE(form->Playback().PlaylistIndex(), -1);
        QCOMPARE(form->Playback().NextPlaylistIndex(), 1);
        QCOMPARE(Titles(*form), (QStringList{"2", "4"}));
        runs_.back()->completed = true;
        runs_.back()->finished = true;
        form->Playback().PlaybackTimerTick();
        QCOMPARE(runs_.size(), size_t{2});
        QCOMPARE(runs_.back()->file, Sample("demo_ym2151.vgm").toStdString());
        QCOMPARE(form->Playback().PlaylistIndex(), 1);
    }

    void copyPathsOfTheSelectedRows() {
        auto form = NewForm();
        AddRows(*form, 3);
        SetText(*form, 0, 2, QStringLiteral("/a.vgm"));
        SetText(*form, 1, 2, QString());
        SetText(*form, 2, 2, QStringLiteral("/c.vgz"));
        QApplication::clipboard()->setText(QStringLiteral("before"));
        Select(*form, {0, 1, 2});
        form->Playlist().CopyPathActionExecute();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("/a.vgm\r\n/c.vgz"));
        // Only rows without a path: the clipboard is left alone.
        QApplication::clipboard()->setText(QStringLiteral("before"));
        Select(*form, {1});
        form->Playlist().CopyPathActionExecute();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));
    }

    void droppedFiles() {
        QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/folder.vgm");
        QDir().mkpath(folder);
        QFile text(dir.path() + QStringLiteral("/notes.txt"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.close();
        QFile broken(dir.path() + QStringLiteral("/broken.VGM"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("not a vgm file");
        broken.close();

        auto form = NewForm();
        // On the list: only added; the same file twice gives two rows.
        form->HandleDroppedFiles({Sample("demo_ym2151.vgm"), folder, text.fileName(),
                                  dir.path() + "/missing.vgm", Sample("demo_ym2151.vgm")},
                                 true);
        QCOMPARE(RowCount(*form), 2);
        QCOMPARE(Text(*form, 0, 0), QStringLiteral("YM2151 デモ曲"));
        QCOMPARE(Text(*form, 0, 1), QStringLiteral("KLINKdev デモ曲集"));
        QVERIFY(runs_.empty());

        // Off the list: added in order, and the first of them plays.
        form->HandleDroppedFiles({broken.fileName(), Sample("demo_sn76489.vgm")}, false);
        QCOMPARE(RowCount(*form), 4);
        QCOMPARE(Text(*form, 2, 0), QStringLiteral("broken.VGM"));
        QCOMPARE(Text(*form, 2, 1), QString());
        QVERIFY(Log(*form).contains(QStringLiteral("GD3 [broken.VGM]: ")));
        QCOMPARE(runs_.size(), size_t{1});
        QCOMPARE(form->Playback().PlaylistIndex(), 2);
        QCOMPARE(form->Playback().NextPlaylistIndex(), 3);
    }

    void connectRefusals() {
        auto form = NewForm();
        // Nothing to select: a scan found no port (skip when the machine has real ports).
        form->Connections().ScanComPorts();
        if (form->Connections().GetPortCombo(0)->count() == 0) {
            form->Connections().ConnectButtonClick(0);
            QVERIFY(Log(*form).endsWith(QStringLiteral("使用可能なCOMポートを選択してください。")));
            QVERIFY(form->Connections().GetPortDriver(0).PortName().empty());
        }

        sim::SimBoardOptions options;
        options.publish = true;
        auto board = sim::SimBoard::Start("Keltra 3", options);
        form->Connections().ScanComPorts();
        const QString name = QString::fromStdString(board->PortName());
        const int item = form->Connections().GetPortCombo(0)->findText(name);
        QVERIFY(item >= 0);
        QCOMPARE(form->Connections().GetPortCombo(1)->findText(name), item);  // both list the same ports
        form->Connections().GetPortCombo(0)->setCurrentIndex(item);
        form->Connections().ConnectButtonClick(0);
        QVERIFY(form->Connections().GetPortDriver(0).Connected());
        QCOMPARE(form->Connections().GetConnectButton(0)->text(), QStringLiteral("切断"));
        QVERIFY(Log(*form).endsWith(name + QStringLiteral(": 接続成功")));

        form->Connections().GetPortCombo(1)->setCurrentIndex(item);
        form->Connections().ConnectButtonClick(1);
        QVERIFY(!form->Connections().GetPortDriver(1).Connected());
        QVERIFY(Log(*form).endsWith(QStringLiteral("同じCOMポートへ重複接続できません。")));

        // Disconnect.
        form->Connections().ConnectButtonClick(0);
        QVERIFY(!form->Connections().GetPortDriver(0).Connected());
        QCOMPARE(form->Connections().GetConnectButton(0)->text(), QStringLiteral("接続"));
        QVERIFY(Log(*form).endsWith(name + QStringLiteral(": 切断")));
    }

    void vanishedBoardIsDetectedWithinATick() {
        auto form = NewForm();
        sim::SimBoardOptions options;
        options.publish = true;
        auto board = sim::SimBoard::Start("Keltra 3", options);
        form->Connections().ScanComPorts();
        form->Connections().GetPortCombo(0)->setCurrentIndex(
            form->Connections().GetPortCombo(0)->findText(QString::fromStdString(board->PortName())));
        form->Connections().ConnectButtonClick(0);
        QVERIFY(form->Connections().GetPortDriver(0).Connected());
        form->Playback().PlaybackTimerTick();
        QVERIFY(form->Connections().GetPortDriver(0).Connected());

        // While a track plays, the port belongs to the playback thread and
        // the window does not check it.
        form->Playback().RequestPlay(Sample("demo_ym2151.vgm"), -1);
        QVERIFY(!form->Connections().GetPortDriver(0).IsPolling());
        board.reset();  // the board goes away
        form->Playback().PlaybackTimerTick();
        QVERIFY(form->Connections().GetPortDriver(0).Connected());
        QVERIFY(!Log(*form).contains(QStringLiteral("切断を検出")));

        // Idle again: the next tick finds it gone.
        form->Playback().StopPlayback();
        QVERIFY(form->Connections().GetPortDriver(0).IsPolling());
        form->Playback().PlaybackTimerTick();
        QVERIFY(!form->Connections().GetPortDriver(0).Connected());
        QCOMPARE(form->Connections().GetConnectButton(0)->text(), QStringLiteral("接続"));
        QVERIFY(Log(*form).endsWith(QStringLiteral("接続1の切断を検出しました。VGM送出を停止しました。")));
        QVERIFY(form->Playback().PlaybackTimer()->isActive());  // enabled again afterwards
    }

    void sessionRestoreMarksTheRightRow_data() {
        QTest::addColumn<int>("lastIndex");
        QTest::addColumn<QString>("lastPath");
        QTest::addColumn<int>("selectedIndex");
        QTest::addColumn<int>("lastRow");
        QTest::addColumn<int>("marked");
        QTest::newRow("last track matches") << 2 << QStringLiteral("/m/C.VGM") << 0 << 2 << 2;
        QTest::newRow("last track row has another path") << 1 << QStringLiteral("/m/c.vgm") << 0 << -1 << 0;
        QTest::newRow("no last track, nothing selected") << -1 << QString() << -1 << -1 << -1;
        QTest::newRow("indexes past the end") << 7 << QStringLiteral("/m/c.vgm") << 9 << -1 << -1;
    }
    void sessionRestoreMarksTheRightRow() {
        QFETCH(int, lastIndex);
        QFETCH(QString, lastPath);
        QFETCH(int, selectedIndex);
        QFETCH(int, lastRow);
        QFETCH(int, marked);
        KLINKSessionState state;
        state.playlist = {{"/m/a.vgm", "A", "G"}, {"/m/b.vgm", "B", ""}, {"/m/c.vgm", "C", ""}};
        state.lastTrackIndex = lastIndex;
        state.lastTrackPath = lastPath.toStdString();
        state.selectedIndex = selectedIndex;
        state.repeatIndex = 5;
        state.fadeIndex = 1;
        state.comPort = "sim-nowhere-1";
        SaveSession(SessionFile().toStdString(), state);

        auto form = NewForm();
        QCOMPARE(Titles(*form), (QStringList{"A", "B", "C"}));
        QCOMPARE(form->Playback().LastPlaylistIndex(), lastRow);
        QCOMPARE(CurrentRow(*form), marked);
        if (marked >= 0) {
            QVERIFY(View(*form)->selectionModel()->isRowSelected(marked));
        }
        QCOMPARE(form->findChild<QComboBox*>(QStringLiteral("cmbRepeatNum"))->currentIndex(), 5);
        QCOMPARE(form->findChild<QComboBox*>(QStringLiteral("cmbFadeout"))->currentIndex(), 1);
        QCOMPARE(form->findChild<QLineEdit*>(QStringLiteral("edtFilePath"))->text(), lastPath);
        QCOMPARE(form->Playback().PlaylistIndex(), -1);
    }

    void sessionRoundTripThroughTheWindow() {
        {
            auto form = NewForm();
            AddRows(*form, 3);
            form->findChild<QComboBox*>(QStringLiteral("cmbFadeout"))->setCurrentIndex(2);
            form->Playback().PlayPlaylistIndex(1);
            form->Playlist().MarkRow(2);
            form->setGeometry(40, 30, MainWindow::kClientWidth, 840);
        }  // closing saves, then stops the run
        QVERIFY(runs_.back()->stopCalled);
        const std::optional<KLINKSessionState> state = LoadSession(SessionFile().toStdString());
        QVERIFY(state.has_value());
        QCOMPARE(state->playlist.size(), size_t{3});
        QCOMPARE(state->lastTrackIndex, 1);
        QCOMPARE(state->selectedIndex, 2);
        QCOMPARE(state->fadeIndex, 2);
        QVERIFY(state->hasWindowBounds);
        QCOMPARE(state->width, MainWindow::kClientWidth);
        QCOMPARE(state->height, 840);

        auto again = NewForm();
        QCOMPARE(Titles(*again), (QStringList{"0", "1", "2"}));
        QCOMPARE(again->Playback().LastPlaylistIndex(), 1);
        // The offscreen screen is small: the height is fitted to it, but never
        // below the minimum.
        const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(again->height(), std::max(std::min(840, work.height()), MainWindow::kClientHeight));
    }

    void damagedSessionIsReportedAndStartupGoesOn() {
        QDir().mkpath(config_.path() + QStringLiteral("/KLINKdev"));
        QFile file(SessionFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"schema":1,"playlist":[{"path":""}]})");
        file.close();
        auto form = NewForm();
        QVERIFY(Log(*form).contains(QStringLiteral("セッション読込エラー: Empty session track path.")));
        QCOMPARE(RowCount(*form), 0);
    }

    void oversizedSavedWindowIsClampedToTheScreen() {
        KLINKSessionState state;
        state.hasWindowBounds = true;
        state.left = 5000;
        state.top = 5000;
        state.width = 9000;
        state.height = 9000;
        SaveSession(SessionFile().toStdString(), state);
        auto form = NewForm();
        const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(form->width(), MainWindow::kClientWidth);
        QCOMPARE(form->height(), std::max(work.height(), MainWindow::kClientHeight));
        QCOMPARE(form->x(), std::max(work.left(), work.right() + 1 - form->width()));
    }

    // The title bar and the bottom edge must stay on screen: the frame, not
    // only the client area, goes into the work area. Needs a screen larger
    // than the window with a frame (the offscreen platform draws a 2 px
    // one): ctest runs it as ui_window_frame_tests on a 1280x1024 screen.
    void restoredWindowKeepsItsFrameInTheWorkArea() {
        const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
        if (work.width() < MainWindow::kClientWidth + 20 || work.height() < MainWindow::kClientHeight + 20) {
            QSKIP("needs a screen larger than the window (ctest: ui_window_frame_tests)");
        }
        KLINKSessionState state;
        state.hasWindowBounds = true;
        // The client area touches the bottom right corner: its frame does not fit.
        state.left = work.right() + 1 - MainWindow::kClientWidth;
        state.top = work.bottom() + 1 - MainWindow::kClientHeight;
        state.width = MainWindow::kClientWidth;
        state.height = MainWindow::kClientHeight;
        SaveSession(SessionFile().toStdString(), state);
        auto form = NewForm();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QTRY_VERIFY(form->frameGeometry() != form->geometry());
        QTRY_VERIFY2(work.contains(form->frameGeometry()),
                     qPrintable(QStringLiteral("frame %1,%2 %3x%4")
                                    .arg(form->frameGeometry().x())
                                    .arg(form->frameGeometry().y())
                                    .arg(form->frameGeometry().width())
                                    .arg(form->frameGeometry().height())));
        QCOMPARE(form->size(), QSize(MainWindow::kClientWidth, MainWindow::kClientHeight));
    }

    // A double-click on the blank space below the rows plays the one
    // selected row, as one on the row itself does.
    void doubleClickInTheListPlaysTheSelectedRow() {
        auto form = NewForm();
        AddRows(*form, 3);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        Select(*form, {1});
        QWidget* viewport = View(*form)->viewport();
        const QRect lastRow = View(*form)->visualRect(Model(*form).index(2, 0));
        const QPoint blank(20, lastRow.bottom() + 20);
        QVERIFY(blank.y() < viewport->height());
        QVERIFY(!View(*form)->indexAt(blank).isValid());
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, blank);
        QCOMPARE(runs_.size(), size_t{1});
        QCOMPARE(QString::fromStdString(runs_[0]->file), Model(*form).Path(1));
        QCOMPARE(form->Playback().PlaylistIndex(), 1);

        // On a row: that row.
        const QPoint onRow = View(*form)->visualRect(Model(*form).index(2, 0)).center();
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, onRow);
        QCOMPARE(runs_.size(), size_t{2});
        QCOMPARE(form->Playback().PlaylistIndex(), 2);

        // Two rows selected: nothing to play.
        Select(*form, {0, 1});
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, blank);
        QCOMPARE(runs_.size(), size_t{2});
    }

    // Beside the time: the track's length from its header with the run's
    // repeat and fade; the sample display follows the position.
    void lengthAndSamplesFollowTheRun() {
        auto form = NewForm();
        form->findChild<QComboBox*>(QStringLiteral("cmbRepeatNum"))->setCurrentIndex(2);  // 3 passes
        form->findChild<QComboBox*>(QStringLiteral("cmbFadeout"))->setCurrentIndex(3);    // 5 s
        form->Playback().RequestPlay(Sample("demo_ym2151.vgm"), -1);
        QCOMPARE(runs_.size(), size_t{1});
        // Changing the selectors during the run does not change its length.
        form->findChild<QComboBox*>(QStringLiteral("cmbRepeatNum"))->setCurrentIndex(0);
        VGMHeaderSummary header;
        header.totalSamples = 441000;  // 10 s
        header.loopOffset = 0x40;
        header.loopSamples = 220500;  // 5 s
        form->Playback().ShowHeader(header);
        auto* length = form->findChild<QLabel*>(QStringLiteral("lblLength"));
        QVERIFY(length != nullptr);
        QCOMPARE(length->text(), QStringLiteral("/ 00:25.00"));
        runs_[0]->position = 1500;
        form->Playback().PlaybackTimerTick();
        QCOMPARE(form->findChild<QLabel*>(QStringLiteral("lblTime"))->text(), QStringLiteral("00:01.50"));
        QCOMPARE(form->findChild<QLabel*>(QStringLiteral("samplesLabel"))->text(), QStringLiteral("66150"));
        form->Playback().ClearHeaderAndTags();
        QCOMPARE(length->text(), QStringLiteral("/ 00:00.00"));
    }

    // A window on a session file of its own (the demo's) neither reads nor
    // writes the user's.
    void ownSessionFileLeavesTheUsersAlone() {
        KLINKSessionState users;
        users.playlist = {{"/m/a.vgm", "A", ""}};
        users.comPort = "ttyUSB0";
        users.repeatIndex = 2;
        SaveSession(SessionFile().toStdString(), users);
        QFile userFile(SessionFile());
        QVERIFY(userFile.open(QIODevice::ReadOnly));
        const QByteArray before = userFile.readAll();
        userFile.close();

        QTemporaryDir own;
        const QString ownFile = own.filePath(QStringLiteral("session.json"));
        {
            auto form = std::make_unique<MainWindow>(FakeFactory(), ownFile.toStdString());
            form->Playback().PlaybackTimer()->stop();
            QCOMPARE(RowCount(*form), 0);
            QCOMPARE(form->findChild<QComboBox*>(QStringLiteral("cmbRepeatNum"))->currentIndex(), 0);
            AddRows(*form, 2);
            form->findChild<QComboBox*>(QStringLiteral("cmbFadeout"))->setCurrentIndex(0);
        }
        QVERIFY(userFile.open(QIODevice::ReadOnly));
        QCOMPARE(userFile.readAll(), before);
        const std::optional<KLINKSessionState> saved = LoadSession(ownFile.toStdString());
        QVERIFY(saved.has_value());
        QCOMPARE(saved->playlist.size(), size_t{2});
        QCOMPARE(saved->fadeIndex, 0);
    }

    // The real playback thread on simulated boards: track after track, and an
    // endless track that never advances by itself.
    void playlistPlaysOnSimulatedBoards() {
        sim::SimBoardOptions options;
        options.publish = true;
        options.keepTrace = false;
        auto kl3 = sim::SimBoard::Start("Keltra 3", options);
        auto kl2 = sim::SimBoard::Start("Keltra 2", options);
        auto form = std::make_unique<MainWindow>(CreateVGMPlayerRun);
        form->Connections().ScanComPorts();
        const std::string names[2] = {kl3->PortName(), kl2->PortName()};
        for (int i = 0; i < 2; ++i) {
            form->Connections().GetPortCombo(i)->setCurrentIndex(
                form->Connections().GetPortCombo(i)->findText(QString::fromStdString(names[i])));
            form->Connections().ConnectButtonClick(i);
            QVERIFY(form->Connections().GetPortDriver(i).Connected());
        }
        form->findChild<QComboBox*>(QStringLiteral("cmbFadeout"))->setCurrentIndex(0);
        form->HandleDroppedFiles({Sample("demo_ym2151.vgm"), Sample("demo_sn76489.vgm")}, false);
        QVERIFY(form->Playback().HasPlayerThread());
        QCOMPARE(form->Playback().PlaylistIndex(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(form->Playback().PlaylistIndex(), 1, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!form->Playback().HasPlayerThread(), 30000);
        QCOMPARE(form->Playback().LastPlaylistIndex(), 1);
        QVERIFY2(!Log(*form).contains(QStringLiteral("エラー")), qPrintable(Log(*form)));
        QCOMPARE(form->findChild<QLineEdit*>(QStringLiteral("Edit2"))->text(),
                 QStringLiteral("SN76489 デモ曲"));
        // Input polling is back on for both boards.
        QVERIFY(form->Connections().GetPortDriver(0).IsPolling());
        QVERIFY(form->Connections().GetPortDriver(1).IsPolling());

        // Endless: still on the first row long after its length, until stopped.
        form->findChild<QComboBox*>(QStringLiteral("cmbRepeatNum"))->setCurrentIndex(5);
        form->Playback().PlayPlaylistIndex(0);
        QTest::qWait(5500);
        QVERIFY(form->Playback().HasPlayerThread());
        QCOMPARE(form->Playback().PlaylistIndex(), 0);
        QVERIFY(form->findChild<QLabel*>(QStringLiteral("lblTime"))->text() >= QStringLiteral("00:05.00"));
        form->Playback().StopPlayback();
        QVERIFY(!form->Playback().HasPlayerThread());
        QCOMPARE(form->Playback().PlaylistIndex(), -1);
        form->Playback().PlaybackTimerTick();
        QVERIFY(!form->Playback().HasPlayerThread());
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
