// Real pairing between separate nusk-peerhost processes on this machine.

#include "db/ownkey.h"
#include "db/sqlitedatabase.h"
#include "peers/invitation.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString kLocal = QStringLiteral("{00000000-0000-0000-0000-000000000000}");

QString hostBinary()
{
    QString dir = qEnvironmentVariable("NUSK_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    return QDir(dir).filePath(QStringLiteral("nusk-peerhost"));
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

struct PeerLine
{
    QString uuid;
    QString name;
    int state = -1;
};

class Host
{
public:
    Host(const QString &dir, quint16 port) : m_dir(dir), m_port(port) {}
    ~Host() { stop(); }

    bool start()
    {
        m_process.setProgram(hostBinary());
        m_process.setArguments({QStringLiteral("--config-dir=") + m_dir,
                                QStringLiteral("--com-listen-port=") + QString::number(m_port),
                                QStringLiteral("--retry-ms=150"), QStringLiteral("--retry-max-ms=600"),
                                QStringLiteral("--ping-ms=250"), QStringLiteral("--silence-ms=1500"),
                                QStringLiteral("--handshake-ms=3000"), QStringLiteral("--loopback-transports=1")});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        return m_process.waitForStarted(10000);
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.write("quit\n");
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Result lines; `status` gets "ok" or "error ...".
    QStringList cmd(const QString &line, QString *status = nullptr)
    {
        m_process.write(line.toUtf8() + '\n');
        QStringList out;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 60000) {
            while (m_process.canReadLine()) {
                const QString text = QString::fromUtf8(m_process.readLine()).trimmed();
                if (text == QLatin1String("ok") || text.startsWith(QLatin1String("error"))) {
                    if (status)
                        *status = text;
                    return out;
                }
                out << text;
            }
            if (!m_process.waitForReadyRead(1000) && m_process.state() == QProcess::NotRunning)
                break;
        }
        if (status)
            *status = QStringLiteral("error host gone");
        return out;
    }

    bool ok(const QString &line)
    {
        QString status;
        cmd(line, &status);
        return status == QLatin1String("ok");
    }

    QList<PeerLine> peers()
    {
        QList<PeerLine> list;
        for (const QString &line : cmd(QStringLiteral("peers"))) {
            const QStringList parts = line.split(QLatin1Char('\t'));
            if (parts.size() == 3)
                list.append({parts[0], parts[1], parts[2].toInt()});
        }
        return list;
    }

    QList<PeerLine> remotePeers()
    {
        QList<PeerLine> list;
        for (const PeerLine &p : peers())
            if (p.uuid != kLocal)
                list.append(p);
        return list;
    }

    int stateOf(const QString &uuid)
    {
        for (const PeerLine &p : peers())
            if (p.uuid == uuid)
                return p.state;
        return -1;
    }

    // Waits (polling, not timing anything) for the peer's link state to become `state`.
    bool waitForState(const QString &uuid, int state, int limitMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < limitMs) {
            if (stateOf(uuid) == state)
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    // Link and invitation uuid.
    QStringList invite(const QString &code)
    {
        QString status;
        const QStringList out = cmd(QStringLiteral("invite ") + code, &status);
        return status == QLatin1String("ok") && out.size() == 2 ? out : QStringList();
    }

    QString dir() const { return m_dir; }
    quint16 port() const { return m_port; }

private:
    QString m_dir;
    quint16 m_port;
    QProcess m_process;
};

} // namespace

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

        const QStringList invitation = a->invite(QStringLiteral("0badc0de"));
        QCOMPARE(invitation.size(), 2);
        QVERIFY(b.ok(QStringLiteral("accept ") + invitation[0] + QStringLiteral(" 0badc0de")));

        QString aOnB;
        QString bOnA;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000 && (aOnB.isEmpty() || bOnA.isEmpty())) {
            const QList<PeerLine> onB = b.remotePeers();
            const QList<PeerLine> onA = a->remotePeers();
            if (onB.size() == 1 && onB[0].state == 3)
                aOnB = onB[0].uuid;
            if (onA.size() == 1 && onA[0].state == 3)
                bOnA = onA[0].uuid;
            if (aOnB.isEmpty() || bOnA.isEmpty())
                QTest::qWait(20);
        }
        QVERIFY2(!aOnB.isEmpty() && !bOnA.isEmpty(), "both sides up within 5 s");
        QVERIFY(aOnB != kLocal && bOnA != kLocal);
        QCOMPARE(a->peers().size(), 2);
        QCOMPARE(b.peers().size(), 2);

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
