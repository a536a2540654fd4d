#include "db/sqlitedatabase.h"
#include "peers/peertransports.h"

#include <QTemporaryDir>
#include <QtTest>

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
        QTemporaryDir dir;
        SqliteDatabase db(dir.path());
        QVERIFY(db.isOpen());
        const QString peer = newUuidString();
        QVERIFY(db.putPeer({peer, QStringLiteral("nusk"), 1}));

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
};

QTEST_GUILESS_MAIN(TstPeerTransports)
#include "tst_peertransports.moc"
