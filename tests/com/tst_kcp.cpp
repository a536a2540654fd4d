#include "com/kcp.h"

#include <QRandomGenerator>
#include <QtTest>

#include <memory>

using namespace com;

namespace {

// Two KCP ends joined by a simulated path with loss, duplication, reordering and a delay,
// on a clock the test moves.
struct Path
{
    struct InFlight
    {
        std::uint32_t due;
        QByteArray datagram;
        bool toB;
    };

    QRandomGenerator rng{12345};
    double loss = 0, duplicate = 0, reorder = 0;
    std::uint32_t now = 0;
    std::uint32_t delay = 5;
    bool cut = false;
    std::vector<InFlight> flying;
    std::unique_ptr<Kcp> a, b;

    explicit Path(std::uint32_t conv = 7)
    {
        a = std::make_unique<Kcp>(conv, [this](const char *d, int n) { carry(QByteArray(d, n), true); });
        b = std::make_unique<Kcp>(conv, [this](const char *d, int n) { carry(QByteArray(d, n), false); });
        for (Kcp *k : {a.get(), b.get()}) {
            k->setMtu(1200);
            k->setWindow(256, 256);
            k->setNoDelay(true, 10, 2, false);
        }
    }

    void carry(const QByteArray &datagram, bool toB)
    {
        if (cut || rng.generateDouble() < loss)
            return;
        const int copies = rng.generateDouble() < duplicate ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            const std::uint32_t jitter = rng.generateDouble() < reorder ? rng.bounded(40) : 0;
            flying.push_back({now + delay + jitter, datagram, toB});
        }
    }

    void step()
    {
        ++now;
        std::vector<InFlight> due;
        for (auto it = flying.begin(); it != flying.end();) {
            if (std::int32_t(now - it->due) >= 0) {
                due.push_back(std::move(*it));
                it = flying.erase(it);
            } else {
                ++it;
            }
        }
        for (const InFlight &f : due)
            (f.toB ? b : a)->input(f.datagram.constData(), f.datagram.size(), now);
        a->update(now);
        b->update(now);
    }
};

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    rng.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

} // namespace

class TstKcp : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void streamSurvivesHostilePath_data();
    void streamSurvivesHostilePath();
    void messagesKeepTheirBoundaries();
    void closedWindowStallsThenResumes();
    void malformedInputIsRefused();
    void flushLeavesItsDatagramsInPlace();
    void deadPathIsNoticed();
};

void TstKcp::streamSurvivesHostilePath_data()
{
    QTest::addColumn<double>("loss");
    QTest::addColumn<double>("duplicate");
    QTest::addColumn<double>("reorder");
    QTest::addColumn<qint64>("outOfOrderLimit");
    QTest::newRow("clean") << 0.0 << 0.0 << 0.0 << Kcp::kMaxOutOfOrderBytes;
    QTest::newRow("10% loss, duplicates, reordering") << 0.10 << 0.05 << 0.2 << Kcp::kMaxOutOfOrderBytes;
    QTest::newRow("30% loss") << 0.30 << 0.0 << 0.1 << Kcp::kMaxOutOfOrderBytes;
    // A receiver that must turn segments away past a gap may not acknowledge them.
    QTest::newRow("10% loss, room for few segments out of order") << 0.10 << 0.0 << 0.1 << qint64(8 * 1024);
}

void TstKcp::streamSurvivesHostilePath()
{
    QFETCH(double, loss);
    QFETCH(double, duplicate);
    QFETCH(double, reorder);
    QFETCH(qint64, outOfOrderLimit);
    Path path;
    path.a->setStreamMode(true);
    path.b->setStreamMode(true);
    path.a->setOutOfOrderLimit(outOfOrderLimit);
    path.b->setOutOfOrderLimit(outOfOrderLimit);
    path.loss = loss;
    path.duplicate = duplicate;
    path.reorder = reorder;

    // Both directions at once, written in odd-sized pieces; one side takes what arrives
    // through a sink.
    const QByteArray aToB = randomBytes(1 << 20, 1);
    const QByteArray bToA = randomBytes(300 * 1000, 2);
    QByteArray gotB, gotA;
    path.b->setStreamSink([&gotB](const char *data, int size) { gotB.append(data, size); });
    int sentA = 0, sentB = 0;
    for (int i = 0; i < 200000 && (gotB.size() < aToB.size() || gotA.size() < bToA.size()); ++i) {
        if (sentA < aToB.size() && path.a->waitSend() < 512) {
            const int n = qMin(7777, aToB.size() - sentA);
            QVERIFY(path.a->send(aToB.constData() + sentA, n));
            sentA += n;
        }
        if (sentB < bToA.size() && path.b->waitSend() < 512) {
            const int n = qMin(1001, bToA.size() - sentB);
            QVERIFY(path.b->send(bToA.constData() + sentB, n));
            sentB += n;
        }
        path.step();
        path.b->receiveStream(gotB);
        path.a->receiveStream(gotA);
    }
    QCOMPARE(gotB.size(), aToB.size());
    QVERIFY(gotB == aToB);
    QVERIFY(gotA == bToA);
    QVERIFY(!path.a->isDead() && !path.b->isDead());
    // Everything sent was acknowledged in the end.
    for (int i = 0; i < 2000 && path.a->waitSend() > 0; ++i)
        path.step();
    QCOMPARE(path.a->waitSend(), 0);
    QCOMPARE(path.a->unacknowledgedBytes(), qint64(0));
    if (loss > 0)
        QVERIFY(path.a->retransmissions() > 0);
}

