#pragma once

// Hooks the peers layer into the network start-up. installPeers, called on the GUI thread
// before the connection manager starts, sets the manager's peerModel and registers the start
// steps that run on "ioThread": the peer factory with the loader (one peer per stored "nusk"
// peer), the local computer's own peer, and the authenticator for first contacts.

#include "com/greeting.h"
#include "peers/peerendpoint.h"

class ConnectionManager;
class IDatabase;
class PeerModel;

// `makeEndpoint` gives every peer its file endpoint; without one, peers carry no FSO.
void installPeers(ConnectionManager *manager, PeerModel *model, PeerEndpointMaker makeEndpoint = {});

// What this computer tells others about itself: name (own attribute, else the host name),
// icon, device type and the FSO protocol versions.
com::Greeting ownGreeting(IDatabase *database);
