#include "filer/sharewithdialog.h"

#include "app/base/log.h"
#include "db/idatabase.h"
#include "peers/ipeer.h"
#include "vfs/models/vfsmodel.h"

#include <QDateTime>
#include <QFileInfo>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlProperty>
#include <QUuid>

namespace {

QString iconFor(const PeerAclDto &acl)
{
    const bool subPaths = acl.flags & PeerAclDto::FlagSubPaths;
    const bool drive = acl.flags & PeerAclDto::FlagWholeDrive;
    if (subPaths && drive)
        return QStringLiteral("image://theme/icon/drive-disk.svg");
    if (subPaths)
        return QStringLiteral("image://theme/mime/application/x-directory");
    return QStringLiteral("image://theme/file/") + acl.name;
}

} // namespace

ShareWithDialog::ShareWithDialog(QQmlEngine *engine, IDatabase *database, IPeer *peer,
                                 const PeerAclDto &acl, QObject *parent)
    : QObject(parent)
    , m_engine(engine)
    , m_database(database)
    , m_acl(acl)
    , m_peerUuid(peer ? peer->uuid() : QString())
{
    QQmlComponent component(engine, QUrl(QStringLiteral("qrc:/qml/dialogs/ShareWithDialog.qml")));
    m_window = component.create();
    if (!m_window) {
        logPrintf(LogErr1, "share dialog: %s", qUtf8Printable(component.errorString()));
        return;
    }
    QQmlProperty::write(m_window, QStringLiteral("icon"), iconFor(acl));
    QQmlProperty::write(m_window, QStringLiteral("itemName"), acl.name);
    QQmlProperty::write(m_window, QStringLiteral("peerName"), peer ? peer->name() : QString());
    QQmlProperty::write(m_window, QStringLiteral("canEdit"), bool(acl.flags & PeerAclDto::FlagWrite));
    QQmlProperty::write(m_window, QStringLiteral("isNewShare"), isNullUuidString(acl.uuid));
    QQmlProperty::write(m_window, QStringLiteral("selector"), acl.selector);
    QQmlProperty::write(m_window, QStringLiteral("broadShare"), isBroadSelector(acl.selector));
    connect(m_window, SIGNAL(accepted(bool)), this, SLOT(onAccepted(bool)));
    connect(m_window, SIGNAL(removeShare()), this, SLOT(onRemoveShare()));
    connect(m_window, SIGNAL(visibleChanged(bool)), this, SLOT(onDialogClose(bool)));
}

ShareWithDialog::~ShareWithDialog()
{
    delete m_window.data();
}

void ShareWithDialog::show()
{
    if (m_window)
        QMetaObject::invokeMethod(m_window, "show");
}

void ShareWithDialog::onDialogClose(bool visible)
{
    if (visible || !m_window)
        return;
    m_window->deleteLater();
    m_window = nullptr;
    deleteLater();
}

void ShareWithDialog::onAccepted(bool canEdit)
{
    logPrintf(LogNfo1, "dlg accepted %u", unsigned(canEdit));
    if (!m_database || m_peerUuid.isEmpty())
        return;
    PeerAclDto entry = m_acl;
    entry.flags = (m_acl.flags & ~quint32(PeerAclDto::FlagWrite)) | PeerAclDto::FlagRead;
    if (canEdit)
        entry.flags |= PeerAclDto::FlagWrite;
    if (isNullUuidString(entry.uuid)) {
        // Another dialog may have stored the same item meanwhile: update that row, never add
        // a second one for one selector.
        for (const PeerAclDto &stored : m_database->loadPeerAcls(m_peerUuid)) {
            if (stored.selector == entry.selector) {
                entry.uuid = stored.uuid;
                break;
            }
        }
    }
    if (isNullUuidString(entry.uuid))
        entry.uuid = QUuid::createUuid().toString();
    entry.timestamp = QDateTime::currentDateTimeUtc();
    if (m_database->putPeerAcl(m_peerUuid, entry))
        m_acl = entry;   // a second confirmation updates this row
}

void ShareWithDialog::onRemoveShare()
{
    if (m_database && !m_peerUuid.isEmpty() && !isNullUuidString(m_acl.uuid))
        m_database->deletePeerAcl(m_peerUuid, m_acl);
}

bool ShareWithDialog::isBroadSelector(const QString &selector)
{
    const QString trimmed = selector.trimmed();
    return trimmed == QLatin1String("/") || QFileInfo(trimmed).canonicalFilePath() == QLatin1String("/");
}

