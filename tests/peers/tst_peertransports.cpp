#include "db/sqlitedatabase.h"
#include "peers/peertransports.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

// A database of its own with one peer in it.
struct PeerTable
{
    QTemporaryDir dir;
    SqliteDatabase db{dir.path()};
    const QString peer = newUuidString();

    bool open() { return db.isOpen() && db.putPeer({peer, QStringLiteral("nusk"), 1}); }
};

class TstPeerTransports : public QObject
{
    Q_OBJECT

    static std::vector<TransportDto> announcement(int first, int count)
    {
        std::vector<TransportDto> list;
        for (int i = first; i < first + count; ++i) {
            TransportDto t;
            t.type = QStringLiteral("tcp");
            t.host = QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250 + 1);
            t.port = 60391;
            list.push_back(t);
        }
        return list;
    }

private Q_SLOTS:
    // A peer that shows up from a new network at every connection keeps only its newest
    // addresses; unusable entries and over-long announcements are not stored.
    void announcementsAreBoundedAndPruned()
    {
        PeerTable table;
        QVERIFY(table.open());
        SqliteDatabase &db = table.db;
        const QString &peer = table.peer;

        std::vector<TransportDto> first = announcement(0, 40);
        TransportDto noHost;
        noHost.type = QStringLiteral("tcp");
        noHost.port = 1;
        first.insert(first.begin(), noHost);
        storePeerTransports(&db, peer, first);
        QCOMPARE(db.loadTransports(peer).size(), std::size_t(kMaxAnnouncedTransports));

        storePeerTransports(&db, peer, announcement(100, 16));
        storePeerTransports(&db, peer, announcement(200, 16));
        const std::vector<TransportDto> kept = db.loadTransports(peer);
        QCOMPARE(kept.size(), std::size_t(kMaxStoredTransports));
        QStringList hosts;
        for (const TransportDto &t : kept)
            hosts << t.host;
        // the newest announcement is all there, the oldest went first
        for (const TransportDto &t : announcement(200, 16))
            QVERIFY2(hosts.contains(t.host), qPrintable(t.host));
        QVERIFY(!hosts.contains(announcement(0, 1).front().host));

        // an address the peer already has is refreshed, not added again
        storePeerTransports(&db, peer, announcement(200, 1));
        QCOMPARE(db.loadTransports(peer).size(), std::size_t(kMaxStoredTransports));
    }

    // The addresses this computer has had the peer on are dialled first, the most recent
    // first, however many others were stored before them; announcing one again, or a note
    // of an earlier time, does not make it forget when it worked.
    void addressesThatWorkedComeFirst()
    {
        PeerTable table;
        QVERIFY(table.open());
        SqliteDatabase &db = table.db;
        const QString &peer = table.peer;
        storePeerTransports(&db, peer, announcement(0, 16));
        storePeerTransports(&db, peer, announcement(16, 16));

        auto noteWorked = [&](const QString &host, qint64 when) {
            for (TransportDto t : db.loadTransports(peer)) {
                if (t.host == host) {
                    t.worked = when;
                    QVERIFY(db.putTransport(t));
                }
            }
        };
        const QString older = announcement(30, 1).front().host;
        const QString newer = announcement(20, 1).front().host;
        noteWorked(older, 1000);
        noteWorked(newer, 2000);
        noteWorked(newer, 1500);
        storePeerTransports(&db, peer, announcement(20, 12));

        const QList<DialTarget> targets = dialTargets(db.loadTransports(peer), 4, {});
        QCOMPARE(targets.size(), 4);
        QCOMPARE(targets[0].host, newer);
        QCOMPARE(targets[1].host, older);
        QCOMPARE(targets[2].host, announcement(0, 1).front().host);
    }

    // A forwarded port the peer does not know of itself, stored 40 days ago and reached a
    // minute ago, then 40 addresses it was never reached on stored day by day since (rotating
    // ones): trimming keeps the port, with the announcement just made, ahead of the others.
    // Addresses that worked never crowd out the announcement itself.
    void addressesThatWorkedOutliveTheLimit()
    {
        PeerTable table;
        QVERIFY(table.open());
        SqliteDatabase &db = table.db;
        const QString &peer = table.peer;
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const qint64 day = 24 * 3600;
        auto storeAt = [&](TransportDto t, qint64 announcedAt, qint64 worked) {
            t.uuid = newUuidString();
            t.peerUuid = peer;
            t.stream = true;
            t.timestamp = announcedAt;
            t.worked = worked;
            QVERIFY(db.putTransport(t));
        };
        TransportDto forwarded;
        forwarded.type = QStringLiteral("tcp");
        forwarded.host = QStringLiteral("203.0.113.7");
        forwarded.port = 40000;
        storeAt(forwarded, now - 40 * day, now - 60);
        for (int i = 0; i < 40; ++i)
            storeAt(announcement(i, 1).front(), now - (40 - i) * day + 1, 0);
        auto hosts = [&] {
            QStringList list;
            for (const TransportDto &t : db.loadTransports(peer))
                list << t.host;
            return list;
        };

        storePeerTransports(&db, peer, announcement(100, 16));
        QStringList kept = hosts();
        QCOMPARE(kept.size(), kMaxStoredTransports);
        QVERIFY(kept.contains(forwarded.host));
        for (const TransportDto &t : announcement(100, 16))
            QVERIFY2(kept.contains(t.host), qPrintable(t.host));
        QVERIFY(kept.contains(announcement(39, 1).front().host));
        QVERIFY(!kept.contains(announcement(0, 1).front().host));

        // Every stored address has worked once; a new announcement still goes in whole.
        for (TransportDto t : db.loadTransports(peer)) {
            t.worked = now - 3600;
            QVERIFY(db.putTransport(t));
        }
        storePeerTransports(&db, peer, announcement(200, 16));
        kept = hosts();
        QCOMPARE(kept.size(), kMaxStoredTransports);
        for (const TransportDto &t : announcement(200, 16))
            QVERIFY2(kept.contains(t.host), qPrintable(t.host));
        QVERIFY(kept.contains(forwarded.host));
    }
};

QTEST_GUILESS_MAIN(TstPeerTransports)
#include "tst_peertransports.moc"
