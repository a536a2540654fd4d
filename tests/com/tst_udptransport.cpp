#include "testutil_com.h"
#include "testutil_copy.h"
#include "testutil_udp.h"

#include "com/hub.h"
#include "com/kcp.h"
#include "com/kcpsocket.h"
#include "com/link.h"
#include "com/udptransport.h"
#include "com/udpwire.h"

#include <QCryptographicHash>
#include <QHash>
#include <QSet>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <QFile>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QtEndian>

#include <cstring>
#include <malloc.h>
#include <memory>
#include <sodium.h>
#include <unistd.h>

using namespace com;
using testutil::makeHub;
using testutil::makeMessage;
using testutil::quietTimings;

namespace {


// Two hubs, each with its UDP transport on 127.0.0.1, the server admitting the client.
struct Pair
{
    QObject owner;
    Hub *client = nullptr;
    Hub *server = nullptr;
    UdpTransport *clientUdp = nullptr;
    UdpTransport *serverUdp = nullptr;
    std::unique_ptr<testutil::Receiver> receiver;
    QPointer<Link> clientLink;
    QPointer<Link> serverLink;

    Pair()
    {
        client = makeHub(&owner, quietTimings());
        server = makeHub(&owner, quietTimings());
        clientUdp = new UdpTransport(client, &owner);
        serverUdp = new UdpTransport(server, &owner);
        clientUdp->bind(0, QHostAddress::LocalHost);
        serverUdp->bind(0, QHostAddress::LocalHost);
        client->setStreamFactory(QStringLiteral("udp"), [this] { return clientUdp->createStream(); });
        testutil::admitClient(server, client);
        receiver = std::make_unique<testutil::Receiver>(server);
    }

    bool connect(quint16 port)
    {
        clientLink = client->connectTo(QStringLiteral("127.0.0.1"), port, server->ownPublicKey(), {},
                                       QStringLiteral("udp"));
        const bool up = QTest::qWaitFor([this] { return clientLink && clientLink->isEstablished() && receiver->link; },
                                        10000);
        serverLink = receiver->link;
        return up;
    }

    QByteArray transfer(qint64 total, int chunk, int timeoutMs)
    {
        return testutil::copyOver(clientLink, *receiver, total, chunk, timeoutMs);
    }
};

// A stranger's session: it does the key exchange of OPEN and ACCEPT properly (anybody
// can), then sends authentic DATA with KCP segments the server cannot deliver yet.
struct StrangerSession
{
    QUdpSocket socket;
    std::uint32_t conv = QRandomGenerator::global()->generate();
    udpwire::Sealer sealer;
    std::uint32_t sn = 1;   // 0 never comes: everything after it waits

    bool open(const QString &from, quint16 port)
    {
        socket.bind(QHostAddress(from), 0);
        const crypto::KxKeyPair kx = crypto::generateKxKeyPair();
        socket.writeDatagram(udpwire::makeHandshake(udpwire::KindOpen, conv, kx.publicKey), QHostAddress::LocalHost, port);
        if (!QTest::qWaitFor([this] { return socket.hasPendingDatagrams(); }, 5000))
            return false;
        const QByteArray accept = socket.receiveDatagram().data();
        std::uint32_t answeredConv = 0;
        QByteArray serverKey;
        if (!udpwire::parseHandshake(accept.constData(), accept.size(), udpwire::KindAccept, &answeredConv, &serverKey))
            return false;
        sealer = udpwire::Sealer(crypto::clientSessionKeys(kx, serverKey).tx);
        return true;
    }

    QByteArray outOfOrder(int bytes)
    {
        QByteArray segment(Kcp::kHeaderBytes, '\0');
        qToLittleEndian<quint32>(conv, segment.data());
        segment[4] = char(Kcp::CmdPush);
        qToLittleEndian<quint16>(1024, segment.data() + 6);
        qToLittleEndian<quint32>(sn++, segment.data() + 12);
        qToLittleEndian<quint32>(quint32(bytes), segment.data() + 20);
        segment += QByteArray(bytes, 'x');
        return sealer.seal(udpwire::KindData, conv, segment.constData(), segment.size());
    }

