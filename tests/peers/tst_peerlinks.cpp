// Which link two paired computers keep when more than one comes up between them, the
// network switch reaching the peers when listening does not follow it, and new addresses
// reaching a peer over the link that stays up. Real hubs, loaders and databases in one
// process, over loopback (with a relay server on a free port where one is needed).

#include "com/hub.h"
#include "com/kcpsocket.h"
#include "com/link.h"
#include "com/nattraversal.h"
#include "com/turnclient.h"
#include "com/udptransport.h"
#include "db/ownkey.h"
#include "db/sqlitedatabase.h"
#include "peers/ipeer.h"
#include "peers/peerloader.h"
#include "peers/peernusk.h"
#include "peers/peertimings.h"
#include "peers/dialpolicy.h"
#include "peers/peertransports.h"
#include "testutil_ports.h"
#include "testutil_services.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// One installation's network side: database, hub, the loader with the local peer, wired the
// way the program wires them (the loader also hears listeningChanged).
struct Side
{
    QTemporaryDir dir;
    std::unique_ptr<SqliteDatabase> db;
    std::unique_ptr<com::Hub> hub;
    std::unique_ptr<com::UdpTransport> udp;
    PeerLoader *loader = nullptr;
    QString uuid = newUuidString();   // how the other side stores this one

    explicit Side(bool listen = true, const com::LinkTimings &timings = com::LinkTimings())
    {
        db = std::make_unique<SqliteDatabase>(dir.path());
        start(listen, timings);
    }
    // The program started again over the same database.
    void restart(bool listen, const com::LinkTimings &timings)
    {
        hub.reset();   // the loader and its peers with it
        db.reset();
        db = std::make_unique<SqliteDatabase>(dir.path());
        start(listen, timings);
    }
    void start(bool listen, const com::LinkTimings &timings)
    {
        hub = std::make_unique<com::Hub>();
        hub->setTimings(timings);
        hub->setIdentity(loadOrCreateOwnKeyPair(db.get()));
        if (listen)
            hub->listen(0);
        loader = new PeerLoader(db.get(), hub.get(), nullptr, hub.get());
        hub->setKnownKeyResolver([this](const QByteArray &key) { return loader->resolveKey(key); });
        QObject::connect(hub.get(), &com::Hub::incomingLink, loader, &PeerLoader::onIncomingLink,
                         Qt::DirectConnection);
        QObject::connect(hub.get(), &com::Hub::listeningChanged, loader, &PeerLoader::onNetworkChanged);
        loader->createLocalPeer();
    }
    ~Side()
    {
        hub.reset();
        udp.reset();
        db.reset();
    }

    QByteArray key() const { return hub->ownPublicKey(); }

    // A UDP transport on 127.0.0.1 the hub may dial and be dialled over.
    com::UdpTransport *addUdp()
    {
        udp = std::make_unique<com::UdpTransport>(hub.get());
        udp->bind(0, QHostAddress::LocalHost);
        hub->setStreamFactory(QStringLiteral("udp"), [this]() -> QTcpSocket * { return udp->createStream(); });
        return udp.get();
    }

    // Stores `other` as a paired peer reachable at `addresses` (host, port).
    PeerNusk *pair(const Side &other, const QList<QPair<QString, quint16>> &addresses)
    {
        QList<DialTarget> targets;
        for (const auto &address : addresses)
            targets.append({QStringLiteral("tcp"), address.first, address.second});
        return pairOver(other, targets);
    }
    PeerNusk *pairOver(const Side &other, const QList<DialTarget> &addresses)
    {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        db->putPeer({other.uuid, QStringLiteral("nusk"), now});
        for (const auto &address : addresses) {
            TransportDto t;
            t.uuid = newUuidString();
            t.peerUuid = other.uuid;
            t.type = address.type;
            t.host = address.host;
            t.port = address.port;
            t.stream = true;
            t.timestamp = now;
            db->putTransport(t);
        }
        db->putKey({newUuidString(), other.uuid, QString::fromLatin1(ownSigningKeyType()), other.key(), QByteArray(), now});
        return loader->ensurePeer(other.uuid);
    }

