#pragma once

// The communication hub: the TCP listener, outgoing links, and the rules that decide which
// proven keys are let in. Lives on the thread of the connection manager ("ioThread"); every
// call and every hook runs there.
//
// Who may connect, decided after the client proved its key and sent its greeting:
//   - the program's own key, only from a loopback address: the local computer's peer
//     (Link::isOwnKey, peer uuid nullUuidString()); no hook is asked and no other key can
//     ever get that uuid;
//   - a key the known-key resolver accepts: the uuid it gives;
//   - a key it calls unknown: the first-contact hook decides (an empty answer refuses);
//     without a hook installed, unknown keys are refused;
//   - everything else is refused: the connection closes and nobody hears of it.

#include "com/greeting.h"
#include "com/link.h"
#include "crypto/crypto.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QSet>
#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace com {

struct KeyVerdict
{
    enum Kind { Unknown, Accept, Refuse };
    Kind kind = Unknown;
    QString peerUuid;   // for Accept: the peer the key belongs to (never the null uuid)

    static KeyVerdict unknown() { return {}; }
    static KeyVerdict accept(const QString &uuid) { return {Accept, uuid}; }
    static KeyVerdict refuse() { return {Refuse, QString()}; }
};

using KnownKeyResolver = std::function<KeyVerdict(const QByteArray &remoteKey)>;
// Gets the link with its proven remotePublicKey(), remoteGreeting(), channelBinding() and
// peerAddress(); answers the uuid of the peer to admit it as, or an empty string to refuse.
using FirstContactHook = std::function<QString(const Link &link)>;

class Hub : public QObject
{
    Q_OBJECT

public:
    explicit Hub(QObject *parent = nullptr);
    ~Hub() override;

    // The installation's signing key. Until one is set every handshake is refused.
    void setIdentity(const crypto::SigningKeyPair &identity);
    const crypto::SigningKeyPair &identity() const { return m_identity; }
    QByteArray ownPublicKey() const { return m_identity.publicKey; }

    // What this side tells others. When the greeting has no transports of its own, the
    // transports provider (the connection manager's localTransports) fills them in.
    void setLocalGreeting(const Greeting &greeting) { m_greeting = greeting; }
    Greeting localGreeting() const;
    void setTransportsProvider(std::function<std::vector<TransportDto>()> provider);

    void setKnownKeyResolver(KnownKeyResolver resolver) { m_resolver = std::move(resolver); }
    // An empty function removes the hook (unknown keys refused again).
    void setFirstContactHook(FirstContactHook hook) { m_firstContact = std::move(hook); }
    bool hasFirstContactHook() const { return bool(m_firstContact); }

    void setTimings(const LinkTimings &timings) { m_timings = timings; }
    const LinkTimings &timings() const { return m_timings; }

    // What one link may hold unsent before it counts as a peer that does not read.
    void setOutgoingLimit(qint64 bytes) { m_outgoingLimit = bytes; }
    qint64 outgoingLimit() const { return m_outgoingLimit; }

    // Listens on every address (port 0: the system picks one). When the port cannot be
    // bound the reason is logged and binding is retried every listenRetryMs.
    void listen(quint16 port);
    void stopListening();
    bool isListening() const;
    // The bound port, 0 while not listening.
    quint16 listenPort() const;
    void setListenRetryInterval(int ms) { m_listenRetryMs = ms; }

    // Off: no listening on the network and every link except the own-key (local computer)
    // ones is closed; outgoing links to other keys are refused while off. The local
    // computer keeps a listener on 127.0.0.1 that admits only the own key, so its peer can
    // still reconnect. On: listens on every address again.
    void setNetworkEnabled(bool enabled);
    bool isNetworkEnabled() const { return m_networkEnabled; }

    // Dials host:port and expects the remote side to prove `expectedKey`. The link is
    // returned at once (StateHandshaking) and dials on the next turn of the event loop, so
    // that the caller hears whatever becomes of it: established() or closed(). The amender
    // may add to this link's greeting once the channel binding is known. With `mayDial`, the
    // host (a name resolved first) is dialled only at an address it accepts; the link closes
    // when there is none.
    Link *connectTo(const QString &host, quint16 port, const QByteArray &expectedKey,
                    const GreetingAmender &amend = GreetingAmender(),
                    const QString &transportType = QStringLiteral("tcp"),
                    const AddressCheck &mayDial = AddressCheck());

