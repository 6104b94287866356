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

#include "platform/PathText.h"
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
    openFileButton_ = new QPushButton(QStringLiteral("ファイルを開く(&O)"), panel);
    openFileButton_->setObjectName(QStringLiteral("Button3"));
    controls->addWidget(openFileButton_);
    controls->addSpacing(12);

    controls->addWidget(new QLabel(QStringLiteral("リピート回数"), panel));
    repeatCombo_ = new QComboBox(panel);
    repeatCombo_->setObjectName(QStringLiteral("cmbRepeatNum"));
    repeatCombo_->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                            QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("無限")});
    repeatCombo_->setCurrentIndex(0);
    controls->addWidget(repeatCombo_);
    controls->addSpacing(12);

    controls->addWidget(new QLabel(QStringLiteral("フェードアウト"), panel));
    fadeCombo_ = new QComboBox(panel);
    fadeCombo_->setObjectName(QStringLiteral("cmbFadeout"));
    fadeCombo_->addItems({QStringLiteral("なし"), QStringLiteral("1秒"), QStringLiteral("3秒"),
                          QStringLiteral("5秒"), QStringLiteral("10秒"), QStringLiteral("15秒")});
    fadeCombo_->setCurrentIndex(4);
    controls->addWidget(fadeCombo_);
    controls->addStretch(1);

    controls->addWidget(new QLabel(QStringLiteral("Time"), panel));
    timeLabel_ = TimeLabel(panel, "lblTime", QStringLiteral("00:00.00"));
    controls->addWidget(timeLabel_);
    controls->addSpacing(12);
    controls->addWidget(new QLabel(QStringLiteral("Samples"), panel));
    samplesLabel_ = TimeLabel(panel, "samplesLabel", QStringLiteral("0"));
    controls->addWidget(samplesLabel_);
    layout->addLayout(controls);

    auto* listHeader = new QHBoxLayout;
    listHeader->addWidget(new QLabel(QStringLiteral("Play List:"), panel));
    listHeader->addStretch(1);
    deleteButton_ = new QPushButton(QStringLiteral("削除"), panel);
    deleteButton_->setObjectName(QStringLiteral("deleteButton"));
    listHeader->addWidget(deleteButton_);
    layout->addLayout(listHeader);

    playlistView_ = new PlaylistView(panel);
    playlistView_->setObjectName(QStringLiteral("playlistView"));
    layout->addWidget(playlistView_, 1);

    openDialog_ = new QFileDialog(this);
    openDialog_->setObjectName(QStringLiteral("openDialog"));
    openDialog_->setFileMode(QFileDialog::ExistingFile);
    openDialog_->setNameFilters({QStringLiteral("VGM / VGZ Files (*.vgm *.vgz)"),
                                 QStringLiteral("VGM Files (*.vgm)"), QStringLiteral("VGZ Files (*.vgz)")});
    openDialog_->selectNameFilter(QStringLiteral("VGM / VGZ Files (*.vgm *.vgz)"));

    playAction_ = new QAction(QStringLiteral("再生"), this);
    playAction_->setObjectName(QStringLiteral("actPlay"));
    deleteAction_ = new QAction(QStringLiteral("削除"), this);
    deleteAction_->setObjectName(QStringLiteral("actDelete"));
    copyPathAction_ = new QAction(QStringLiteral("パスをコピー"), this);
    copyPathAction_->setObjectName(QStringLiteral("actCopyPath"));
    for (QAction* action : {playAction_, deleteAction_, copyPathAction_}) {
        action->setEnabled(false);
    }
    deleteButton_->setEnabled(false);

    playlistMenu_ = new QMenu(this);
    playlistMenu_->setObjectName(QStringLiteral("playlistMenu"));
    playMenuItem_ = playlistMenu_->addAction(playAction_->text());
    playMenuItem_->setObjectName(QStringLiteral("playMenuItem"));
    deleteMenuItem_ = playlistMenu_->addAction(deleteAction_->text());
    deleteMenuItem_->setObjectName(QStringLiteral("deleteMenuItem"));
    copyPathMenuItem_ = playlistMenu_->addAction(copyPathAction_->text());
    copyPathMenuItem_->setObjectName(QStringLiteral("copyPathMenuItem"));
    return panel;
}