    // The established links to or from `other`.
    QList<com::Link *> linksWith(const Side &other) const
    {
        QList<com::Link *> found;
        for (com::Link *link : hub->links()) {
            if (link->remotePublicKey() == other.key())
                found << link;
        }
        return found;
    }
};

// Both sides hold exactly one link with each other, and it is the same connection.
bool onOneSharedLink(const Side &a, const Side &b)
{
    const QList<com::Link *> onA = a.linksWith(b);
    const QList<com::Link *> onB = b.linksWith(a);
    return onA.size() == 1 && onB.size() == 1 && onA.first()->channelBinding() == onB.first()->channelBinding();
}

// Forwards connections to 127.0.0.1:target, each direction held back by its own delay, and can
// turn the connections it carries into half-dead ones: nothing passes any more, and the
// client's end is cut while the listener's end stays open and silent.
class Relay : public QObject
{
public:
    Relay(quint16 target, int toServerDelayMs = 0, int toClientDelayMs = 0)
        : m_target(target)
        , m_toServerDelay(toServerDelayMs)
        , m_toClientDelay(toClientDelayMs)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, &Relay::onNewConnection);
    }

    quint16 port() const { return m_server.serverPort(); }
    int upstreamsClosed() const { return m_upstreamsClosed; }

    void killCurrentConnections()
    {
        for (const std::shared_ptr<Pair> &pair : qAsConst(m_pairs)) {
            pair->dead = true;
            if (pair->client)
                pair->client->abort();
        }
    }

private:
    struct Pair
    {
        QPointer<QTcpSocket> client;
        QPointer<QTcpSocket> upstream;
        bool dead = false;
    };

    void pass(const std::shared_ptr<Pair> &pair, QTcpSocket *from, QTcpSocket *to, int delayMs)
    {
        QByteArray bytes = from->readAll();
        if (pair->dead)
            return;
        QPointer<QTcpSocket> target(to);
        QTimer::singleShot(delayMs, this, [pair, target, bytes] {
            if (target && !pair->dead)
                target->write(bytes);
        });
    }

    void onNewConnection()
    {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            auto pair = std::make_shared<Pair>();
            m_pairs << pair;
            pair->client = client;
            auto *upstream = new QTcpSocket(this);
            pair->upstream = upstream;
            connect(upstream, &QTcpSocket::connected, this, [this, pair, client, upstream] {
                connect(client, &QTcpSocket::readyRead, this,
                        [=] { pass(pair, client, upstream, m_toServerDelay); });
                pass(pair, client, upstream, m_toServerDelay);
            });
            connect(upstream, &QTcpSocket::readyRead, this, [=] { pass(pair, upstream, client, m_toClientDelay); });
            // An orderly end travels on after the bytes before it; a dead connection's
            // listener end is left open.
            connect(client, &QTcpSocket::disconnected, this, [=] {
                if (!pair->dead)
                    QTimer::singleShot(m_toServerDelay, upstream, [upstream] { upstream->disconnectFromHost(); });
            });
            connect(upstream, &QTcpSocket::disconnected, this, [=] {
                ++m_upstreamsClosed;
                if (!pair->dead && pair->client)
                    QTimer::singleShot(m_toClientDelay, pair->client.data(),
                                       [pair] { pair->client->disconnectFromHost(); });
            });
            upstream->connectToHost(QHostAddress::LocalHost, m_target);
        }
    }

    quint16 m_target;
    int m_toServerDelay;
    int m_toClientDelay;
    QTcpServer m_server;
    QList<std::shared_ptr<Pair>> m_pairs;
    int m_upstreamsClosed = 0;

public:
    ~Relay() override
    {
        for (const std::shared_ptr<Pair> &pair : qAsConst(m_pairs)) {
            for (QTcpSocket *socket : {pair->client.data(), pair->upstream.data()}) {
                if (socket) {
                    disconnect(socket, nullptr, this, nullptr);
                    socket->abort();
                }
            }
        }
    }
};

