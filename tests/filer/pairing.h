#pragma once

// Pairing the test's own network side with a running nusk-peerhost (for the tests that link
// the peer host helpers).

#include "../peers/testutil_peerhost.h"
#include "peers/invitation.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "testutil_filer.h"

namespace filertest {

// Accepts an invitation of `host` and waits until the link is up; the host's peer here, and
// (optional) this computer's uuid on the host. Null when the link never came up.
inline IPeer *pairWith(LocalNetwork &net, peerhosttest::Host &host, QString *ourUuidOnHost = nullptr)
{
    const QStringList invitation = host.invite(QStringLiteral("0badc0de"));
    if (invitation.size() != 2 || !acceptInvitation(net.database(), invitation[0], QStringLiteral("0badc0de")))
        return nullptr;
    IPeer *remote = nullptr;
    spinUntil([&] {
        for (IPeer *peer : net.peerModel()->peers())
            if (!peer->isLocal() && peer->linkState() == IPeer::LinkUp)
                remote = peer;
        return remote != nullptr;
    }, 30000);
    if (remote && ourUuidOnHost) {
        spinUntil([&] {
            const QList<peerhosttest::PeerLine> peers = host.remotePeers();
            if (peers.size() == 1)
                *ourUuidOnHost = peers.first().uuid;
            return !ourUuidOnHost->isEmpty();
        });
    }
    return remote;
}

} // namespace filertest
