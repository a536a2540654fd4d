#include "app/startup/vfspeerendpoint.h"

#include "peers/peernusk.h"
#include "vfs/fso/vfsclientnusk.h"
#include "vfs/fso/vfsfenucommand.h"
#include "vfs/fso/vfsfenucommandparser.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfspeermodels.h"
#include "vfs/server/vfsserver.h"
#include "vfs/fso/fsoprotocol.h"

#include <algorithm>

namespace {
constexpr ushort kFsoProtocolVersion = FSO_PROTOCOL_VERSION;
}

VfsPeerEndpoint::VfsPeerEndpoint(PeerNusk *peer, bool isLocal)
    : m_client(new VfsClientNusk(peer))
    , m_server(new VfsServerNusk(isLocal, peer))
    , m_record(std::make_unique<VfsFenuCommand>())
{
    m_parser = new VfsFenuCommandParser(m_server);
    m_client->setProtocolVersion(kFsoProtocolVersion);
    m_server->setProtocolVersion(kFsoProtocolVersion);
    if (isLocal)
        connectInProcess();
    else
        connectLink(peer);

    // Replies to what was sent on a link that is gone will never come: once no link is left
    // the requesters (jobs, listings) fail over now rather than after a minute of waiting.
    // While another link of the round is on its way they wait: the other side answers on
    // the link it keeps. What is not sent yet waits for the link (within its timeout)
    // instead of going nowhere. The local peer's requests never travel on a link.
    QPointer<PeerNusk> peerGuard(peer);
    QPointer<VfsClientNusk> clientGuard(m_client);
    if (!isLocal)
        m_client->setLinkReady(peer->linkState() == IPeer::LinkUp);
    QObject::connect(peer, &IPeer::linkStateChanged, m_client, [peerGuard, clientGuard, isLocal] {
        if (!peerGuard || !clientGuard)
            return;
        const int state = peerGuard->linkState();
        if (!isLocal)
            clientGuard->setLinkReady(state == IPeer::LinkUp);
        if (state == IPeer::LinkDown)
            clientGuard->failPendingRequests();
    });
    // Except where the other side dropped the link before it read them: those requests are
    // lost while the peer stays reachable.
    if (!isLocal)
        QObject::connect(peer, &PeerNusk::requestLinkLost, m_client, &VfsClientNusk::repeatUnanswered);
    // And what the peer had this computer do for it ends: its files close, its queued
    // requests go, its long work stops.
    QPointer<VfsServerNusk> serverGuard(m_server.data());
    QObject::connect(peer, &IPeer::linkStateChanged, m_server, [peerGuard, serverGuard] {
        if (peerGuard && serverGuard && peerGuard->linkState() != IPeer::LinkUp)
            serverGuard->linkDropped();
    });

    attachPeerModels(peer);
    if (auto *model = qobject_cast<VfsModel *>(peer->vfsFileSystemModel()))
        model->connectClient(m_client);
}

VfsPeerEndpoint::~VfsPeerEndpoint() = default;

void VfsPeerEndpoint::connectLink(PeerNusk *peer)
{
    QPointer<PeerNusk> guard(peer);
    m_client->setTransmitter([guard](std::vector<unsigned char> &&message) {
        if (guard)
            guard->fsoTransmitCLi(std::move(message));
    });
    m_server->setTransmitter([guard](std::vector<unsigned char> &&message) {
        if (guard)
            guard->fsoTransmitSrv(std::move(message));
    });
}

void VfsPeerEndpoint::connectInProcess()
{
    m_requestRecord = std::make_unique<VfsFenuCommand>();
    // Delivered on a later turn: a reply never runs inside the call that sent its request,
    // and messages keep their order, as on a link. Each message travels moved, inside the
    // posted call, so a block is not copied on its way.
    m_client->setTransmitter([this](std::vector<unsigned char> &&message) {
        if (m_server)
            QMetaObject::invokeMethod(
            m_server, [this, message = std::move(message)]() mutable { requestTaken(message); }, Qt::QueuedConnection);
    });
    m_server->setTransmitter([this](std::vector<unsigned char> &&message) {
        if (m_client)
            QMetaObject::invokeMethod(
            m_client, [this, message = std::move(message)]() { replyArrived(message); }, Qt::QueuedConnection);
    });
}

VfsClient *VfsPeerEndpoint::client() const
{
    return m_client.data();
}

void VfsPeerEndpoint::replyArrived(const std::vector<unsigned char> &message)
{
    if (m_client && m_parser && m_parser->processCommand(message, m_record.get(), m_client->protocolVersion()))
        m_client->takeIncomingCommand(*m_record);
}

void VfsPeerEndpoint::requestArrived(const std::vector<unsigned char> &message)
{
    VfsFenuCommand *record = m_requestRecord ? m_requestRecord.get() : m_record.get();
    if (m_server && m_parser && m_parser->processCommand(message, record, m_server->protocolVersion()))
        m_server->takeIncomingCommand(*record);
}

void VfsPeerEndpoint::requestTaken(std::vector<unsigned char> &message)
{
    if (m_server && m_requestRecord && decodeFsoCommandTaking(message, *m_requestRecord, m_server->protocolVersion()))
        m_server->takeIncomingCommand(*m_requestRecord);
}

void VfsPeerEndpoint::setProtocolVersion(std::uint16_t version)
{
    // The version comes from the peer's greeting: a newer peer is spoken to in the newest
    // version known here, and nothing outside the known range is ever used.
    version = std::clamp<std::uint16_t>(version, FSO_PROTOCOL_VERSION_MIN, kFsoProtocolVersion);
    if (m_client)
        m_client->setProtocolVersion(version);
    if (m_server)
        m_server->setProtocolVersion(version);
}

void VfsPeerEndpoint::setAcl(const std::vector<PeerAclDto> &acls)
{
    if (m_server)
        m_server->setAcl(acls);
}

std::unique_ptr<PeerEndpoint> makeVfsPeerEndpoint(PeerNusk *peer)
{
    return std::make_unique<VfsPeerEndpoint>(peer, peer->isLocal());
}