// Waits until `peer` has ended `rounds` dialling rounds without a link (the first round
// included when called before it starts).
bool waitForRoundsWithoutLink(PeerNusk *peer, int rounds)
{
    int over = 0;
    const QMetaObject::Connection counting = QObject::connect(peer, &IPeer::linkStateChanged, [peer, &over] {
        if (peer->linkState() == IPeer::LinkDown)
            ++over;
    });
    const bool done = QTest::qWaitFor([&over, rounds] { return over >= rounds; }, testutil::timeoutMs(20000));
    QObject::disconnect(counting);
    return done;
}

} // namespace

class TstPeerLinks : public QObject
{
    Q_OBJECT

private:
    // After both sides settled on one link: nothing changes for a while. The caller returns
    // when this failed.
    void expectStable(Side &a, PeerNusk *bOnA, Side &b, PeerNusk *aOnB,
                      const std::function<bool()> &settled = [] { return true; })
    {
        QTRY_VERIFY_WITH_TIMEOUT(bOnA->linkState() == IPeer::LinkUp && aOnB->linkState() == IPeer::LinkUp
                                     && onOneSharedLink(a, b) && settled(),
                                 10000);
        const QByteArray binding = a.linksWith(b).first()->channelBinding();
        QSignalSpy changedOnA(bOnA, &IPeer::linkStateChanged);
        QSignalSpy changedOnB(aOnB, &IPeer::linkStateChanged);
        QTest::qWait(800);
        QCOMPARE(changedOnA.count(), 0);
        QCOMPARE(changedOnB.count(), 0);
        QVERIFY(onOneSharedLink(a, b));
        QCOMPARE(a.linksWith(b).first()->channelBinding(), binding);
    }

private Q_SLOTS:
    void initTestCase()
    {
        PeerTimings timings;
        timings.retryInitialMs = 50;
        timings.retryMaxMs = 400;
        timings.upgradeMs = 300;
        setPeerTimings(timings);
        DialPolicy::setLoopbackPeersAllowed(true);   // every peer here lives on 127.0.0.x
    }

    // B dials every address A announced at once: whichever order the links come up in on
    // each side, both keep the same one, and the other is closed on both sides.
    void severalAddressesSettleOnOneLink_data()
    {
        QTest::addColumn<bool>("skewed");
        QTest::newRow("two loopback addresses") << false;
        // The first link comes up on A first (at about 300 ms, the second at 400) but on B
        // last (600 against 400): each side sees the links come up in the opposite order.
        QTest::newRow("opposite orders") << true;
    }
    void severalAddressesSettleOnOneLink()
    {
        QFETCH(bool, skewed);
        Side a;
        Side b;
        const quint16 port = a.hub->listenPort();
        QVERIFY(port != 0);
        std::unique_ptr<Relay> slowBack;
        std::unique_ptr<Relay> slowThere;
        QList<QPair<QString, quint16>> addresses;
        if (skewed) {
            slowBack = std::make_unique<Relay>(port, 0, 300);
            slowThere = std::make_unique<Relay>(port, 200, 0);
            addresses = {{QStringLiteral("127.0.0.1"), slowBack->port()}, {QStringLiteral("127.0.0.1"), slowThere->port()}};
        } else {
            addresses = {{QStringLiteral("127.0.0.1"), port}, {QStringLiteral("127.0.0.2"), port}};
        }
        PeerNusk *bOnA = a.pair(b, {});
        PeerNusk *aOnB = b.pair(a, addresses);
        QVERIFY(bOnA && aOnB);
        // Settled once the other link of the round is closed on both sides (then its relay
        // closed it towards A).
        expectStable(a, bOnA, b, aOnB, [&] {
            return !skewed || slowBack->upstreamsClosed() + slowThere->upstreamsClosed() == 1;
        });
        if (QTest::currentTestFailed())
            return;
        QVERIFY(b.linksWith(a).first()->isOutgoing());
    }

