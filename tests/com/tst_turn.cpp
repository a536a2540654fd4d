#include "testutil_com.h"
#include "testutil_copy.h"
#include "testutil_services.h"
#include "testutil_timeouts.h"

#include "com/hub.h"
#include "com/kcpsocket.h"
#include "com/link.h"
#include "com/nattraversal.h"
#include "com/stunclient.h"
#include "com/stunmessage.h"
#include "com/turnclient.h"
#include "com/udptransport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

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

    RelayedSide(QObject *owner, const testutil::Coturn &coturn, const QString &password = QStringLiteral("secret"),
                quint16 port = 0)
        : hub(makeHub(owner, quietTimings()))
        , udp(hub)
        , turn(&udp)
    {
        udp.bind(port, QHostAddress::LocalHost);
        hub->setStreamFactory(QStringLiteral("turn"), [this]() -> QTcpSocket * { return udp.createStream(true); });
        turn.setServer(QHostAddress::LocalHost, coturn.port());
        turn.setCredentials(QStringLiteral("nusk"), password);
    }
    ~RelayedSide() { delete hub; }

    bool allocate()
    {
        QSignalSpy done(&turn, &TurnClient::allocated);
        turn.start();
        return done.wait(testutil::timeoutMs(30000)) && turn.isAllocated();
    }

    // To the relay's TLS port; `trusted`: the relay's own certificate is the one trusted.
    void useTls(const testutil::Coturn &coturn, bool trusted)
    {
        turn.setServer(QHostAddress::LocalHost, coturn.tlsPort());
        turn.setTls(true, trusted ? QSslCertificate::fromPath(coturn.certificatePath()) : QList<QSslCertificate>());
    }
};

// Waits until the relay holds no allocation for the client port `port` any more: an allocate
// request from there without credentials is answered "437 Allocation Mismatch" while it does,
// "401 Unauthorized" once it let the allocation go.
bool waitUntilRelayLetsGo(const testutil::Coturn &coturn, quint16 port)
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress(QHostAddress::LocalHost), port))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < testutil::timeoutMs(20000)) {
        stun::Message ask = stun::Message::request(stun::MethodAllocate);
        ask.addU32(stun::AttrRequestedTransport, 17u << 24);
        probe.writeDatagram(ask.encode(), QHostAddress::LocalHost, coturn.port());
        probe.waitForReadyRead(200);
        while (probe.hasPendingDatagrams()) {
            const QByteArray bytes = probe.receiveDatagram().data();
            stun::Message answer;
            if (stun::decode(bytes.constData(), bytes.size(), &answer) && answer.transactionId == ask.transactionId
                && answer.errorCode() == 401)
                return true;
        }
        QTest::qWait(50);
    }
    return false;
}

// A relay that speaks TLS as well, and two sides on it (over UDP until told otherwise).
struct TlsRelayLab
{
    testutil::Coturn coturn;
    QObject owner;
    std::unique_ptr<RelayedSide> a;
    std::unique_ptr<RelayedSide> b;

