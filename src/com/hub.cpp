#include "com/hub.h"

#include "app/base/log.h"
#include "db/dto.h"

#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>

#include <utility>

namespace com {

namespace {

bool isLoopbackAddress(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);   // also unwraps ::ffff:a.b.c.d
    return v4 ? QHostAddress(ip4).isLoopback() : address.isLoopback();
}

// One remote host for the handshake quota: an IPv4 address, or an IPv6 /64 (what one
// machine usually has to itself).
bool sameRemoteHost(const QHostAddress &a, const QHostAddress &b)
{
    bool v4a = false, v4b = false;
    const quint32 ipa = a.toIPv4Address(&v4a);
    const quint32 ipb = b.toIPv4Address(&v4b);
    if (v4a || v4b)
        return v4a && v4b && ipa == ipb;
    return a.isInSubnet(b, 64);
}

// The same remote host as sameRemoteHost() sees it, as a key.
QByteArray hostKey(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    if (v4)
        return QByteArray::number(ip4);
    const Q_IPV6ADDR ip6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(ip6.c), 8);
}

const char kTransportProperty[] = "com.transport";

// A relayed session's address is whatever the relay says the datagrams came from: it may
// claim this computer's loopback, an unspecified or a multicast address. Such a session is
// never this computer's, and the addresses no real peer can have are all counted as one
// sender, so that claiming many of them gains nothing.
bool isRelayed(const Link *link)
{
    return Hub::transportOf(link) == QLatin1String("turn");
}

QHostAddress countedAddress(const QHostAddress &address, bool relayed)
{
    if (!relayed)
        return address;
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    const QHostAddress plain = v4 ? QHostAddress(ip4) : address;
    static const QList<QPair<QHostAddress, int>> nowhere = [] {
        QList<QPair<QHostAddress, int>> list;
        for (const char *subnet : {"0.0.0.0/8", "127.0.0.0/8", "169.254.0.0/16", "224.0.0.0/3", "::/127", "fe80::/10", "ff00::/8"})
            list.append(QHostAddress::parseSubnet(QLatin1String(subnet)));
        return list;
    }();
    for (const auto &subnet : nowhere) {
        if (plain.isInSubnet(subnet))
            return QHostAddress(QHostAddress::AnyIPv4);
    }
    return plain;
}

} // namespace

Hub::Hub(QObject *parent)
    : QObject(parent)
{
    crypto::initialize();
    qRegisterMetaType<std::vector<unsigned char>>("std::vector<unsigned char>");
    qRegisterMetaType<com::Link *>("com::Link*");

    m_server = new QTcpServer(this);
    // Peers are reached directly; an application-wide proxy must never make listening fail.
    m_server->setProxy(QNetworkProxy::NoProxy);
    connect(m_server, &QTcpServer::newConnection, this, &Hub::onNewConnection);
    m_retryTimer = new QTimer(this);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &Hub::tryListen);

    // A failed accept (no descriptor left, no memory) makes the server stop accepting for
    // good; a listener must not go deaf over a passing shortage, so it tries again later.
    m_resumeTimer = new QTimer(this);
    m_resumeTimer->setSingleShot(true);
    connect(m_resumeTimer, &QTimer::timeout, this, [this] {
        if (m_server->isListening())
            m_server->resumeAccepting();
    });
    connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        if (!m_resumeTimer->isActive()) {
            logPrintf(LogErr1, "cannot accept a connection: %s; trying again in %d ms",
                      qPrintable(m_server->errorString()), m_listenRetryMs);
            m_resumeTimer->start(m_listenRetryMs);
        }
    });
}

Hub::~Hub()
{
    m_server->close();
}

void Hub::setIdentity(const crypto::SigningKeyPair &identity)
{
    m_identity = identity;
}

Greeting Hub::localGreeting() const
{
    Greeting greeting = m_greeting;
    if (greeting.transports.empty() && m_transports)
        greeting.transports = m_transports();
    return greeting;
}

void Hub::setTransportsProvider(std::function<std::vector<TransportDto>()> provider)
{
    m_transports = std::move(provider);
}

void Hub::listen(quint16 port)
{
    m_wantedPort = port;
    m_wantListen = true;
    m_loggedBindFailure = false;
    tryListen();
}

void Hub::stopListening()
{
    m_wantListen = false;
    m_retryTimer->stop();
    m_server->close();
    reportListening();
}