void MainWindow::ConnectSignals() {
    for (int i = 0; i < 2; ++i) {
        connect(GetConnectButton(i), &QPushButton::clicked, this,
                [this, i] { Guard([&] { ConnectButtonClick(i); }); });
        connect(GetPortCombo(i), &QComboBox::currentIndexChanged, this,
                [this, i] { Guard([&] { PortComboChange(i); }); });
        connect(GetPortCombo(i), &PortComboBox::dropDown, this, [this] { Guard([&] { ScanComPorts(); }); });
    }
    connect(rescanButton_, &QPushButton::clicked, this, [this] { Guard([&] { ScanComPorts(); }); });

    connect(playAction_, &QAction::triggered, this, [this] { Guard([&] { PlayActionExecute(); }); });
    connect(deleteAction_, &QAction::triggered, this, [this] { Guard([&] { DeleteActionExecute(); }); });
    connect(copyPathAction_, &QAction::triggered, this, [this] { Guard([&] { CopyPathActionExecute(); }); });
    // The menu items and the delete button follow their actions.
    const std::pair<QAction*, QAction*> items[] = {
        {playMenuItem_, playAction_}, {deleteMenuItem_, deleteAction_}, {copyPathMenuItem_, copyPathAction_}};
    for (auto [item, action] : items) {
        item->setEnabled(action->isEnabled());
        connect(action, &QAction::enabledChanged, item, &QAction::setEnabled);
        connect(item, &QAction::triggered, action, &QAction::trigger);
    }
    connect(deleteAction_, &QAction::enabledChanged, deleteButton_, &QPushButton::setEnabled);
    connect(deleteButton_, &QPushButton::clicked, this, [this] {
        DeleteActionUpdate();
        deleteAction_->trigger();
    });

    connect(openFileButton_, &QPushButton::clicked, this, [this] { Guard([&] { OpenFileButtonClick(); }); });
    connect(playlistView_, &QTreeWidget::itemDoubleClicked, this,
            [this] { Guard([&] { PlaylistDoubleClick(); }); });
    connect(playlistView_, &PlaylistView::enterPressed, this,
            [this] { Guard([&] { PlaylistDoubleClick(); }); });
    connect(playlistView_, &PlaylistView::deletePressed, this, [this] {
        DeleteActionUpdate();
        deleteAction_->trigger();
    });
    connect(playlistView_, &PlaylistView::selectAllRequested, this, [this] { SelectAllRows(); });
    connect(playlistView_, &PlaylistView::rowsDropped, this,
            [this](QPoint pos) { Guard([&] { PlaylistDragDrop(pos); }); });
    connect(playlistView_, &PlaylistView::filesDropped, this,
            [this](const QStringList& files) { Guard([&] { HandleDroppedFiles(files, true); }); });
    connect(playlistView_, &QTreeWidget::itemSelectionChanged, this, [this] {
        PlayActionUpdate();
        DeleteActionUpdate();
        CopyPathActionUpdate();
    });
    connect(playlistView_, &QWidget::customContextMenuRequested, this, [this](QPoint pos) {
        PlaylistMenuPopup();
        playlistMenu_->popup(playlistView_->viewport()->mapToGlobal(pos));
    });
}

// --- actions --------------------------------------------------------------------

int MainWindow::SelectedRowCount() const { return static_cast<int>(playlistView_->selectedItems().size()); }

std::vector<bool> MainWindow::SelectedRows() const {
    std::vector<bool> selected(static_cast<size_t>(playlistView_->topLevelItemCount()), false);
    for (size_t i = 0; i < selected.size(); ++i) {
        selected[i] = playlistView_->topLevelItem(static_cast<int>(i))->isSelected();
    }
    return selected;
}

int MainWindow::FocusedRow() const {
    QTreeWidgetItem* item = playlistView_->currentItem();
    return item == nullptr ? -1 : playlistView_->indexOfTopLevelItem(item);
}

QString MainWindow::RowPath(const QTreeWidgetItem* item) { return item->text(2); }

void MainWindow::PlayActionUpdate() {
    playAction_->setEnabled(!startingPlayback_ && (!requestedPlayPath_.isEmpty() || SelectedRowCount() == 1));
}

void MainWindow::DeleteActionUpdate() { deleteAction_->setEnabled(SelectedRowCount() > 0); }

void MainWindow::CopyPathActionUpdate() { copyPathAction_->setEnabled(SelectedRowCount() > 0); }

void MainWindow::PlaylistMenuPopup() {
    PlayActionUpdate();
    DeleteActionUpdate();
    CopyPathActionUpdate();
}

void MainWindow::PlaylistDoubleClick() {
    PlayActionUpdate();
    playAction_->trigger();
}

void MainWindow::SelectAllRows() {
    playlistView_->setUpdatesEnabled(false);
    playlistView_->selectAll();
    playlistView_->setUpdatesEnabled(true);
}

void MainWindow::PlayActionExecute() {
    if (startingPlayback_ || stoppingPlayback_) {
        return;
    }
    QString path;
    int row = -1;
    if (!requestedPlayPath_.isEmpty()) {
        path = requestedPlayPath_;
        row = requestedPlayIndex_;
    } else if (SelectedRowCount() == 1) {
        QTreeWidgetItem* item = playlistView_->selectedItems().front();
        path = RowPath(item);
        row = playlistView_->indexOfTopLevelItem(item);
        playlistView_->scrollToItem(item, QAbstractItemView::EnsureVisible);
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
        const int32_t repeatCount = RepeatCountForIndex(repeatCombo_->currentIndex());
        const int32_t fadeSeconds = FadeSecondsForIndex(fadeCombo_->currentIndex());
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
            form->PlayActionUpdate();
        }
    } reset{this};
    PlayActionUpdate();
    if (playAction_->isEnabled()) {
        PlayActionExecute();
    }
}