    // Every announced transport is dialled: UDP carries the link when TCP cannot, and when
    // both come up both sides keep the TCP one.
    void bestTransportThatComesUpCarriesTheLink()
    {
        Side a;
        Side b;
        a.addUdp();
        b.addUdp();
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 deadPort = closed.serverPort();
        closed.close();
        PeerNusk *bOnA = a.pair(b, {});
        PeerNusk *aOnB = b.pairOver(a, {{QStringLiteral("tcp"), QStringLiteral("127.0.0.1"), deadPort},
                                                     {QStringLiteral("udp"), QStringLiteral("127.0.0.1"), a.udp->port()}});
        expectStable(a, bOnA, b, aOnB);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(com::Hub::transportOf(a.linksWith(b).first()), QStringLiteral("udp"));
        QCOMPARE(com::Hub::transportOf(b.linksWith(a).first()), QStringLiteral("udp"));

        Side c;
        Side d;
        c.addUdp();
        d.addUdp();
        PeerNusk *dOnC = c.pair(d, {});
        // UDP listed first: the order of the announcement is not what decides.
        PeerNusk *cOnD = d.pairOver(c, {{QStringLiteral("udp"), QStringLiteral("127.0.0.1"), c.udp->port()},
                                                     {QStringLiteral("tcp"), QStringLiteral("127.0.0.1"), c.hub->listenPort()}});
        expectStable(c, dOnC, d, cOnD);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(com::Hub::transportOf(c.linksWith(d).first()), QStringLiteral("tcp"));
        QCOMPARE(com::Hub::transportOf(d.linksWith(c).first()), QStringLiteral("tcp"));
    }

    // Up over UDP while TCP cannot get through; once it can, TCP takes over on both sides.
    void betterTransportReplacesTheLinkOnceItWorks()
    {
        Side a(false);
        Side b;
        a.addUdp();
        b.addUdp();
        const quint16 tcpPort = testutil::portKeptForLater();
        QVERIFY(tcpPort != 0);
        PeerNusk *bOnA = a.pair(b, {});
        PeerNusk *aOnB = b.pairOver(a, {{QStringLiteral("tcp"), QStringLiteral("127.0.0.1"), tcpPort},
                                       {QStringLiteral("udp"), QStringLiteral("127.0.0.1"), a.udp->port()}});
        QTRY_VERIFY_WITH_TIMEOUT(bOnA->linkState() == IPeer::LinkUp && onOneSharedLink(a, b), 10000);
        QCOMPARE(com::Hub::transportOf(b.linksWith(a).first()), QStringLiteral("udp"));

        a.hub->listen(tcpPort);
        QVERIFY(a.hub->isListening());
        expectStable(a, bOnA, b, aOnB, [&] {
            return com::Hub::transportOf(b.linksWith(a).value(0)) == QLatin1String("tcp");
        });
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(com::Hub::transportOf(a.linksWith(b).first()), QStringLiteral("tcp"));
    }

    // Up over UDP, the only address B knows; A can be reached over TCP from now on and says
    // so on the link: B takes the better path without waiting for a handshake to tell it.
    void announcedBetterAddressIsTakenUp()
    {
        Side a(false);
        Side b;
        a.addUdp();
        b.addUdp();
        PeerNusk *bOnA = a.pair(b, {});
        PeerNusk *aOnB = b.pairOver(a, {{QStringLiteral("udp"), QStringLiteral("127.0.0.1"), a.udp->port()}});
        QTRY_VERIFY_WITH_TIMEOUT(bOnA->linkState() == IPeer::LinkUp && onOneSharedLink(a, b), 10000);

        a.hub->listen(0);
        QVERIFY(a.hub->isListening());
        TransportDto tcp;
        tcp.type = QStringLiteral("tcp");
        tcp.host = QStringLiteral("127.0.0.1");
        tcp.port = a.hub->listenPort();
        QVERIFY(a.linksWith(b).first()->announceTransports({tcp}));
        expectStable(a, bOnA, b, aOnB, [&] {
            return com::Hub::transportOf(b.linksWith(a).value(0)) == QLatin1String("tcp");
        });
    }

