// The LAN beacon on its real port and group, inside a network namespace of this test's own
// (only a loopback interface that multicasts), so nothing reaches the real network.

#include "com/lanbeacon.h"
#include "crypto/crypto.h"

#include <QProcess>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <sched.h>
#include <unistd.h>

using namespace com;

namespace {

bool run(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("ip"), args);
    return p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

const BeaconNeighbour *find(const QList<BeaconNeighbour> &list, const QString &name)
{
    for (const BeaconNeighbour &n : list)
        if (n.announcement.name == name)
            return &n;
    return nullptr;
}

} // namespace

class TstLanBeacon : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(crypto::initialize());
        if (geteuid() != 0)
            QSKIP("needs root for a network namespace of its own");
        if (unshare(CLONE_NEWNET) != 0)
            QSKIP("cannot make a network namespace (unshare)");
        if (!run({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up"),
                  QStringLiteral("multicast"), QStringLiteral("on")})
            || !run({QStringLiteral("addr"), QStringLiteral("add"), QStringLiteral("198.18.0.1/32"),
                     QStringLiteral("dev"), QStringLiteral("lo")})
            || !run({QStringLiteral("route"), QStringLiteral("add"), QStringLiteral("224.0.0.0/4"),
                     QStringLiteral("dev"), QStringLiteral("lo"), QStringLiteral("src"), QStringLiteral("198.18.0.1")}))
            QSKIP("iproute2 (ip) cannot set up the namespace's loopback");
    }

    void twoProgramsSeeEachOthersInvitation();
    void ownProgramOfAnotherRunIsNoNeighbour();
    void floodAndMalformedAnnouncementsCostBoundedMemory();
};

void TstLanBeacon::twoProgramsSeeEachOthersInvitation()
{
    LanBeacon a, b;
    a.setIntervals(100, 400);
    b.setIntervals(100, 400);
    QVERIFY(a.start());
    QVERIFY(b.start());
    a.setAnnouncement({QStringLiteral("Laptop\x01\u202Ekitchen"), 2, 60391, 60392});
    b.setAnnouncement({QStringLiteral("Desk"), 1, 60393, 60394});
    a.setAnnouncing(true);
    QTRY_COMPARE(b.neighbours().size(), 1);
    const BeaconNeighbour n = b.neighbours().first();
    // Control and direction-override characters never reach a list.
    QCOMPARE(n.announcement.name, QStringLiteral("Laptopkitchen"));
    QCOMPARE(n.announcement.tcpPort, quint16(60391));
    QCOMPARE(n.announcement.udpPort, quint16(60392));
    QCOMPARE(n.announcement.deviceType, quint8(2));
    QCOMPARE(n.address, QHostAddress(QStringLiteral("198.18.0.1")));
    // Nobody lists itself; b is not announcing, so a sees nobody.
    QTest::qWait(300);
    QVERIFY(a.neighbours().isEmpty());

    b.setAnnouncing(true);
    QTRY_VERIFY(find(a.neighbours(), QStringLiteral("Desk")));
    // The invitation closed: it drops off the other's list.
    a.setAnnouncing(false);
    QTRY_VERIFY(b.neighbours().isEmpty());
}

// The program of an earlier run of this computer (still ending while the next one starts)
// announces this computer's own invitations: on this computer's address and this program's
// port it is no neighbour; another program on this computer, on another port, is one.
void TstLanBeacon::ownProgramOfAnotherRunIsNoNeighbour()
{
    LanBeacon current, earlier, other;
    for (LanBeacon *beacon : {&current, &earlier, &other}) {
        beacon->setIntervals(100, 400);
        QVERIFY(beacon->start());
    }
    current.setAnnouncement({QStringLiteral("Desk"), 1, 60391, 60392});
    earlier.setAnnouncement({QStringLiteral("Desk"), 1, 60391, 60392});
    other.setAnnouncement({QStringLiteral("Desk"), 1, 60401, 60402});
    earlier.setAnnouncing(true);
    other.setAnnouncing(true);
    QTRY_COMPARE(current.neighbours().size(), 1);
    QTest::qWait(400);
    QCOMPARE(current.neighbours().size(), 1);
    QCOMPARE(current.neighbours().first().announcement.tcpPort, quint16(60401));
}

void TstLanBeacon::floodAndMalformedAnnouncementsCostBoundedMemory()
{
    LanBeacon listener;
    listener.setIntervals(1000, 60000);
    QVERIFY(listener.start());
    QUdpSocket flood;
    QVERIFY(flood.bind(QHostAddress(QHostAddress::LocalHost), 0));

    // Many senders' worth of announcements (distinct ids) from one address, and garbage.
    for (int i = 0; i < 2000; ++i) {
        const QByteArray id = QByteArray::number(i).leftJustified(16, '#');
        const QByteArray good = LanBeacon::encode(id, {QStringLiteral("pc%1").arg(i), 1, 1, 2});
        flood.writeDatagram(good, LanBeacon::group(), LanBeacon::kPort);
        flood.writeDatagram(good.left(good.size() - 1), LanBeacon::group(), LanBeacon::kPort);
        flood.writeDatagram(QByteArray(i % 1500, char(i)), LanBeacon::group(), LanBeacon::kPort);
        if (i % 50 == 0)   // let the listener keep up rather than the kernel drop the rest
            QCoreApplication::processEvents();
    }
    QByteArray overlong = LanBeacon::encode("x", {QStringLiteral("n"), 1, 1, 2});
    overlong[26] = char(200);
    flood.writeDatagram(overlong + QByteArray(199, 'a'), LanBeacon::group(), LanBeacon::kPort);
    QTRY_VERIFY(listener.ignoredDatagrams() >= 4000);
    // One address is heard twice a second at most, and the list never grows past its bound.
    QCOMPARE(listener.neighbours().size(), 1);

    // Many addresses (the whole loopback net answers in this namespace): still bounded.
    for (int i = 0; i < 300; ++i) {
        QUdpSocket from;
        from.bind(QHostAddress(QStringLiteral("127.0.%1.%2").arg(i / 200 + 1).arg(i % 200 + 1)), 0);
        from.writeDatagram(LanBeacon::encode(QByteArray::number(10000 + i), {QStringLiteral("m%1").arg(i), 1, 1, 2}),
                           LanBeacon::group(), LanBeacon::kPort);
        if (i % 50 == 0)
            QCoreApplication::processEvents();
    }
    QTRY_VERIFY(find(listener.neighbours(), QStringLiteral("m299")));
    QCOMPARE(listener.neighbours().size(), LanBeacon::kMaxNeighbours);
}

QTEST_GUILESS_MAIN(TstLanBeacon)
#include "tst_lanbeacon.moc"
