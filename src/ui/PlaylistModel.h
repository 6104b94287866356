#pragma once
// The playlist as data: the session's tracks in row order and the three rows
// the window tracks (now playing, next, last started), which stay on their
// tracks when rows are deleted or moved. The view shows three columns (title,
// game, path) and draws the playing row light green with black text.
//
// GUI thread only.

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <vector>

#include "ui/KLINKSession.h"
#include "ui/WindowRules.h"

namespace klink {

class PlaylistModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kTitleColumn = 0;
    static constexpr int kGameColumn = 1;
    static constexpr int kPathColumn = 2;

    explicit PlaylistModel(QObject* parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    // Qt::EditRole replaces the cell's text (the view itself never edits).
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;
    [[nodiscard]] Qt::DropActions supportedDropActions() const override;

    [[nodiscard]] int Count() const noexcept { return static_cast<int>(tracks_.size()); }
    [[nodiscard]] bool IsRow(int row) const noexcept { return row >= 0 && row < Count(); }
    [[nodiscard]] const std::vector<KLINKSessionTrack>& Tracks() const noexcept { return tracks_; }
    // The row's file path; `row` must be a row.
    [[nodiscard]] QString Path(int row) const;

    void Append(KLINKSessionTrack track);
    // Replaces every row; the three indexes become -1.
    void Reset(std::vector<KLINKSessionTrack> tracks);
    // Deletes every row whose flag is set; the indexes follow their tracks
    // (DeletePlaylistRows). `selected` has one flag per row.
    void RemoveRows(const std::vector<bool>& selected);
    // Moves the selected rows as one block to `insertionPoint` (counted in old
    // rows); the indexes follow (MovePlaylistRows), and so do the views'
    // selection and focus.
    void MoveRows(const std::vector<bool>& selected, int32_t insertionPoint);

    [[nodiscard]] const PlaylistIndexes& Indexes() const noexcept { return indexes_; }
    // Repaints the rows whose highlight changes.
    void SetIndexes(PlaylistIndexes indexes);

private:
    void RepaintRow(int row);

    std::vector<KLINKSessionTrack> tracks_;
    PlaylistIndexes indexes_;
};

}  // namespace klink
