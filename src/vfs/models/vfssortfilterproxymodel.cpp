#include "vfs/models/vfssortfilterproxymodel.h"

#include "vfs/models/vfsmodel.h"

#include <QDateTime>
#include <QGuiApplication>
#include <QPalette>

#include <algorithm>
#include <map>

VfsSortFilterProxyModel::VfsSortFilterProxyModel(QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
{
    // A sort of this proxy is framed by its own layout signals with the sort hint; rows
    // are ranked only inside that frame, where the source cannot change.
    connect(this, &QAbstractItemModel::layoutAboutToBeChanged, this,
            [this](const QList<QPersistentModelIndex> &, QAbstractItemModel::LayoutChangeHint hint) {
                m_ranks.clear();
                m_sorting = hint == QAbstractItemModel::VerticalSortHint;
            });
    connect(this, &QAbstractItemModel::layoutChanged, this, [this] {
        m_ranks.clear();
        m_sorting = false;
    });
}

VfsSortFilterProxyModel::~VfsSortFilterProxyModel() = default;

void VfsSortFilterProxyModel::setRootIndex(const QModelIndex &sourceIndex)
{
    const QString path = sourceIndex.data(VfsModel::PathRole).toString();
    if (path == m_rootPath)
        return;
    m_rootPath = path;
    invalidateFilter();
}

void VfsSortFilterProxyModel::setShowHidden(bool show)
{
    if (show == m_showHidden)
        return;
    m_showHidden = show;
    invalidateFilter();
}

void VfsSortFilterProxyModel::setRecentSeconds(qint64 seconds)
{
    if (seconds == m_recentSeconds)
        return;
    m_recentSeconds = seconds;
    invalidate();
}

void VfsSortFilterProxyModel::setSourceModel(QAbstractItemModel *model)
{
    m_files = qobject_cast<VfsModel *>(model);
    QSortFilterProxyModel::setSourceModel(model);
}

namespace {

// A file model's rows are its entries: sorting and filtering read them directly rather than
// through data(), which wraps every value in a QVariant and copies every name, several
// times per comparison of a sort that compares a big folder's rows a million times.
const VfsEntry *entryAt(const QModelIndex &index)
{
    return static_cast<const VfsEntry *>(index.internalPointer());
}

} // namespace

int VfsSortFilterProxyModel::collate(const QString &left, const QString &right) const
{
    // As QString::localeAwareCompare, without looking up its collator for each call.
    if (left.isEmpty() || right.isEmpty())
        return left.compare(right);
    return m_collator.compare(left, right);
}

int VfsSortFilterProxyModel::compareEntries(const VfsEntry *left, const VfsEntry *right, int column) const
{
    switch (column) {
    case VfsModel::MTimeStringColumn:
        return left->mtime < right->mtime ? -1 : right->mtime < left->mtime ? 1 : 0;
    case VfsModel::SizeColumn:
        return left->size < right->size ? -1 : right->size < left->size ? 1 : 0;
    default:
        return collate(left->name, right->name);
    }
}

const std::vector<int> &VfsSortFilterProxyModel::ranksOf(const VfsEntry *folder, int column) const
{
    for (const FolderRanks &known : m_ranks) {
        if (known.folder == folder && known.column == column)
            return known.ranks;
    }
    // Rows of one type are ranked among themselves (folders and files never meet in a
    // comparison of keys). A folder listed in this very order, as this computer lists,
    // takes one comparison per row; any other order is sorted here once, still far fewer
    // comparisons than a sort that asks for each one by index.
    const std::vector<VfsEntry *> &rows = folder->children;
    std::map<int, std::vector<int>> byType;
    for (int row = 0; row < int(rows.size()); ++row)
        byType[rows[std::size_t(row)]->type].push_back(row);
    std::vector<int> ranks(rows.size(), 0);
    const auto compare = [&](int a, int b) {
        return compareEntries(rows[std::size_t(a)], rows[std::size_t(b)], column);
    };
    for (auto &group : byType) {
        std::vector<int> &order = group.second;
        for (std::size_t i = 1; i < order.size(); ++i) {
            if (compare(order[i], order[i - 1]) < 0) {
                std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return compare(a, b) < 0; });
                break;
            }
        }
        // Equal keys share a rank, so that a stable sort keeps them in row order both ways.
        for (std::size_t i = 1; i < order.size(); ++i)
            ranks[std::size_t(order[i])] = ranks[std::size_t(order[i - 1])] + (compare(order[i - 1], order[i]) < 0 ? 1 : 0);
    }
    m_ranks.push_back({folder, column, std::move(ranks)});
    return m_ranks.back().ranks;
}