    // A link B dialled proves to A where B listens: the port B's greeting names, on the host
    // the link came from, is marked as having worked, and no other port A stored for B there
    // (one B listened on before), which would otherwise be dialled first after a restart, in
    // vain, and kept ahead of the addresses that do work. A greeting that names no port of the
    // link's transport proves none.
    void incomingLinkMarksOnlyThePortThePeerListensOn_data()
    {
        QTest::addColumn<bool>("announced");
        QTest::newRow("port announced") << true;
        QTest::newRow("nothing announced") << false;
    }

    void incomingLinkMarksOnlyThePortThePeerListensOn()
    {
        QFETCH(bool, announced);
        Side a;
        Side b(false);   // A's dials fail: the link that comes up is B's
        const quint16 listening = testutil::portKeptForLater();
        const quint16 before = testutil::portKeptForLater();
        QVERIFY(listening != 0 && before != 0 && listening != before);
        b.hub->setTransportsProvider([announced, listening] {
            TransportDto t;
            t.type = QStringLiteral("tcp");
            t.host = QStringLiteral("127.0.0.1");
            t.port = listening;
            t.stream = true;
            return announced ? std::vector<TransportDto>{t} : std::vector<TransportDto>{};
        });
        PeerNusk *bOnA = a.pair(b, {{QStringLiteral("127.0.0.1"), before}, {QStringLiteral("127.0.0.1"), listening}});
        PeerNusk *aOnB = b.pair(a, {{QStringLiteral("127.0.0.1"), a.hub->listenPort()}});
        QTRY_VERIFY_WITH_TIMEOUT(bOnA->linkState() == IPeer::LinkUp && aOnB->linkState() == IPeer::LinkUp, 10000);
        QVERIFY(!a.linksWith(b).first()->isOutgoing());
        QStringList marked;
        for (const TransportDto &t : a.db->loadTransports(b.uuid)) {
            const QString port = t.port == listening ? QStringLiteral("listening") : QStringLiteral("before");
            if (t.worked != 0 && !marked.contains(port))
                marked << port;
        }
        QCOMPARE(marked, announced ? QStringList{QStringLiteral("listening")} : QStringList());
    }

    // B lost its end of a link without A noticing (a laptop that slept): B's next link
    // replaces the silent one on A at once, long before A's watchdog would end it.
    void newLinkReplacesHalfDeadOne()
    {
        com::LinkTimings slow;
        slow.silenceMs = 120000;
        Side a(true, slow);
        Side b(true, slow);
        Relay relay(a.hub->listenPort());
        PeerNusk *bOnA = a.pair(b, {});
        PeerNusk *aOnB = b.pair(a, {{QStringLiteral("127.0.0.1"), relay.port()}});
        QTRY_VERIFY_WITH_TIMEOUT(bOnA->linkState() == IPeer::LinkUp && aOnB->linkState() == IPeer::LinkUp, 10000);
        QCOMPARE(a.linksWith(b).size(), 1);
        QPointer<com::Link> stale = a.linksWith(b).first();
        const QByteArray staleBinding = stale->channelBinding();

        relay.killCurrentConnections();
        QTRY_VERIFY_WITH_TIMEOUT(!stale || stale->state() == com::Link::StateClosed, 5000);
        QCOMPARE(relay.upstreamsClosed(), 1);   // closed by A, not merely dropped
        expectStable(a, bOnA, b, aOnB);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(a.linksWith(b).first()->channelBinding() != staleBinding);
    }

