// Computers that come back: two whole programs (nusk-peerhost) in network namespaces of their
// own (testutil_netns.h), of which only A can dial B, as behind a firewall that lets nothing
// in. Watched: how soon A has B again once the way is open, after a cut and after a restart,
// whichever of the two invited the other, and when B is reached only through a forwarded
// port, with the tests' short timings and with the program's own.

#include "testutil_netns.h"
#include "testutil_peerhost.h"
#include "../testutil_timeouts.h"

#include "db/sqlitedatabase.h"
#include "peers/dialpolicy.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

using namespace peerhosttest;

namespace {

const QString kAddressA = QStringLiteral("198.18.0.10");
const QString kAddressB = QStringLiteral("198.18.0.20");
// Inside the namespaces' range, but no route leads there from A.
const QString kNoRoute = QStringLiteral("198.19.255.1");

// hostA and hostB on one bridge (testutil_netns.h, no routers). A reaches B over TCP; B's
// connections to A and UDP both ways are dropped, so every link is one A dialled over TCP;
// only when A invites does B dial A, once, to accept.
struct Lab
{
    testutil::Netns net;
    QTemporaryDir dir;
    std::unique_ptr<Host> a;
    std::unique_ptr<Host> b;
    QString bOnA;
    QString aOnB;

    bool build(bool programTimings, bool aInvites = false)
    {
        if (!testutil::buildNatNetwork(net, testutil::Router::None, testutil::Router::None)
            || !nft(QStringLiteral("hostB"), QStringLiteral("table inet guard { chain input { type filter hook input priority 0\n"
                                                          " ip saddr %1 meta l4proto udp drop\n }\n}\n")
                                                 .arg(kAddressA))
            || (!aInvites && !guardA()))
            return false;
        a = makeHost(QStringLiteral("A"), programTimings);
        b = makeHost(QStringLiteral("B"), programTimings);
        const QString localUp = QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 10");
        if (!a->start() || !b->start() || !a->ok(localUp) || !b->ok(localUp))
            return false;
        const QString code = QStringLiteral("c0debac5");
        if (!aInvites) {
            // B invites and A accepts: the first link, too, is one A dials.
            const QStringList invitation = b->invite(code);
            return invitation.size() == 2 && acceptAndWait(*b, *a, invitation[0], code, &bOnA, &aOnB);
        }
        const QStringList invitation = a->invite(code);
        return invitation.size() == 2 && acceptAndWait(*a, *b, invitation[0], code, &aOnB, &bOnA) && guardA();
    }

    // From now on B cannot dial A.
    bool guardA()
    {
        return nft(QStringLiteral("hostA"), QStringLiteral("table inet guard { chain input { type filter hook input priority 0\n"
                                                         " ip saddr %1 ct state new drop\n ip saddr %1 meta l4proto udp drop\n }\n}\n")
                                                .arg(kAddressB));
    }

    std::unique_ptr<Host> makeHost(const QString &side, bool programTimings)
    {
        const QString path = dir.filePath(QStringLiteral("host") + side);
        auto host = std::make_unique<Host>(path, freePort());
        host->setNetns(net.name(QStringLiteral("host") + side));
        host->setProgramTimings(programTimings);
        return host;
    }

    bool nft(const QString &ns, const QString &script)
    {
        return net.exec(ns, QStringLiteral("nft"), {QStringLiteral("-f"), QStringLiteral("-")}, script.toUtf8());
    }
    QString nftList(const QString &ns, const QString &table)
    {
        QProcess p;
        p.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), net.name(ns), QStringLiteral("nft"),
                                       QStringLiteral("list"), QStringLiteral("table"), QStringLiteral("inet"), table});
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }

    // Nothing passes between the two until letThrough().
    bool cut() { return nft(QStringLiteral("pub"), QStringLiteral("table bridge cut { chain forward { type filter hook forward priority 0\n drop\n }\n}\n")); }
    bool letThrough() { return nft(QStringLiteral("pub"), QStringLiteral("delete table bridge cut")); }

    // A's own cable to the bridge.
    bool setInterfaceOfAUp(bool up)
    {
        return net.ip({QStringLiteral("link"), QStringLiteral("set"), net.name(QString()) + QStringLiteral("Aw"),
                       up ? QStringLiteral("up") : QStringLiteral("down")},
                      QStringLiteral("hostA"));
    }

    bool bUpOnA() { return a->stateOf(bOnA) == 3; }

    // B's port on its own address, as A knows it.
    quint16 portOfB() const { return b->port(); }

    // Stops A and stores `host` with each of `ports` in its database, in that order, in
    // front of what it stored about B.
    bool plantOnA(const QString &host, const QList<quint16> &ports)
    {
        return rewriteOnA([&](const std::vector<TransportDto> &stored) {
            std::vector<TransportDto> rows;
            for (quint16 port : ports)
                rows.push_back(tcpAddress(host, port, stored.front().timestamp));
            rows.insert(rows.end(), stored.begin(), stored.end());
            return rows;
        });
    }

    // Stops A and replaces what it stored about B by what `rows` makes of it.
    bool rewriteOnA(const std::function<std::vector<TransportDto>(const std::vector<TransportDto> &stored)> &rows)
    {
        a->stop();
        SqliteDatabase db(a->dir());
        const std::vector<TransportDto> stored = db.loadTransports(bOnA);
        if (stored.empty())
            return false;
        bool ok = true;
        for (const TransportDto &t : stored)
            ok = ok && db.deleteTransport(t.uuid);
        for (TransportDto t : rows(stored)) {
            t.peerUuid = bOnA;
            ok = ok && db.putTransport(t);
        }
        return ok;
    }

    static TransportDto tcpAddress(const QString &host, quint16 port, qint64 announcedAt, qint64 worked = 0)
    {
        TransportDto t;
        t.uuid = newUuidString();
        t.type = QStringLiteral("tcp");
        t.host = host;
        t.port = port;
        t.timestamp = announcedAt;
        t.worked = worked;
        t.stream = true;
        return t;
    }
};

