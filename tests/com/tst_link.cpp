#include "testutil_com.h"
#include "testutil_netns.h"
#include "testutil_timeouts.h"
#include "fuzz/linkfuzz.h"

#include "com/greeting.h"
#include "com/hub.h"
#include "com/link.h"
#include "com/termstream.h"
#include "db/dto.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QElapsedTimer>
#include <QtTest>

#include <algorithm>
#include <memory>

#include <sys/resource.h>
#include <unistd.h>

using namespace com;
using testutil::makeHub;
using testutil::makeMessage;
using testutil::quietTimings;

namespace {

const QString kClientUuid = QStringLiteral("{11111111-2222-3333-4444-555555555555}");


void acceptKey(Hub *server, const QByteArray &key, const QString &uuid = kClientUuid)
{
    server->setKnownKeyResolver([key, uuid](const QByteArray &k) {
        return k == key ? KeyVerdict::accept(uuid) : KeyVerdict::unknown();
    });
}

// Remembers the server side of every link a hub admits, and what reached it.
struct ServerSide
{
    QList<QPointer<Link>> links;
    int requests = 0;
    QString closeReason;
    bool closed = false;

    explicit ServerSide(Hub *hub)
    {
        QObject::connect(hub, &Hub::incomingLink, hub, [this](Link *link) {
            links.append(link);
            QObject::connect(link, &Link::messageReceivedSrv, link, [this](std::vector<unsigned char>) { ++requests; });
            QObject::connect(link, &Link::closed, link, [this](const QString &reason) {
                closed = true;
                closeReason = reason;
            });
        });
    }
};

struct ClientWatch
{
    bool established = false;
    bool closed = false;
    QString reason;

    explicit ClientWatch(Link *link)
    {
        QObject::connect(link, &Link::established, link, [this] { established = true; });
        QObject::connect(link, &Link::closed, link, [this](const QString &r) {
            closed = true;
            reason = r;
        });
    }
};

} // namespace

class TstLink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(crypto::initialize()); }

    void greetingRoundTripAndLimits();
    void exchangesTenThousandMessagesEachWay();
    void bulkAndLargestMessagesArriveBeforeClose();
    void admissionRules();
    void wrongServerKeyEndsHandshake();
    void dialWithoutRouteIsHeardToFail();
    void replayedHandshakeIsRefused();
    void tamperedTrafficEndsLink_data();
    void tamperedTrafficEndsLink();
    void hostileBytesLeaveListenerRunning();
    void pingMeasuresRoundTripAndWatchdogEndsSilentLink();
    void portInUseIsRetried();
    void sendRefusesMalformedMessages();
    void peerThatStopsReadingIsCutOff();
    void oneAddressCannotTakeEveryHandshakeSlot();
    void listenerSurvivesFailedAccept();
    void linkMayBeDeletedInsideItsOwnSignals();
    void strangersAndReplaysGetNothing();
    void serverMustSignBothIdentities();
    void floodFromManyAddressesLeavesRoomForPeers_data();
    void floodFromManyAddressesLeavesRoomForPeers();
    void partHellosHoldFewSlotsAndOnlyUntilTheirDeadline();
};

void TstLink::greetingRoundTripAndLimits()
{
    Greeting g;
    g.attributes.insert(greetingAttrName(), QStringLiteral("Wörkstation"));
    g.attributes.insert(greetingAttrDeviceType(), QStringLiteral("1"));
    g.fsoVersions = {3, 2, 1};
    TransportDto t;
    t.uuid = newUuidString();
    t.type = QStringLiteral("tcp");
    t.host = QStringLiteral("192.0.2.7");
    t.port = 60391;
    t.timestamp = 1700000000;
    g.transports.push_back(t);

    const QByteArray encoded = encodeGreeting(g);
    QVERIFY(!encoded.isEmpty());
    Greeting back;
    QVERIFY(decodeGreeting(encoded, &back));
    QCOMPARE(back.attributes, g.attributes);
    QCOMPARE(back.fsoVersions, g.fsoVersions);
    QCOMPARE(int(back.transports.size()), 1);
    QCOMPARE(back.transports[0].uuid, t.uuid);
    QCOMPARE(back.transports[0].host, t.host);
    QCOMPARE(back.transports[0].port, t.port);
    QCOMPARE(back.transports[0].timestamp, t.timestamp);
    QVERIFY(back.transports[0].stream);

    // Every truncation, and any trailing byte, is refused.
    for (int n = 0; n < encoded.size(); ++n)
        QVERIFY2(!decodeGreeting(encoded.left(n), &back), qPrintable(QString::number(n)));
    QByteArray trailing = encoded + '\0';
    QVERIFY(!decodeGreeting(trailing, &back));

    // A greeting that could not be decoded on the other side is not produced at all.
    Greeting big;
    for (int i = 0; i <= Greeting::kMaxAttributes; ++i)
        big.attributes.insert(QString::number(i), QStringLiteral("v"));
    QVERIFY(encodeGreeting(big).isEmpty());
    Greeting longText;
    longText.attributes.insert(QStringLiteral("x"), QString(int(Greeting::kMaxTextBytes) + 1, QLatin1Char('a')));
    QVERIFY(!decodeGreeting(encodeGreeting(longText), &back));
}