void Hub::reportListening()
{
    const bool now = isListening();
    if (now != m_reportedListening) {
        m_reportedListening = now;
        Q_EMIT listeningChanged(now);
    }
}

bool Hub::isListening() const
{
    return m_networkEnabled && m_server->isListening();
}

quint16 Hub::listenPort() const
{
    return m_server->isListening() ? m_server->serverPort() : m_boundPort;
}

void Hub::tryListen()
{
    if (!m_wantListen)
        return;
    // With the network off only the local computer's own loopback link may come in.
    const QHostAddress address = m_networkEnabled ? QHostAddress(QHostAddress::Any)
                                                  : QHostAddress(QHostAddress::LocalHost);
    if (m_server->isListening()) {
        if (m_server->serverAddress() == address)
            return;
        m_server->close();
    }
    // Once a port was bound (even one the system picked) keep to it, so that the transports
    // announced to other computers stay true.
    const quint16 port = m_boundPort ? m_boundPort : m_wantedPort;
    if (m_server->listen(address, port)) {
        m_boundPort = m_server->serverPort();
        m_retryTimer->stop();
        m_loggedBindFailure = false;
        logPrintf(LogCom1, "listening on TCP %s:%u", qPrintable(address.toString()), m_boundPort);
    } else {
        if (!m_loggedBindFailure)
            logPrintf(LogErr1, "cannot listen on TCP port %u: %s; retrying every %d ms", port,
                      qPrintable(m_server->errorString()), m_listenRetryMs);
        m_loggedBindFailure = true;
        m_retryTimer->start(m_listenRetryMs);
    }
    reportListening();
}

void Hub::setNetworkEnabled(bool enabled)
{
    if (enabled == m_networkEnabled)
        return;
    m_networkEnabled = enabled;
    if (m_wantListen)
        tryListen();
    reportListening();
    if (enabled) {
        Q_EMIT networkEnabledChanged(true);
        return;
    }

    // Stopping the listener alone would keep serving files to computers the user has just
    // cut off: end every link but the local computer's own ones.
    const QByteArray own = ownPublicKey();
    const QList<QPointer<Link>> all = m_links;
    for (const QPointer<Link> &link : all) {
        if (!link || link->state() == Link::StateClosed)
            continue;
        const bool keep = link->isOwnKey()
            || (link->isOutgoing() && !own.isEmpty() && link->m_expectedKey == own)
            || (!link->isOutgoing() && link->state() == Link::StateHandshaking
                && isLoopbackAddress(link->peerAddress()) && !isRelayed(link));
        if (!keep)
            link->fail(QStringLiteral("network disabled"));
    }
    Q_EMIT networkEnabledChanged(false);
}

Link *Hub::connectTo(const QString &host, quint16 port, const QByteArray &expectedKey,
                     const GreetingAmender &amend, const QString &transportType, const AddressCheck &mayDial)
{
    const bool tcp = transportType == QLatin1String("tcp");
    const auto factory = m_streamFactories.value(transportType);
    QTcpSocket *socket = tcp || !factory ? nullptr : factory();
    auto *link = new Link(socket ? socket : new QTcpSocket, true, this);
    link->setProperty(kTransportProperty, transportType);
    track(link);
    QString refusal;
    if (!tcp && !socket)
        refusal = QStringLiteral("no %1 transport").arg(transportType);
    else if (!m_identity.isValid())
        refusal = QStringLiteral("no identity");
    else if (expectedKey.size() != crypto::kSignPublicKeyBytes)
        refusal = QStringLiteral("no valid key expected");
    else if (!m_networkEnabled && expectedKey != m_identity.publicKey)
        refusal = QStringLiteral("network disabled");
    // Nothing happens before the caller has connected to the link's signals: a socket may
    // fail inside its connect call already (no route, the interface down), and a closed()
    // sent from in here would reach nobody.
    QPointer<Link> guard(link);
    QTimer::singleShot(0, this, [guard, refusal, host, port, expectedKey, amend, mayDial] {
        if (!guard || guard->state() == Link::StateClosed)
            return;
        if (refusal.isEmpty())
            guard->startClient(host, port, expectedKey, amend, mayDial);
        else
            guard->fail(refusal);
    });
    return link;
}

void Hub::setStreamFactory(const QString &transportType, std::function<QTcpSocket *()> factory)
{
    if (factory)
        m_streamFactories.insert(transportType, std::move(factory));
    else
        m_streamFactories.remove(transportType);
}

bool Hub::canDial(const QString &transportType) const
{
    return transportType == QLatin1String("tcp") || m_streamFactories.contains(transportType);
}

