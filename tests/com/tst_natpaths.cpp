// Two computers, each behind a NAT router of its own, with a STUN/TURN server (coturn) on the
// "public" network between the routers; all of it in network namespaces this test makes
// (198.18.0.0/15, testutil_netns.h) and removes. Behind full-cone NATs the computers find
// their public addresses by STUN and connect directly over UDP; behind symmetric NATs they
// connect through the relay. A copy over each path arrives identical (NUSK_NAT_COPY_MIB,
// default 1024).

#include "testutil_com.h"
#include "testutil_copy.h"
#include "testutil_netns.h"
#include "testutil_services.h"

#include "com/hub.h"
#include "com/kcpsocket.h"
#include "com/link.h"
#include "com/stunclient.h"
#include "com/turnclient.h"
#include "com/udptransport.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace com;

namespace {

struct Computer
{
    Hub *hub;
    std::unique_ptr<UdpTransport> udp;
    std::unique_ptr<StunClient> stun;
    std::unique_ptr<TurnClient> turn;

    Computer(QObject *owner, const QString &netns)
        : hub(testutil::makeHub(owner, testutil::quietTimings()))
    {
        udp = std::make_unique<UdpTransport>(hub);
        {
            const testutil::NetnsScope inside(netns);
            udp->bind(0);
        }
        stun = std::make_unique<StunClient>(udp.get());
        turn = std::make_unique<TurnClient>(udp.get());
        UdpTransport *u = udp.get();
        hub->setStreamFactory(QStringLiteral("udp"), [u]() -> QTcpSocket * { return u->createStream(); });
        hub->setStreamFactory(QStringLiteral("turn"), [u]() -> QTcpSocket * { return u->createStream(true); });
    }

    NatKind detect(const testutil::Coturn &coturn)
    {
        stun->setServers({QStringLiteral("%1:%2").arg(coturn.address()).arg(coturn.port()),
                          QStringLiteral("%1:%2").arg(coturn.secondAddress()).arg(coturn.port())});
        stun->setRetransmission(200, 5);
        QSignalSpy done(stun.get(), &StunClient::finished);
        stun->start();
        return done.wait(10000) ? stun->natKind() : NatKind::Unknown;
    }
};

qint64 copyBytes()
{
    const int mib = qEnvironmentVariableIntValue("NUSK_NAT_COPY_MIB");
    return qint64(mib > 0 ? mib : 1024) << 20;
}

} // namespace

class TstNatPaths : public testutil::NatLabTest
{
    Q_OBJECT

private Q_SLOTS:
    void fullConeNatsConnectDirectly();
    void symmetricNatsConnectThroughTheRelay();

private:
    void copyBetween(Computer &a, Computer &b, const QString &host, quint16 port, const QString &type);
};

void TstNatPaths::copyBetween(Computer &a, Computer &b, const QString &host, quint16 port, const QString &type)
{
    testutil::admitClient(b.hub, a.hub);
    testutil::Receiver receiver(b.hub);
    QPointer<Link> link = a.hub->connectTo(host, port, b.hub->ownPublicKey(), {}, type);
    QTRY_VERIFY_WITH_TIMEOUT(link && link->isEstablished() && receiver.link, 15000);
    QCOMPARE(Hub::transportOf(link), type);
    QElapsedTimer clock;
    clock.start();
    const QByteArray sent = testutil::copyOver(link, receiver, copyBytes(), 1 << 20, 280000);
    QVERIFY(!sent.isEmpty());
    QCOMPARE(receiver.hash.result(), sent);
    qInfo("%s: %lld MiB in %.1f s", qPrintable(type), copyBytes() >> 20, clock.elapsed() / 1000.0);
}

void TstNatPaths::fullConeNatsConnectDirectly()
{
    testutil::Netns net;
    QVERIFY(testutil::buildNatNetwork(net, testutil::Router::FullCone, testutil::Router::FullCone));
    testutil::Coturn coturn;
    QVERIFY2(coturn.startIn(net.name(QStringLiteral("pub")), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2")), qPrintable(coturn.log()));
    QObject owner;
    Computer a(&owner, net.name(QStringLiteral("hostA")));
    Computer b(&owner, net.name(QStringLiteral("hostB")));
    QVERIFY(testutil::forwardToHost(net, QStringLiteral("A"), a.udp->port()));
    QVERIFY(testutil::forwardToHost(net, QStringLiteral("B"), b.udp->port()));

    QCOMPARE(a.detect(coturn), NatKind::Cone);
    QCOMPARE(b.detect(coturn), NatKind::Cone);
    QCOMPARE(a.stun->publicAddress(), QHostAddress(QStringLiteral("198.18.0.10")));
    QCOMPARE(b.stun->publicAddress(), QHostAddress(QStringLiteral("198.18.0.20")));
    copyBetween(a, b, b.stun->publicAddress().toString(), b.stun->publicPort(), QStringLiteral("udp"));
}

void TstNatPaths::symmetricNatsConnectThroughTheRelay()
{
    testutil::Netns net;
    QVERIFY(testutil::buildNatNetwork(net, testutil::Router::Symmetric, testutil::Router::Symmetric));
    testutil::Coturn coturn;
    QVERIFY2(coturn.startIn(net.name(QStringLiteral("pub")), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2")), qPrintable(coturn.log()));
    QObject owner;
    Computer a(&owner, net.name(QStringLiteral("hostA")));
    Computer b(&owner, net.name(QStringLiteral("hostB")));
    QCOMPARE(a.detect(coturn), NatKind::Symmetric);
    QCOMPARE(b.detect(coturn), NatKind::Symmetric);

    for (Computer *c : {&a, &b}) {
        c->turn->setServer(QHostAddress(coturn.address()), coturn.port());
        c->turn->setCredentials(QStringLiteral("nusk"), QStringLiteral("secret"));
        QSignalSpy allocated(c->turn.get(), &TurnClient::allocated);
        c->turn->start();
        QVERIFY2(allocated.wait(10000), qPrintable(coturn.log()));
    }
    QCOMPARE(b.turn->relayedAddress(), QHostAddress(QStringLiteral("198.18.0.1")));
    copyBetween(a, b, b.turn->relayedAddress().toString(), b.turn->relayedPort(), QStringLiteral("turn"));
}

QTEST_GUILESS_MAIN(TstNatPaths)
#include "tst_natpaths.moc"
