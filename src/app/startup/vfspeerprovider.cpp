#include "app/startup/vfspeerprovider.h"

#include "peers/peernusk.h"
#include "vfs/fso/vfsclientnusk.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/fso/vfsfenucommand.h"
#include "vfs/fso/vfsfenucommandparser.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfsmodelicons.h"
#include "vfs/server/vfsserver.h"

#include <QMetaObject>
#include <QPointer>

#include <memory>

namespace {
constexpr ushort kFsoProtocolVersion = 3;
}

QObject *VfsPeerProvider::createDriveModel(IPeer *peer)
{
    auto *model = new VfsDriveModel;
    if (!peer)
        return model;
    model->setObjectName(peer->uuid());
    // Views find a peer's drive model by its name, so it follows the uuid.
    QPointer<IPeer> guard(peer);
    QObject::connect(peer, &IPeer::uuidChanged, model, [model, guard] {
        if (guard)
            model->setObjectName(guard->uuid());
    });
    return model;
}

QObject *VfsPeerProvider::createFileModel(IPeer *peer)
{
    Q_UNUSED(peer)
    auto *model = new VfsModel;
    // Thumbnails and type icons; they load once the window installs its image pipeline.
    VfsModelPreviews::attach(model);
    return model;
}

void VfsPeerProvider::peerAdded(IPeer *peer)
{
    if (!peer)
        return;
    auto *model = qobject_cast<VfsModel *>(peer->vfsFileSystemModel());
    if (!model)
        return;
    // The model's timers and connections belong to its own (GUI) thread.
    QPointer<IPeer> guard(peer);
    QMetaObject::invokeMethod(model, [model, guard] {
        if (guard)
            model->setPeer(guard.data());
    });
}

void VfsPeerProvider::attachFso(PeerNusk *peer, bool isLocal)
{
    attachFsoToPeer(peer, isLocal);
}

void attachFsoToPeer(PeerNusk *peer, bool isLocal)
{
    if (!peer)
        return;
    auto *client = new VfsClientNusk(peer);
    auto *server = new VfsServerNusk(isLocal, peer);
    auto *parser = new VfsFenuCommandParser(server);
    client->setProtocolVersion(kFsoProtocolVersion);
    server->setProtocolVersion(kFsoProtocolVersion);

    QObject::connect(client, &VfsClientNusk::fsoTransmit, peer, &PeerNusk::fsoTransmitCLi,
                     Qt::DirectConnection);
    QObject::connect(server, &VfsServerNusk::fsoTransmit, peer, &PeerNusk::fsoTransmitSrv,
                     Qt::DirectConnection);
    peer->setVfsClient(client);

    // One decoded record per peer, shared by both channels: both sinks run on the peer's
    // thread, one message at a time, and the client and server copy what they keep.
    auto record = std::make_shared<VfsFenuCommand>();
    QPointer<VfsClientNusk> clientGuard(client);
    QPointer<VfsServerNusk> serverGuard(server);
    QPointer<VfsFenuCommandParser> parserGuard(parser);
    peer->setClientMessageSink([clientGuard, parserGuard, record](const std::vector<unsigned char> &message) {
        if (!clientGuard || !parserGuard)
            return;
        if (parserGuard->processCommand(message, record.get(), clientGuard->protocolVersion()))
            clientGuard->processIncomingCommand(*record);
    });
    peer->setServerMessageSink([serverGuard, parserGuard, record](const std::vector<unsigned char> &message) {
        if (!serverGuard || !parserGuard)
            return;
        if (parserGuard->processCommand(message, record.get(), serverGuard->protocolVersion()))
            serverGuard->processIncomingCommand(*record);
    });
    peer->setProtocolVersionHandler([clientGuard, serverGuard](std::uint16_t version) {
        if (clientGuard)
            clientGuard->setProtocolVersion(version);
        if (serverGuard)
            serverGuard->setProtocolVersion(version);
    });
    peer->setAclHandler([serverGuard](const std::vector<PeerAclDto> &acls) {
        if (serverGuard)
            serverGuard->setAcl(acls);
    });

    // Replies to what was sent on a link that is gone will never come: let the requesters
    // (jobs, listings) fail over now rather than after a minute of waiting.
    QPointer<PeerNusk> peerGuard(peer);
    QObject::connect(peer, &IPeer::linkStateChanged, client, [peerGuard, clientGuard] {
        if (peerGuard && clientGuard && peerGuard->linkState() != IPeer::LinkUp)
            clientGuard->failPendingRequests();
    });

    if (auto *model = qobject_cast<VfsModel *>(peer->vfsFileSystemModel()))
        model->connectClient(client);
}