QString Hub::transportOf(const Link *link)
{
    const QString type = link ? link->property(kTransportProperty).toString() : QString();
    return type.isEmpty() ? QStringLiteral("tcp") : type;
}

bool Hub::acceptStream(QTcpSocket *socket, const QString &transportType)
{
    if (!socket || !admitIncoming(countedAddress(socket->peerAddress(), transportType == QLatin1String("turn"))))
        return false;
    // Only the local computer's own link may come in while the network is off, and that
    // one comes over TCP.
    if (!m_networkEnabled)
        return false;
    auto *link = new Link(socket, false, this);
    link->setProperty(kTransportProperty, transportType);
    track(link);
    link->startServer();
    return true;
}

bool Hub::admitIncoming(const QHostAddress &from)
{
    if (!takeConnectionToken(from)) {
        logPrintf(LogCom1, "too many connections from the network of %s, dropping it", qPrintable(from.toString()));
        return false;
    }
    // What a connection sent does not count until its hello is whole: a few bytes of one
    // hold a slot no longer than silence does. A remote host keeps at most a few incomplete
    // handshakes (its newest connections win over its oldest, so a loopback neighbour
    // cannot shut out the local computer's own link) and only so many in all; a full
    // table makes room by dropping an incomplete handshake of the host that holds the
    // most, its oldest, so that connections from many hosts cannot keep a real peer's one
    // out. One whose bytes wait unread right now (a hello on its way through this busy
    // loop) is passed over while another is left.
    std::vector<Link *> incomplete, incompleteOfHost;
    QHash<QByteArray, int> incompleteByHost;
    Link *oldest = nullptr;
    int total = 0, ofHost = 0;
    for (const QPointer<Link> &link : qAsConst(m_links)) {
        if (!link || link->isOutgoing() || link->state() != Link::StateHandshaking)
            continue;
        ++total;
        const QHostAddress counted = countedAddress(link->peerAddress(), isRelayed(link));
        const bool sameHost = sameRemoteHost(counted, from);
        ofHost += sameHost ? 1 : 0;
        if (!oldest || link->ageMs() > oldest->ageMs())
            oldest = link.data();
        if (link->isAwaitingHello()) {
            incomplete.push_back(link.data());
            ++incompleteByHost[hostKey(counted)];
            if (sameHost)
                incompleteOfHost.push_back(link.data());
        }
    }
    auto victim = [&incompleteByHost](const std::vector<Link *> &links) -> Link * {
        Link *best = nullptr, *bestIdle = nullptr;
        std::pair<int, qint64> bestRank{-1, -1}, bestIdleRank{-1, -1};
        for (Link *link : links) {
            const QHostAddress counted = countedAddress(link->peerAddress(), isRelayed(link));
            const std::pair<int, qint64> rank{incompleteByHost.value(hostKey(counted)), link->ageMs()};
            if (rank > bestRank) {
                best = link;
                bestRank = rank;
            }
            if (rank > bestIdleRank && !link->hasBytesWaiting()) {
                bestIdle = link;
                bestIdleRank = rank;
            }
        }
        return bestIdle ? bestIdle : best;
    };
    Link *evicted = nullptr;
    if (int(incompleteOfHost.size()) >= kMaxIncompletePerAddress) {
        evicted = victim(incompleteOfHost);
    } else if (ofHost >= kMaxPendingIncomingPerAddress) {
        logPrintf(LogCom1, "too many handshakes in progress from %s, dropping it", qPrintable(from.toString()));
        return false;
    } else if (total >= kMaxPendingIncoming) {
        evicted = incomplete.empty() ? oldest : victim(incomplete);
    }
    if (evicted) {
        logPrintf(LogCom1, "too many handshakes in progress, dropping the oldest from %s",
                  qPrintable(evicted->peerAddress().toString()));
        evicted->fail(QStringLiteral("handshake slot taken by a newer connection"));
    }
    return true;
}

QList<Link *> Hub::links() const
{
    QList<Link *> up;
    for (const QPointer<Link> &link : m_links)
        if (link && link->isEstablished())
            up.append(link.data());
    return up;
}

int Hub::pendingHandshakes() const
{
    int n = 0;
    for (const QPointer<Link> &link : m_links)
        if (link && !link->isOutgoing() && link->state() == Link::StateHandshaking)
            ++n;
    return n;
}