// The UDP transport tags and sends a flush's datagrams together once the flush returned.
void TstKcp::flushLeavesItsDatagramsInPlace()
{
    std::vector<std::pair<const char *, QByteArray>> handed;
    Kcp kcp(7, [&handed](const char *data, int size) { handed.push_back({data, QByteArray(data, size)}); });
    kcp.setMtu(200);
    kcp.setNoDelay(true, 10, 2, true);
    for (int i = 0; i < 40; ++i)
        QVERIFY(kcp.send(randomBytes(52, quint32(i)).constData(), 52));
    kcp.update(0);
    QVERIFY(handed.size() >= 10);
    for (const auto &h : handed)
        QVERIFY(QByteArray(h.first, h.second.size()) == h.second);
}

void TstKcp::messagesKeepTheirBoundaries()
{
    Path path;
    path.loss = 0.1;
    path.reorder = 0.3;
    QVector<QByteArray> sent;
    for (int i = 0; i < 40; ++i) {
        sent.append(randomBytes(4 * (1 + i * 997 % 20000), quint32(i + 10)));
        QVERIFY(path.a->send(sent.last().constData(), sent.last().size()));
    }
    // Larger than the receive window can ever reassemble: refused, not half sent.
    const QByteArray huge(256 * 1200, 'x');
    QVERIFY(!path.a->send(huge.constData(), huge.size()));

    QVector<QByteArray> got;
    QByteArray message;
    for (int i = 0; i < 50000 && got.size() < sent.size(); ++i) {
        path.step();
        while (path.b->receiveMessage(message))
            got.append(message);
    }
    QCOMPARE(got.size(), sent.size());
    for (int i = 0; i < sent.size(); ++i)
        QVERIFY2(got[i] == sent[i], qPrintable(QString::number(i)));
}

void TstKcp::closedWindowStallsThenResumes()
{
    Path path;
    path.a->setStreamMode(true);
    path.b->setStreamMode(true);
    const QByteArray data = randomBytes(2 << 20, 3);
    QVERIFY(path.a->send(data.constData(), data.size()));
    // The receiver takes nothing: the sender may fill its window, no more.
    for (int i = 0; i < 3000; ++i)
        path.step();
    QVERIFY(path.b->receivedBytes() > 0);
    QVERIFY(path.b->receivedBytes() <= 256 * 1176);
    QVERIFY(path.a->unacknowledgedBytes() > data.size() / 2);
    // Once it reads again the rest follows, also after the window was seen closed.
    QByteArray got;
    for (int i = 0; i < 100000 && got.size() < data.size(); ++i) {
        path.step();
        if (i % 3 == 0)
            path.b->receiveStream(got);
    }
    QVERIFY(got == data);
}

void TstKcp::malformedInputIsRefused()
{
    Path path;
    const QByteArray data = randomBytes(5000, 4);
    path.a->setStreamMode(true);
    path.b->setStreamMode(true);
    QVERIFY(path.a->send(data.constData(), data.size()));

    QByteArray header(Kcp::kHeaderBytes, 0);
    auto put32 = [&header](int at, quint32 v) { qToLittleEndian<quint32>(v, header.data() + at); };
    put32(0, 7);
    header[4] = char(Kcp::CmdPush);
    put32(20, 100000);   // claims more payload than there is
    QVERIFY(!path.b->input(header.constData(), header.size(), 0));
    put32(20, 0);
    header[4] = char(99);   // no such command
    QVERIFY(!path.b->input(header.constData(), header.size(), 0));
    header[4] = char(Kcp::CmdPush);
    put32(0, 8);   // another conversation
    QVERIFY(!path.b->input(header.constData(), header.size(), 0));
    QVERIFY(!path.b->input(header.constData(), 5, 0));
    put32(0, 7);
    put32(12, 0x7fffffff);   // far outside the window
    put32(20, 1);
    QVERIFY(path.b->input((header + 'z').constData(), header.size() + 1, 0));
    QCOMPARE(path.b->receivedBytes(), qint64(0));

    QByteArray got;
    for (int i = 0; i < 2000 && got.size() < data.size(); ++i) {
        path.step();
        path.b->receiveStream(got);
    }
    QVERIFY(got == data);
}

void TstKcp::deadPathIsNoticed()
{
    Path path;
    path.a->setDeadLinkLimit(5);
    path.cut = true;
    QVERIFY(path.a->send("ping", 4));
    for (int i = 0; i < 60000 && !path.a->isDead(); ++i)
        path.step();
    QVERIFY(path.a->isDead());
}

QTEST_GUILESS_MAIN(TstKcp)
#include "tst_kcp.moc"