void TstLink::exchangesTenThousandMessagesEachWay()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());

    constexpr int kCount = 10000;
    auto payloadOf = [](int i) {
        QByteArray p(i % 977, Qt::Uninitialized);
        for (int j = 0; j < p.size(); ++j)
            p[j] = char(i * 31 + j);
        return p;
    };

    int toServer = 0, toClient = 0;
    bool serverOrderOk = true, clientOrderOk = true;
    QPointer<Link> serverLink;
    connect(server, &Hub::incomingLink, &scope, [&](Link *link) {
        serverLink = link;
        connect(link, &Link::messageReceivedSrv, &scope, [&](std::vector<unsigned char> m) {
            std::uint16_t id = 0;
            bool ok = false;
            const QByteArray p = testutil::messagePayload(m, &id, &ok);
            serverOrderOk = serverOrderOk && ok && id == std::uint16_t(toServer) && p == payloadOf(toServer);
            ++toServer;
        });
        for (int i = 0; i < kCount; ++i)
            QVERIFY(link->send(makeMessage(LinkClassFsoReply, std::uint16_t(i), payloadOf(i))));
    });

    Link *link = client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey());
    ClientWatch watch(link);
    connect(link, &Link::messageReceivedCli, &scope, [&](std::vector<unsigned char> m) {
        std::uint16_t id = 0;
        bool ok = false;
        const QByteArray p = testutil::messagePayload(m, &id, &ok);
        clientOrderOk = clientOrderOk && ok && id == std::uint16_t(toClient) && p == payloadOf(toClient);
        ++toClient;
    });
    QTRY_VERIFY(watch.established);
    for (int i = 0; i < kCount; ++i)
        QVERIFY(link->send(makeMessage(LinkClassFsoRequest, std::uint16_t(i), payloadOf(i))));

    QTRY_COMPARE_WITH_TIMEOUT(toServer, kCount, testutil::timeoutMs(60000));
    QTRY_COMPARE_WITH_TIMEOUT(toClient, kCount, testutil::timeoutMs(60000));
    QVERIFY(serverOrderOk);
    QVERIFY(clientOrderOk);
    QVERIFY(link->isEstablished());
    QVERIFY(serverLink && serverLink->isEstablished());
    QCOMPARE(serverLink->peerUuid(), kClientUuid);
    QVERIFY(!serverLink->isOwnKey());
    QVERIFY(!link->isOwnKey());
}

void TstLink::bulkAndLargestMessagesArriveBeforeClose()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());
    ServerSide side(server);

    // Batches of bulk messages around the largest one allowed: each frame must be read
    // across several reads and opened alongside others.
    constexpr int kCount = 200;
    const int largest = kMaxMessageBytes - int(kTermHeaderBytes) - 5;
    auto payloadOf = [largest](int i) {
        QByteArray p(i % 50 == 7 ? largest : 64 * 1024 - 13 * (i % 5), char(i));
        for (int j = 0; j < p.size(); j += 4096)
            p[j] = char(i + j / 4096);
        return p;
    };
    int arrived = 0;
    bool orderOk = true;
    QString serverReason;
    connect(server, &Hub::incomingLink, &scope, [&](Link *link) {
        connect(link, &Link::messageReceivedSrv, &scope, [&](const std::vector<unsigned char> &m) {
            std::uint16_t id = 0;
            bool ok = false;
            orderOk = orderOk && testutil::messagePayload(m, &id, &ok) == payloadOf(arrived) && ok
                && id == std::uint16_t(arrived);
            ++arrived;
        });
        connect(link, &Link::closed, &scope, [&](const QString &reason) { serverReason = reason; });
    });
    Link *link = client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey());
    ClientWatch watch(link);
    QTRY_VERIFY(watch.established);
    for (int i = 0; i < kCount; ++i)
        QVERIFY(link->send(makeMessage(LinkClassFsoRequest, std::uint16_t(i), payloadOf(i))));
    // Closed right away: what was sent still leaves, and only then the connection ends.
    link->close();
    QTRY_VERIFY_WITH_TIMEOUT(!serverReason.isEmpty(), testutil::timeoutMs(60000));
    QCOMPARE(arrived, kCount);
    QVERIFY(orderOk);
    QCOMPARE(serverReason, QStringLiteral("connection closed by peer"));
}

