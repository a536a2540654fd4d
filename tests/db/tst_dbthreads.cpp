#include "db/sqlitedatabase.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

int storeConnectionCount()
{
    int n = 0;
    for (const QString &name : QSqlDatabase::connectionNames()) {
        if (name.startsWith(QLatin1String("nusk-db-")))
            ++n;
    }
    return n;
}

// Stores one picture and reads it back; false on any error or mismatch.
bool storeAndLoad(IDatabase *db, const QString &id, int round)
{
    ImageCacheDto row;
    row.img_uuid = id;
    row.peer_uuid = nullUuidString();
    row.uri = QStringLiteral("/pics/%1.jpg").arg(id);
    row.width = 64;
    row.height = 48;
    row.mtime = round;
    row.atime = QDateTime::currentMSecsSinceEpoch();
    row.img = id.toUtf8().repeated(50);
    if (!db->putImage(row))
        return false;
    const auto rows = db->loadImage(row.peer_uuid, row.uri, row.mtime, 256);
    return rows.size() == 1 && rows[0].img == row.img;
}

} // namespace

class TestDbThreads : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void poolThreadsBesideGuiThread()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        SqliteDatabase db(dir.path());
        QVERIFY(db.isOpen());

        QThreadPool *pool = QThreadPool::globalInstance();
        const int workers = 8;
        pool->setMaxThreadCount(qMax(pool->maxThreadCount(), workers));

        std::atomic<int> errors{0};
        std::atomic<int> stored{0};
        QElapsedTimer clock;
        clock.start();
        const qint64 runMs = 2000;
        for (int w = 0; w < workers; ++w) {
            pool->start([&, w] {
                for (int i = 0; clock.elapsed() < runMs; ++i) {
                    if (!storeAndLoad(&db, QStringLiteral("w%1-%2").arg(w).arg(i), i))
                        ++errors;
                    else
                        ++stored;
                    if (i % 16 == 0 && db.loadPeers(QStringLiteral("nusk")).size() != 1)
                        ++errors;
                }
            });
        }

        // The GUI thread keeps writing through its own (default) connection meanwhile.
        QSignalSpy added(&db, &IDatabase::addedInvitation);
        int guiRounds = 0;
        for (int i = 0; clock.elapsed() < runMs; ++i, ++guiRounds) {
            if (!storeAndLoad(&db, QStringLiteral("gui-%1").arg(i), i))
                ++errors;
            else
                ++stored;
            if (!db.putInvitation({newUuidString(), QStringLiteral("n"), QStringLiteral("p"), i, i + 1}))
                ++errors;
        }
        QVERIFY(pool->waitForDone(30000));

        QCOMPARE(errors.load(), 0);
        QVERIFY(stored.load() > workers);
        QCOMPARE(added.count(), guiRounds);
        QCOMPARE(int(db.loadInvitations().size()), guiRounds);
        RawConnection raw(db.filePath());
        QCOMPARE(raw.count(QStringLiteral("imgcache")), stored.load());
    }

    void threadConnectionEndsWithThread()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        SqliteDatabase db(dir.path());
        QVERIFY(db.isOpen());
        const int before = storeConnectionCount();

        QThread thread;
        thread.start();
        bool ok = false;
        QObject worker;
        worker.moveToThread(&thread);
        QMetaObject::invokeMethod(&worker, [&] {
            ok = db.putPeer({QStringLiteral("{55555555-5555-5555-5555-555555555555}"), QStringLiteral("nusk"), 1})
                && db.loadPeers(QStringLiteral("nusk")).size() == 2;
        }, Qt::BlockingQueuedConnection);
        QVERIFY(ok);
        QCOMPARE(storeConnectionCount(), before + 1);

        thread.quit();
        QVERIFY(thread.wait(10000));
        QCOMPARE(storeConnectionCount(), before);

        // A restarted thread simply gets a fresh connection.
        thread.start();
        QMetaObject::invokeMethod(&worker, [&] { ok = db.loadPeers(QString()).size() == 2; },
                                  Qt::BlockingQueuedConnection);
        QVERIFY(ok);
        thread.quit();
        QVERIFY(thread.wait(10000));
        QCOMPARE(storeConnectionCount(), before);
    }

    void databaseGoneBeforeThreadEnds()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QThread thread;
        thread.start();
        QObject worker;
        worker.moveToThread(&thread);
        {
            SqliteDatabase db(dir.path());
            bool ok = false;
            QMetaObject::invokeMethod(&worker, [&] { ok = !db.loadPeers(QString()).empty(); },
                                      Qt::BlockingQueuedConnection);
            QVERIFY(ok);
        }
        QCOMPARE(storeConnectionCount(), 0);
        thread.quit();
        QVERIFY(thread.wait(10000));
    }
};

QTEST_GUILESS_MAIN(TestDbThreads)
#include "tst_dbthreads.moc"