// Milliseconds until A has B up again, for each lab; -1 for one that is not once `limitMs`
// have passed.
QList<qint64> msUntilBack(const QList<Lab *> &labs, int limitMs)
{
    QList<qint64> back;
    for (int i = 0; i < labs.size(); ++i)
        back << -1;
    QElapsedTimer clock;
    clock.start();
    while (back.contains(-1) && clock.elapsed() < limitMs) {
        for (int i = 0; i < labs.size(); ++i) {
            if (back[i] < 0 && labs[i]->bUpOnA())
                back[i] = clock.elapsed();
        }
        QTest::qWait(20);
    }
    return back;
}

// Ports on B's address that take every connection the same way (`verdict`), each with a
// counter of the packets that reached it.
QString portsTable(const QList<quint16> &ports, const QString &verdict)
{
    QString rules;
    for (quint16 port : ports)
        rules += QStringLiteral(" tcp dport %1 counter %2\n").arg(port).arg(verdict);
    return QStringLiteral("table inet ports { chain input { type filter hook input priority -10\n%1 }\n}\n").arg(rules);
}

// Packets that reached `port`, by the counters of portsTable().
int knocks(Lab &lab, quint16 port)
{
    const QRegularExpression counter(QStringLiteral("dport %1 counter packets (\\d+)").arg(port));
    return counter.match(lab.nftList(QStringLiteral("hostB"), QStringLiteral("ports"))).captured(1).toInt();
}

int portsReached(Lab &lab, const QList<quint16> &ports)
{
    return int(std::count_if(ports.begin(), ports.end(), [&lab](quint16 port) { return knocks(lab, port) > 0; }));
}

QList<quint16> portsAbove(quint16 port, int count)
{
    QList<quint16> ports;
    for (int i = 1; i <= count; ++i)
        ports << quint16(port + 100 + i);
    return ports;
}

} // namespace