void TstLink::admissionRules()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    ServerSide side(server);
    const QString host = QStringLiteral("127.0.0.1");

    // No resolver and no first-contact hook: an unknown key is refused.
    {
        ClientWatch w(client->connectTo(host, server->listenPort(), server->ownPublicKey()));
        QTRY_VERIFY(w.closed);
        QVERIFY(!w.established);
        QCOMPARE(side.links.size(), 0);
    }

    // The first-contact hook sees the proven key, the greeting (with what the dialling side
    // added for this very connection) and the same channel binding as the client.
    QByteArray hookKey, hookBinding, clientBinding;
    QString hookInvitation;
    QString answer;
    server->setFirstContactHook([&](const Link &link) {
        hookKey = link.remotePublicKey();
        hookBinding = link.channelBinding();
        hookInvitation = link.remoteGreeting().attributes.value(QStringLiteral("invitation"));
        return answer;
    });
    auto amend = [&](Greeting &g, const QByteArray &binding) {
        clientBinding = binding;
        g.attributes.insert(QStringLiteral("invitation"), QStringLiteral("{abc}"));
    };
    {
        ClientWatch w(client->connectTo(host, server->listenPort(), server->ownPublicKey(), amend));
        QTRY_VERIFY(w.closed);
        QVERIFY(!w.established);
        QCOMPARE(hookKey, client->ownPublicKey());
        QCOMPARE(hookInvitation, QStringLiteral("{abc}"));
        QCOMPARE(hookBinding.size(), 32);
        QCOMPARE(hookBinding, clientBinding);
        QCOMPARE(side.links.size(), 0);
    }
    answer = QStringLiteral("{22222222-0000-0000-0000-000000000000}");
    {
        Link *link = client->connectTo(host, server->listenPort(), server->ownPublicKey(), amend);
        ClientWatch w(link);
        QTRY_VERIFY(w.established);
        QTRY_COMPARE(side.links.size(), 1);
        Link *srv = side.links.last();
        QCOMPARE(srv->peerUuid(), answer);
        QCOMPARE(srv->remotePublicKey(), client->ownPublicKey());
        QCOMPARE(srv->remoteGreeting().fsoVersions, (std::vector<std::uint16_t>{3, 2, 1}));
        QCOMPARE(link->remoteGreeting().attributes.value(greetingAttrName()), QStringLiteral("test"));
        QCOMPARE(srv->channelBinding(), link->channelBinding());
        QVERIFY(!link->remoteGreetingMessage().isEmpty());
        link->close();
        QTRY_VERIFY(side.closed);
    }

    // Nobody but the program itself may become the local computer's peer, whatever a hook says.
    answer = nullUuidString();
    {
        ClientWatch w(client->connectTo(host, server->listenPort(), server->ownPublicKey()));
        QTRY_VERIFY(w.closed);
        QVERIFY(!w.established);
    }
    // ...however the hook spells it (a first-contact hook may pass on a uuid the remote side
    // chose), and an answer that is no uuid at all admits nobody either.
    for (const QString &spelling : {nullUuidString(), QStringLiteral("00000000-0000-0000-0000-000000000000"),
                                    QStringLiteral("{00000000-0000-0000-0000-000000000000} "),
                                    QStringLiteral("not a uuid")}) {
        server->setKnownKeyResolver([spelling](const QByteArray &) { return KeyVerdict::accept(spelling); });
        ClientWatch w(client->connectTo(host, server->listenPort(), server->ownPublicKey()));
        QTRY_VERIFY(w.closed);
        QVERIFY2(!w.established, qPrintable(spelling));
    }
    server->setKnownKeyResolver(KnownKeyResolver());

    // A refusing resolver wins over an accepting first-contact hook.
    answer = kClientUuid;
    server->setKnownKeyResolver([](const QByteArray &) { return KeyVerdict::refuse(); });
    {
        ClientWatch w(client->connectTo(host, server->listenPort(), server->ownPublicKey()));
        QTRY_VERIFY(w.closed);
        QVERIFY(!w.established);
    }
    QCOMPARE(side.links.size(), 1);

    // The program dialling its own listener is the local computer, and only that.
    bool hooksAsked = false;
    server->setKnownKeyResolver([&](const QByteArray &) {
        hooksAsked = true;
        return KeyVerdict::refuse();
    });
    {
        Link *self = server->connectTo(host, server->listenPort(), server->ownPublicKey());
        ClientWatch w(self);
        QTRY_VERIFY(w.established);
        QTRY_COMPARE(side.links.size(), 2);
        QVERIFY(self->isOwnKey());
        QCOMPARE(self->peerUuid(), nullUuidString());
        QVERIFY(side.links.last()->isOwnKey());
        QCOMPARE(side.links.last()->peerUuid(), nullUuidString());
        QVERIFY(!hooksAsked);
    }
}

void TstLink::wrongServerKeyEndsHandshake()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());
    ServerSide side(server);

    const QByteArray someoneElse = crypto::generateSigningKeyPair().publicKey;
    ClientWatch w(client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), someoneElse));
    QTRY_VERIFY(w.closed);
    QVERIFY(!w.established);
    QVERIFY2(w.reason.contains(QStringLiteral("expected")), qPrintable(w.reason));
    QTRY_COMPARE(server->pendingHandshakes(), 0);
    QCOMPARE(side.links.size(), 0);
}

