#pragma once

// The file layer's side of every peer: its drive model and file model, and for network
// peers the FSO client, server and command parser wired into the peer's channels. The
// program installs one instance with setPeerVfsProvider() before any peer is built.

#include "peers/peervfsprovider.h"

class VfsPeerProvider : public IPeerVfsProvider
{
public:
    // A VfsDriveModel named after the peer's uuid.
    QObject *createDriveModel(IPeer *peer) override;
    // A VfsModel; it is bound to the peer later, by peerAdded.
    QObject *createFileModel(IPeer *peer) override;
    // Binds the peer's file model to the peer (VfsModel::setPeer) on the model's thread.
    void peerAdded(IPeer *peer) override;
    void attachFso(PeerNusk *peer, bool isLocal) override;
};

// Makes the peer's client, server and parser and connects them to the peer and its file
// model. Called from attachFso on the peer's thread.
void attachFsoToPeer(PeerNusk *peer, bool isLocal);