    // The stream a dial over `transportType` ("udp", "turn", "onion") travels on; "tcp" is
    // built in. A type without a factory cannot be dialled (the link closes at once).
    void setStreamFactory(const QString &transportType, std::function<QTcpSocket *()> factory);
    bool canDial(const QString &transportType) const;
    // A connected stream that came in over another transport, taken like a TCP connection
    // the listener accepted and under the same handshake quotas. False, and the socket left
    // to the caller, when over quota or with the network off.
    bool acceptStream(QTcpSocket *socket, const QString &transportType);
    // The transport type a link travels on ("tcp" for plain TCP links).
    static QString transportOf(const Link *link);

    // Links that are up, in both directions.
    QList<Link *> links() const;
    int pendingHandshakes() const;

    // Handshakes in progress; when full, the oldest whose hello is not whole yet, whatever
    // it sent (else the oldest), gives way to the newcomer, so idle or stalling connections
    // cannot lock everybody out (each holds its slot for firstMessageMs at most).
    static constexpr int kMaxPendingIncoming = 128;
    // Handshakes in progress from any one remote address (loopback ones included); beyond
    // it the newcomer is dropped.
    static constexpr int kMaxPendingIncomingPerAddress = 8;
    // Of these, those whose hello is not whole yet; beyond it the address's oldest such
    // gives way to its newcomer.
    static constexpr int kMaxIncompletePerAddress = 4;
    // New connections per network (/24 for IPv4, /48 for IPv6; each loopback address on
    // its own): a burst, then a steady rate. Beyond it a connection is closed at once.
    static constexpr int kConnectionBurst = 64;
    static constexpr int kConnectionsPerSecond = 8;
    // Connections taken from the listener in one turn of the event loop.
    static constexpr int kAcceptsPerTurn = 16;

Q_SIGNALS:
    // An incoming link was admitted and is established. Connect with a direct connection
    // (same thread) so that no message that follows it right away is missed.
    void incomingLink(com::Link *link);
    void listeningChanged(bool listening);
    // The network switch moved (setNetworkEnabled with a new value), whatever became of
    // listening: a port that cannot be bound must not keep the switch from reaching anyone.
    void networkEnabledChanged(bool enabled);

private:
    friend class Link;

    void onNewConnection();
    void tryListen();
    void reportListening();
    bool admit(Link &link, QString *peerUuid, bool *ownKey);
    void track(Link *link);
    // Rate-limits the sender's network and makes room in the handshake table (dropping the
    // oldest pending handshake when full); false when the sender must be refused.
    bool admitIncoming(const QHostAddress &from);
    // Takes a token of the sender's network; false when its bucket is empty.
    bool takeConnectionToken(const QHostAddress &from);
    // False for a client hello nonce seen recently (a replayed hello).
    bool isFreshHello(const QByteArray &nonce);

    struct Bucket
    {
        double tokens = 0;
        qint64 lastMs = 0;
    };

    crypto::SigningKeyPair m_identity;
    Greeting m_greeting;
    std::function<std::vector<TransportDto>()> m_transports;
    KnownKeyResolver m_resolver;
    FirstContactHook m_firstContact;
    LinkTimings m_timings;
    qint64 m_outgoingLimit = kMaxOutgoingBytes;

    QTcpServer *m_server = nullptr;
    QTimer *m_retryTimer = nullptr;
    QTimer *m_resumeTimer = nullptr;
    quint16 m_wantedPort = 0;
    quint16 m_boundPort = 0;
    bool m_wantListen = false;
    bool m_networkEnabled = true;
    bool m_loggedBindFailure = false;
    bool m_reportedListening = false;
    bool m_acceptQueued = false;
    int m_listenRetryMs = 5000;
    QList<QPointer<Link>> m_links;
    QHash<QString, std::function<QTcpSocket *()>> m_streamFactories;
    QHash<QByteArray, Bucket> m_buckets;
    QElapsedTimer m_bucketClock;
    QSet<QByteArray> m_seenNonces;
    std::deque<QByteArray> m_nonceOrder;
};

} // namespace com