    void sendOutOfOrder(quint16 port, int bytes)
    {
        socket.writeDatagram(outOfOrder(bytes), QHostAddress::LocalHost, port);
    }
};

// A session the transport dials, answered by hand: the test plays the other side and sends
// the stream's KCP segments itself.
struct AnsweredSession
{
    QUdpSocket peer;
    KcpSocket *stream = nullptr;
    std::uint32_t conv = 0;
    udpwire::Sealer sealer;

    bool answer(UdpTransport *udp, QObject *owner)
    {
        if (!peer.bind(QHostAddress(QHostAddress::LocalHost), 0))
            return false;
        stream = udp->createStream();
        stream->setParent(owner);
        stream->connectToHost(QStringLiteral("127.0.0.1"), peer.localPort());
        if (!QTest::qWaitFor([&] { return peer.hasPendingDatagrams(); }, 5000))
            return false;
        const QByteArray open = peer.receiveDatagram().data();
        QByteArray streamKey;
        if (!udpwire::parseHandshake(open.constData(), open.size(), udpwire::KindOpen, &conv, &streamKey))
            return false;
        const crypto::KxKeyPair kx = crypto::generateKxKeyPair();
        sealer = udpwire::Sealer(crypto::serverSessionKeys(kx, streamKey).tx);
        peer.writeDatagram(udpwire::makeHandshake(udpwire::KindAccept, conv, kx.publicKey), QHostAddress::LocalHost,
                           udp->port());
        return QTest::qWaitFor([&] { return stream->state() == QAbstractSocket::ConnectedState; }, 5000);
    }

    // KCP segment `sn` of the stream carrying `bytes`, sealed by `by` (the session's own
    // sealer unless a forger's).
    QByteArray data(int sn, const QByteArray &bytes, udpwire::Sealer *by = nullptr)
    {
        QByteArray segment(Kcp::kHeaderBytes, '\0');
        qToLittleEndian<quint32>(conv, segment.data());
        segment[4] = char(Kcp::CmdPush);
        qToLittleEndian<quint16>(1024, segment.data() + 6);
        qToLittleEndian<quint32>(quint32(sn), segment.data() + 12);
        qToLittleEndian<quint32>(quint32(bytes.size()), segment.data() + 20);
        segment += bytes;
        return (by ? by : &sealer)->seal(udpwire::KindData, conv, segment.constData(), segment.size());
    }

    void send(const QByteArray &datagram, quint16 port) { peer.writeDatagram(datagram, QHostAddress::LocalHost, port); }
};

// A hub's UDP transport on 127.0.0.1 whose sessions must bring their hello within
// firstMessageMs.
UdpTransport *listeningTransport(QObject *owner, int firstMessageMs)
{
    LinkTimings t = quietTimings();
    t.firstMessageMs = firstMessageMs;
    auto *udp = new UdpTransport(makeHub(owner, t), owner);
    udp->bind(0, QHostAddress::LocalHost);
    return udp;
}

// AddressSanitizer keeps freed memory in quarantine and its allocator out of malloc's
// figures: there only the transport's own count tells.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

qint64 heapInUse()
{
    return qint64(mallinfo2().uordblks);
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    return statm.readAll().split(' ').value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

} // namespace

class TstUdpTransport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(crypto::initialize()); }

    void copySizedTransferArrivesIdentical();
    void lossyReorderingPathStillDeliversIdentical();
    void hostileDatagramsNeverReachTheLink();
    void closeReachesTheOtherSideAndOpensAreBounded();
    void batchDropsOnlyItsForgedDatagrams();
    void slowReaderLosesNothingWhenBuffersAreReused_data();
    void slowReaderLosesNothingWhenBuffersAreReused();
    void readerWithAnEventLoopOfItsOwnNeverSeesUncheckedDatagrams();
    void strangersSessionsHoldLittleAndGiveItBack();
    void forgedOpenDrawsNoMoreThanItCarried();
    void relayedSessionsClaimingOddSourcesStayStrangers();
    void datagramTagsAgreeWithEarlierPeers();
};

void TstUdpTransport::copySizedTransferArrivesIdentical()
{
    Pair p;
    QVERIFY(p.connect(p.serverUdp->port()));
    QCOMPARE(Hub::transportOf(p.clientLink), QStringLiteral("udp"));
    QCOMPARE(Hub::transportOf(p.serverLink), QStringLiteral("udp"));
    const QByteArray hash = p.transfer(64ll << 20, 1 << 20, 120000);
    QVERIFY(!hash.isEmpty());
    QCOMPARE(p.receiver->hash.result(), hash);
    QVERIFY(p.clientLink->isEstablished() && p.serverLink->isEstablished());
}

