#include "vfs/models/vfssortfilterproxymodel.h"

#include "vfs/models/vfsmodel.h"

#include <QDateTime>
#include <QGuiApplication>
#include <QPalette>

VfsSortFilterProxyModel::VfsSortFilterProxyModel(QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
{
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

    const bool direct = leftEntry && rightEntry;
    switch (left.column()) {
    case VfsModel::MTimeStringColumn:
        if (direct)
            return leftEntry->mtime < rightEntry->mtime;
        return left.data(VfsModel::MTimeRole).toDateTime()
               < right.data(VfsModel::MTimeRole).toDateTime();
    case VfsModel::SizeColumn:
        if (direct)
            return leftEntry->size < rightEntry->size;
        return left.data(VfsModel::SizeRole).toULongLong()
               < right.data(VfsModel::SizeRole).toULongLong();
    case VfsModel::NameColumn:
        if (direct)
            return collate(leftEntry->name, rightEntry->name) < 0;
        Q_FALLTHROUGH();
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
