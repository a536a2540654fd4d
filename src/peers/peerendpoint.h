#pragma once

// The file layer's handler for one peer's two FSO channels. Whoever assembles the program
// hands the peer loader a maker; the loader asks it for one endpoint per peer it builds and
// gives it to the peer (PeerNusk::attachEndpoint), which owns it from then on. The peers
// layer only moves bytes: it knows neither the FSO client and server behind an endpoint nor
// the models the window shows. Peers without an endpoint (tests of this layer) drop FSO
// messages.
//
// Threads: every call is made on the peer's thread ("ioThread" in the program), one message
// at a time. The endpoint sends through the peer's fsoTransmitCLi / fsoTransmitSrv.

#include "db/dto.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class PeerNusk;
class VfsClient;

class PeerEndpoint
{
public:
    virtual ~PeerEndpoint() = default;

    // The peer's FSO client; lives as long as the peer.
    virtual VfsClient *client() const = 0;
    // A message of class 0x43 (a reply to our client) or 0x42 (a request to our server), as
    // it came off the link.
    virtual void replyArrived(const std::vector<unsigned char> &message) = 0;
    virtual void requestArrived(const std::vector<unsigned char> &message) = 0;
    // The FSO protocol version the other side prefers.
    virtual void setProtocolVersion(std::uint16_t version) = 0;
    // What the other side may reach on this computer; every change, in order.
    virtual void setAcl(const std::vector<PeerAclDto> &acls) = 0;
};

// Makes the endpoint of a peer right after the peer is built, on the peer's thread.
using PeerEndpointMaker = std::function<std::unique_ptr<PeerEndpoint>(PeerNusk *peer)>;
