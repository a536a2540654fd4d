#include "testutil_com.h"
#include "testutil_services.h"

#include "com/hub.h"
#include "com/kcpsocket.h"
#include "com/link.h"
#include "com/nattraversal.h"
#include "com/stunclient.h"
#include "com/stunmessage.h"
#include "com/turnclient.h"
#include "com/udptransport.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

using namespace com;
using testutil::makeHub;
using testutil::makeMessage;
using testutil::quietTimings;

namespace {

// A hub with its UDP socket and an allocation on the test's coturn.
struct RelayedSide
{
    Hub *hub;
    UdpTransport udp;
    TurnClient turn;

    RelayedSide(QObject *owner, const testutil::Coturn &coturn, const QString &password = QStringLiteral("secret"))
        : hub(makeHub(owner, quietTimings()))
        , udp(hub)
        , turn(&udp)
    {
        udp.bind(0, QHostAddress::LocalHost);
        hub->setStreamFactory(QStringLiteral("turn"), [this]() -> QTcpSocket * { return udp.createStream(true); });
        turn.setServer(QHostAddress::LocalHost, coturn.port());
        turn.setCredentials(QStringLiteral("nusk"), password);
    }
    ~RelayedSide() { delete hub; }

    bool allocate()
    {
        QSignalSpy done(&turn, &TurnClient::allocated);
        turn.start();
        return done.wait(5000) && turn.isAllocated();
    }
};

} // namespace

class TstTurn : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(crypto::initialize());
        if (!testutil::Coturn::isInstalled())
            QSKIP("turnserver (Debian package coturn) is not installed");
        QVERIFY2(m_coturn.start(), qPrintable(m_coturn.log()));
    }

    void copyThroughTheRelayArrivesIdentical();
    void wrongPasswordFailsAndStrayRelayTrafficIsIgnored();
    void relayedAddressIsAnnouncedAndDialable();

private:
    testutil::Coturn m_coturn;
};

