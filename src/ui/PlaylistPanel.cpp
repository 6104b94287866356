#include "ui/PlaylistPanel.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>
#include <optional>
#include <utility>

#include "platform/PathText.h"
#include "ui/GuardedHandler.h"
#include "ui/PlaylistModel.h"
#include "ui/PlaylistView.h"
#include "ui/WindowRules.h"
#include "vgm/GD3Text.h"
#include "vgm/VGMFile.h"
#include "vgm/VGMHeader.h"

namespace klink {

PlaylistPanel::PlaylistPanel(PlaylistModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("playlistPanel"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);

    auto* heading = new QHBoxLayout;
    heading->addWidget(new QLabel(QStringLiteral("Play List:"), this));
    heading->addStretch(1);
    deleteButton_ = new QPushButton(QStringLiteral("削除"), this);
    deleteButton_->setObjectName(QStringLiteral("deleteButton"));
    heading->addWidget(deleteButton_);
    layout->addLayout(heading);

    view_ = new PlaylistView(&model_, this);
    view_->setObjectName(QStringLiteral("playlistView"));
    layout->addWidget(view_, 1);

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

    menu_ = new QMenu(this);
    menu_->setObjectName(QStringLiteral("playlistMenu"));
    playMenuItem_ = menu_->addAction(playAction_->text());
    playMenuItem_->setObjectName(QStringLiteral("playMenuItem"));
    deleteMenuItem_ = menu_->addAction(deleteAction_->text());
    deleteMenuItem_->setObjectName(QStringLiteral("deleteMenuItem"));
    copyPathMenuItem_ = menu_->addAction(copyPathAction_->text());
    copyPathMenuItem_->setObjectName(QStringLiteral("copyPathMenuItem"));

    // Who times the writes of a file without samples (see player/BoardTiming.h).
    menu_->addSeparator();
    QMenu* timingMenu = menu_->addMenu(QStringLiteral("タイミング"));
    timingMenu->setObjectName(QStringLiteral("timingMenu"));
    timingItems_ = new QActionGroup(this);
    timingItems_->setExclusive(true);
    const std::pair<PlaybackTiming, QString> timings[] = {
        {PlaybackTiming::kHost, QStringLiteral("ホスト (host)")},
        {PlaybackTiming::kBoard, QStringLiteral("ボード (board)")},
        {PlaybackTiming::kAuto, QStringLiteral("自動 (auto)")},
    };
    for (const auto& [timing, caption] : timings) {
        QAction* item = timingMenu->addAction(caption);
        item->setObjectName(QStringLiteral("timing_") +
                            QString::fromLatin1(PlaybackTimingName(timing).data()));
        item->setCheckable(true);
        item->setData(static_cast<int>(timing));
        timingItems_->addAction(item);
    }
    SetTiming(PlaybackTiming::kAuto);

    // The menu items and the delete button follow their actions.
    const std::pair<QAction*, QAction*> items[] = {
        {playMenuItem_, playAction_}, {deleteMenuItem_, deleteAction_}, {copyPathMenuItem_, copyPathAction_}};
    for (auto [item, action] : items) {
        item->setEnabled(action->isEnabled());
        connect(action, &QAction::enabledChanged, item, &QAction::setEnabled);
        connect(item, &QAction::triggered, action, &QAction::trigger);
    }
    connect(deleteAction_, &QAction::enabledChanged, deleteButton_, &QPushButton::setEnabled);
    connect(deleteAction_, &QAction::triggered, this, [this] { Guard([this] { DeleteActionExecute(); }); });
    connect(copyPathAction_, &QAction::triggered, this,
            [this] { Guard([this] { CopyPathActionExecute(); }); });
    auto updateAndDelete = [this] {
        DeleteActionUpdate();
        deleteAction_->trigger();
    };
    connect(deleteButton_, &QPushButton::clicked, this, updateAndDelete);
    connect(view_, &PlaylistView::deletePressed, this, updateAndDelete);

    connect(view_, &PlaylistView::doubleClickedInList, this, &PlaylistPanel::playRequested);
    connect(view_, &PlaylistView::enterPressed, this, &PlaylistPanel::playRequested);
    connect(view_, &PlaylistView::selectAllRequested, this, [this] { SelectAllRows(); });
    connect(view_, &PlaylistView::rowsDropped, this,
            [this](QPoint pos) { Guard([&] { PlaylistDragDrop(pos); }); });
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        DeleteActionUpdate();
        CopyPathActionUpdate();
        emit selectionChanged();
    });
    connect(view_, &QWidget::customContextMenuRequested, this, [this](QPoint pos) { ShowMenu(pos); });
}

void PlaylistPanel::Guard(const std::function<void()>& handler) {
    RunGuarded(handler, [this](const QString& message) { emit logLine(message); });
}

// --- selection and focus ------------------------------------------------------

