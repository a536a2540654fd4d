#include "testutil_services.h"
#include "testutil_timeouts.h"

#include "com/stunclient.h"
#include "com/stunmessage.h"
#include "com/udptransport.h"
#include "crypto/crypto.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

using namespace com;

namespace {

// Answers binding requests as if the asker were at mapped:port.
class FakeStunServer : public QObject
{
public:
    FakeStunServer(const QHostAddress &mapped, quint16 mappedPort)
    {
        m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        connect(&m_socket, &QUdpSocket::readyRead, this, [this, mapped, mappedPort] {
            while (m_socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = m_socket.receiveDatagram();
                stun::Message request;
                if (!stun::decode(d.data().constData(), d.data().size(), &request))
                    continue;
                ++requests;
                if (silent)
                    continue;
                stun::Message answer;
                answer.method = stun::MethodBinding;
                answer.cls = stun::ClassSuccess;
                answer.transactionId = request.transactionId;
                answer.addXorAddress(stun::AttrXorMappedAddress, mapped, mappedPort);
                m_socket.writeDatagram(answer.encode(), d.senderAddress(), quint16(d.senderPort()));
            }
        });
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_socket.localPort()); }
    int requests = 0;
    bool silent = false;

private:
    QUdpSocket m_socket;
};

NatKind detect(UdpTransport &udp, const QStringList &servers)
{
    StunClient client(&udp);
    client.setServers(servers);
    client.setRetransmission(50, 3);
    QSignalSpy done(&client, &StunClient::finished);
    client.start();
    if (!done.wait(testutil::timeoutMs(30000)))
        return NatKind::Unknown;
    return client.natKind();
}

} // namespace

class TstStun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(crypto::initialize()); }

    void messagesRoundTripAndRefuseDamage();
    void natKindFollowsTheAnswers();
    void coturnSeesUsWhereWeAre();
};

void TstStun::messagesRoundTripAndRefuseDamage()
{
    stun::Message m = stun::Message::request(stun::MethodChannelBind);
    m.addXorAddress(stun::AttrXorPeerAddress, QHostAddress(QStringLiteral("198.18.3.4")), 40000);
    m.addXorAddress(stun::AttrXorRelayedAddress, QHostAddress(QStringLiteral("2001:db8::7")), 1);
    m.add(stun::AttrUsername, "odd-length");
    m.addU32(stun::AttrLifetime, 600);
    const QByteArray key = stun::longTermKey(QStringLiteral("u"), QStringLiteral("r"), QStringLiteral("p"));
    const QByteArray raw = m.encode(key);
    QCOMPARE(raw.size() % 4, 0);

    stun::Message back;
    QVERIFY(stun::decode(raw.constData(), raw.size(), &back));
    QCOMPARE(back.method, quint16(stun::MethodChannelBind));
    QCOMPARE(back.cls, stun::ClassRequest);
    QCOMPARE(back.transactionId, m.transactionId);
    QHostAddress a;
    quint16 port = 0;
    QVERIFY(back.xorAddress(stun::AttrXorPeerAddress, &a, &port));
    QCOMPARE(a, QHostAddress(QStringLiteral("198.18.3.4")));
    QCOMPARE(port, quint16(40000));
    QVERIFY(back.xorAddress(stun::AttrXorRelayedAddress, &a, &port));
    QCOMPARE(a, QHostAddress(QStringLiteral("2001:db8::7")));
    QCOMPARE(back.attribute(stun::AttrUsername), QByteArray("odd-length"));
    quint32 lifetime = 0;
    QVERIFY(back.u32(stun::AttrLifetime, &lifetime) && lifetime == 600);
    QVERIFY(stun::integrityMatches(raw, key));
    QVERIFY(!stun::integrityMatches(raw, stun::longTermKey("u", "r", "wrong")));
    QByteArray altered = raw;
    altered[30] = char(altered[30] ^ 1);
    QVERIFY(!stun::integrityMatches(altered, key));

    // Every truncation, a wrong cookie, an overlong attribute: refused.
    for (int n = 0; n < raw.size(); ++n)
        QVERIFY(!stun::decode(raw.constData(), n, &back));
    QByteArray badCookie = raw;
    badCookie[5] = 0;
    QVERIFY(!stun::decode(badCookie.constData(), badCookie.size(), &back));
    QByteArray overlong = raw;
    overlong[22] = char(0x7F);
    QVERIFY(!stun::decode(overlong.constData(), overlong.size(), &back));
}

void TstStun::natKindFollowsTheAnswers()
{
    UdpTransport udp(nullptr);
    QVERIFY(udp.bind(0, QHostAddress::LocalHost));
    const QHostAddress outside(QStringLiteral("198.18.0.9"));

    FakeStunServer ours(QHostAddress::LocalHost, udp.port());
    QCOMPARE(detect(udp, {ours.address()}), NatKind::None);

    FakeStunServer coneA(outside, 30000), coneB(outside, 30000);
    StunClient client(&udp);
    client.setServers({coneA.address(), coneB.address()});
    client.setRetransmission(50, 3);
    QSignalSpy done(&client, &StunClient::finished);
    client.start();
    QVERIFY(done.wait(testutil::timeoutMs(30000)));
    QCOMPARE(client.natKind(), NatKind::Cone);
    QCOMPARE(client.publicAddress(), outside);
    QCOMPARE(client.publicPort(), quint16(30000));

    FakeStunServer symA(outside, 30000), symB(outside, 30001);
    QCOMPARE(detect(udp, {symA.address(), symB.address()}), NatKind::Symmetric);

    // Nobody answers: retried, then given up.
    FakeStunServer mute(outside, 1);
    mute.silent = true;
    QCOMPARE(detect(udp, {mute.address()}), NatKind::Unknown);
    QCOMPARE(mute.requests, 3);
    QCOMPARE(detect(udp, {}), NatKind::Unknown);

    // An answer from a server not asked, or to a transaction never started, is not taken.
    const quint64 dropped = udp.droppedDatagrams();
    QUdpSocket stranger;
    stranger.bind(QHostAddress(QHostAddress::LocalHost), 0);
    stun::Message fake;
    fake.cls = stun::ClassSuccess;
    fake.transactionId = QByteArray(12, 'x');
    fake.addXorAddress(stun::AttrXorMappedAddress, QHostAddress(QStringLiteral("198.18.0.66")), 9);
    stranger.writeDatagram(fake.encode(), QHostAddress(QHostAddress::LocalHost), udp.port());
    QTRY_COMPARE(udp.droppedDatagrams(), dropped + 1);
    QCOMPARE(client.publicAddress(), outside);
}

void TstStun::coturnSeesUsWhereWeAre()
{
    if (!testutil::Coturn::isInstalled())
        QSKIP("turnserver (Debian package coturn) is not installed");
    testutil::Coturn coturn;
    QVERIFY2(coturn.start(), qPrintable(coturn.log()));
    UdpTransport udp(nullptr);
    QVERIFY(udp.bind(0, QHostAddress::LocalHost));
    StunClient client(&udp);
    client.setServers({QStringLiteral("127.0.0.1:%1").arg(coturn.port()),
                       QStringLiteral("127.0.0.1:%1").arg(coturn.altPort())});
    client.setRetransmission(100, 4);
    QSignalSpy done(&client, &StunClient::finished);
    client.start();
    QVERIFY(done.wait(testutil::timeoutMs(30000)));
    QCOMPARE(client.publicAddress(), QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(client.publicPort(), udp.port());
    QCOMPARE(client.natKind(), NatKind::None);
}

QTEST_GUILESS_MAIN(TstStun)
#include "tst_stun.moc"