void TstUdpTransport::lossyReorderingPathStillDeliversIdentical()
{
    Pair p;
    // Datagrams of the size a real network carries.
    KcpTuning tuning;
    tuning.loopbackMtu = tuning.mtu;
    p.clientUdp->setTuning(tuning);
    p.serverUdp->setTuning(tuning);
    testutil::LossyUdpRelay relay(p.serverUdp->port());
    relay.setLoss(0.05);
    relay.setReorder(0.05);
    relay.setDuplicate(0.02);
    QVERIFY(p.connect(relay.port()));
    const QByteArray hash = p.transfer(64ll << 20, 256 * 1024, 240000);
    QVERIFY(!hash.isEmpty());
    QCOMPARE(p.receiver->hash.result(), hash);
}

void TstUdpTransport::hostileDatagramsNeverReachTheLink()
{
    Pair p;
    testutil::LossyUdpRelay relay(p.serverUdp->port());
    QVERIFY(p.connect(relay.port()));
    QVERIFY(!p.transfer(2000000, 20000, 20000).isEmpty());
    const int messagesBefore = p.receiver->messages;
    const quint64 droppedBefore = p.serverUdp->droppedDatagrams();

    // Everything the client sent so far, again: every DATA datagram is a replay now.
    const QList<QByteArray> recorded = relay.clientDatagrams();
    QVERIFY(recorded.size() > 10);
    std::uint32_t conv = 0;
    udpwire::Kind kind;
    QVERIFY(udpwire::peekSession(recorded.last().constData(), recorded.last().size(), &kind, &conv));
    for (const QByteArray &d : recorded)
        relay.injectToTarget(d);
    // Forged ones: a flipped bit, a CLOSE with a made-up tag, a new key for the same
    // conversation, garbage, and stray STUN and TURN channel messages.
    QByteArray flipped = recorded.last();
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 1);
    relay.injectToTarget(flipped);
    QByteArray fakeClose(udpwire::kOverheadBytes, '\x55');
    fakeClose[0] = char(udpwire::KindClose);
    qToLittleEndian<quint32>(conv, fakeClose.data() + 1);
    relay.injectToTarget(fakeClose);
    relay.injectToTarget(udpwire::makeHandshake(udpwire::KindOpen, conv, QByteArray(32, '\x7')));
    QByteArray stun(20, '\0');
    stun[1] = char(0x01);   // a binding success nobody asked for
    qToBigEndian<quint32>(0x2112A442u, stun.data() + 4);
    relay.injectToTarget(stun);
    relay.injectToTarget(QByteArray::fromHex("4000000c") + QByteArray(12, 'x'));
    relay.injectToTarget(QByteArray(1, '\xC3'));
    for (int i = 0; i < 200; ++i)
        relay.injectToTarget(QByteArray(1 + i * 7, char(i)));

    QTRY_VERIFY(p.serverUdp->droppedDatagrams() >= droppedBefore + recorded.size() + 200);
    QVERIFY(p.clientLink && p.clientLink->isEstablished());
    QVERIFY(p.serverLink && p.serverLink->isEstablished());
    QCOMPARE(p.receiver->messages, messagesBefore);
    QCOMPARE(p.serverUdp->sessionCount(), 1);
    // And the stream goes on as if nothing happened.
    p.receiver->reset();
    const QByteArray hash = p.transfer(1 << 20, 64 * 1024, 20000);
    QVERIFY(!hash.isEmpty());
    QCOMPARE(p.receiver->hash.result(), hash);
}

