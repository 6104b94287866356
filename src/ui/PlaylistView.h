#pragma once
// The playlist's list: a three-column report view over the PlaylistModel
// whose rows can be reordered by dragging inside it and that takes files
// dropped from the file manager. It only reports; the window decides what a
// drop or key does.

#include <QStringList>
#include <QTreeView>

namespace klink {

class PlaylistModel;

class PlaylistView : public QTreeView {
    Q_OBJECT
public:
    explicit PlaylistView(PlaylistModel* model, QWidget* parent = nullptr);

    // Local paths of the files a drag carries (empty for other drags).
    [[nodiscard]] static QStringList DroppedFiles(const QMimeData* data);

signals:
    // Selected rows were dropped inside the list at `pos` (viewport coordinates).
    void rowsDropped(QPoint pos);
    // Files from outside were dropped on the list.
    void filesDropped(const QStringList& paths);
    // A left double-click anywhere in the list, on a row or on blank space
    // below the rows: the window plays the one selected row.
    void doubleClickedInList();
    // Ctrl+A, Enter and Delete.
    void selectAllRequested();
    void enterPressed();
    void deletePressed();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    [[nodiscard]] bool AcceptsDrag(const QDropEvent* event) const;
};

}  // namespace klink