class TstPeerhostComeback : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        const QString reason = testutil::Netns::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
    }

    // Two ways a dial can fail before it has begun, side by side: an address stored in front
    // of the live ones that has no route, and A's own cable unplugged while the link is cut.
    // Once the way is open again, A has B back within seconds, whatever back-off it reached.
    void backOnceLetThrough_data()
    {
        QTest::addColumn<bool>("programTimings");
        QTest::newRow("short timings") << false;
        QTest::newRow("program timings") << true;
    }
    void backOnceLetThrough()
    {
        QFETCH(bool, programTimings);
        Lab noRoute;
        Lab unplugged;
        QVERIFY(noRoute.build(programTimings));
        QVERIFY(unplugged.build(programTimings));

        QVERIFY(noRoute.plantOnA(kNoRoute, {noRoute.portOfB()}));
        QVERIFY(noRoute.a->start());
        QVERIFY(noRoute.a->ok(QStringLiteral("wait-up %1 20").arg(noRoute.bOnA)));

        QVERIFY(noRoute.cut());
        QVERIFY(unplugged.setInterfaceOfAUp(false));
        // The links end once they have been silent for long enough.
        const int silence = testutil::timeoutMs(programTimings ? 120000 : 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!noRoute.bUpOnA() && !unplugged.bUpOnA(), silence);
        // Some failed rounds: the back-off grows while nothing gets through.
        QTest::qWait(3000);

        QVERIFY(noRoute.letThrough());
        QVERIFY(unplugged.setInterfaceOfAUp(true));
        const QList<qint64> back = msUntilBack({&noRoute, &unplugged}, testutil::timeoutMs(10000));
        qInfo("back after the way opened: %lld ms past the address without a route, %lld ms after the cable",
              back[0], back[1]);
        QVERIFY2(back[0] >= 0, "A did not dial B again past the address without a route");
        QVERIFY2(back[1] >= 0, "A did not dial B again once its cable was back");
    }

    // Addresses that never answer, stored in front of the one A has had B on: after a restart
    // of both, A has B at once; the addresses it never reached B on take up only the few
    // places a minute new ones get. So also where A invited B: B dialled A to accept and A
    // never dialled B, but the link that came in told A where B is.
    void restartReachesTheAddressThatWorked_data()
    {
        QTest::addColumn<bool>("programTimings");
        QTest::addColumn<int>("dead");
        QTest::addColumn<bool>("aInvited");
        for (const bool program : {false, true}) {
            const char *timings = program ? "program timings" : "short timings";
            for (const int dead : {0, 3, 4, 9})
                QTest::addRow("%s, %d dead", timings, dead) << program << dead << false;
            for (const int dead : {4, 9})
                QTest::addRow("%s, %d dead, A invited", timings, dead) << program << dead << true;
        }
    }
    void restartReachesTheAddressThatWorked()
    {
        QFETCH(bool, programTimings);
        QFETCH(int, dead);
        QFETCH(bool, aInvited);
        Lab lab;
        QVERIFY(lab.build(programTimings, aInvited));
        const QList<quint16> deadPorts = portsAbove(lab.portOfB(), dead);
        lab.b->stop();
        QVERIFY(lab.plantOnA(kAddressB, deadPorts));
        if (dead > 0)
            QVERIFY(lab.nft(QStringLiteral("hostB"), portsTable(deadPorts, QStringLiteral("drop"))));

        // B first: A's first round is to find it listening, as it would any time later.
        QVERIFY(lab.b->start() && lab.b->ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 10")));
        QVERIFY(lab.a->start());
        const qint64 up = msUntilBack({&lab}, testutil::timeoutMs(5000)).first();
        qInfo("B up on A %lld ms after the restart", up);
        QVERIFY2(up >= 0, "B not up on A within 5 s of the restart");
        QVERIFY(portsReached(lab, deadPorts) <= DialPolicy::kMaxNewPerWindow);
    }

    // B reached only through a port forwarded to it, which it does not announce: A stored that
    // port 40 days ago and reached B there a minute ago, and 33 addresses B was never reached
    // on were stored since (rotating ones). The first link brings B's own addresses, more than
    // the table keeps; after a restart A has B again within 5 s through the forwarded port.
    void forwardedPortOutlivesNewerAddresses_data()
    {
        QTest::addColumn<bool>("programTimings");
        QTest::newRow("short timings") << false;
        QTest::newRow("program timings") << true;
    }
    void forwardedPortOutlivesNewerAddresses()
    {
        QFETCH(bool, programTimings);
        Lab lab;
        QVERIFY(lab.build(programTimings));
        lab.b->stop();
        const quint16 forwarded = quint16(lab.portOfB() + 50);
        QVERIFY(lab.nft(QStringLiteral("hostB"),
                        QStringLiteral("table ip forward { chain prerouting { type nat hook prerouting priority -100\n"
                                       " tcp dport %1 redirect to :%2\n }\n}\n"
                                       "table inet direct { chain input { type filter hook input priority 0\n"
                                       " ip saddr %3 tcp dport %2 ct status dnat accept\n ip saddr %3 tcp dport %2 drop\n }\n}\n")
                            .arg(forwarded)
                            .arg(lab.portOfB())
                            .arg(kAddressA)));
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QVERIFY(lab.rewriteOnA([&](const std::vector<TransportDto> &) {
            std::vector<TransportDto> rows{Lab::tcpAddress(kAddressB, forwarded, now - 40 * 24 * 3600, now - 60)};
            for (int i = 0; i < 33; ++i)
                rows.push_back(Lab::tcpAddress(QStringLiteral("198.19.%1.%2").arg(i / 200 + 1).arg(i % 200 + 1),
                                               lab.portOfB(), now - (33 - i) * 3600));
            return rows;
        }));
        const QString localUp = QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 10");
        QVERIFY(lab.b->start() && lab.b->ok(localUp));
        QVERIFY(lab.a->start());
        QVERIFY2(msUntilBack({&lab}, testutil::timeoutMs(10000)).first() >= 0, "B not up through the forwarded port");

        lab.a->stop();
        QVERIFY(lab.a->start());
        const qint64 up = msUntilBack({&lab}, testutil::timeoutMs(5000)).first();
        qInfo("B up on A %lld ms after the restart", up);
        QVERIFY2(up >= 0, "B not up on A within 5 s of the restart");
    }

    // Ten addresses A never reached B on, planted in front of the one that worked, while B is
    // gone: round after round, A knocks on only as many of them as a minute lets it.
    void plantedAddressesKeepTheBudget()
    {
        Lab lab;
        QVERIFY(lab.build(false));
        const QList<quint16> planted = portsAbove(lab.portOfB(), 10);
        lab.b->stop();
        QVERIFY(lab.plantOnA(kAddressB, planted));
        // Refused at once, so that the rounds come quickly; B's own port counts them.
        QVERIFY(lab.nft(QStringLiteral("hostB"), portsTable(planted + QList<quint16>{lab.portOfB()},
                                                            QStringLiteral("reject with tcp reset"))));
        QVERIFY(lab.a->start());
        QTRY_VERIFY(knocks(lab, lab.portOfB()) >= 5);
        QCOMPARE(portsReached(lab, planted), DialPolicy::kMaxNewPerWindow);
    }
};

QTEST_GUILESS_MAIN(TstPeerhostComeback)
#include "tst_peerhost_comeback.moc"
