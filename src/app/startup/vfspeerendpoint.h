#pragma once

// The file layer's endpoint of one network peer: its FSO client, server and command parser,
// wired to the peer's channels and to the peer's models. The loader makes one per peer
// through makeVfsPeerEndpoint (installPeers' maker).

#include "peers/peerendpoint.h"

#include <QPointer>

class VfsClientNusk;
class VfsFenuCommandParser;
class VfsServerNusk;
struct VfsFenuCommand;

class VfsPeerEndpoint : public PeerEndpoint
{
public:
    // Makes the client, server and parser as children of `peer` (they go with it) and the
    // peer's models, and connects them. On the peer's thread.
    VfsPeerEndpoint(PeerNusk *peer, bool isLocal);
    ~VfsPeerEndpoint() override;

    VfsClient *client() const override;
    void replyArrived(const std::vector<unsigned char> &message) override;
    void requestArrived(const std::vector<unsigned char> &message) override;
    void setProtocolVersion(std::uint16_t version) override;
    void setAcl(const std::vector<PeerAclDto> &acls) override;

private:
    QPointer<VfsClientNusk> m_client;
    QPointer<VfsServerNusk> m_server;
    QPointer<VfsFenuCommandParser> m_parser;
    // One decoded record shared by both channels: both run on the peer's thread, one message
    // at a time, and the client and server copy what they keep.
    std::unique_ptr<VfsFenuCommand> m_record;
};

// The maker installPeers takes: models and FSO objects for every peer.
std::unique_ptr<PeerEndpoint> makeVfsPeerEndpoint(PeerNusk *peer);
