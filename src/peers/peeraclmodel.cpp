#include "peers/peeraclmodel.h"

#include <QFileInfo>
#include <QMimeDatabase>
#include <QThread>

namespace {

QString mimeTypeOf(const PeerAclDto &acl)
{
    if (acl.flags & PeerAclDto::FlagWholeDrive)
        return QStringLiteral("application/vnd.nusk.drive");
    if (acl.flags & PeerAclDto::FlagSubPaths)
        return QStringLiteral("inode/directory");
    // Only the name decides: the entry may name a path that is gone or slow to reach.
    return QMimeDatabase().mimeTypeForFile(acl.selector, QMimeDatabase::MatchExtension).name();
}

QString iconOf(const PeerAclDto &acl)
{
    if (acl.flags & PeerAclDto::FlagWholeDrive)
        return QStringLiteral("drive-harddisk");
    if (acl.flags & PeerAclDto::FlagSubPaths)
        return QStringLiteral("folder");
    return QMimeDatabase().mimeTypeForFile(acl.selector, QMimeDatabase::MatchExtension).iconName();
}

} // namespace

PeerAclModel::PeerAclModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

int PeerAclModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_acls.size());
}

QVariant PeerAclModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= int(m_acls.size()))
        return QVariant();
    const PeerAclDto &acl = m_acls[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case NameRole:
        return acl.name;
    case UuidRole:
        return acl.uuid;
    case SelectorRole:
        return acl.selector;
    case FlagsRole:
        return acl.flags;
    case TimestampRole:
        return acl.timestamp;
    case MimetypeRole:
        return mimeTypeOf(acl);
    case IconRole:
        return iconOf(acl);
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> PeerAclModel::roleNames() const
{
    return {
        {UuidRole, "uuid"},
        {NameRole, "name"},
        {SelectorRole, "selector"},
        {FlagsRole, "flags"},
        {TimestampRole, "timestamp"},
        {MimetypeRole, "mimetype"},
        {IconRole, "icon"},
    };
}

void PeerAclModel::updateAcls(const std::vector<PeerAclDto> &acls)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, acls]() { updateAcls(acls); }, Qt::QueuedConnection);
        return;
    }
    if (acls == m_acls)
        return;
    beginResetModel();
    m_acls = acls;
    endResetModel();
}
