#pragma once

// What lets computers behind NAT routers find each other over the UDP transport: the STUN
// client (public address and NAT kind, asked again every stunIntervalMs) and the TURN
// client (a relayed address, retried with back-off when the server fails). Reads its
// settings once at start(). Lives on the thread of the connection manager ("ioThread");
// transports() may be called from any thread.
//
// Settings (config.ini, group "com"): "stunservers" (list of host:port), "turnserver"
// (host:port; the option "--turn=host:port" overrides it), "turnuser", "turnpassword",
// "turntls" (true: reach the relay server over TLS, its certificate checked).
//
// A relay lost (the server restarted) or failed ends every link that travels through it at
// once: they cannot carry anything any more, and their peers then dial every address they
// know instead of waiting for the links' silence to run out.
//
// A new address (the relay gave another one, STUN found another public one) is announced at
// once on every link that is up (Link::announceTransports), with the whole list the greeting
// would carry: a peer reached over another path learns it now, not at its next handshake.

#include "db/dto.h"

#include <QHostAddress>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <functional>
#include <vector>

class QTimer;

namespace com {

class Hub;
class StunClient;
class TurnClient;
class UdpTransport;

struct NatSettings
{
    QStringList stunServers;
    QString turnServer;   // host:port
    QString turnUser;
    QString turnPassword;
    bool turnTls = false;

    static NatSettings fromConfig();
};

class NatTraversal : public QObject
{
    Q_OBJECT

public:
    NatTraversal(UdpTransport *udp, Hub *hub, QObject *parent = nullptr);

    // Addresses of peers allowed in through the relay besides peers on the same server.
    void setPermittedPeers(std::function<QList<QHostAddress>()> peers) { m_permittedPeers = std::move(peers); }
    void setStunInterval(int ms) { m_stunIntervalMs = ms; }

    void start(const NatSettings &settings);
    // Lets the permitted peers' addresses in through the relay now (also done every minute):
    // a peer's relay learnt just now must be let in before its first datagram arrives.
    void updatePermissions();
    // Gives the relay back; at shut-down, while the UDP socket is still there.
    void stop();

    // The public "udp" address (when STUN found one others can use) and the "turn" relayed
    // address, stamped now.
    std::vector<TransportDto> transports() const;
    // True while a configured relay is asked for the first time: what transports() says is
    // not complete yet. An invitation made now would miss the one address that reaches a
    // computer behind a symmetric NAT. Any thread.
    bool isRelayPending() const;

    StunClient *stun() const { return m_stun; }
    TurnClient *turn() const { return m_turn; }

private:
    void startTurn();
    void onStunFinished();
    void onTurnAllocated();
    void onTurnFailed();
    void dropRelay();
    // Announces the own transports to every peer with a link up when NAT traversal found an
    // address not announced before.
    void announceNewAddresses();

    QPointer<UdpTransport> m_udp;
    QPointer<Hub> m_hub;
    StunClient *m_stun = nullptr;
    TurnClient *m_turn = nullptr;
    QTimer *m_stunTimer = nullptr;
    QTimer *m_turnRetry = nullptr;
    NatSettings m_settings;
    int m_stunIntervalMs = 600000;
    int m_turnBackoffMs = 0;
    std::function<QList<QHostAddress>()> m_permittedPeers;
    QSet<QString> m_announced;   // "type|host|port" of transports() when last announced

    mutable QMutex m_mutex;
    QHostAddress m_public;
    quint16 m_publicPort = 0;
    QHostAddress m_relayed;
    quint16 m_relayedPort = 0;
    bool m_relayPending = false;
};

} // namespace com
