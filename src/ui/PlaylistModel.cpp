#include "ui/PlaylistModel.h"

#include <QBrush>
#include <QColor>
#include <utility>

namespace klink {
namespace {

const QColor kPlayingRowColour(220, 240, 220);

}  // namespace

PlaylistModel::PlaylistModel(QObject* parent) : QAbstractTableModel(parent) {}

int PlaylistModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }

int PlaylistModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant PlaylistModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || !IsRow(index.row())) {
        return {};
    }
    const KLINKSessionTrack& track = tracks_[static_cast<size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            switch (index.column()) {
                case kTitleColumn:
                    return QString::fromStdString(track.title);
                case kGameColumn:
                    return QString::fromStdString(track.gameName);
                case kPathColumn:
                    return QString::fromStdString(track.path);
                default:
                    return {};
            }
        case Qt::BackgroundRole:
            return index.row() == indexes_.playing ? QVariant(QBrush(kPlayingRowColour)) : QVariant();
        case Qt::ForegroundRole:
            return index.row() == indexes_.playing ? QVariant(QBrush(Qt::black)) : QVariant();
        default:
            return {};
    }
}

bool PlaylistModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || !IsRow(index.row())) {
        return false;
    }
    KLINKSessionTrack& track = tracks_[static_cast<size_t>(index.row())];
    const std::string text = value.toString().toStdString();
    switch (index.column()) {
        case kTitleColumn:
            track.title = text;
            break;
        case kGameColumn:
            track.gameName = text;
            break;
        case kPathColumn:
            track.path = text;
            break;
        default:
            return false;
    }
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    return true;
}

QVariant PlaylistModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (section) {
        case kTitleColumn:
            return QStringLiteral("タイトル");
        case kGameColumn:
            return QStringLiteral("ゲーム名");
        case kPathColumn:
            return QStringLiteral("パス");
        default:
            return {};
    }
}

Qt::ItemFlags PlaylistModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::ItemIsDropEnabled;  // rows can be dropped between rows
    }
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
}

Qt::DropActions PlaylistModel::supportedDropActions() const { return Qt::CopyAction | Qt::MoveAction; }

QString PlaylistModel::Path(int row) const {
    return QString::fromStdString(tracks_[static_cast<size_t>(row)].path);
}

void PlaylistModel::Append(KLINKSessionTrack track) {
    beginInsertRows(QModelIndex(), Count(), Count());
    tracks_.push_back(std::move(track));
    endInsertRows();
}

void PlaylistModel::Reset(std::vector<KLINKSessionTrack> tracks) {
    beginResetModel();
    tracks_ = std::move(tracks);
    indexes_ = PlaylistIndexes{};
    endResetModel();
}

void PlaylistModel::RemoveRows(const std::vector<bool>& selected) {
    indexes_ = DeletePlaylistRows(selected, indexes_);
    for (auto i = static_cast<int>(selected.size()) - 1; i >= 0; --i) {
        if (selected[static_cast<size_t>(i)] && IsRow(i)) {
            beginRemoveRows(QModelIndex(), i, i);
            tracks_.erase(tracks_.begin() + i);
            endRemoveRows();
        }
    }
}

void PlaylistModel::MoveRows(const std::vector<bool>& selected, int32_t insertionPoint) {
    const PlaylistMove move = MovePlaylistRows(selected, insertionPoint, indexes_, -1);
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> newRowOf(tracks_.size(), 0);
    std::vector<KLINKSessionTrack> reordered;
    reordered.reserve(tracks_.size());
    for (size_t row = 0; row < move.order.size(); ++row) {
        const auto old = static_cast<size_t>(move.order[row]);
        newRowOf[old] = static_cast<int>(row);
        reordered.push_back(std::move(tracks_[old]));
    }
    tracks_ = std::move(reordered);
    indexes_ = move.indexes;
    // Views keep their selection and focus on the moved tracks.
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before) {
        after << index(newRowOf[static_cast<size_t>(old.row())], old.column());
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void PlaylistModel::SetIndexes(PlaylistIndexes indexes) {
    const int oldPlaying = indexes_.playing;
    indexes_ = indexes;
    if (oldPlaying != indexes_.playing) {
        RepaintRow(oldPlaying);
        RepaintRow(indexes_.playing);
    }
}

void PlaylistModel::RepaintRow(int row) {
    if (IsRow(row)) {
        emit dataChanged(index(row, 0), index(row, columnCount() - 1),
                         {Qt::BackgroundRole, Qt::ForegroundRole});
    }
}

}  // namespace klink
