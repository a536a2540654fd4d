#pragma once

// The file layer's endpoint of one network peer: its FSO client, server and command parser,
// wired to the peer's channels and to the peer's models. The loader makes one per peer
// through makeVfsPeerEndpoint (installPeers' maker).
//
// The local computer's own peer talks to its server in-process: each request goes to the
// same server code and access rules on a later turn of the peer thread's event loop, as a
// link would deliver it, but without encryption and socket. Its loopback link still comes
// up and down as before; it only tells the jobs whether the local side is usable.

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
    // The local peer: requests and replies go straight between client and server.
    void connectInProcess();
    void connectLink(PeerNusk *peer);
    // An in-process request, given away: a written block goes on in the message it came in.
    void requestTaken(std::vector<unsigned char> &message);

    QPointer<VfsClientNusk> m_client;
    QPointer<VfsServerNusk> m_server;
    QPointer<VfsFenuCommandParser> m_parser;
    // One decoded record shared by both channels: both run on the peer's thread, one message
    // at a time, and the client and server copy what they keep.
    std::unique_ptr<VfsFenuCommand> m_record;
    // In-process delivery decodes on a later turn, so each direction keeps its own record.
    std::unique_ptr<VfsFenuCommand> m_requestRecord;
};

// The maker installPeers takes: models and FSO objects for every peer.
std::unique_ptr<PeerEndpoint> makeVfsPeerEndpoint(PeerNusk *peer);