// A dial the system refuses at once (no route: a computer without IPv6, or with its network
// down) ends like any other, after the caller has connected to it.
void TstLink::dialWithoutRouteIsHeardToFail()
{
    const QString reason = testutil::Netns::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    testutil::Netns net;
    QVERIFY(net.add(QStringLiteral("alone")));
    const testutil::NetnsScope inside(net.name(QStringLiteral("alone")));
    QVERIFY(inside.isValid());

    QObject scope;
    Hub *client = makeHub(&scope, quietTimings());
    const QByteArray key = crypto::generateSigningKeyPair().publicKey;
    for (const QString &host : {QStringLiteral("198.18.7.1"), QStringLiteral("2001:db8::1")}) {
        ClientWatch w(client->connectTo(host, 60391, key));
        QTRY_VERIFY2(w.closed, qPrintable(host));
        QVERIFY(!w.established);
    }
}

void TstLink::replayedHandshakeIsRefused()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());
    ServerSide side(server);

    // Record a genuine session, handshake and one request.
    auto *relay = new testutil::TamperRelay(server->listenPort(), &scope);
    Link *link = client->connectTo(QStringLiteral("127.0.0.1"), relay->port(), server->ownPublicKey());
    ClientWatch w(link);
    QTRY_VERIFY(w.established);
    QVERIFY(link->send(makeMessage(LinkClassFsoRequest, 1, "hello")));
    QTRY_COMPARE(side.requests, 1);
    const QByteArray recordedClient = relay->clientToServer();
    const QByteArray recordedServer = relay->serverToClient();

    // The client's bytes replayed to the server.
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, server->listenPort());
    QVERIFY(raw.waitForConnected(5000));
    raw.write(recordedClient);
    QTRY_COMPARE(raw.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(side.links.size(), 1);
    QCOMPARE(side.requests, 1);

    // The server's bytes replayed to a client that dials a fake listener.
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost, 0));
    connect(&fake, &QTcpServer::newConnection, &scope, [&] {
        QTcpSocket *s = fake.nextPendingConnection();
        connect(s, &QTcpSocket::readyRead, s, [s, recordedServer] {
            s->readAll();
            s->write(recordedServer);
        });
    });
    Link *fooled = client->connectTo(QStringLiteral("127.0.0.1"), fake.serverPort(), server->ownPublicKey());
    ClientWatch fw(fooled);
    int replies = 0;
    connect(fooled, &Link::messageReceivedCli, &scope, [&](std::vector<unsigned char>) { ++replies; });
    QTRY_VERIFY(fw.closed);
    QVERIFY(!fw.established);
    QCOMPARE(replies, 0);
}

void TstLink::tamperedTrafficEndsLink_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("reason");
    QTest::newRow("flipped byte") << 0 << "does not open";
    QTest::newRow("frame repeated") << 1 << "out of sequence";
    QTest::newRow("oversized length") << 2 << "out of bounds";
    QTest::newRow("tiny length") << 3 << "out of bounds";
}

void TstLink::tamperedTrafficEndsLink()
{
    QFETCH(int, mode);
    QFETCH(QString, reason);

    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());
    ServerSide side(server);
    auto *relay = new testutil::TamperRelay(server->listenPort(), &scope);

    Link *link = client->connectTo(QStringLiteral("127.0.0.1"), relay->port(), server->ownPublicKey());
    ClientWatch w(link);
    QTRY_VERIFY(w.established);
    QTRY_COMPARE(side.links.size(), 1);
    // Wait until the pings of the fresh link have crossed, so the line is idle.
    QTRY_VERIFY(link->rttMs() >= 0 && side.links[0] && side.links[0]->rttMs() >= 0);

    switch (mode) {
    case 0:
        relay->flipNextClientByte(4 + crypto::kSessionHeaderBytes + 3);
        break;
    case 1:
        relay->injectToServer(relay->lastClientChunk());
        break;
    case 2:
        relay->injectToServer(QByteArray::fromHex("ffffff7f"));
        break;
    case 3:
        relay->injectToServer(QByteArray::fromHex("03000000"));
        break;
    }
    QVERIFY(link->send(makeMessage(LinkClassFsoRequest, 7, "must not arrive")));

    QTRY_VERIFY(side.closed);
    QVERIFY2(side.closeReason.contains(reason), qPrintable(side.closeReason));
    QCOMPARE(side.requests, 0);
    QTRY_VERIFY(w.closed);
}

void TstLink::hostileBytesLeaveListenerRunning()
{
    QObject scope;
    LinkTimings t = quietTimings();
    t.handshakeMs = 300;
    Hub *server = makeHub(&scope, t);
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());
    server->setFirstContactHook([](const Link &) { return kClientUuid; });
    ServerSide side(server);

    auto *rng = QRandomGenerator::global();
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    auto open = [&](const QByteArray &bytes) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, server->listenPort());
        s->write(bytes);
        sockets.push_back(std::move(s));
    };
    for (int i = 0; i < 40; ++i) {
        QByteArray junk(int(rng->bounded(1, 4000)), Qt::Uninitialized);
        for (char &c : junk)
            c = char(rng->bounded(256));
        open(junk);
    }
    open(QByteArray::fromHex("ffffffff") + QByteArray(100, 'x'));
    open(QByteArray::fromHex("0100"));   // a partial length, then silence
    // A well-formed hello followed by garbage where the client's authentication belongs.
    QByteArray hello = QByteArray::fromHex("45000000") + "NUSK" + char(kLinkProtocolVersion)
        + crypto::generateKxKeyPair().publicKey + crypto::randomBytes(32);
    open(hello + QByteArray::fromHex("40000000") + crypto::randomBytes(64));

    for (auto &s : sockets)
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), QAbstractSocket::UnconnectedState, testutil::timeoutMs(30000));
    QTRY_COMPARE(server->pendingHandshakes(), 0);
    QVERIFY(server->isListening());
    QCOMPARE(side.links.size(), 0);
    QCOMPARE(side.requests, 0);

    ClientWatch w(client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey()));
    QTRY_VERIFY(w.established);
}