void MainWindow::PlayPlaylistIndex(int row) {
    try {
        if (row < 0 || row >= playlistView_->topLevelItemCount()) {
            return;
        }
        QTreeWidgetItem* item = playlistView_->topLevelItem(row);
        playlistView_->scrollToItem(item, QAbstractItemView::EnsureVisible);
        RequestPlay(RowPath(item), row);
    } catch (const std::exception& e) {
        Log(QStringLiteral("プレイリスト再生エラー: ") + QString::fromStdString(e.what()));
    }
}

void MainWindow::OpenFileButtonClick() {
    if (openDialog_->exec() != QDialog::Accepted) {
        return;
    }
    const QStringList files = openDialog_->selectedFiles();
    if (!files.isEmpty()) {
        RequestPlay(files.front(), -1);
    }
}

void MainWindow::DeleteActionExecute() {
    const std::vector<bool> selected = SelectedRows();
    if (SelectedRowCount() == 0) {
        return;
    }
    indexes_ = DeletePlaylistRows(selected, indexes_);
    playlistView_->setUpdatesEnabled(false);
    for (auto i = static_cast<int>(selected.size()) - 1; i >= 0; --i) {
        if (selected[static_cast<size_t>(i)]) {
            delete playlistView_->takeTopLevelItem(i);
        }
    }
    playlistView_->setUpdatesEnabled(true);
    RepaintPlaylist();
}

void MainWindow::CopyPathActionExecute() {
    std::vector<std::string> paths;
    for (int i = 0; i < playlistView_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = playlistView_->topLevelItem(i);
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
    for (int i = 0; i < playlistView_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = playlistView_->topLevelItem(i);
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
    playlistView_->viewport()->update();
}

void MainWindow::PlaylistDragDrop(QPoint pos) {
    if (SelectedRowCount() == 0) {
        return;
    }
    const std::vector<bool> selected = SelectedRows();
    QTreeWidgetItem* under = playlistView_->itemAt(pos);
    int rowUnder = -1;
    bool lowerHalf = false;
    if (under != nullptr) {
        rowUnder = playlistView_->indexOfTopLevelItem(under);
        const QRect rect = playlistView_->visualItemRect(under);
        // At or below the middle counts as the lower half.
        lowerHalf = pos.y() >= (rect.top() + rect.top() + rect.height()) / 2;
    }
    const std::optional<int32_t> insertion = PlaylistInsertionPoint(selected, rowUnder, lowerHalf);
    if (!insertion) {
        return;
    }
    const PlaylistMove move = MovePlaylistRows(selected, *insertion, indexes_, FocusedRow());

    playlistView_->setUpdatesEnabled(false);
    std::vector<QTreeWidgetItem*> rows;
    while (playlistView_->topLevelItemCount() > 0) {
        rows.push_back(playlistView_->takeTopLevelItem(0));
    }
    indexes_ = PlaylistIndexes{};
    for (int32_t old : move.order) {
        playlistView_->addTopLevelItem(rows[static_cast<size_t>(old)]);
    }
    playlistView_->clearSelection();
    for (size_t i = 0; i < move.order.size(); ++i) {
        playlistView_->topLevelItem(static_cast<int>(i))
            ->setSelected(selected[static_cast<size_t>(move.order[i])]);
    }
    if (move.focused >= 0) {
        playlistView_->setCurrentItem(playlistView_->topLevelItem(move.focused), 0,
                                      QItemSelectionModel::NoUpdate);
    }
    indexes_ = move.indexes;
    playlistView_->setUpdatesEnabled(true);
    RepaintPlaylist();
}

void MainWindow::AddPlaylistFile(const QString& path) {
    const QString fileName = QFileInfo(path).fileName();
    QString title;
    QString game;
    try {
        const std::vector<uint8_t> bytes = LoadVGMFile(platform::PathFromUtf8(NativePath(path)));
        const GD3Title tags = ReadGD3Title(bytes);
        title = QString::fromStdString(UTF16ToUTF8(tags.title));
        game = QString::fromStdString(UTF16ToUTF8(tags.game));
    } catch (const std::exception& e) {
        Log(QStringLiteral("GD3 [") + fileName + QStringLiteral("]: ") + QString::fromStdString(e.what()));
    }
    if (title.isEmpty()) {
        title = fileName;
    }
    auto* item = new QTreeWidgetItem(playlistView_);
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
    const int first = playlistView_->topLevelItemCount();
    playlistView_->setUpdatesEnabled(false);
    for (const QString& path : kept) {
        AddPlaylistFile(path);
    }
    playlistView_->setUpdatesEnabled(true);
    if (!onList) {
        PlayPlaylistIndex(first);
    }
}

}  // namespace klink