void TstTurn::copyThroughTheRelayArrivesIdentical()
{
    QObject owner;
    RelayedSide a(&owner, m_coturn);
    RelayedSide b(&owner, m_coturn);
    QVERIFY2(a.allocate() && b.allocate(), qPrintable(m_coturn.log()));
    QVERIFY(a.turn.relayedPort() != b.turn.relayedPort());
    const QByteArray key = a.hub->ownPublicKey();
    b.hub->setKnownKeyResolver([key](const QByteArray &k) {
        return k == key ? KeyVerdict::accept(QStringLiteral("{11111111-2222-3333-4444-555555555555}"))
                        : KeyVerdict::unknown();
    });
    QPointer<Link> serverLink;
    qint64 received = 0;
    QCryptographicHash receivedHash(QCryptographicHash::Sha256);
    connect(b.hub, &Hub::incomingLink, &owner, [&](Link *link) {
        serverLink = link;
        connect(link, &Link::messageReceivedSrv, link, [&](std::vector<unsigned char> m) {
            received += qint64(m.size());
            receivedHash.addData(reinterpret_cast<const char *>(m.data()), int(m.size()));
        });
    });

    // A reaches B only at B's relayed address, and only through its own allocation.
    QPointer<Link> link = a.hub->connectTo(b.turn.relayedAddress().toString(), b.turn.relayedPort(),
                                           b.hub->ownPublicKey(), {}, QStringLiteral("turn"));
    QTRY_VERIFY_WITH_TIMEOUT(link && link->isEstablished() && serverLink, 10000);
    QCOMPARE(Hub::transportOf(link), QStringLiteral("turn"));
    QCOMPARE(Hub::transportOf(serverLink), QStringLiteral("turn"));

    QCryptographicHash sentHash(QCryptographicHash::Sha256);
    QRandomGenerator rng(5);
    qint64 sent = 0;
    const qint64 total = 16ll << 20;
    QElapsedTimer clock;
    clock.start();
    while ((sent < total || received < sent) && link && clock.elapsed() < 60000) {
        while (sent < total && link->bytesToWrite() < 4 << 20) {
            QByteArray payload(256 * 1024, Qt::Uninitialized);
            rng.fillRange(reinterpret_cast<quint32 *>(payload.data()), payload.size() / 4);
            const auto message = makeMessage(LinkClassFsoRequest, 1, payload);
            sentHash.addData(reinterpret_cast<const char *>(message.data()), int(message.size()));
            QVERIFY(link->send(message));
            sent += qint64(message.size());
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QCOMPARE(received, sent);
    QCOMPARE(receivedHash.result(), sentHash.result());
    // Once data flows, channels carry it rather than send indications.
    QVERIFY(a.turn.boundChannels() >= 1 && b.turn.boundChannels() >= 1);

    const quint64 before = a.turn.refreshes();
    a.turn.refreshNow();
    QTRY_COMPARE(a.turn.refreshes(), before + 1);
    QVERIFY(link->isEstablished());
    a.turn.stop();
    b.turn.stop();
}

void TstTurn::wrongPasswordFailsAndStrayRelayTrafficIsIgnored()
{
    QObject owner;
    RelayedSide wrong(&owner, m_coturn, QStringLiteral("not-the-password"));
    QSignalSpy failed(&wrong.turn, &TurnClient::failed);
    wrong.turn.start();
    QVERIFY(failed.wait(5000));
    QVERIFY(failed.first().first().toString().contains(QStringLiteral("401")));
    QVERIFY(!wrong.turn.isAllocated());

    // Relay traffic from anyone but the server is not the relay's: dropped, not delivered.
    RelayedSide side(&owner, m_coturn);
    QVERIFY(side.allocate());
    const quint64 dropped = side.udp.droppedDatagrams();
    QUdpSocket stranger;
    stranger.bind(QHostAddress(QHostAddress::LocalHost), 0);
    stun::Message data = stun::Message::indication(stun::MethodData);
    data.addXorAddress(stun::AttrXorPeerAddress, QHostAddress::LocalHost, 1234);
    data.add(stun::AttrData, QByteArray(40, '\xC3'));
    stranger.writeDatagram(data.encode(), QHostAddress(QHostAddress::LocalHost), side.udp.port());
    stranger.writeDatagram(QByteArray::fromHex("40000004") + "abcd", QHostAddress(QHostAddress::LocalHost),
                           side.udp.port());
    QTRY_COMPARE(side.udp.droppedDatagrams(), dropped + 2);
    QCOMPARE(side.udp.sessionCount(), 0);
    QVERIFY(side.turn.isAllocated());
    side.turn.stop();
}

void TstTurn::relayedAddressIsAnnouncedAndDialable()
{
    QObject owner;
    Hub *hub = makeHub(&owner, quietTimings());
    UdpTransport udp(hub);
    QVERIFY(udp.bind(0, QHostAddress::LocalHost));
    NatTraversal nat(&udp, hub);
    NatSettings settings;
    settings.stunServers = QStringList{QStringLiteral("127.0.0.1:%1").arg(m_coturn.port())};
    settings.turnServer = QStringLiteral("127.0.0.1:%1").arg(m_coturn.port());
    settings.turnUser = QStringLiteral("nusk");
    settings.turnPassword = QStringLiteral("secret");
    QVERIFY(!hub->canDial(QStringLiteral("turn")));
    QSignalSpy stunDone(nat.stun(), &StunClient::finished);
    QSignalSpy allocated(nat.turn(), &TurnClient::allocated);
    nat.start(settings);
    QVERIFY(allocated.wait(5000));
    QVERIFY(stunDone.count() > 0 || stunDone.wait(5000));
    QVERIFY(hub->canDial(QStringLiteral("turn")));
    // Not behind NAT here: the host's own addresses say it all, STUN adds nothing.
    QCOMPARE(nat.stun()->natKind(), NatKind::None);
    const std::vector<TransportDto> announced = nat.transports();
    QCOMPARE(int(announced.size()), 1);
    QCOMPARE(announced[0].type, QStringLiteral("turn"));
    QCOMPARE(announced[0].port, nat.turn()->relayedPort());

    // A relay that refuses takes the transport away again.
    settings.turnPassword = QStringLiteral("wrong");
    QSignalSpy failed(nat.turn(), &TurnClient::failed);
    nat.start(settings);
    QVERIFY(failed.wait(5000));
    QVERIFY(!hub->canDial(QStringLiteral("turn")));
    QVERIFY(nat.transports().empty());
}

QTEST_GUILESS_MAIN(TstTurn)
#include "tst_turn.moc"
