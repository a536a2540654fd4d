// Two computers, each behind a NAT router of its own, with a STUN/TURN server (coturn) on the
// "public" network between the routers; all of it in network namespaces this test makes
// (198.18.0.0/15) and removes. Behind full-cone NATs the computers find their public
// addresses by STUN and connect directly over UDP; behind symmetric NATs they connect through
// the relay. A copy over each path arrives identical (NUSK_NAT_COPY_MIB, default 1024).
//
//   hostA 198.18.1.2 -- 198.18.1.1 natA 198.18.0.10 --+
//                                                      +-- pub 198.18.0.1, .2 (coturn)
//   hostB 198.18.2.2 -- 198.18.2.1 natB 198.18.0.20 --+

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

class TstNatPaths : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(crypto::initialize());
        const QString reason = testutil::Netns::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        if (!testutil::Coturn::isInstalled())
            QSKIP("turnserver (Debian package coturn) is not installed");
    }

    void fullConeNatsConnectDirectly();
    void symmetricNatsConnectThroughTheRelay();

private:
    // The namespaces; `symmetric` makes both routers pick a new port for every destination.
    bool buildNetwork(testutil::Netns &net, bool symmetric);
    bool forwardToHost(testutil::Netns &net, const QString &side, quint16 port);
    void copyBetween(Computer &a, Computer &b, const QString &host, quint16 port, const QString &type);
};

bool TstNatPaths::buildNetwork(testutil::Netns &net, bool symmetric)
{
    const QString pub = QStringLiteral("pub");
    bool ok = net.add(pub) && net.ip({"link", "add", "br0", "type", "bridge"}, pub)
        && net.ip({"addr", "add", "198.18.0.1/24", "dev", "br0"}, pub)
        && net.ip({"addr", "add", "198.18.0.2/24", "dev", "br0"}, pub) && net.ip({"link", "set", "br0", "up"}, pub);
    const QString id = net.name(QString());
    struct Side { QString name; QString wan; QString lan; };
    for (const Side &s : {Side{"A", "198.18.0.10", "198.18.1"}, Side{"B", "198.18.0.20", "198.18.2"}}) {
        const QString nat = QStringLiteral("nat") + s.name, host = QStringLiteral("host") + s.name;
        const QString wan = id + s.name + "w", wanPeer = id + s.name + "p", lan = id + s.name + "l", lanPeer = id + s.name + "h";
        ok = ok && net.add(nat) && net.add(host)
            && net.ip({"link", "add", wan, "netns", net.name(nat), "type", "veth", "peer", "name", wanPeer, "netns", net.name(pub)})
            && net.ip({"link", "set", wanPeer, "master", "br0", "up"}, pub)
            && net.ip({"addr", "add", s.wan + "/24", "dev", wan}, nat) && net.ip({"link", "set", wan, "up"}, nat)
            && net.ip({"link", "add", lan, "netns", net.name(nat), "type", "veth", "peer", "name", lanPeer, "netns", net.name(host)})
            && net.ip({"addr", "add", s.lan + ".1/24", "dev", lan}, nat) && net.ip({"link", "set", lan, "up"}, nat)
            && net.ip({"addr", "add", s.lan + ".2/24", "dev", lanPeer}, host) && net.ip({"link", "set", lanPeer, "up"}, host)
            && net.ip({"route", "add", "default", "via", s.lan + ".1"}, host)
            && net.exec(nat, "sysctl", {"-qw", "net.ipv4.ip_forward=1"})
            && net.exec(nat, "nft", {"-f", "-"},
                        QStringLiteral("table ip nat {\n"
                                       " chain pre { type nat hook prerouting priority -100; }\n"
                                       " chain post { type nat hook postrouting priority 100; oifname \"%1\" masquerade%2; }\n"
                                       "}\n")
                            .arg(wan, symmetric ? QStringLiteral(" fully-random") : QString())
                            .toUtf8());
    }
    return ok;
}

bool TstNatPaths::forwardToHost(testutil::Netns &net, const QString &side, quint16 port)
{
    // What makes the router a full cone: whoever sends to the mapped port reaches the host.
    const QString lanHost = side == QLatin1String("A") ? QStringLiteral("198.18.1.2") : QStringLiteral("198.18.2.2");
    return net.exec(QStringLiteral("nat") + side, "nft",
                    {"add", "rule", "ip", "nat", "pre", "iifname", net.name(QString()) + side + "w", "udp", "dport",
                     QString::number(port), "dnat", "to", QStringLiteral("%1:%2").arg(lanHost).arg(port)});
}

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
    QVERIFY(buildNetwork(net, false));
    testutil::Coturn coturn;
    QVERIFY2(coturn.startIn(net.name(QStringLiteral("pub")), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2")), qPrintable(coturn.log()));
    QObject owner;
    Computer a(&owner, net.name(QStringLiteral("hostA")));
    Computer b(&owner, net.name(QStringLiteral("hostB")));
    QVERIFY(forwardToHost(net, QStringLiteral("A"), a.udp->port()));
    QVERIFY(forwardToHost(net, QStringLiteral("B"), b.udp->port()));

    QCOMPARE(a.detect(coturn), NatKind::Cone);
    QCOMPARE(b.detect(coturn), NatKind::Cone);
    QCOMPARE(a.stun->publicAddress(), QHostAddress(QStringLiteral("198.18.0.10")));
    QCOMPARE(b.stun->publicAddress(), QHostAddress(QStringLiteral("198.18.0.20")));
    copyBetween(a, b, b.stun->publicAddress().toString(), b.stun->publicPort(), QStringLiteral("udp"));
}

void TstNatPaths::symmetricNatsConnectThroughTheRelay()
{
    testutil::Netns net;
    QVERIFY(buildNetwork(net, true));
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