void TstLink::pingMeasuresRoundTripAndWatchdogEndsSilentLink()
{
    QObject scope;
    // The server never pings after the first; the client gives up after 300 ms of silence.
    LinkTimings quietServer = quietTimings();
    LinkTimings impatient = quietTimings();
    impatient.silenceMs = 300;
    Hub *server = makeHub(&scope, quietServer);
    Hub *client = makeHub(&scope, impatient);
    acceptKey(server, client->ownPublicKey());

    Link *link = client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey());
    ClientWatch w(link);
    QSignalSpy rtt(link, &Link::rttChanged);
    QTRY_VERIFY(w.established);
    QTRY_VERIFY(rtt.count() >= 1);
    QVERIFY(link->rttMs() >= 0);
    QTRY_VERIFY(w.closed);
    QVERIFY2(w.reason.contains(QStringLiteral("silent")), qPrintable(w.reason));

    // With pings flowing, the same watchdog keeps the link up.
    LinkTimings lively = impatient;
    lively.pingIntervalMs = 50;
    server->setTimings(lively);
    client->setTimings(lively);
    Link *second = client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey());
    ClientWatch w2(second);
    QTRY_VERIFY(w2.established);
    QTest::qWait(700);
    QVERIFY(!w2.closed);
    QVERIFY(second->isEstablished());
}

void TstLink::portInUseIsRetried()
{
    QObject scope;
    QTcpServer blocker;
    QVERIFY(blocker.listen(QHostAddress::Any, 0));
    const quint16 port = blocker.serverPort();

    auto *hub = new Hub(&scope);
    hub->setIdentity(crypto::generateSigningKeyPair());
    hub->setListenRetryInterval(50);
    QSignalSpy changed(hub, &Hub::listeningChanged);
    hub->listen(port);
    QVERIFY(!hub->isListening());
    blocker.close();
    QTRY_VERIFY(hub->isListening());
    QCOMPARE(hub->listenPort(), port);
    QCOMPARE(changed.count(), 1);
}

void TstLink::sendRefusesMalformedMessages()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());
    ServerSide side(server);
    Link *link = client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey());
    ClientWatch w(link);
    QVERIFY(!link->send(makeMessage(LinkClassFsoRequest, 1, "too early")));
    QTRY_VERIFY(w.established);

    std::vector<unsigned char> good = makeMessage(LinkClassFsoRequest, 1, "x");
    std::vector<unsigned char> wrongLength = good;
    wrongLength.push_back(0);
    QVERIFY(!link->send(wrongLength));
    QVERIFY(!link->send(makeMessage(LinkClassControl, 1, "x")));   // control is the link's own
    QVERIFY(!link->send(std::vector<unsigned char>(good.begin(), good.begin() + 5)));
    QVERIFY(!link->send(makeMessage(LinkClassFsoRequest, 1, QByteArray(kMaxMessageBytes, 'x'))));
    QVERIFY(link->send(good));
    QTRY_COMPARE(side.requests, 1);
    QVERIFY(link->isEstablished());
}

void TstLink::peerThatStopsReadingIsCutOff()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());
    ServerSide side(server);
    constexpr qint64 kLimit = 2 * 1024 * 1024;
    server->setOutgoingLimit(kLimit);
    auto *relay = new testutil::TamperRelay(server->listenPort(), &scope);
    Link *link = client->connectTo(QStringLiteral("127.0.0.1"), relay->port(), server->ownPublicKey());
    ClientWatch w(link);
    QTRY_VERIFY(w.established);
    QTRY_COMPARE(side.links.size(), 1);
    QTRY_VERIFY(link->rttMs() >= 0 && side.links[0] && side.links[0]->rttMs() >= 0);

    // The client asks for much and reads nothing: what the server answers piles up at its end.
    relay->pauseServerToClient();
    QPointer<Link> srv = side.links[0];
    const QByteArray chunk(256 * 1024, 'r');
    constexpr int kTries = 256;   // 64 MiB
    int sent = 0;
    qint64 peak = 0;
    for (; sent < kTries && srv; ++sent) {
        if (!srv->send(makeMessage(LinkClassFsoReply, std::uint16_t(sent), chunk)))
            break;
        peak = qMax(peak, srv->bytesToWrite());
        QCoreApplication::processEvents();
    }
    QVERIFY2(sent < kTries, "the link kept queueing for a peer that reads nothing");
    QVERIFY2(peak <= kLimit, qPrintable(QString::number(peak)));
    QTRY_VERIFY(side.closed);
    QVERIFY2(side.closeReason.contains(QStringLiteral("read")), qPrintable(side.closeReason));
}

