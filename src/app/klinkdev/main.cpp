// klinkdev: the window. Program start creates the main window and runs the
// event loop until it closes; Ctrl+C and SIGTERM close it like its close
// button, so the session is saved.
//
// --selftest-demo FILE...: starts simulated boards in-process, connects them,
// plays the files as a playlist track after track, optionally saves a
// screenshot (--screenshot PNG), and exits 0 when every track completed.
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <vector>

#include "SimBoard.h"
#include "platform/TerminationSignals.h"
#include "ui/KLINKMainWindow.h"
#include "ui/PlaylistView.h"
#include "ui/PortComboBox.h"

namespace {

using klink::TForm1;

// Drives the window through a demo run from its own event loop.
class TSelfTest : public QObject {
public:
    TSelfTest(TForm1& form, QStringList files, QString screenshot, int timeoutSeconds,
              std::vector<std::string> boardPorts)
        : FForm(form),
          FFiles(std::move(files)),
          FScreenshot(std::move(screenshot)),
          FTimeoutMs(timeoutSeconds * 1000),
          FBoardPorts(std::move(boardPorts)) {
        connect(&FTimer, &QTimer::timeout, this, [this] { Step(); });
        FTimer.start(100);
    }

    [[nodiscard]] int ExitCode() const noexcept { return FExitCode; }

private:
    void Fail(const QString& why) {
        std::fprintf(stderr, "selftest: FAILED: %s\n", why.toUtf8().constData());
        std::fprintf(stderr, "--- log ---\n%s\n", LogText().toUtf8().constData());
        Finish(1);
    }
    void Finish(int code) {
        FExitCode = code;
        FTimer.stop();
        FForm.close();
    }
    [[nodiscard]] QString LogText() const {
        auto* log = FForm.findChild<QPlainTextEdit*>(QStringLiteral("memLog"));
        return log ? log->toPlainText() : QString();
    }

    void Step() {
        FElapsedMs += 100;
        if (FElapsedMs > FTimeoutMs) {
            Fail(QStringLiteral("timed out"));
            return;
        }
        switch (FPhase) {
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
        if (!FForm.isVisible() || FForm.windowTitle() != QStringLiteral("KLINK Dev tool") ||
            FForm.width() != TForm1::kClientWidth || FForm.height() < TForm1::kClientHeight) {
            Fail(QStringLiteral("the window did not appear as expected (%1x%2)")
                     .arg(FForm.width())
                     .arg(FForm.height()));
            return;
        }
        FForm.ScanComPorts();
        for (int i = 0; i < static_cast<int>(FBoardPorts.size()) && i < 2; ++i) {
            klink::TPortComboBox* combo = FForm.GetPortCombo(i);
            const int item = combo->findText(QString::fromStdString(FBoardPorts[static_cast<size_t>(i)]));
            if (item < 0) {
                Fail(QStringLiteral("simulated board %1 is not listed")
                         .arg(QString::fromStdString(FBoardPorts[static_cast<size_t>(i)])));
                return;
            }
            combo->setCurrentIndex(item);
            FForm.btnConnectClick(i);
            if (!FForm.GetPortDriver(i).Connected()) {
                Fail(QStringLiteral("connection %1 did not open").arg(i + 1));
                return;
            }
        }
        FForm.findChild<QComboBox*>(QStringLiteral("cmbRepeatNum"))->setCurrentIndex(0);
        FForm.findChild<QComboBox*>(QStringLiteral("cmbFadeout"))->setCurrentIndex(0);
        FForm.HandleDroppedFiles(FFiles, false);
        FPhase = 1;
    }

    void WaitForPlayback() {
        auto* time = FForm.findChild<QLabel*>(QStringLiteral("lblTime"));
        if (FForm.HasPlayerThread() && time->text() >= QStringLiteral("00:01.50")) {
            if (!FScreenshot.isEmpty()) {
                if (!FForm.grab().save(FScreenshot)) {
                    Fail(QStringLiteral("cannot write %1").arg(FScreenshot));
                    return;
                }
                std::printf("selftest: screenshot %s\n", FScreenshot.toUtf8().constData());
            }
            FPhase = 2;
        } else if (!FForm.HasPlayerThread() && FForm.LastPlaylistIndex() < 0) {
            Fail(QStringLiteral("playback did not start"));
        }
    }

    void WaitForEnd() {
        if (FForm.HasPlayerThread()) {
            return;
        }
        const int last = FForm.Playlist()->topLevelItemCount() - 1;
        if (FForm.LastPlaylistIndex() != last) {
            Fail(QStringLiteral("playback stopped at row %1 of %2")
                     .arg(FForm.LastPlaylistIndex())
                     .arg(last + 1));
            return;
        }
        if (LogText().contains(QStringLiteral("エラー"))) {
            Fail(QStringLiteral("the log reports an error"));
            return;
        }
        std::printf("selftest: %d track(s) played\n", last + 1);
        Finish(0);
    }

    TForm1& FForm;
    QStringList FFiles;
    QString FScreenshot;
    int FTimeoutMs;
    std::vector<std::string> FBoardPorts;
    QTimer FTimer;
    int FElapsedMs = 0;
    int FPhase = 0;
    int FExitCode = 1;
};

}  // namespace

int main(int argc, char** argv) {
    // Termination requests become readable bytes before any thread starts.
    const int signalFd = klink::platform::InstallTerminationSignalPipe();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("klinkdev"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("KLINK Dev tool: plays VGM/VGZ files on Keltra boards."));
    parser.addHelpOption();
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
    std::vector<std::unique_ptr<klink::sim::TSimBoard>> simBoards;
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
                klink::sim::TSimBoardOptions options;
                options.Publish = true;
                options.KeepTrace = false;
                simBoards.push_back(klink::sim::TSimBoard::Start(model.trimmed().toStdString(), options));
                boardPorts.push_back(simBoards.back()->PortName());
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "klinkdev: cannot start a simulated board: %s\n", e.what());
            return 2;
        }
    }

    TForm1 form(klink::CreateVGMPlayerRun);
    QSocketNotifier terminate(signalFd, QSocketNotifier::Read);
    QObject::connect(&terminate, &QSocketNotifier::activated, &form, [&form, signalFd] {
        (void)klink::platform::DrainTerminationSignalPipe(signalFd);
        form.close();
    });
    form.show();

    std::unique_ptr<TSelfTest> test;
    if (parser.isSet(selfTest)) {
        test = std::make_unique<TSelfTest>(form, files, parser.value(screenshot),
                                           parser.value(timeout).toInt(), boardPorts);
    }
    const int code = QApplication::exec();
    return test ? test->ExitCode() : code;
}
