// The main window's playlist and playback half: the controls below the tags,
// the actions, drops, reordering, the playing row and the start of a track.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>
#include <filesystem>

#include "player/KLINKFadeOut.h"
#include "ui/KLINKMainWindow.h"
#include "ui/PlaylistView.h"
#include "ui/PortComboBox.h"
#include "vgm/GD3Text.h"
#include "vgm/VGMFile.h"
#include "vgm/VGMHeader.h"

namespace klink {
namespace {

const QColor kPlayingRowColour(220, 240, 220);

QFont TimeLabelFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Consolas"), QStringLiteral("DejaVu Sans Mono"),
                      QStringLiteral("Liberation Mono"), QStringLiteral("Noto Sans Mono")});
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(24);
    return font;
}

QLabel* TimeLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFont(TimeLabelFont());
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(Qt::gray));
    label->setPalette(palette);
    label->setMinimumWidth(150);
    return label;
}

// The file-system form of a path the window shows.
std::string NativePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

QWidget* MainWindow::BuildPlaybackPanel() {
    auto* panel = new QWidget(this);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);

    auto* controls = new QHBoxLayout;
    Button3 = new QPushButton(QStringLiteral("ファイルを開く(&O)"), panel);
    Button3->setObjectName(QStringLiteral("Button3"));
    controls->addWidget(Button3);
    controls->addSpacing(12);

    controls->addWidget(new QLabel(QStringLiteral("リピート回数"), panel));
    cmbRepeatNum = new QComboBox(panel);
    cmbRepeatNum->setObjectName(QStringLiteral("cmbRepeatNum"));
    cmbRepeatNum->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                            QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("無限")});
    cmbRepeatNum->setCurrentIndex(0);
    controls->addWidget(cmbRepeatNum);
    controls->addSpacing(12);

    controls->addWidget(new QLabel(QStringLiteral("フェードアウト"), panel));
    cmbFadeout = new QComboBox(panel);
    cmbFadeout->setObjectName(QStringLiteral("cmbFadeout"));
    cmbFadeout->addItems({QStringLiteral("なし"), QStringLiteral("1秒"), QStringLiteral("3秒"),
                          QStringLiteral("5秒"), QStringLiteral("10秒"), QStringLiteral("15秒")});
    cmbFadeout->setCurrentIndex(4);
    controls->addWidget(cmbFadeout);
    controls->addStretch(1);

    controls->addWidget(new QLabel(QStringLiteral("Time"), panel));
    lblTime = TimeLabel(panel, "lblTime", QStringLiteral("00:00.00"));
    controls->addWidget(lblTime);
    controls->addSpacing(12);
    controls->addWidget(new QLabel(QStringLiteral("Samples"), panel));
    lblSamples = TimeLabel(panel, "lblSamples", QStringLiteral("0"));
    controls->addWidget(lblSamples);
    layout->addLayout(controls);

    auto* listHeader = new QHBoxLayout;
    listHeader->addWidget(new QLabel(QStringLiteral("Play List:"), panel));
    listHeader->addStretch(1);
    btnDelete = new QPushButton(QStringLiteral("削除"), panel);
    btnDelete->setObjectName(QStringLiteral("btnDelete"));
    listHeader->addWidget(btnDelete);
    layout->addLayout(listHeader);

    ListView1 = new PlaylistView(panel);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    layout->addWidget(ListView1, 1);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setNameFilters({QStringLiteral("VGM / VGZ Files (*.vgm *.vgz)"),
                                 QStringLiteral("VGM Files (*.vgm)"), QStringLiteral("VGZ Files (*.vgz)")});
    OpenDialog1->selectNameFilter(QStringLiteral("VGM / VGZ Files (*.vgm *.vgz)"));

    actPlay = new QAction(QStringLiteral("再生"), this);
    actPlay->setObjectName(QStringLiteral("actPlay"));
    actDelete = new QAction(QStringLiteral("削除"), this);
    actDelete->setObjectName(QStringLiteral("actDelete"));
    actCopyPath = new QAction(QStringLiteral("パスをコピー"), this);
    actCopyPath->setObjectName(QStringLiteral("actCopyPath"));
    for (QAction* action : {actPlay, actDelete, actCopyPath}) {
        action->setEnabled(false);
    }
    btnDelete->setEnabled(false);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    miPlaylistPlay = PopupMenu1->addAction(actPlay->text());
    miPlaylistPlay->setObjectName(QStringLiteral("miPlaylistPlay"));
    miPlaylistDelete = PopupMenu1->addAction(actDelete->text());
    miPlaylistDelete->setObjectName(QStringLiteral("miPlaylistDelete"));
    miPlaylistCopyPath = PopupMenu1->addAction(actCopyPath->text());
    miPlaylistCopyPath->setObjectName(QStringLiteral("miPlaylistCopyPath"));
    return panel;
}