void TstLink::oneAddressCannotTakeEveryHandshakeSlot()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());

    // One host opens connections and says nothing: it may hold only a few handshakes.
    constexpr int kIdle = Hub::kMaxPendingIncoming + 8;
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    auto settled = [&] {
        int gone = 0;
        for (auto &s : idle)
            gone += s->state() == QAbstractSocket::UnconnectedState;
        return gone + server->pendingHandshakes() == int(idle.size());
    };
    // In small batches, so that the listener's backlog never overflows.
    while (int(idle.size()) < kIdle) {
        for (int i = 0; i < 16 && int(idle.size()) < kIdle; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            QVERIFY(s->bind(QHostAddress(QStringLiteral("127.0.0.2"))));
            s->connectToHost(QHostAddress::LocalHost, server->listenPort());
            idle.push_back(std::move(s));
        }
        QTRY_VERIFY(settled());
    }
    QVERIFY2(server->pendingHandshakes() <= Hub::kMaxPendingIncomingPerAddress,
             qPrintable(QString::number(server->pendingHandshakes())));

    // Another computer still gets in.
    ClientWatch w(client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey()));
    QTRY_VERIFY(w.established || w.closed);
    QVERIFY2(w.established, qPrintable(w.reason));
}

void TstLink::listenerSurvivesFailedAccept()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());

    // A connection waits in the kernel's queue while the process has no descriptor left, so
    // the listener's accept fails (as it does under any descriptor shortage).
    QTcpSocket early;
    early.connectToHost(QHostAddress::LocalHost, server->listenPort());
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int highest = dup(0);
    QVERIFY(highest >= 0);
    close(highest);
    rlimit low = saved;
    low.rlim_cur = rlim_t(highest + 16);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> hoard;
    for (int fd; (fd = dup(0)) >= 0;)
        hoard.push_back(fd);
    QTest::qWait(200);
    for (int fd : hoard)
        close(fd);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);

    QVERIFY(server->isListening());
    ClientWatch w(client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey()));
    QTRY_VERIFY_WITH_TIMEOUT(w.established || w.closed, testutil::timeoutMs(30000));
    QVERIFY2(w.established, qPrintable(w.reason));
}

void TstLink::linkMayBeDeletedInsideItsOwnSignals()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    Hub *client = makeHub(&scope, quietTimings());
    acceptKey(server, client->ownPublicKey());
    const QString host = QStringLiteral("127.0.0.1");

    // The receiving side drops its link on the first request while more are already buffered.
    int received = 0;
    QPointer<Link> dropped;
    connect(server, &Hub::incomingLink, &scope, [&](Link *link) {
        dropped = link;
        connect(link, &Link::messageReceivedSrv, &scope, [&, link](std::vector<unsigned char>) {
            ++received;
            delete link;
        });
    });
    Link *sender = client->connectTo(host, server->listenPort(), server->ownPublicKey());
    ClientWatch w(sender);
    QTRY_VERIFY(w.established);
    QTRY_VERIFY(dropped);
    for (int i = 0; i < 20; ++i)
        QVERIFY(sender->send(makeMessage(LinkClassFsoRequest, std::uint16_t(i), QByteArray(100, 'q'))));
    QTRY_VERIFY(w.closed);
    QVERIFY(!dropped);
    QCOMPARE(received, 1);
    disconnect(server, &Hub::incomingLink, &scope, nullptr);

    // Dropped as soon as it is up, on the side that dialled and on the side that listened.
    {
        Link *link = client->connectTo(host, server->listenPort(), server->ownPublicKey());
        QPointer<Link> guard(link);
        connect(link, &Link::established, &scope, [link] { delete link; });
        QTRY_VERIFY(!guard);
    }
    {
        QPointer<Link> incoming;
        connect(server, &Hub::incomingLink, &scope, [&](Link *link) {
            incoming = link;
            delete link;
        });
        ClientWatch w2(client->connectTo(host, server->listenPort(), server->ownPublicKey()));
        QTRY_VERIFY(w2.closed);
        QVERIFY(!incoming);
        disconnect(server, &Hub::incomingLink, &scope, nullptr);
    }
    // Dropped from its own closed() and from a round-trip report.
    {
        Link *link = client->connectTo(host, server->listenPort(), server->ownPublicKey());
        QPointer<Link> guard(link);
        connect(link, &Link::rttChanged, &scope, [link] { delete link; });
        QTRY_VERIFY(!guard);
    }
    {
        Link *link = client->connectTo(host, server->listenPort(), server->ownPublicKey());
        QPointer<Link> guard(link);
        connect(link, &Link::established, &scope, [link] { link->close(); });
        connect(link, &Link::closed, &scope, [link] { delete link; });
        QTRY_VERIFY(!guard);
    }

    // The hub still works.
    ClientWatch last(client->connectTo(host, server->listenPort(), server->ownPublicKey()));
    QTRY_VERIFY(last.established);
}