int PlaylistPanel::SelectedRowCount() const {
    return static_cast<int>(view_->selectionModel()->selectedRows().size());
}

std::vector<bool> PlaylistPanel::SelectedRows() const {
    std::vector<bool> selected(static_cast<size_t>(model_.Count()), false);
    for (const QModelIndex& index : view_->selectionModel()->selectedRows()) {
        if (model_.IsRow(index.row())) {
            selected[static_cast<size_t>(index.row())] = true;
        }
    }
    return selected;
}

std::optional<int> PlaylistPanel::SingleSelectedRow() const {
    const QModelIndexList rows = view_->selectionModel()->selectedRows();
    if (rows.size() != 1) {
        return std::nullopt;
    }
    return rows.front().row();
}

int PlaylistPanel::FocusedRow() const {
    const QModelIndex current = view_->selectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void PlaylistPanel::MarkRow(int row) {
    view_->selectionModel()->setCurrentIndex(model_.index(row, 0),
                                             QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void PlaylistPanel::ScrollTo(int row) {
    view_->scrollTo(model_.index(row, 0), QAbstractItemView::EnsureVisible);
}

void PlaylistPanel::SelectAllRows() {
    view_->setUpdatesEnabled(false);
    view_->selectAll();
    view_->setUpdatesEnabled(true);
}

// --- row operations -------------------------------------------------------------

void PlaylistPanel::AddPlaylistFile(const QString& path) {
    const QString fileName = QFileInfo(path).fileName();
    QString title;
    QString game;
    try {
        const auto bytes = LoadVGMFile(platform::PathFromUtf8(QFile::encodeName(path).toStdString()));
        const GD3Title tags = ReadGD3Title(bytes);
        title = QString::fromStdString(UTF16ToUTF8(tags.title));
        game = QString::fromStdString(UTF16ToUTF8(tags.game));
    } catch (const std::exception& e) {
        emit logLine(QStringLiteral("GD3 [") + fileName + QStringLiteral("]: ") +
                     QString::fromStdString(e.what()));
    }
    if (title.isEmpty()) {
        title = fileName;
    }
    model_.Append(KLINKSessionTrack{path.toStdString(), SingleLineText(title.toStdString()),
                                    SingleLineText(game.toStdString())});
}

void PlaylistPanel::DeleteActionUpdate() { deleteAction_->setEnabled(SelectedRowCount() > 0); }

void PlaylistPanel::CopyPathActionUpdate() { copyPathAction_->setEnabled(SelectedRowCount() > 0); }

void PlaylistPanel::DeleteActionExecute() {
    if (SelectedRowCount() == 0) {
        return;
    }
    const std::vector<bool> selected = SelectedRows();
    view_->setUpdatesEnabled(false);
    model_.RemoveRows(selected);
    view_->setUpdatesEnabled(true);
}

void PlaylistPanel::CopyPathActionExecute() {
    std::vector<std::string> paths;
    const std::vector<bool> selected = SelectedRows();
    for (size_t i = 0; i < selected.size(); ++i) {
        if (selected[i]) {
            paths.push_back(model_.Tracks()[i].path);
        }
    }
    const std::string text = JoinPlaylistPaths(paths);
    if (!text.empty()) {
        QApplication::clipboard()->setText(QString::fromStdString(text));
    }
}

void PlaylistPanel::PlaylistDragDrop(QPoint pos) {
    if (SelectedRowCount() == 0) {
        return;
    }
    const std::vector<bool> selected = SelectedRows();
    const QModelIndex under = view_->indexAt(pos);
    int rowUnder = -1;
    bool lowerHalf = false;
    if (under.isValid()) {
        rowUnder = under.row();
        const QRect rect = view_->visualRect(under);
        // At or below the middle counts as the lower half.
        lowerHalf = pos.y() >= (rect.top() + rect.top() + rect.height()) / 2;
    }
    const std::optional<int32_t> insertion = PlaylistInsertionPoint(selected, rowUnder, lowerHalf);
    if (!insertion) {
        return;
    }

    // The selection and the focus follow their tracks through the model.
    view_->setUpdatesEnabled(false);
    model_.MoveRows(selected, *insertion);
    view_->setUpdatesEnabled(true);
}

PlaybackTiming PlaylistPanel::Timing() const {
    const QAction* checked = timingItems_->checkedAction();
    return checked != nullptr ? static_cast<PlaybackTiming>(checked->data().toInt()) : PlaybackTiming::kAuto;
}

void PlaylistPanel::SetTiming(PlaybackTiming timing) {
    for (QAction* item : timingItems_->actions()) {
        item->setChecked(static_cast<PlaybackTiming>(item->data().toInt()) == timing);
    }
}

void PlaylistPanel::ShowMenu(QPoint pos) {
    emit menuAboutToOpen();
    DeleteActionUpdate();
    CopyPathActionUpdate();
    menu_->popup(view_->viewport()->mapToGlobal(pos));
}

}  // namespace klink
