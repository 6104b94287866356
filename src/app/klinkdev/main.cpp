// klinkdev: the window. Program start creates the main window and runs the
// event loop until it closes; Ctrl+C and SIGTERM close it like its close
// button, so the session is saved.
//
// --selftest-demo FILE...: starts simulated boards in-process, connects them,
// plays the files as a playlist track after track, optionally saves a
// screenshot (--screenshot PNG), and exits 0 when every track completed. It
// runs on a session of its own in a temporary folder: the user's session
// (ports, repeat, fade, playlist) is neither read nor written.
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <vector>

#include "SimBoard.h"
#include "common/Version.h"
#include "platform/TerminationSignals.h"
#include "ui/ConnectionController.h"
#include "ui/MainWindow.h"
#include "ui/PlaybackController.h"
#include "ui/PlaylistModel.h"
#include "ui/PlaylistPanel.h"
#include "ui/PortComboBox.h"

namespace {

using klink::MainWindow;

// Drives the window through a demo run from its own event loop.
class SelfTest : public QObject {
public:
    SelfTest(MainWindow& form, QStringList files, QString screenshot, int timeoutSeconds,
             std::vector<std::string> boardPorts)
        : form_(form),
          files_(std::move(files)),
          screenshot_(std::move(screenshot)),
          timeoutMs_(timeoutSeconds * 1000),
          boardPorts_(std::move(boardPorts)) {
        connect(&timer_, &QTimer::timeout, this, [this] { Step(); });
        connect(&form_.Playback(), &klink::PlaybackController::trackStarted, this,
                [this] { ++tracksPlayed_; });
        timer_.start(100);
    }

    [[nodiscard]] int ExitCode() const noexcept { return exitCode_; }

private:
    void Fail(const QString& why) {
        std::fprintf(stderr, "selftest: FAILED: %s\n", why.toUtf8().constData());
        std::fprintf(stderr, "--- log ---\n%s\n", LogText().toUtf8().constData());
        Finish(1);
    }
    void Finish(int code) {
        exitCode_ = code;
        timer_.stop();
        form_.close();
    }
    [[nodiscard]] QString LogText() const {
        auto* log = form_.findChild<QPlainTextEdit*>(QStringLiteral("memLog"));
        return log ? log->toPlainText() : QString();
    }

    void Step() {
        elapsedMs_ += 100;
        if (elapsedMs_ > timeoutMs_) {
            Fail(QStringLiteral("timed out"));
            return;
        }
        switch (phase_) {
            case 0:
                Start();
                break;
            case 1:
                WaitForPlayback();
                break;
            case 2:
                WaitForEnd();
                break;
            default:
                break;
        }
    }

    void Start() {
        if (!form_.isVisible() || form_.windowTitle() != QStringLiteral("KLINK Dev tool") ||
            form_.width() != MainWindow::kClientWidth || form_.height() < MainWindow::kClientHeight) {
            Fail(QStringLiteral("the window did not appear as expected (%1x%2)")
                     .arg(form_.width())
                     .arg(form_.height()));
            return;
        }
        klink::ConnectionController& connections = form_.Connections();
        connections.ScanComPorts();
        for (int i = 0; i < static_cast<int>(boardPorts_.size()) && i < 2; ++i) {
            klink::PortComboBox* combo = connections.GetPortCombo(i);
            const int item = combo->findText(QString::fromStdString(boardPorts_[static_cast<size_t>(i)]));
            if (item < 0) {
                Fail(QStringLiteral("simulated board %1 is not listed")
                         .arg(QString::fromStdString(boardPorts_[static_cast<size_t>(i)])));
                return;
            }
            combo->setCurrentIndex(item);
            connections.ConnectButtonClick(i);
            if (!connections.GetPortDriver(i).Connected()) {
                Fail(QStringLiteral("connection %1 did not open").arg(i + 1));
                return;
            }
        }
        form_.findChild<QComboBox*>(QStringLiteral("cmbRepeatNum"))->setCurrentIndex(0);
        form_.findChild<QComboBox*>(QStringLiteral("cmbFadeout"))->setCurrentIndex(0);
        form_.HandleDroppedFiles(files_, false);
        phase_ = 1;
    }

    void WaitForPlayback() {
        auto* time = form_.findChild<QLabel*>(QStringLiteral("lblTime"));
        const klink::PlaybackController& playback = form_.Playback();
        if (playback.HasPlayerThread() && time->text() >= QStringLiteral("00:01.50")) {
            if (!screenshot_.isEmpty()) {
                if (!form_.grab().save(screenshot_)) {
                    Fail(QStringLiteral("cannot write %1").arg(screenshot_));
                    return;
                }
                std::printf("selftest: screenshot %s\n", screenshot_.toUtf8().constData());
            }
            phase_ = 2;
        } else if (!playback.HasPlayerThread() && playback.LastPlaylistIndex() < 0) {
            Fail(QStringLiteral("playback did not start"));
        }
    }

