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

bool VfsSortFilterProxyModel::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    const int leftType = left.data(VfsModel::TypeRole).toInt();
    const int rightType = right.data(VfsModel::TypeRole).toInt();
    const bool ascending = sortOrder() == Qt::AscendingOrder;

    // The proxy inverts the answer for a descending sort; answering by the order keeps
    // folders in front either way.
    if (leftType == VfsModel::DirectoryType && rightType != VfsModel::DirectoryType)
        return ascending;
    if (leftType != rightType)
        return !ascending;

    switch (left.column()) {
    case VfsModel::MTimeStringColumn:
        return left.data(VfsModel::MTimeRole).toDateTime()
               < right.data(VfsModel::MTimeRole).toDateTime();
    case VfsModel::SizeColumn:
        return left.data(VfsModel::SizeRole).toULongLong()
               < right.data(VfsModel::SizeRole).toULongLong();
    default:
        return QString::localeAwareCompare(left.data(Qt::DisplayRole).toString(),
                                           right.data(Qt::DisplayRole).toString())
               < 0;
    }
}

bool VfsSortFilterProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (!sourceParent.isValid() || m_rootPath.isEmpty())
        return true;
    // Rows above the shown folder (a tree's ancestors) always stay.
    const QString parentPath = sourceParent.data(VfsModel::PathRole).toString();
    if (parentPath.size() < m_rootPath.size())
        return true;
    if (m_showHidden)
        return true;
    const QModelIndex hidden =
        sourceModel()->index(sourceRow, VfsModel::HiddenColumn, sourceParent);
    return !hidden.data(Qt::DisplayRole).toBool();
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
