// Real pairing between separate nusk-peerhost processes on this machine.

#include "db/ownkey.h"
#include "db/sqlitedatabase.h"
#include "peers/invitation.h"
#include "testutil_peerhost.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace peerhosttest;

class TstPeerHosts : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    int m_dirs = 0;

    QString newDir() { return m_root.filePath(QString::number(++m_dirs)); }

    // Settles: enough for several rounds of redialling at the shortened back-off.
    static void settle() { QTest::qWait(1500); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY2(QFileInfo(hostBinary()).isExecutable(), qPrintable(hostBinary()));
    }

    void pairReconnectAndNetworkSwitch()
    {
        auto a = std::make_unique<Host>(newDir(), freePort());
        Host b(newDir(), freePort());
        QVERIFY(a->start());
        QVERIFY(b.start());
        QVERIFY(a->ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5")));
        QVERIFY(b.ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5")));

        QString aOnB;
        QString bOnA;
        QVERIFY2(pairHosts(*a, b, &aOnB, &bOnA), "both sides up within 5 s");
        QVERIFY(aOnB != kLocal && bOnA != kLocal);
        QCOMPARE(a->peers().size(), 2);
        QCOMPARE(b.peers().size(), 2);
        // Each link names its path and, once the first pings came back, its round trip.
        QCOMPARE(a->remotePeers().value(0).transport, QStringLiteral("tcp"));
        QTRY_VERIFY(b.remotePeers().value(0).rttMs >= 0);
        QCOMPARE(b.remotePeers().value(0).transport, QStringLiteral("tcp"));

        // A third computer with its own key, knowing both keys and addresses, is refused.
        {
            const QString cDir = newDir();
            {
                SqliteDatabase aDb(a->dir());
                SqliteDatabase bDb(b.dir());
                SqliteDatabase cDb(cDir);
                const qint64 now = QDateTime::currentSecsSinceEpoch();
                int i = 0;
                for (SqliteDatabase *target : {&aDb, &bDb}) {
                    const QString uuid = newUuidString();
                    QVERIFY(cDb.putPeer({uuid, QStringLiteral("nusk"), now}));
                    QVERIFY(cDb.putKey({newUuidString(), uuid, QString::fromLatin1(ownSigningKeyType()),
                                        loadOrCreateOwnKeyPair(target).publicKey, QByteArray(), now}));
                    TransportDto t;
                    t.uuid = newUuidString();
                    t.peerUuid = uuid;
                    t.type = QStringLiteral("tcp");
                    t.host = QStringLiteral("127.0.0.1");
                    t.port = i++ == 0 ? a->port() : b.port();
                    t.stream = true;
                    QVERIFY(cDb.putTransport(t));
                }
            }
            Host c(cDir, freePort());
            QVERIFY(c.start());
            QVERIFY(c.ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5")));
            const QList<PeerLine> onC = c.remotePeers();
            QCOMPARE(onC.size(), 2);
            for (const PeerLine &p : onC) {
                QString status;
                c.cmd(QStringLiteral("wait-up ") + p.uuid + QStringLiteral(" 1.5"), &status);
                QVERIFY(status.startsWith(QLatin1String("error")));
            }
            QCOMPARE(a->peers().size(), 2);
            QCOMPARE(b.peers().size(), 2);
        }

        // Network off on A: B loses A; on again: B gets it back. A's local peer stays up.
        QVERIFY(a->ok(QStringLiteral("net off")));
        QVERIFY(b.waitForState(aOnB, 0, 10000) || b.stateOf(aOnB) != 3);
        settle();
        QVERIFY(b.stateOf(aOnB) != 3);
        QVERIFY(a->stateOf(bOnA) != 3);
        QCOMPARE(a->stateOf(kLocal), 3);
        QVERIFY(a->ok(QStringLiteral("net on")));
        QVERIFY(b.ok(QStringLiteral("wait-up ") + aOnB + QStringLiteral(" 10")));
        QVERIFY(a->ok(QStringLiteral("wait-up ") + bOnA + QStringLiteral(" 10")));

        // A restarts; B reconnects by itself.
        const QString aDir = a->dir();
        const quint16 aPort = a->port();
        a.reset();
        QVERIFY(b.waitForState(aOnB, 0, 10000) || b.stateOf(aOnB) != 3);
        a = std::make_unique<Host>(aDir, aPort);
        QVERIFY(a->start());
        QVERIFY(b.ok(QStringLiteral("wait-up ") + aOnB + QStringLiteral(" 10")));
        QVERIFY(a->ok(QStringLiteral("wait-up ") + bOnA + QStringLiteral(" 10")));
        QVERIFY(a->ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5")));
        QCOMPARE(a->peers().size(), 2);
        QCOMPARE(b.peers().size(), 2);
    }

    void refusedInvitationsStoreNothing()
    {
        Host a(newDir(), freePort());
        Host b(newDir(), freePort());
        QVERIFY(a.start());
        QVERIFY(b.start());

        // Wrong code: the link does not even open.
        const QStringList first = a.invite(QStringLiteral("11112222"));
        QCOMPARE(first.size(), 2);
        QString status;
        b.cmd(QStringLiteral("accept ") + first[0] + QStringLiteral(" 11112223"), &status);
        QVERIFY(status.startsWith(QLatin1String("error")));

        // Deleted on A after the link was sent.
        const QStringList deleted = a.invite(QStringLiteral("33334444"));
        QCOMPARE(deleted.size(), 2);
        {
            SqliteDatabase aDb(a.dir());
            QVERIFY(aDb.deleteInvitation(deleted[1]));
        }
        QVERIFY(b.ok(QStringLiteral("accept ") + deleted[0] + QStringLiteral(" 33334444")));

        // Expired on A although the link itself is fresh.
        const QStringList expired = a.invite(QStringLiteral("55556666"));
        QCOMPARE(expired.size(), 2);
        {
            SqliteDatabase aDb(a.dir());
            const qint64 now = QDateTime::currentSecsSinceEpoch();
            QVERIFY(aDb.putInvitation({expired[1], QStringLiteral("x"), QStringLiteral("55556666"),
                                       now - kInvitationLifetimeSecs - 10, now + 1000}));
        }
        QVERIFY(b.ok(QStringLiteral("accept ") + expired[0] + QStringLiteral(" 55556666")));

        settle();
        QCOMPARE(a.remotePeers().size(), 0);
        QCOMPARE(b.remotePeers().size(), 0);
        {
            SqliteDatabase aDb(a.dir());
            SqliteDatabase bDb(b.dir());
            QCOMPARE(int(aDb.loadPeers(QString()).size()), 1);
            QCOMPARE(int(bDb.loadPeers(QString()).size()), 1);
        }

        // The first, still valid invitation with the right code works after all that.
        QVERIFY(b.ok(QStringLiteral("accept ") + first[0] + QStringLiteral(" 11112222")));
        QTRY_COMPARE_WITH_TIMEOUT(b.remotePeers().size(), 1, 5000);
        QVERIFY(b.ok(QStringLiteral("wait-up ") + b.remotePeers().at(0).uuid + QStringLiteral(" 5")));
        QCOMPARE(a.remotePeers().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TstPeerHosts)
#include "tst_peerhosts.moc"