bool ShareWithDialog::pickItem(bool browsingLocalPeer, const QModelIndexList &selected,
                               const QModelIndex &currentFolder, bool wholeDrive, Item *item)
{
    if (!browsingLocalPeer || !item)
        return false;
    QModelIndex index;
    if (wholeDrive) {
        for (const QModelIndex &start : selected) {
            for (QModelIndex walk = start.siblingAtColumn(0); walk.isValid(); walk = walk.parent()) {
                if (walk.data(VfsModel::TypeRole).toInt() == VfsModel::DriveType) {
                    index = walk;
                    break;
                }
            }
            if (index.isValid())
                break;
        }
    } else {
        if (selected.isEmpty()) {
            index = currentFolder;
        } else {
            for (const QModelIndex &candidate : selected) {
                if (candidate.column() == 0) {
                    index = candidate;
                    break;
                }
            }
        }
    }
    if (!index.isValid())
        return false;
    item->path = index.data(VfsModel::PathRole).toString();
    item->name = index.data(VfsModel::NameRole).toString();
    item->type = index.data(VfsModel::TypeRole).toInt();
    // "%shares" and the like are pages of the browser, not places on the disk.
    if (item->path.trimmed().isEmpty() || item->path.startsWith(QLatin1Char('%')))
        return false;
    if (item->name.isEmpty())
        item->name = item->path;
    return true;
}

PeerAclDto ShareWithDialog::entryFor(IDatabase *database, const QString &peerUuid, const Item &item,
                                     bool wholeDrive)
{
    QString path = item.path;
    quint32 flags = PeerAclDto::FlagRead;
    if (item.type == VfsModel::DriveType) {
        if (path.endsWith(QLatin1Char(':')))
            path += QLatin1Char('\\');
        flags = PeerAclDto::FlagRead | PeerAclDto::FlagWholeDrive;
    }
    logPrintf(LogNfo1, "\t%s, type: %d", qUtf8Printable(path), item.type);
    if (database) {
        for (const PeerAclDto &stored : database->loadPeerAcls(peerUuid)) {
            if (stored.selector == path)
                return stored;
        }
    }
    PeerAclDto entry;
    entry.uuid = nullUuidString();
    entry.name = item.name;
    entry.selector = path;
    entry.flags = flags;
    if (wholeDrive)
        entry.flags = PeerAclDto::FlagRead | PeerAclDto::FlagSubPaths | PeerAclDto::FlagWholeDrive;
    else if (QFileInfo(path).isDir())
        entry.flags |= PeerAclDto::FlagSubPaths;
    entry.timestamp = QDateTime::currentDateTimeUtc();
    return entry;
}

ShareWithDialog *ShareWithDialog::openForSelection(QQmlEngine *engine, IDatabase *database, IPeer *sharePeer,
                                                   IPeer *browsedPeer, const QModelIndexList &selected,
                                                   const QModelIndex &currentFolder, bool wholeDrive,
                                                   QObject *parent)
{
    if (!sharePeer || !browsedPeer || sharePeer->isLocal())
        return nullptr;
    logPrintf(LogNfo1, wholeDrive ? "share drive with %s" : "share with %s", qUtf8Printable(sharePeer->uuid()));
    Item item;
    if (!pickItem(browsedPeer->isLocal(), selected, currentFolder, wholeDrive, &item))
        return nullptr;
    auto *dialog = new ShareWithDialog(engine, database, sharePeer,
                                       entryFor(database, sharePeer->uuid(), item, wholeDrive), parent);
    dialog->show();
    return dialog;
}

ShareWithDialog *ShareWithDialog::openForEntry(QQmlEngine *engine, IDatabase *database, IPeer *sharePeer,
                                               const QString &aclUuid, QObject *parent)
{
    if (!sharePeer || !database)
        return nullptr;
    logPrintf(LogNfo1, "edit acl %s of peer %s", qUtf8Printable(aclUuid), qUtf8Printable(sharePeer->uuid()));
    for (const PeerAclDto &stored : database->loadPeerAcls(sharePeer->uuid())) {
        if (stored.uuid == aclUuid) {
            auto *dialog = new ShareWithDialog(engine, database, sharePeer, stored, parent);
            dialog->show();
            return dialog;
        }
    }
    return nullptr;
}
