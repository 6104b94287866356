#include "ui/PlaylistView.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

#include "ui/PlaylistModel.h"

namespace klink {

PlaylistView::PlaylistView(PlaylistModel* model, QWidget* parent) : QTreeView(parent) {
    setModel(model);
    header()->resizeSection(PlaylistModel::kTitleColumn, 300);
    header()->resizeSection(PlaylistModel::kGameColumn, 300);
    header()->resizeSection(PlaylistModel::kPathColumn, 450);
    header()->setStretchLastSection(false);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
}

QStringList PlaylistView::DroppedFiles(const QMimeData* data) {
    QStringList files;
    if (data == nullptr || !data->hasUrls()) {
        return files;
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            files << url.toLocalFile();
        }
    }
    return files;
}

bool PlaylistView::AcceptsDrag(const QDropEvent* event) const {
    if (event->source() == this) {
        return selectionModel()->hasSelection();
    }
    return !DroppedFiles(event->mimeData()).isEmpty();
}

void PlaylistView::dragEnterEvent(QDragEnterEvent* event) {
    if (AcceptsDrag(event)) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void PlaylistView::dragMoveEvent(QDragMoveEvent* event) {
    if (!AcceptsDrag(event)) {
        event->ignore();
        return;
    }
    // Keep the view's auto-scroll and drop indicator.
    QTreeView::dragMoveEvent(event);
    event->accept();
}

void PlaylistView::dropEvent(QDropEvent* event) {
    if (event->source() == this) {
        // The playlist moves the rows itself; answering "copy" keeps the
        // view from also removing the dragged rows afterwards.
        event->setDropAction(Qt::CopyAction);
        event->accept();
        emit rowsDropped(event->position().toPoint());
        return;
    }
    const QStringList files = DroppedFiles(event->mimeData());
    if (files.isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    emit filesDropped(files);
}

void PlaylistView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_A && event->modifiers() == Qt::ControlModifier) {
        emit selectAllRequested();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        emit enterPressed();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Delete) {
        emit deletePressed();
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void PlaylistView::mouseDoubleClickEvent(QMouseEvent* event) {
    // The base class reports double-clicks on rows only; blank space counts too.
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) {
        emit doubleClickedInList();
    }
}

}  // namespace klink