void TstUdpTransport::closeReachesTheOtherSideAndOpensAreBounded()
{
    Pair p;
    QVERIFY(p.connect(p.serverUdp->port()));
    QSignalSpy serverClosed(p.serverLink.data(), &Link::closed);
    p.clientLink->close();
    QTRY_COMPARE_WITH_TIMEOUT(serverClosed.count(), 1, 3000);
    QCOMPARE(serverClosed.first().first().toString(), QStringLiteral("connection closed by peer"));
    QTRY_COMPARE(p.serverUdp->sessionCount(), 0);

    // A flood of OPENs from one address holds no more handshakes (and sessions) than the hub
    // allows one remote host before its hello, however many conversations it names; past
    // the hub's rate the rest are not even answered.
    QUdpSocket flood;
    flood.bind(QHostAddress(QHostAddress::LocalHost), 0);
    for (std::uint32_t conv = 1; conv <= 100; ++conv)
        flood.writeDatagram(udpwire::makeHandshake(udpwire::KindOpen, conv, crypto::generateKxKeyPair().publicKey),
                            QHostAddress::LocalHost, p.serverUdp->port());
    QTRY_VERIFY(p.serverUdp->droppedDatagrams() >= quint64(100 - Hub::kConnectionBurst));
    QTRY_COMPARE(p.serverUdp->sessionCount(), Hub::kMaxIncompletePerAddress);
    QCOMPARE(p.server->pendingHandshakes(), Hub::kMaxIncompletePerAddress);
}

// Datagrams that arrive together have their tags checked together (on several threads when
// they are many); each still stands or falls alone, and counts as seen only when authentic.
void TstUdpTransport::batchDropsOnlyItsForgedDatagrams()
{
    QObject owner;
    UdpTransport *udp = listeningTransport(&owner, 10000);
    StrangerSession a;
    StrangerSession b;
    QVERIFY(a.open(QStringLiteral("127.0.10.1"), udp->port()));
    QVERIFY(b.open(QStringLiteral("127.0.10.2"), udp->port()));
    QTRY_COMPARE(udp->sessionCount(), 2);
    std::vector<QByteArray> fromA;
    for (int i = 0; i < 8; ++i)
        fromA.push_back(a.outOfOrder(60000));
    // a's fourth datagram has a bit flipped; b's is tagged under a's key.
    QByteArray forged = fromA[3];
    forged[forged.size() - 1] = char(forged[forged.size() - 1] ^ 0x40);
    const QByteArray segment = b.outOfOrder(60000).mid(udpwire::kHeaderBytes, 60000 + Kcp::kHeaderBytes);
    const QByteArray foreignKey = a.sealer.seal(udpwire::KindData, b.conv, segment.constData(), segment.size());
    const quint64 before = udp->droppedDatagrams();
    for (int i = 0; i < 8; ++i) {
        a.socket.writeDatagram(i == 3 ? forged : fromA[std::size_t(i)], QHostAddress::LocalHost, udp->port());
        b.socket.writeDatagram(i == 3 ? foreignKey : b.outOfOrder(60000), QHostAddress::LocalHost, udp->port());
    }
    QTRY_COMPARE(udp->droppedDatagrams(), before + 2);
    QTest::qWait(50);
    QCOMPARE(udp->droppedDatagrams(), before + 2);
    // The forged one did not use up its counter; the authentic ones did.
    a.socket.writeDatagram(fromA[3], QHostAddress::LocalHost, udp->port());
    a.socket.writeDatagram(fromA[4], QHostAddress::LocalHost, udp->port());
    QTRY_COMPARE(udp->droppedDatagrams(), before + 3);
    QTest::qWait(50);
    QCOMPARE(udp->droppedDatagrams(), before + 3);
    QCOMPARE(udp->sessionCount(), 2);
}

// A received batch is read where it lies; what the reader leaves must be kept before the
// next batch takes the buffers.
void TstUdpTransport::slowReaderLosesNothingWhenBuffersAreReused_data()
{
    QTest::addColumn<bool>("loopInsideReadyRead");
    QTest::newRow("the next batch comes later") << false;
    // The second batch arrives while the first reader is still told.
    QTest::newRow("the reader runs an event loop of its own") << true;
}