    bool start()
    {
        if (!coturn.startWithTls())
            return false;
        a = std::make_unique<RelayedSide>(&owner, coturn);
        b = std::make_unique<RelayedSide>(&owner, coturn);
        return true;
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
    void relayOverTlsCarriesTheCopy();
    void programOnTheSamePortGetsItsRelayAtOnce();
    void restartedServerIsNoticedAndAllocatedAgain();

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
    testutil::admitClient(b.hub, a.hub);
    testutil::Receiver receiver(b.hub);

    // A reaches B only at B's relayed address, and only through its own allocation.
    QPointer<Link> link = a.hub->connectTo(b.turn.relayedAddress().toString(), b.turn.relayedPort(),
                                           b.hub->ownPublicKey(), {}, QStringLiteral("turn"));
    QTRY_VERIFY_WITH_TIMEOUT(link && link->isEstablished() && receiver.link, testutil::timeoutMs(30000));
    QCOMPARE(Hub::transportOf(link), QStringLiteral("turn"));
    QCOMPARE(Hub::transportOf(receiver.link), QStringLiteral("turn"));
    const QByteArray sent = testutil::copyOver(link, receiver, 16ll << 20, 256 * 1024, testutil::timeoutMs(60000));
    QVERIFY(!sent.isEmpty());
    QCOMPARE(receiver.hash.result(), sent);
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
    QVERIFY(failed.wait(testutil::timeoutMs(30000)));
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
    QVERIFY(allocated.wait(testutil::timeoutMs(30000)));
    QVERIFY(stunDone.count() > 0 || stunDone.wait(testutil::timeoutMs(30000)));
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
    QVERIFY(failed.wait(testutil::timeoutMs(30000)));
    QVERIFY(!hub->canDial(QStringLiteral("turn")));
    QVERIFY(nat.transports().empty());
}

void TstTurn::relayOverTlsCarriesTheCopy()
{
    TlsRelayLab lab;
    QVERIFY2(lab.start(), qPrintable(lab.coturn.log()));
    RelayedSide &a = *lab.a;
    RelayedSide &b = *lab.b;

    // A server whose certificate nobody vouches for is refused.
    a.useTls(lab.coturn, false);
    QSignalSpy failed(&a.turn, &TurnClient::failed);
    a.turn.start();
    QVERIFY(failed.wait(testutil::timeoutMs(30000)));
    QVERIFY2(failed.first().first().toString().contains(QStringLiteral("certificate")),
             qPrintable(failed.first().first().toString()));

    a.useTls(lab.coturn, true);
    QVERIFY2(a.allocate(), qPrintable(lab.coturn.log()));
    QVERIFY(b.allocate());
    testutil::admitClient(b.hub, a.hub);
    testutil::Receiver receiver(b.hub);
    QPointer<Link> link = a.hub->connectTo(b.turn.relayedAddress().toString(), b.turn.relayedPort(),
                                           b.hub->ownPublicKey(), {}, QStringLiteral("turn"));
    QTRY_VERIFY_WITH_TIMEOUT(link && link->isEstablished() && receiver.link, testutil::timeoutMs(30000));
    const QByteArray sent = testutil::copyOver(link, receiver, 8ll << 20, 256 * 1024, testutil::timeoutMs(60000));
    QVERIFY(!sent.isEmpty());
    QCOMPARE(receiver.hash.result(), sent);
}

void TstTurn::programOnTheSamePortGetsItsRelayAtOnce()
{
    QObject owner;
    QElapsedTimer clock;
    quint16 port = 0;
    {
        // Ends cleanly: the allocation is given back, the successor allocates from the port.
        RelayedSide first(&owner, m_coturn);
        QVERIFY(first.allocate());
        port = first.udp.port();
        first.turn.stop();
    }
    // The server lets a released allocation go at its next tick (a program takes longer than
    // that to start again): waited for, not timed.
    QVERIFY2(waitUntilRelayLetsGo(m_coturn, port), qPrintable(m_coturn.log()));
    {
        RelayedSide second(&owner, m_coturn, QStringLiteral("secret"), port);
        QCOMPARE(second.udp.port(), port);
        clock.start();
        QVERIFY2(second.allocate(), qPrintable(m_coturn.log()));
        QVERIFY(clock.elapsed() < 10000);
        QVERIFY2(second.turn.localPort() == port, qPrintable(m_coturn.log()));
        // Ends as a crash would: the allocation stays on the server for its lifetime.
    }
    RelayedSide third(&owner, m_coturn, QStringLiteral("secret"), port);
    QCOMPARE(third.udp.port(), port);
    QSignalSpy failed(&third.turn, &TurnClient::failed);
    clock.start();
    QVERIFY2(third.allocate(), qPrintable(m_coturn.log()));
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(failed.count(), 0);
    QVERIFY(third.turn.localPort() != port);

    // The relay from the fresh port carries the session like any other.
    RelayedSide other(&owner, m_coturn);
    QVERIFY(other.allocate());
    testutil::admitClient(other.hub, third.hub);
    testutil::Receiver receiver(other.hub);
    QPointer<Link> link = third.hub->connectTo(other.turn.relayedAddress().toString(), other.turn.relayedPort(),
                                               other.hub->ownPublicKey(), {}, QStringLiteral("turn"));
    QTRY_VERIFY_WITH_TIMEOUT(link && link->isEstablished() && receiver.link, testutil::timeoutMs(30000));
    const QByteArray sent = testutil::copyOver(link, receiver, 1 << 20, 64 * 1024, testutil::timeoutMs(30000));
    QCOMPARE(receiver.hash.result(), sent);
    third.turn.stop();
    other.turn.stop();
}

void TstTurn::restartedServerIsNoticedAndAllocatedAgain()
{
    TlsRelayLab lab;
    QVERIFY2(lab.start(), qPrintable(lab.coturn.log()));
    RelayedSide &udpSide = *lab.a;
    RelayedSide &tlsSide = *lab.b;
    tlsSide.useTls(lab.coturn, true);
    TurnClient::Timings quick;
    quick.silenceProbeMs = 300;
    udpSide.turn.setTimings(quick);
    QVERIFY(udpSide.allocate() && tlsSide.allocate());

    QSignalSpy udpLost(&udpSide.turn, &TurnClient::lost);
    QSignalSpy tlsLost(&tlsSide.turn, &TurnClient::lost);
    QSignalSpy udpAllocated(&udpSide.turn, &TurnClient::allocated);
    QSignalSpy tlsAllocated(&tlsSide.turn, &TurnClient::allocated);
    QVERIFY2(lab.coturn.restart(), qPrintable(lab.coturn.log()));
    QElapsedTimer clock;
    clock.start();
    // Over UDP the server's silence tells: relayed datagrams go out and nothing comes back.
    while (udpLost.isEmpty() && clock.elapsed() < testutil::timeoutMs(10000)) {
        udpSide.turn.send(QByteArray(32, 'x'), QHostAddress::LocalHost, 40000);
        QTest::qWait(50);
    }
    QVERIFY(!udpLost.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!udpAllocated.isEmpty() && udpSide.turn.isAllocated(), testutil::timeoutMs(10000));
    // Over TLS the connection ends with the server.
    QTRY_VERIFY_WITH_TIMEOUT(!tlsLost.isEmpty(), testutil::timeoutMs(10000));
    QTRY_VERIFY_WITH_TIMEOUT(!tlsAllocated.isEmpty() && tlsSide.turn.isAllocated(), testutil::timeoutMs(10000));
    qInfo("both relays back %lld ms after the restart", clock.elapsed());
}

QTEST_GUILESS_MAIN(TstTurn)
#include "tst_turn.moc"