void MainWindow::ConnectSignals() {
    for (int i = 0; i < 2; ++i) {
        connect(GetConnectButton(i), &QPushButton::clicked, this,
                [this, i] { Guard([&] { btnConnectClick(i); }); });
        connect(GetPortCombo(i), &QComboBox::currentIndexChanged, this,
                [this, i] { Guard([&] { ComboBox1Change(i); }); });
        connect(GetPortCombo(i), &PortComboBox::dropDown, this, [this] { Guard([&] { ScanComPorts(); }); });
    }
    connect(btnRefresh, &QPushButton::clicked, this, [this] { Guard([&] { ScanComPorts(); }); });

    connect(actPlay, &QAction::triggered, this, [this] { Guard([&] { actPlayExecute(); }); });
    connect(actDelete, &QAction::triggered, this, [this] { Guard([&] { actDeleteExecute(); }); });
    connect(actCopyPath, &QAction::triggered, this, [this] { Guard([&] { actCopyPathExecute(); }); });
    // The menu items and the delete button follow their actions.
    const std::pair<QAction*, QAction*> items[] = {
        {miPlaylistPlay, actPlay}, {miPlaylistDelete, actDelete}, {miPlaylistCopyPath, actCopyPath}};
    for (auto [item, action] : items) {
        item->setEnabled(action->isEnabled());
        connect(action, &QAction::enabledChanged, item, &QAction::setEnabled);
        connect(item, &QAction::triggered, action, &QAction::trigger);
    }
    connect(actDelete, &QAction::enabledChanged, btnDelete, &QPushButton::setEnabled);
    connect(btnDelete, &QPushButton::clicked, this, [this] {
        actDeleteUpdate();
        actDelete->trigger();
    });

    connect(Button3, &QPushButton::clicked, this, [this] { Guard([&] { Button3Click(); }); });
    connect(ListView1, &QTreeWidget::itemDoubleClicked, this,
            [this] { Guard([&] { ListView1DblClick(); }); });
    connect(ListView1, &PlaylistView::enterPressed, this, [this] { Guard([&] { ListView1DblClick(); }); });
    connect(ListView1, &PlaylistView::deletePressed, this, [this] {
        actDeleteUpdate();
        actDelete->trigger();
    });
    connect(ListView1, &PlaylistView::selectAllRequested, this, [this] { SelectAllRows(); });
    connect(ListView1, &PlaylistView::rowsDropped, this,
            [this](QPoint pos) { Guard([&] { ListView1DragDrop(pos); }); });
    connect(ListView1, &PlaylistView::filesDropped, this,
            [this](const QStringList& files) { Guard([&] { HandleDroppedFiles(files, true); }); });
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this, [this] {
        actPlayUpdate();
        actDeleteUpdate();
        actCopyPathUpdate();
    });
    connect(ListView1, &QWidget::customContextMenuRequested, this, [this](QPoint pos) {
        PopupMenu1Popup();
        PopupMenu1->popup(ListView1->viewport()->mapToGlobal(pos));
    });
}

// --- actions --------------------------------------------------------------------

int MainWindow::SelectedRowCount() const { return static_cast<int>(ListView1->selectedItems().size()); }

std::vector<bool> MainWindow::SelectedRows() const {
    std::vector<bool> selected(static_cast<size_t>(ListView1->topLevelItemCount()), false);
    for (size_t i = 0; i < selected.size(); ++i) {
        selected[i] = ListView1->topLevelItem(static_cast<int>(i))->isSelected();
    }
    return selected;
}

int MainWindow::FocusedRow() const {
    QTreeWidgetItem* item = ListView1->currentItem();
    return item == nullptr ? -1 : ListView1->indexOfTopLevelItem(item);
}

QString MainWindow::RowPath(const QTreeWidgetItem* item) { return item->text(2); }