    // The switch reaches the peers even when listening does not change with it: a port
    // taken meanwhile on "net on", or a hub that never listened.
    void networkSwitchReachesPeersWhateverListening()
    {
        Side a;
        Side b;
        const quint16 port = a.hub->listenPort();
        PeerNusk *bOnA = a.pair(b, {{QStringLiteral("127.0.0.1"), b.hub->listenPort()}});
        b.pair(a, {});
        QTRY_COMPARE_WITH_TIMEOUT(bOnA->linkState(), int(IPeer::LinkUp), 10000);

        QSignalSpy switched(a.hub.get(), &com::Hub::networkEnabledChanged);
        a.hub->setNetworkEnabled(false);
        QCOMPARE(switched.count(), 1);
        QCOMPARE(switched.last().first().toBool(), false);
        QTRY_COMPARE_WITH_TIMEOUT(bOnA->linkState(), int(IPeer::LinkDown), 5000);

        // Someone else takes the port on another loopback address: A cannot listen on every
        // address again, but may still dial out.
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress(QStringLiteral("127.0.0.2")), port));
        a.hub->setNetworkEnabled(true);
        QCOMPARE(switched.count(), 2);
        QVERIFY(!a.hub->isListening());
        QTRY_COMPARE_WITH_TIMEOUT(bOnA->linkState(), int(IPeer::LinkUp), 5000);
        squatter.close();

        // A hub that never listened: off keeps the peer down, on brings it back.
        Side c(false);
        PeerNusk *bOnC = c.pair(b, {{QStringLiteral("127.0.0.1"), b.hub->listenPort()}});
        b.pair(c, {});
        QTRY_COMPARE_WITH_TIMEOUT(bOnC->linkState(), int(IPeer::LinkUp), 10000);
        c.hub->setNetworkEnabled(false);
        QTRY_COMPARE_WITH_TIMEOUT(bOnC->linkState(), int(IPeer::LinkDown), 5000);
        QSignalSpy changed(bOnC, &IPeer::linkStateChanged);
        QTest::qWait(300);   // several retry periods: no dialling while off
        QCOMPARE(changed.count(), 0);
        c.hub->setNetworkEnabled(true);
        QTRY_COMPARE_WITH_TIMEOUT(bOnC->linkState(), int(IPeer::LinkUp), 5000);
    }
    // A peer none of whose addresses may be dialled on the networks this computer is on (a
    // private address while the interface of its network is down) stays down without
    // dialling; once the network is back, it is dialled at once.
    void nothingToDialUntilTheNetworkReturns()
    {
        Side a;
        Side b;
        DialPolicy::setLoopbackPeersAllowed(false);
        auto allowAgain = qScopeGuard([] { DialPolicy::setLoopbackPeersAllowed(true); });
        PeerNusk *bOnA = a.pair(b, {{QStringLiteral("127.0.0.1"), b.hub->listenPort()}});
        b.pair(a, {});
        QTest::qWait(500);   // several retry periods
        QCOMPARE(bOnA->linkState(), int(IPeer::LinkDown));

        allowAgain.dismiss();
        DialPolicy::setLoopbackPeersAllowed(true);   // the address is dialable from here on
        QTest::qWait(500);
        QCOMPARE(bOnA->linkState(), int(IPeer::LinkDown));
        a.loader->onNetworkReturned();
        QTRY_COMPARE_WITH_TIMEOUT(bOnA->linkState(), int(IPeer::LinkUp), 5000);
    }

    // B's greeting names ten fresh addresses (listeners that never answer a hello). Once B
    // is gone, A keeps dialling the address it had and takes up only a few of the new ones
    // within the minute, however many rounds it dials.
    void announcedAddressesAreTakenUpAFewAtATime()
    {
        com::LinkTimings quick;
        quick.handshakeMs = 200;
        Side a(true, quick);
        Side b;
        std::vector<std::unique_ptr<QTcpServer>> decoys;
        QSet<int> reached;
        int dialled = 0;
        std::vector<TransportDto> announced;
        for (int i = 0; i < 10; ++i) {
            decoys.push_back(std::make_unique<QTcpServer>());
            QVERIFY(decoys.back()->listen(QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + i))));
            connect(decoys.back().get(), &QTcpServer::newConnection, this, [&reached, &dialled, i] {
                reached.insert(i);
                ++dialled;
            });
            TransportDto t;
            t.type = QStringLiteral("tcp");
            t.host = decoys.back()->serverAddress().toString();
            t.port = decoys.back()->serverPort();
            announced.push_back(t);
        }
        b.hub->setTransportsProvider([announced] { return announced; });
        PeerNusk *bOnA = a.pair(b, {{QStringLiteral("127.0.0.1"), b.hub->listenPort()}});
        b.pair(a, {});
        QTRY_COMPARE_WITH_TIMEOUT(bOnA->linkState(), int(IPeer::LinkUp), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(int(a.db->loadTransports(b.uuid).size()), 11, 5000);

        b.hub->setNetworkEnabled(false);
        QTRY_COMPARE_WITH_TIMEOUT(bOnA->linkState(), int(IPeer::LinkDown), 5000);
        // B's own stored address took the first place of the minute.
        constexpr int kTakenUp = DialPolicy::kMaxNewPerWindow - 1;
        QTRY_COMPARE(reached.size(), kTakenUp);
        // Several more rounds of dialling and handshake timeouts, counted by the dials of the
        // addresses taken up: no other one joins them.
        const int dialledBefore = dialled;
        QTRY_VERIFY(dialled >= dialledBefore + 3 * kTakenUp);
        QCOMPARE(reached.size(), kTakenUp);
    }

    // Addresses a peer planted in the database in an earlier run (listeners that never answer
    // a hello) are taken up a few a minute after a restart too, not all at once.
    void storedAddressesKeepTheBudgetAfterARestart()
    {
        com::LinkTimings quick;
        quick.handshakeMs = 200;
        Side a(true, quick);
        Side b(false);
        std::vector<std::unique_ptr<QTcpServer>> decoys;
        QSet<int> reached;
        QList<DialTarget> planted;
        for (int i = 0; i < 10; ++i) {
            decoys.push_back(std::make_unique<QTcpServer>());
            QVERIFY(decoys.back()->listen(QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + i))));
            connect(decoys.back().get(), &QTcpServer::newConnection, this, [&reached, i] { reached.insert(i); });
            planted.append({QStringLiteral("tcp"), decoys.back()->serverAddress().toString(),
                             decoys.back()->serverPort()});
        }
        QVERIFY(a.pairOver(b, planted));

        for (int run = 0; run < 2; ++run) {
            if (run == 1) {
                a.restart(true, quick);
                reached.clear();
                a.loader->loadPeers();
            }
            PeerNusk *bOnA = a.loader->peer(b.uuid);
            QVERIFY(bOnA);
            QVERIFY(waitForRoundsWithoutLink(bOnA, 3));
            QCOMPARE(reached.size(), DialPolicy::kMaxNewPerWindow);
        }
    }

    // A name the peer announced is dialled only where the address it resolves to could have
    // been announced itself: names of this computer in /etc/hosts are not dialled, over TCP
    // nor over UDP.
    void namesResolvingToThisComputerAreNotDialled()
    {
        DialPolicy::setLoopbackPeersAllowed(false);
        const auto allowAgain = qScopeGuard([] { DialPolicy::setLoopbackPeersAllowed(true); });
        QTcpServer tcpDecoy;
        QVERIFY(tcpDecoy.listen(QHostAddress::Any));
        QUdpSocket udpDecoy;
        // The address spelled out: the enum alone would pick bind(port) and ask for port 4.
        QVERIFY2(udpDecoy.bind(QHostAddress(QHostAddress::Any), 0), qPrintable(udpDecoy.errorString()));
        int reached = 0;
        connect(&tcpDecoy, &QTcpServer::newConnection, this, [&reached] { ++reached; });
        connect(&udpDecoy, &QUdpSocket::readyRead, this, [&reached] { ++reached; });

        // Names the literal check lets through but the local resolver maps to loopback, each
        // over both transports (as many as are taken up at once).
        QFile hosts(QStringLiteral("/etc/hosts"));
        QList<DialTarget> named;
        if (hosts.open(QIODevice::ReadOnly)) {
            const DialPolicy literal;
            while (!hosts.atEnd()) {
                const QStringList fields = QString::fromUtf8(hosts.readLine()).section(QLatin1Char('#'), 0, 0)
                                               .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
                if (fields.size() < 2 || !QHostAddress(fields.first()).isLoopback())
                    continue;
                for (const QString &name : fields.mid(1)) {
                    if (literal.isDialable(name) && named.size() < DialPolicy::kMaxNewPerWindow) {
                        named.append({QStringLiteral("tcp"), name, tcpDecoy.serverPort()});
                        named.append({QStringLiteral("udp"), name, udpDecoy.localPort()});
                    }
                }
            }
        }
        if (named.isEmpty())
            QSKIP("/etc/hosts maps no name but localhost to loopback");

        com::LinkTimings quick;
        quick.handshakeMs = 200;
        Side a(true, quick);
        a.addUdp();
        Side b(false);
        PeerNusk *bOnA = a.pairOver(b, named);
        QVERIFY(bOnA);
        QVERIFY(waitForRoundsWithoutLink(bOnA, 2));
        QCOMPARE(reached, 0);
    }

    // A's relay restarts and gives A another address while B is linked to A over TCP: B has
    // the new address stored within seconds, told over the link that stayed up.
    void newRelayedAddressReachesAPeerLinkedOtherwise()
    {
        if (!testutil::Coturn::isInstalled())
            QSKIP("coturn (turnserver) is not installed");
        testutil::Coturn coturn;
        QVERIFY2(coturn.start(), qPrintable(coturn.log()));
        Side a;
        Side b;
        com::NatTraversal nat(a.addUdp(), a.hub.get());
        a.hub->setTransportsProvider([&nat] { return nat.transports(); });
        com::TurnClient::Timings quick;
        quick.silenceProbeMs = 300;
        nat.turn()->setTimings(quick);
        com::NatSettings settings;
        settings.turnServer = QStringLiteral("127.0.0.1:%1").arg(coturn.port());
        settings.turnUser = QStringLiteral("nusk");
        settings.turnPassword = QStringLiteral("secret");
        QSignalSpy allocated(nat.turn(), &com::TurnClient::allocated);
        nat.start(settings);
        QVERIFY(allocated.wait(10000));
        const quint16 first = nat.turn()->relayedPort();
        const auto relayPortsOnB = [&b, &a] {
            QSet<quint16> ports;
            for (const TransportDto &t : b.db->loadTransports(a.uuid)) {
                if (t.type == QLatin1String("turn"))
                    ports.insert(t.port);
            }
            return ports;
        };

        a.pair(b, {});
        PeerNusk *aOnB = b.pair(a, {{QStringLiteral("127.0.0.1"), a.hub->listenPort()}});
        QTRY_COMPARE_WITH_TIMEOUT(aOnB->linkState(), int(IPeer::LinkUp), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(relayPortsOnB().contains(first), 5000);   // from A's greeting
        const QByteArray binding = b.linksWith(a).first()->channelBinding();

        allocated.clear();
        QVERIFY2(coturn.restart(), qPrintable(coturn.log()));
        // Relayed datagrams that nothing answers tell A's client that the server is gone.
        QElapsedTimer clock;
        clock.start();
        while (allocated.isEmpty() && clock.elapsed() < testutil::timeoutMs(10000)) {
            nat.turn()->send(QByteArray(32, 'x'), QHostAddress::LocalHost, 40000);
            QTest::qWait(50);
        }
        QVERIFY(nat.turn()->isAllocated());
        const quint16 second = nat.turn()->relayedPort();
        if (second == first)
            QSKIP("the restarted relay happened to give the same port again");
        QTRY_VERIFY_WITH_TIMEOUT(relayPortsOnB().contains(second), 3000);
        qInfo("new relayed address stored on B %lld ms after the restart", clock.elapsed());
        QCOMPARE(b.linksWith(a).first()->channelBinding(), binding);
    }
};

QTEST_GUILESS_MAIN(TstPeerLinks)
#include "tst_peerlinks.moc"