void TstUdpTransport::slowReaderLosesNothingWhenBuffersAreReused()
{
    QFETCH(bool, loopInsideReadyRead);
    QObject owner;
    auto *udp = new UdpTransport(makeHub(&owner, quietTimings()), &owner);
    QVERIFY(udp->bind(0, QHostAddress::LocalHost));
    AnsweredSession session;
    QVERIFY(session.answer(udp, &owner));
    KcpSocket *stream = session.stream;

    QByteArray sent(16000, Qt::Uninitialized);
    QRandomGenerator(38).fillRange(reinterpret_cast<quint32 *>(sent.data()), sent.size() / 4);
    constexpr int kSegment = 1000;
    auto sendBatch = [&](int first, int count) {
        for (int sn = first; sn < first + count; ++sn)
            session.send(session.data(sn, sent.mid(sn * kSegment, kSegment)), udp->port());
    };
    QByteArray got;
    int readyReads = 0;
    QObject::connect(stream, &QIODevice::readyRead, &owner, [&] {
        const bool first = ++readyReads == 1;
        got += stream->read(first ? 100 : 1 << 20);   // only a little the first time
        if (first && loopInsideReadyRead) {
            sendBatch(8, 8);
            QTest::qWait(300);
        }
    });
    sendBatch(0, 8);
    QTRY_VERIFY(readyReads >= 1);
    if (!loopInsideReadyRead)
        sendBatch(8, 8);
    QTRY_COMPARE(got.size(), sent.size());
    QVERIFY(got == sent);
}