namespace {

// A client hello tagged for `serverKey`, as a frame.
QByteArray helloFrame(const QByteArray &serverKey, QByteArray *nonce = nullptr)
{
    QByteArray hello = QByteArray("NUSK") + char(kLinkProtocolVersion) + crypto::generateKxKeyPair().publicKey;
    const QByteArray n = crypto::randomBytes(32);
    if (nonce)
        *nonce = n;
    hello += n;
    hello += crypto::keyedHash(hello, serverKey, kLinkHelloTagBytes);
    return QByteArray::fromHex("55000000") + hello;
}

// Everything the server sends to a raw connection that sent `bytes`, until it hangs up.
QByteArray answerTo(quint16 port, const QByteArray &bytes)
{
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, port);
    if (!raw.waitForConnected(5000))
        return "no connection";
    raw.write(bytes);
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (raw.state() == QAbstractSocket::ConnectedState && timer.elapsed() < 1500) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        raw.waitForReadyRead(10);
        got += raw.readAll();
    }
    return got + raw.readAll();
}

} // namespace

// A server that signed a connection with some other client's key is not believed: only a
// confirmation over both identities of this connection lets the client in.
void TstLink::serverMustSignBothIdentities()
{
    for (const bool honest : {true, false}) {
        QObject scope;
        Hub *client = makeHub(&scope, quietTimings());
        const crypto::SigningKeyPair serverId = crypto::generateSigningKeyPair();
        const QByteArray confirmedClient = honest ? client->ownPublicKey() : crypto::generateSigningKeyPair().publicKey;
        QTcpServer fake;
        QVERIFY(fake.listen(QHostAddress::LocalHost, 0));
        QByteArray in;
        QTcpSocket *peer = nullptr;
        crypto::SessionSealer sealer;
        QByteArray transcript;
        int stage = 0;
        connect(&fake, &QTcpServer::newConnection, &scope, [&] {
            peer = fake.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, &scope, [&] {
                in += peer->readAll();
                if (stage == 0 && in.size() >= 4 + kLinkHelloBytes) {
                    const QByteArray hello = in.mid(4, kLinkHelloBytes);
                    in.remove(0, 4 + kLinkHelloBytes);
                    const crypto::KxKeyPair kx = crypto::generateKxKeyPair();
                    const crypto::SessionKeys keys = crypto::serverSessionKeys(kx, hello.mid(5, 32));
                    sealer = crypto::SessionSealer(kLinkKeyIdServerToClient, keys.tx);
                    QByteArray reply = QByteArray("NUSK") + char(kLinkProtocolVersion) + kx.publicKey + crypto::randomBytes(32);
                    reply += crypto::keyedHash(reply, serverId.publicKey, kLinkHelloTagBytes);
                    transcript = linkfuzz::sha256("nusk-link-1", hello, reply);
                    peer->write(linkfuzz::frame(reply));
                    const QByteArray sig = crypto::sign("nusk-link-1 server" + transcript, serverId.secretKey);
                    peer->write(linkfuzz::frame(sealer.seal(
                        linkfuzz::controlMessage(LinkServerAuth, linkfuzz::authBody(serverId.publicKey, sig)))));
                    stage = 1;
                } else if (stage == 1 && in.size() > 0) {
                    // The client's authentication and greeting are taken on trust here.
                    const QByteArray sig = crypto::sign("nusk-link-1 server confirm" + transcript + serverId.publicKey
                                                            + confirmedClient, serverId.secretKey);
                    std::vector<std::uint8_t> body(80);
                    com::TermStreamWriter w(body);
                    w.writeBlob(sig.constData(), std::size_t(sig.size()));
                    peer->write(linkfuzz::frame(sealer.seal(linkfuzz::controlMessage(
                        LinkServerConfirm, QByteArray(reinterpret_cast<const char *>(body.data()), int(w.size()))))));
                    peer->write(linkfuzz::frame(sealer.seal(encodeGreeting(Greeting()))));
                    stage = 2;
                }
            });
        });
        ClientWatch w(client->connectTo(QStringLiteral("127.0.0.1"), fake.serverPort(), serverId.publicKey));
        QTRY_VERIFY(w.established || w.closed);
        QCOMPARE(w.established, honest);
        if (!honest)
            QVERIFY2(w.reason.contains(QStringLiteral("confirmation")), qPrintable(w.reason));
    }
}

// A hello not made for the server's key, or one it has seen before, is dropped before any
// key exchange or signature: the sender learns not even the server's key.
void TstLink::strangersAndReplaysGetNothing()
{
    QObject scope;
    Hub *server = makeHub(&scope, quietTimings());
    const QByteArray stranger = helloFrame(crypto::generateSigningKeyPair().publicKey);
    QCOMPARE(answerTo(server->listenPort(), stranger), QByteArray());

    const QByteArray genuine = helloFrame(server->ownPublicKey());
    const QByteArray answer = answerTo(server->listenPort(), genuine);
    QVERIFY2(answer.size() > 4 + kLinkHelloBytes, qPrintable(QString::number(answer.size())));
    QCOMPARE(answerTo(server->listenPort(), genuine), QByteArray());
}

