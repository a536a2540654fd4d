#pragma once

// Which of a remote peer's announced addresses this program dials, and how fast it takes up
// new ones. A peer's greeting can name any address; without a check, one hostile or broken
// peer could make this computer knock on machines of the local network, on services bound to
// its own loopback, or on a stream of fresh addresses at every connection.
//
// One per peer, used on the peer's thread only. The loopback switch is process-wide and is
// set once at start, before any peer dials.

#include "peers/peertransports.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QSet>

#include <functional>

class DialPolicy
{
public:
    // New addresses (neither known at start nor dialled before) taken up within one window.
    static constexpr int kMaxNewPerWindow = 4;
    static constexpr qint64 kWindowMs = 60 * 1000;

    // Where several copies of the program share one computer (tests, a one-host setup),
    // their peers reach each other over loopback; anywhere else a remote peer announcing a
    // loopback address names this computer, not itself.
    static void setLoopbackPeersAllowed(bool allowed);
    static bool loopbackPeersAllowed();

    // The networks this computer is on, as its own address there and the prefix length.
    // Defaults to the addresses of the machine's interfaces, read at each call.
    using NetworksProvider = std::function<QList<QPair<QHostAddress, int>>()>;
    void setOwnNetworks(NetworksProvider provider);

    // False for an address no remote peer can have: unspecified, loopback and this
    // computer's own addresses (unless loopback peers are allowed), link-local, multicast,
    // broadcast and reserved ranges, and private or unique-local ones outside this computer's
    // own networks. Names (host names, onion addresses) pass: what they resolve to is checked
    // when they are dialled (addressCheck()).
    bool isDialable(const QString &host) const;
    bool isDialableAddress(QHostAddress address) const;

    // The same rules for the address a name resolved to, for whoever dials it later: they
    // hold whatever becomes of this policy, and nothing of its budget goes with them.
    std::function<bool(const QHostAddress &)> addressCheck() const;

    // Addresses not counted as new: those the user handed over with an invitation, and
    // those this computer has had the peer on. Other addresses stored in an earlier run are
    // not trusted: the peer itself may have named them.
    void trust(const std::vector<TransportDto> &transports);

    // The dialable ones of `targets`, order kept, at most `limit`. Known addresses always
    // pass; new ones while the window at `nowMs` has room, and from then on count as known.
    // `deferred` tells whether new addresses were held back for a later window.
    QList<DialTarget> admit(const QList<DialTarget> &targets, int limit, qint64 nowMs, bool *deferred = nullptr);

private:
    bool isOwnAddress(const QHostAddress &address) const;
    static QString keyOf(const QString &type, const QString &host, quint16 port);

    NetworksProvider m_ownNetworks;
    QSet<QString> m_known;
    QList<qint64> m_newTaken;   // when each new address of the current window was taken up
};
