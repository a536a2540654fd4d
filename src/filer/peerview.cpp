#include "filer/peerview.h"

#include "peers/ipeer.h"
#include "peers/peeraclmodel.h"

PeerInfo::PeerInfo(QObject *parent)
    : QObject(parent)
{
}

QObject *PeerInfo::peer() const
{
    return m_peer;
}

QObject *PeerInfo::aclModel() const
{
    return m_aclModel;
}

void PeerInfo::setPeer(QObject *peer)
{
    auto *next = qobject_cast<IPeer *>(peer);
    if (next == m_peer)
        return;
    if (m_peer)
        disconnect(m_peer, nullptr, this, nullptr);
    m_peer = next;
    if (next) {
        // Queued whatever thread the peer is on: the peer emits after releasing its mutex,
        // and this object reads it again on its own thread.
        for (auto signal : {&IPeer::uuidChanged, &IPeer::nameChanged, &IPeer::displayNameChanged, &IPeer::iconChanged,
                            &IPeer::typeChanged, &IPeer::deviceTypeChanged, &IPeer::linkStateChanged,
                            &IPeer::vfsDriveModelChanged, &IPeer::vfsFileSystemModelChanged})
            connect(next, signal, this, &PeerInfo::refresh, Qt::QueuedConnection);
        connect(next, &QObject::destroyed, this, &PeerInfo::refresh, Qt::QueuedConnection);
    }
    Q_EMIT peerChanged();
    refresh();
}

void PeerInfo::refresh()
{
    IPeer *peer = m_peer;
    m_uuid = peer ? peer->uuid() : QString();
    m_name = peer ? peer->name() : QString();
    m_displayName = peer ? peer->displayName() : QString();
    m_icon = peer ? peer->icon() : QString();
    m_type = peer ? peer->type() : QString();
    m_deviceType = peer ? peer->deviceType() : 0;
    m_linkState = peer ? peer->linkState() : 0;
    m_isLocal = peer && isNullUuidString(m_uuid);
    m_driveModel = peer ? peer->vfsDriveModel() : nullptr;
    m_fileModel = peer ? peer->vfsFileSystemModel() : nullptr;
    m_aclModel = peer ? peer->aclModel() : nullptr;
    Q_EMIT changed();
}