void MainWindow::actPlayUpdate() {
    actPlay->setEnabled(!startingPlayback_ && (!requestedPlayPath_.isEmpty() || SelectedRowCount() == 1));
}

void MainWindow::actDeleteUpdate() { actDelete->setEnabled(SelectedRowCount() > 0); }

void MainWindow::actCopyPathUpdate() { actCopyPath->setEnabled(SelectedRowCount() > 0); }

void MainWindow::PopupMenu1Popup() {
    actPlayUpdate();
    actDeleteUpdate();
    actCopyPathUpdate();
}

void MainWindow::ListView1DblClick() {
    actPlayUpdate();
    actPlay->trigger();
}

void MainWindow::SelectAllRows() {
    ListView1->setUpdatesEnabled(false);
    ListView1->selectAll();
    ListView1->setUpdatesEnabled(true);
}

void MainWindow::actPlayExecute() {
    if (startingPlayback_ || stoppingPlayback_) {
        return;
    }
    QString path;
    int row = -1;
    if (!requestedPlayPath_.isEmpty()) {
        path = requestedPlayPath_;
        row = requestedPlayIndex_;
    } else if (SelectedRowCount() == 1) {
        QTreeWidgetItem* item = ListView1->selectedItems().front();
        path = RowPath(item);
        row = ListView1->indexOfTopLevelItem(item);
        ListView1->scrollToItem(item, QAbstractItemView::EnsureVisible);
    } else {
        return;
    }
    requestedPlayPath_.clear();
    requestedPlayIndex_ = -1;
    startingPlayback_ = true;
    struct Reset {
        MainWindow* form;
        ~Reset() { form->startingPlayback_ = false; }
    } reset{this};

    try {
        if (!HasPlayableExtension(path.toStdString())) {
            return;
        }
        StopPlayback();
        const int32_t repeatCount = RepeatCountForIndex(cmbRepeatNum->currentIndex());
        const int32_t fadeSeconds = FadeSecondsForIndex(cmbFadeout->currentIndex());
        RefreshPortNameCache();
        playerThread_ = factory_(*this, NativePath(path), repeatCount, fadeSeconds);
        for (int i = 0; i < 2; ++i) {
            if (GetPortDriver(i).Connected()) {
                GetPortDriver(i).PausePolling();
                serialInputPaused_[i] = true;
            }
        }
        try {
            playerThread_->Start();
        } catch (...) {
            playerThread_.reset();
            ResumePausedPolling();
            throw;
        }
        indexes_.playing = row;
        indexes_.last = row;
        lastPlayedPath_ = path;
        indexes_.next = row >= 0 ? row + 1 : -1;
        RepaintPlaylist();
    } catch (const std::exception& e) {
        Log(QStringLiteral("再生エラー: ") + QString::fromStdString(e.what()));
    }
}

void MainWindow::RequestPlay(const QString& path, int row) {
    if (startingPlayback_ || stoppingPlayback_) {
        return;
    }
    requestedPlayPath_ = path;
    requestedPlayIndex_ = row;
    struct Reset {
        MainWindow* form;
        ~Reset() {
            form->requestedPlayPath_.clear();
            form->requestedPlayIndex_ = -1;
            form->actPlayUpdate();
        }
    } reset{this};
    actPlayUpdate();
    if (actPlay->isEnabled()) {
        actPlayExecute();
    }
}

void MainWindow::PlayPlaylistIndex(int row) {
    try {
        if (row < 0 || row >= ListView1->topLevelItemCount()) {
            return;
        }
        QTreeWidgetItem* item = ListView1->topLevelItem(row);
        ListView1->scrollToItem(item, QAbstractItemView::EnsureVisible);
        RequestPlay(RowPath(item), row);
    } catch (const std::exception& e) {
        Log(QStringLiteral("プレイリスト再生エラー: ") + QString::fromStdString(e.what()));
    }
}

void MainWindow::Button3Click() {
    if (OpenDialog1->exec() != QDialog::Accepted) {
        return;
    }
    const QStringList files = OpenDialog1->selectedFiles();
    if (!files.isEmpty()) {
        RequestPlay(files.front(), -1);
    }
}