void Hub::onNewConnection()
{
    // A few at a time, so that the hellos of those just taken are read before newer
    // connections can crowd them out of the handshake table.
    for (int taken = 0; m_server->hasPendingConnections(); ++taken) {
        if (taken == kAcceptsPerTurn) {
            if (!m_acceptQueued) {
                m_acceptQueued = true;
                QTimer::singleShot(0, this, [this] {
                    m_acceptQueued = false;
                    onNewConnection();
                });
            }
            return;
        }
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        const QHostAddress from = socket->peerAddress();
        if (!admitIncoming(from)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *link = new Link(socket, false, this);
        track(link);
        link->startServer();
    }
}

bool Hub::takeConnectionToken(const QHostAddress &from)
{
    if (!m_bucketClock.isValid())
        m_bucketClock.start();
    bool v4 = false;
    const quint32 ip4 = from.toIPv4Address(&v4);
    QByteArray network;
    if (v4) {
        // Loopback addresses are all this machine's; each is a sender of its own.
        const quint32 mask = QHostAddress(ip4).isLoopback() ? 0xFFFFFFFFu : 0xFFFFFF00u;
        network = QByteArray::number(ip4 & mask);
    } else {
        const Q_IPV6ADDR ip6 = from.toIPv6Address();
        network = QByteArray(reinterpret_cast<const char *>(ip6.c), from.isLoopback() ? 16 : 6);
    }
    const qint64 now = m_bucketClock.elapsed();
    if (m_buckets.size() > 4096) {
        // Buckets that have filled up again carry no memory worth keeping.
        for (auto it = m_buckets.begin(); it != m_buckets.end();) {
            if (now - it->lastMs > 1000 * kConnectionBurst / kConnectionsPerSecond)
                it = m_buckets.erase(it);
            else
                ++it;
        }
    }
    auto it = m_buckets.find(network);
    if (it == m_buckets.end())
        it = m_buckets.insert(network, Bucket{double(kConnectionBurst), now});
    it->tokens = qMin(double(kConnectionBurst), it->tokens + (now - it->lastMs) * kConnectionsPerSecond / 1000.0);
    it->lastMs = now;
    if (it->tokens < 1.0)
        return false;
    it->tokens -= 1.0;
    return true;
}

bool Hub::isFreshHello(const QByteArray &nonce)
{
    constexpr std::size_t kRemembered = 8192;
    if (m_seenNonces.contains(nonce))
        return false;
    m_seenNonces.insert(nonce);
    m_nonceOrder.push_back(nonce);
    if (m_nonceOrder.size() > kRemembered) {
        m_seenNonces.remove(m_nonceOrder.front());
        m_nonceOrder.pop_front();
    }
    return true;
}

void Hub::track(Link *link)
{
    m_links.removeAll(QPointer<Link>());
    m_links.append(link);
    connect(link, &Link::established, this, [this, link] {
        if (!link->isOutgoing())
            Q_EMIT incomingLink(link);
    });
}

bool Hub::admit(Link &link, QString *peerUuid, bool *ownKey)
{
    const QByteArray key = link.remotePublicKey();
    if (key.isEmpty())
        return false;
    if (key == m_identity.publicKey) {
        // The own key is the local computer; a copy of our key turning up from elsewhere is
        // not, and must not get the local peer's rights.
        if (!isLoopbackAddress(link.peerAddress()) || isRelayed(&link)) {
            logPrintf(LogErr1, "own key offered from %s address %s, refused", isRelayed(&link) ? "relayed" : "non-loopback",
                      qPrintable(link.peerAddress().toString()));
            return false;
        }
        *peerUuid = nullUuidString();
        *ownKey = true;
        return true;
    }
    if (!m_networkEnabled)
        return false;

    const KeyVerdict verdict = m_resolver ? m_resolver(key) : KeyVerdict::unknown();
    QString uuid;
    switch (verdict.kind) {
    case KeyVerdict::Refuse:
        return false;
    case KeyVerdict::Accept:
        uuid = verdict.peerUuid;
        break;
    case KeyVerdict::Unknown:
        if (!m_firstContact)
            return false;
        uuid = m_firstContact(link);
        break;
    }
    // Refuse the local peer's uuid in any spelling the upper layers might read it back as
    // (without braces, with blanks around it), and anything that is no uuid at all.
    if (uuid.isEmpty() || isNullUuidString(uuid) || QUuid(uuid.trimmed()).isNull())
        return false;
    *peerUuid = uuid;
    *ownKey = false;
    return true;
}

} // namespace com