    void WaitForEnd() {
        const klink::PlaybackController& playback = form_.Playback();
        if (playback.HasPlayerThread()) {
            return;
        }
        const int last = form_.Playlist().Model().Count() - 1;
        if (playback.LastPlaylistIndex() != last) {
            Fail(QStringLiteral("playback stopped at row %1 of %2")
                     .arg(playback.LastPlaylistIndex())
                     .arg(last + 1));
            return;
        }
        if (LogText().contains(QStringLiteral("エラー"))) {
            Fail(QStringLiteral("the log reports an error"));
            return;
        }
        if (tracksPlayed_ != files_.size()) {
            Fail(QStringLiteral("%1 track(s) played of %2").arg(tracksPlayed_).arg(files_.size()));
            return;
        }
        std::printf("selftest: %lld track(s) played\n", static_cast<long long>(tracksPlayed_));
        Finish(0);
    }

    MainWindow& form_;
    QStringList files_;
    QString screenshot_;
    int timeoutMs_;
    std::vector<std::string> boardPorts_;
    QTimer timer_;
    int elapsedMs_ = 0;
    int phase_ = 0;
    int exitCode_ = 1;
    qsizetype tracksPlayed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("klinkdev"));
    QApplication::setApplicationVersion(QString::fromUtf8(
        klink::kProgramVersion.data(), static_cast<qsizetype>(klink::kProgramVersion.size())));
    // The installed menu entry (klinkdev.desktop) and the window's icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("klinkdev"));
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/klinkdev/klinkdev-%1.png").arg(size), QSize(size, size));
    }
    QApplication::setWindowIcon(icon);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("KLINK Dev tool: plays VGM/VGZ files on Keltra boards."));
    parser.addHelpOption();
    parser.addVersionOption();  // "klinkdev <version>"
    const QCommandLineOption selfTest(
        QStringLiteral("selftest-demo"),
        QStringLiteral(
            "Start simulated boards, play FILE... on them and exit 0 when every track completed."));
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        QStringLiteral("With --selftest-demo: save the window to PNG while playing."), QStringLiteral("PNG"));
    const QCommandLineOption boards(
        QStringLiteral("boards"),
        QStringLiteral(
            "With --selftest-demo: the board models for connection 1 and 2 (default \"Keltra 3,Keltra 2\")."),
        QStringLiteral("MODELS"), QStringLiteral("Keltra 3,Keltra 2"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("With --selftest-demo: give up after SECONDS (default 120)."),
        QStringLiteral("SECONDS"), QStringLiteral("120"));
    parser.addOptions({selfTest, screenshot, boards, timeout});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("VGM/VGZ files for --selftest-demo."),
                                 QStringLiteral("[FILE...]"));
    parser.process(app);

    // The simulated boards outlive the window, which may still hold their ports.
    std::vector<std::unique_ptr<klink::sim::SimBoard>> simBoards;
    std::vector<std::string> boardPorts;
    QStringList files;
    if (parser.isSet(selfTest)) {
        for (const QString& arg : parser.positionalArguments()) {
            files << QFileInfo(arg).absoluteFilePath();
        }
        if (files.isEmpty()) {
            std::fprintf(stderr, "klinkdev: --selftest-demo needs at least one VGM file\n");
            return 2;
        }
        try {
            for (const QString& model : parser.value(boards).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                klink::sim::SimBoardOptions options;
                options.publish = true;
                options.keepTrace = false;
                simBoards.push_back(klink::sim::SimBoard::Start(model.trimmed().toStdString(), options));
                boardPorts.push_back(simBoards.back()->PortName());
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "klinkdev: cannot start a simulated board: %s\n", e.what());
            return 2;
        }
    }

    // The demo's own session: it starts empty and is thrown away.
    QTemporaryDir demoSession;
    if (parser.isSet(selfTest) && !demoSession.isValid()) {
        std::fprintf(stderr, "klinkdev: cannot create a folder for the demo's session\n");
        return 2;
    }
    MainWindow form(klink::CreateVGMPlayerRun,
                    parser.isSet(selfTest)
                        ? demoSession.filePath(QStringLiteral("session.json")).toStdString()
                        : std::string());
    // The watch calls from a thread of its own: the close is queued to the window's.
    const klink::platform::TerminationRequestWatch terminate([&form] {
        QMetaObject::invokeMethod(
            &form, [&form] { form.close(); }, Qt::QueuedConnection);
    });
    form.show();

    std::unique_ptr<SelfTest> test;
    if (parser.isSet(selfTest)) {
        test = std::make_unique<SelfTest>(form, files, parser.value(screenshot),
                                          parser.value(timeout).toInt(), boardPorts);
    }
    const int code = QApplication::exec();
    return test ? test->ExitCode() : code;
}