void MainWindow::actDeleteExecute() {
    const std::vector<bool> selected = SelectedRows();
    if (SelectedRowCount() == 0) {
        return;
    }
    indexes_ = DeletePlaylistRows(selected, indexes_);
    ListView1->setUpdatesEnabled(false);
    for (auto i = static_cast<int>(selected.size()) - 1; i >= 0; --i) {
        if (selected[static_cast<size_t>(i)]) {
            delete ListView1->takeTopLevelItem(i);
        }
    }
    ListView1->setUpdatesEnabled(true);
    RepaintPlaylist();
}

void MainWindow::actCopyPathExecute() {
    std::vector<std::string> paths;
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = ListView1->topLevelItem(i);
        if (item->isSelected()) {
            paths.push_back(RowPath(item).toStdString());
        }
    }
    const std::string text = JoinPlaylistPaths(paths);
    if (!text.empty()) {
        QApplication::clipboard()->setText(QString::fromStdString(text));
    }
}

// --- rows -------------------------------------------------------------------------

void MainWindow::RepaintPlaylist() {
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ListView1->topLevelItem(i);
        for (int c = 0; c < 3; ++c) {
            if (i == indexes_.playing) {
                item->setBackground(c, kPlayingRowColour);
                item->setForeground(c, QColor(Qt::black));
            } else {
                item->setData(c, Qt::BackgroundRole, QVariant());
                item->setData(c, Qt::ForegroundRole, QVariant());
            }
        }
    }
    ListView1->viewport()->update();
}

void MainWindow::ListView1DragDrop(QPoint pos) {
    if (SelectedRowCount() == 0) {
        return;
    }
    const std::vector<bool> selected = SelectedRows();
    QTreeWidgetItem* under = ListView1->itemAt(pos);
    int rowUnder = -1;
    bool lowerHalf = false;
    if (under != nullptr) {
        rowUnder = ListView1->indexOfTopLevelItem(under);
        const QRect rect = ListView1->visualItemRect(under);
        // At or below the middle counts as the lower half.
        lowerHalf = pos.y() >= (rect.top() + rect.top() + rect.height()) / 2;
    }
    const std::optional<int32_t> insertion = PlaylistInsertionPoint(selected, rowUnder, lowerHalf);
    if (!insertion) {
        return;
    }
    const PlaylistMove move = MovePlaylistRows(selected, *insertion, indexes_, FocusedRow());

    ListView1->setUpdatesEnabled(false);
    std::vector<QTreeWidgetItem*> rows;
    while (ListView1->topLevelItemCount() > 0) {
        rows.push_back(ListView1->takeTopLevelItem(0));
    }
    indexes_ = PlaylistIndexes{};
    for (int32_t old : move.order) {
        ListView1->addTopLevelItem(rows[static_cast<size_t>(old)]);
    }
    ListView1->clearSelection();
    for (size_t i = 0; i < move.order.size(); ++i) {
        ListView1->topLevelItem(static_cast<int>(i))
            ->setSelected(selected[static_cast<size_t>(move.order[i])]);
    }
    if (move.focused >= 0) {
        ListView1->setCurrentItem(ListView1->topLevelItem(move.focused), 0, QItemSelectionModel::NoUpdate);
    }
    indexes_ = move.indexes;
    ListView1->setUpdatesEnabled(true);
    RepaintPlaylist();
}

void MainWindow::AddPlaylistFile(const QString& path) {
    const QString fileName = QFileInfo(path).fileName();
    QString title;
    QString game;
    try {
        const std::vector<uint8_t> bytes = LoadVGMFile(std::filesystem::path(NativePath(path)));
        const GD3Title tags = ReadGD3Title(bytes);
        title = QString::fromStdString(UTF16ToUTF8(tags.title));
        game = QString::fromStdString(UTF16ToUTF8(tags.game));
    } catch (const std::exception& e) {
        Log(QStringLiteral("GD3 [") + fileName + QStringLiteral("]: ") + QString::fromStdString(e.what()));
    }
    if (title.isEmpty()) {
        title = fileName;
    }
    auto* item = new QTreeWidgetItem(ListView1);
    item->setText(0, QString::fromStdString(SingleLineText(title.toStdString())));
    item->setText(1, QString::fromStdString(SingleLineText(game.toStdString())));
    item->setText(2, path);
}

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
    const int first = ListView1->topLevelItemCount();
    ListView1->setUpdatesEnabled(false);
    for (const QString& path : kept) {
        AddPlaylistFile(path);
    }
    ListView1->setUpdatesEnabled(true);
    if (!onList) {
        PlayPlaylistIndex(first);
    }
}

}  // namespace klink