namespace {

// A connection from `from` that sends `bytes` of a hello frame and then nothing.
std::unique_ptr<QTcpSocket> partHello(const QString &from, quint16 port, int bytes = 8)
{
    auto s = std::make_unique<QTcpSocket>();
    s->bind(QHostAddress(from));
    s->connectToHost(QHostAddress::LocalHost, port);
    if (bytes > 0)
        s->write(linkfuzz::frame(QByteArray(kLinkHelloBytes, 'N')).left(bytes));
    return s;
}

} // namespace

void TstLink::floodFromManyAddressesLeavesRoomForPeers_data()
{
    QTest::addColumn<int>("connections");
    QTest::addColumn<int>("addresses");
    QTest::addColumn<int>("bytes");
    QTest::newRow("silent") << 512 << 64 << 0;
    QTest::newRow("8 bytes of a hello") << 256 << 32 << 8;
}

// Many addresses keep more connections open than there are handshake slots, each saying
// nothing or a few bytes of a hello, and open new ones as the old are dropped: real peers
// still get in, each at the first try.
void TstLink::floodFromManyAddressesLeavesRoomForPeers()
{
    QFETCH(int, connections);
    QFETCH(int, addresses);
    QFETCH(int, bytes);
    QObject scope;
    // A handshake crowded by the flood on a loaded machine may take long; only its outcome counts.
    LinkTimings patient = quietTimings();
    patient.handshakeMs = testutil::timeoutMs(30000);
    LinkTimings t = patient;
    t.firstMessageMs = 2000;
    Hub *server = makeHub(&scope, t);
    Hub *client = makeHub(&scope, patient);
    acceptKey(server, client->ownPublicKey());

    std::vector<std::unique_ptr<QTcpSocket>> flood(static_cast<std::size_t>(connections));
    auto refill = [&] {
        for (std::size_t i = 0; i < flood.size(); ++i)
            if (!flood[i] || flood[i]->state() == QAbstractSocket::UnconnectedState)
                flood[i] = partHello(QStringLiteral("127.0.%1.2").arg(1 + int(i) % addresses), server->listenPort(), bytes);
    };
    QTimer refiller;
    QObject::connect(&refiller, &QTimer::timeout, &scope, refill);
    refiller.start(20);
    QTRY_VERIFY_WITH_TIMEOUT(server->pendingHandshakes() >= Hub::kMaxPendingIncoming - 16, testutil::timeoutMs(60000));

    int up = 0, tried = 0;
    for (; tried < 20; ++tried) {
        ClientWatch w(client->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey()));
        QTRY_VERIFY_WITH_TIMEOUT(w.established || w.closed, testutil::timeoutMs(40000));
        up += w.established;
        if (!w.established)
            qInfo("refused: %s", qPrintable(w.reason));
    }
    QCOMPARE(up, tried);
    QVERIFY(server->pendingHandshakes() <= Hub::kMaxPendingIncoming);
}

// Whatever a connection sent, it holds its slot only until its hello deadline, and one
// address holds only a few, the local computer's own address included, while the local
// computer's own link still gets in from there.
void TstLink::partHellosHoldFewSlotsAndOnlyUntilTheirDeadline()
{
    QObject scope;
    LinkTimings t = quietTimings();
    t.firstMessageMs = 1500;
    Hub *server = makeHub(&scope, t);
    std::vector<std::unique_ptr<QTcpSocket>> part;
    for (int i = 0; i < 16; ++i)
        part.push_back(partHello(QStringLiteral("127.0.0.1"), server->listenPort()));
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY(std::all_of(part.begin(), part.end(), [](auto &s) { return s->bytesToWrite() == 0; }));
    QTest::qWait(100);
    QVERIFY2(server->pendingHandshakes() <= Hub::kMaxIncompletePerAddress,
             qPrintable(QString::number(server->pendingHandshakes())));

    // The local computer's own link, from the same address.
    ClientWatch own(server->connectTo(QStringLiteral("127.0.0.1"), server->listenPort(), server->ownPublicKey()));
    QTRY_VERIFY(own.established || own.closed);
    QVERIFY2(own.established, qPrintable(own.reason));

    // Let go by their hello deadline: nearer to it than to the handshake limit, which would
    // have ended them too, however loaded the machine.
    QTRY_COMPARE(server->pendingHandshakes(), 0);
    QVERIFY(t.handshakeMs >= 5 * t.firstMessageMs);
    QVERIFY2(clock.elapsed() < (t.firstMessageMs + t.handshakeMs) / 2, qPrintable(QString::number(clock.elapsed())));
    for (auto &s : part)
        QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
}

QTEST_GUILESS_MAIN(TstLink)
#include "tst_link.moc"
