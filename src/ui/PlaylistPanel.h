#pragma once
// The playlist panel: the "Play List:" heading, the delete button, the list
// and its context menu with the play, delete and copy-path actions and the
// timing choice for the next tracks. Row
// operations that need no playback live here (add a file, delete and move the
// selected rows, copy their paths); the play action is PlaybackController's.

#include <QString>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "player/BoardTiming.h"

class QAction;
class QActionGroup;
class QMenu;
class QPushButton;

namespace klink {

class PlaylistModel;
class PlaylistView;

class PlaylistPanel : public QWidget {
    Q_OBJECT
public:
    PlaylistPanel(PlaylistModel& model, QWidget* parent = nullptr);

    [[nodiscard]] PlaylistModel& Model() const noexcept { return model_; }
    [[nodiscard]] PlaylistView* View() const noexcept { return view_; }
    [[nodiscard]] QAction* PlayAction() const noexcept { return playAction_; }
    // The timing choice of the menu's "タイミング" items; it applies from the
    // next track on. Starts as auto.
    [[nodiscard]] PlaybackTiming Timing() const;
    void SetTiming(PlaybackTiming timing);

    // --- selection and focus -------------------------------------------------
    [[nodiscard]] int SelectedRowCount() const;
    // One flag per row.
    [[nodiscard]] std::vector<bool> SelectedRows() const;
    // The one selected row; nullopt unless exactly one row is selected.
    [[nodiscard]] std::optional<int> SingleSelectedRow() const;
    // The focused row, -1 when none.
    [[nodiscard]] int FocusedRow() const;
    // Selects and focuses `row` alone (a valid row).
    void MarkRow(int row);
    void ScrollTo(int row);
    void SelectAllRows();

    // --- row operations --------------------------------------------------------
    // Appends a row for the file: its GD3 title and game (Japanese first), on
    // one line each. A file whose tags cannot be read is logged
    // ("GD3 [<file name>]: <message>") and added with its file name as title.
    void AddPlaylistFile(const QString& path);
    void DeleteActionUpdate();
    void DeleteActionExecute();
    void CopyPathActionUpdate();
    void CopyPathActionExecute();
    // Moves the selected rows to the drop point (viewport coordinates).
    void PlaylistDragDrop(QPoint pos);

signals:
    void logLine(const QString& line);
    // Double-click or Enter: play the selected row.
    void playRequested();
    // The context menu is about to open: the play action wants updating too.
    void menuAboutToOpen();
    void selectionChanged();

private:
    // Updates the three actions and opens the menu at `pos` (viewport coordinates).
    void ShowMenu(QPoint pos);
    void Guard(const std::function<void()>& handler);

    PlaylistModel& model_;
    PlaylistView* view_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    QAction* playAction_ = nullptr;
    QAction* deleteAction_ = nullptr;
    QAction* copyPathAction_ = nullptr;
    QMenu* menu_ = nullptr;
    QAction* playMenuItem_ = nullptr;
    QAction* deleteMenuItem_ = nullptr;
    QAction* copyPathMenuItem_ = nullptr;
    QActionGroup* timingItems_ = nullptr;  // host, board, auto: one checked
};

}  // namespace klink