// A reader woken in the middle of a batch (by a CLOSE) that runs an event loop of its own
// must not let the next batch into the buffers the rest of the first one is delivered from:
// those slots were found authentic for what lay there before.
void TstUdpTransport::readerWithAnEventLoopOfItsOwnNeverSeesUncheckedDatagrams()
{
    QObject owner;
    auto *udp = new UdpTransport(makeHub(&owner, quietTimings()), &owner);
    QVERIFY(udp->bind(0, QHostAddress::LocalHost));
    AnsweredSession closing;
    AnsweredSession reading;
    QVERIFY(closing.answer(udp, &owner));
    QVERIFY(reading.answer(udp, &owner));

    // Enough bytes for the tags to be checked ahead of delivery.
    constexpr int kSegments = 8;
    constexpr int kSegment = 60000;
    QByteArray sent(kSegments * kSegment, Qt::Uninitialized);
    QRandomGenerator(45).fillRange(reinterpret_cast<quint32 *>(sent.data()), sent.size() / 4);
    udpwire::Sealer forger(crypto::randomBytes(32));
    QUdpSocket forgersSocket;
    QVERIFY(forgersSocket.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QByteArray closingGot;
    QObject::connect(closing.stream, &QIODevice::readyRead, &owner, [&] {
        const bool first = closingGot.isEmpty();
        closingGot += closing.stream->readAll();
        if (!first)
            return;
        // Slot for slot over the first batch: the same sizes, the reading session's conv, the
        // segments it waits for where its own lie.
        for (int slot = 0; slot < kSegments + 2; ++slot) {
            const int sn = slot < 2 ? kSegments + slot : slot - 2;
            forgersSocket.writeDatagram(reading.data(sn, QByteArray(kSegment, 'F'), &forger), QHostAddress::LocalHost,
                                        udp->port());
        }
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    });
    QByteArray readingGot;
    QObject::connect(reading.stream, &QIODevice::readyRead, &owner, [&] { readingGot += reading.stream->readAll(); });
    const quint64 droppedBefore = udp->droppedDatagrams();

    closing.send(closing.data(0, "last words"), udp->port());
    closing.send(closing.sealer.seal(udpwire::KindClose, closing.conv, nullptr, 0), udp->port());
    for (int sn = 0; sn < kSegments; ++sn)
        reading.send(reading.data(sn, sent.mid(sn * kSegment, kSegment)), udp->port());

    QTRY_COMPARE(udp->droppedDatagrams(), droppedBefore + kSegments + 2);
    QCOMPARE(closingGot, QByteArray("last words"));
    QTRY_COMPARE(readingGot.size(), sent.size());
    QVERIFY2(!readingGot.contains(QByteArray(64, 'F')), "forged bytes reached the reader");
    QVERIFY(readingGot == sent);
}

// Sessions of strangers that send stream data the server must keep for later (segments
// after a gap) hold a few MiB together, and the memory is back when they end.
void TstUdpTransport::strangersSessionsHoldLittleAndGiveItBack()
{
    QObject owner;
    UdpTransport *udp = listeningTransport(&owner, 4000);
    const qint64 heapBefore = heapInUse();
    const qint64 residentBefore = residentBytes();

    constexpr int kSessions = 24;
    std::vector<std::unique_ptr<StrangerSession>> strangers;
    for (int i = 0; i < kSessions; ++i) {
        strangers.push_back(std::make_unique<StrangerSession>());
        QVERIFY(strangers.back()->open(QStringLiteral("127.0.8.%1").arg(1 + i), udp->port()));
    }
    QTRY_COMPARE(udp->sessionCount(), kSessions);
    // 4 MiB each, in datagrams of 60000 bytes, a few at a time so that none is lost.
    for (int round = 0; round < 70; ++round) {
        for (auto &s : strangers)
            s->sendOutOfOrder(udp->port(), 60000);
        QTest::qWait(5);
    }
    QTest::qWait(200);
    const qint64 heapDuring = heapInUse() - heapBefore;
    QCOMPARE(udp->sessionCount(), kSessions);
    QVERIFY(udp->unprovenBytes() <= UdpTransport::kUnprovenBudgetBytes);
    QVERIFY2(heapDuring < 8ll << 20 || kSanitized, qPrintable(QString::number(heapDuring >> 20)));

    // Their hellos never come, so they end; what they held goes back.
    QTRY_COMPARE_WITH_TIMEOUT(udp->sessionCount(), 0, 10000);
    QCOMPARE(udp->unprovenBytes(), 0);
    QTest::qWait(1500);
    const qint64 heapAfter = heapInUse() - heapBefore;
    const qint64 residentAfter = residentBytes() - residentBefore;
    qInfo("heap held by %d strangers' sessions: %lld KiB, after they ended: %lld KiB (resident %lld KiB)", kSessions,
          heapDuring >> 10, heapAfter >> 10, residentAfter >> 10);
    QVERIFY2(heapAfter < 2ll << 20 || kSanitized, qPrintable(QString::number(heapAfter >> 20)));
    QVERIFY2(residentAfter < 16ll << 20 || kSanitized, qPrintable(QString::number(residentAfter >> 20)));
}

// An OPEN may come from a forged address: its answer is one ACCEPT of the same size, and
// when the session ends unanswered nothing more goes there.
void TstUdpTransport::forgedOpenDrawsNoMoreThanItCarried()
{
    QObject owner;
    UdpTransport *udp = listeningTransport(&owner, 300);
    QUdpSocket victim;
    QVERIFY(victim.bind(QHostAddress(QStringLiteral("127.0.9.1")), 0));
    const QByteArray open = udpwire::makeHandshake(udpwire::KindOpen, 77, crypto::generateKxKeyPair().publicKey);
    victim.writeDatagram(open, QHostAddress::LocalHost, udp->port());
    QTRY_COMPARE(udp->sessionCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(udp->sessionCount(), 0, 5000);
    QTest::qWait(300);
    qint64 received = 0;
    while (victim.hasPendingDatagrams())
        received += victim.receiveDatagram().data().size();
    QCOMPARE(received, qint64(open.size()));
}

void TstUdpTransport::relayedSessionsClaimingOddSourcesStayStrangers()
{
    // The test plays the relay: what the client sends to x.y.z.k arrives at the server as the
    // relay claims, from 127.0.0.k; the answers go back as from where the client sent.
    // Delivered on a later turn, as a real relay would, and not at all once the target is gone.
    auto later = [](UdpTransport *to, const QByteArray &d, const QHostAddress &from, quint16 port) {
        QPointer<UdpTransport> target(to);
        QTimer::singleShot(0, to, [target, d, from, port] {
            if (target)
                target->deliverRelayed(d, from, port);
        });
    };
    auto relay = [later](Pair &p, bool opensOnly) {
        auto opened = std::make_shared<QSet<QString>>();
        auto dialled = std::make_shared<QHash<quint32, QPair<QHostAddress, quint16>>>();   // claimed -> dialled
        UdpTransport *client = p.clientUdp;
        UdpTransport *server = p.serverUdp;
        p.client->setStreamFactory(QStringLiteral("turn"), [client] { return client->createStream(true); });
        client->setRelaySender([=](const QByteArray &d, const QHostAddress &peer, quint16 port) {
            const QString key = peer.toString() + QLatin1Char(':') + QString::number(port);
            const quint32 claimed = 0x7f000000u | (peer.toIPv4Address() & 0xffu);
            dialled->insert(claimed, {peer, port});
            if (!(opensOnly && opened->contains(key)))
                later(server, d, QHostAddress(claimed), client->port());
            opened->insert(key);
            return true;
        });
        server->setRelaySender([=](const QByteArray &d, const QHostAddress &to, quint16) {
            const auto from = dialled->value(to.toIPv4Address());
            later(client, d, from.first, from.second);
            return true;
        });
        return opened;
    };
    {
        // A known key comes in through it like any other,
        Pair p;
        relay(p, false);
        QPointer<Link> link = p.client->connectTo(QStringLiteral("198.51.100.1"), 1, p.server->ownPublicKey(), {},
                                                  QStringLiteral("turn"));
        QTRY_VERIFY(link && link->isEstablished() && p.receiver->link);
        QCOMPARE(p.receiver->link->peerAddress(), QHostAddress(QHostAddress::LocalHost));
    }
    {
        // but the own key from "loopback" through a relay is not the local computer.
        Pair p;
        relay(p, false);
        p.server->setIdentity(p.client->identity());
        QSignalSpy incoming(p.server, &Hub::incomingLink);
        QPointer<Link> link = p.client->connectTo(QStringLiteral("127.0.0.1"), 1, p.client->ownPublicKey(), {},
                                                  QStringLiteral("turn"));
        QTRY_VERIFY(!link || link->state() == Link::StateClosed);
        QCOMPARE(incoming.count(), 0);
    }
    // Sessions claiming twenty loopback addresses count as one sender: no more of them wait
    // in the handshake table than one address may hold.
    Pair p;
    const auto opened = relay(p, true);
    for (int k = 1; k <= 20; ++k)
        p.client->connectTo(QStringLiteral("198.51.100.%1").arg(k), 1, p.server->ownPublicKey(), {}, QStringLiteral("turn"));
    QTRY_COMPARE(opened->size(), 20);
    QTest::qWait(100);
    QVERIFY2(p.server->pendingHandshakes() <= Hub::kMaxPendingIncomingPerAddress,
             qPrintable(QString::number(p.server->pendingHandshakes())));
}


void TstUdpTransport::datagramTagsAgreeWithEarlierPeers()
{
    // Earlier peers tag and check with libsodium's ChaCha20-Poly1305: an empty message with
    // the datagram as additional data, the counter as nonce. Both directions must agree.
    const QByteArray key(32, '\x21');
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    udpwire::Sealer sealer(key);
    udpwire::Opener opener(key);
    std::uint64_t theirCounter = 1000;
    for (const int size : {0, 1, 15, 16, 17, 1371, 64947}) {
        const QByteArray payload(size, char(size));
        const udpwire::Kind kind = size ? udpwire::KindData : udpwire::KindClose;
        const QByteArray ours = sealer.seal(kind, 0x01020304, payload.constData(), size);
        QCOMPARE(ours.size(), size + udpwire::kOverheadBytes);
        unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES] = {};
        qToLittleEndian<quint64>(qFromLittleEndian<quint64>(ours.constData() + 5), nonce + 4);
        const int body = ours.size() - udpwire::kTagBytes;
        unsigned char none = 0;
        QCOMPARE(crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                     &none, nullptr, &none, 0, reinterpret_cast<const unsigned char *>(ours.constData() + body),
                     reinterpret_cast<const unsigned char *>(ours.constData()), body, nonce, k),
                 0);

        QByteArray theirs(size + udpwire::kOverheadBytes, '\0');
        theirs[0] = char(kind);
        qToLittleEndian<quint32>(0x01020304, theirs.data() + 1);
        qToLittleEndian<quint64>(theirCounter, theirs.data() + 5);
        std::memcpy(theirs.data() + udpwire::kHeaderBytes, payload.constData(), std::size_t(size));
        qToLittleEndian<quint64>(theirCounter++, nonce + 4);
        unsigned long long tagBytes = 0;
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(
            &none, reinterpret_cast<unsigned char *>(theirs.data() + body), &tagBytes, &none, 0,
            reinterpret_cast<const unsigned char *>(theirs.constData()), body, nullptr, nonce, k);
        const char *opened = nullptr;
        int openedSize = -1;
        QVERIFY(opener.open(theirs.constData(), theirs.size(), &opened, &openedSize));
        QCOMPARE(QByteArray(opened, openedSize), payload);
        theirs[body] = char(theirs[body] ^ 1);
        QVERIFY(!opener.open(theirs.constData(), theirs.size(), &opened, &openedSize));
    }
}

QTEST_GUILESS_MAIN(TstUdpTransport)
#include "tst_udptransport.moc"
