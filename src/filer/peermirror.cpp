#include "filer/peermirror.h"

#include "peers/ipeer.h"
#include "peers/peeraclmodel.h"

#include <QCoreApplication>
#include <QHash>

namespace {

QHash<IPeer *, QPointer<PeerMirror>> &mirrors()
{
    static QHash<IPeer *, QPointer<PeerMirror>> table;
    return table;
}

} // namespace

PeerMirror *PeerMirror::of(IPeer *peer)
{
    if (!peer)
        return nullptr;
    QPointer<PeerMirror> &slot = mirrors()[peer];
    if (!slot)
        slot = new PeerMirror(peer);
    return slot;
}

PeerMirror::PeerMirror(IPeer *peer)
    : QObject(QCoreApplication::instance())
    , m_peer(peer)
{
    // Every property is read under the peer's own lock, from this thread.
    for (auto signal : {&IPeer::nameChanged, &IPeer::displayNameChanged, &IPeer::iconChanged, &IPeer::typeChanged,
                        &IPeer::deviceTypeChanged, &IPeer::linkStateChanged, &IPeer::uuidChanged,
                        &IPeer::vfsDriveModelChanged, &IPeer::vfsFileSystemModelChanged})
        connect(peer, signal, this, &PeerMirror::refresh, Qt::QueuedConnection);
    connect(peer, &QObject::destroyed, this, [this, peer] {
        mirrors().remove(peer);
        deleteLater();
    }, Qt::QueuedConnection);
    refresh();
}

void PeerMirror::refresh()
{
    IPeer *peer = m_peer;
    if (!peer)
        return;
    m_uuid = peer->uuid();
    m_name = peer->name();
    m_displayName = peer->displayName();
    m_icon = peer->icon();
    m_type = peer->type();
    m_deviceType = peer->deviceType();
    m_linkState = peer->linkState();
    m_driveModel = peer->vfsDriveModel();
    m_fileModel = peer->vfsFileSystemModel();
    Q_EMIT changed();
}

QObject *PeerMirror::aclModel() const
{
    return m_peer ? m_peer->aclModel() : nullptr;
}

IPeer *PeerMirror::peer() const
{
    return m_peer;
}