bool VfsSortFilterProxyModel::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    const VfsEntry *leftEntry = m_files ? entryAt(left) : nullptr;
    const VfsEntry *rightEntry = m_files ? entryAt(right) : nullptr;
    const int leftType = leftEntry ? leftEntry->type : left.data(VfsModel::TypeRole).toInt();
    const int rightType = rightEntry ? rightEntry->type : right.data(VfsModel::TypeRole).toInt();
    const bool ascending = sortOrder() == Qt::AscendingOrder;

    // The proxy inverts the answer for a descending sort; answering by the order keeps
    // folders in front either way.
    if (leftType == VfsModel::DirectoryType && rightType != VfsModel::DirectoryType)
        return ascending;
    if (leftType != rightType)
        return !ascending;

    const int column = left.column();
    const bool keyed = column == VfsModel::NameColumn || column == VfsModel::SizeColumn
                       || column == VfsModel::MTimeStringColumn;
    if (leftEntry && rightEntry && keyed) {
        if (m_sorting && leftEntry->parent && leftEntry->parent == rightEntry->parent) {
            const std::vector<int> &ranks = ranksOf(leftEntry->parent, column);
            if (std::size_t(left.row()) < ranks.size() && std::size_t(right.row()) < ranks.size())
                return ranks[std::size_t(left.row())] < ranks[std::size_t(right.row())];
        }
        return compareEntries(leftEntry, rightEntry, column) < 0;
    }
    switch (column) {
    case VfsModel::MTimeStringColumn:
        return left.data(VfsModel::MTimeRole).toDateTime()
               < right.data(VfsModel::MTimeRole).toDateTime();
    case VfsModel::SizeColumn:
        return left.data(VfsModel::SizeRole).toULongLong()
               < right.data(VfsModel::SizeRole).toULongLong();
    default:
        return collate(left.data(Qt::DisplayRole).toString(), right.data(Qt::DisplayRole).toString()) < 0;
    }
}

bool VfsSortFilterProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (!sourceParent.isValid() || m_rootPath.isEmpty() || m_showHidden)
        return true;
    const QModelIndex hiddenIndex = sourceModel()->index(sourceRow, VfsModel::HiddenColumn, sourceParent);
    const bool hidden = m_files ? hiddenIndex.isValid() && entryAt(hiddenIndex)->hidden
                                : hiddenIndex.data(Qt::DisplayRole).toBool();
    if (!hidden)
        return true;
    // Rows above the shown folder (a tree's ancestors) always stay. Only a hidden row needs
    // its folder's path, which is made anew each time it is asked for.
    return sourceParent.data(VfsModel::PathRole).toString().size() < m_rootPath.size();
}

QVariant VfsSortFilterProxyModel::data(const QModelIndex &index, int role) const
{
    if (index.isValid() && index.column() == 0 && role == Qt::ForegroundRole
        && m_recentSeconds > 0) {
        const QDateTime mtime = index.data(VfsModel::MTimeRole).toDateTime();
        if (mtime.isValid()) {
            const qint64 ageSeconds = (m_clock() - mtime.toMSecsSinceEpoch()) / 1000;
            if (ageSeconds > m_recentSeconds)
                return QGuiApplication::palette().color(QPalette::Inactive, QPalette::Mid);
        }
    }
    return QSortFilterProxyModel::data(index, role);
}
