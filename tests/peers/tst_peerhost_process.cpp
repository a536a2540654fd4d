// The peer host as a process: the modes of what it makes, how it ends, how it refuses a
// configuration it cannot use, and its first answers after the other host restarted.

#include "testutil_peerhost.h"

#include "app/startup/startupguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace peerhosttest;
using namespace peerhosttest::files;

namespace {

int modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// The umask of this process, and so of the hosts it starts, for one scope.
class UmaskScope
{
public:
    explicit UmaskScope(mode_t mask) : m_old(::umask(mask)) {}
    ~UmaskScope() { ::umask(m_old); }

private:
    mode_t m_old;
};

// The last moments of a program killed just now, stood in for: its lock is still held, and
// its activation socket takes a question it never answers. Both go once it was asked.
class EndingHolder : public QObject
{
public:
    explicit EndingHolder(const QString &configDir)
    {
        m_lock = ::open(QFile::encodeName(configDir + QLatin1Char('/') + StartupGuard::lockFileName()).constData(),
                        O_RDWR | O_CLOEXEC);
        const bool locked = m_lock >= 0 && ::flock(m_lock, LOCK_EX | LOCK_NB) == 0;
        const QString socketPath = StartupGuard(configDir).activationSocketPath();
        QLocalServer::removeServer(socketPath);
        m_holding = locked && m_server.listen(socketPath);
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            m_asked = true;
            letGo();
        });
    }
    ~EndingHolder() override { letGo(); }

    bool isHolding() const { return m_holding; }
    bool wasAsked() const { return m_asked; }

private:
    void letGo()
    {
        m_server.close();
        if (m_lock >= 0)
            ::close(m_lock);
        m_lock = -1;
    }

    QLocalServer m_server;
    int m_lock = -1;
    bool m_holding = false;
    bool m_asked = false;
};

} // namespace

class TstPeerHostProcess : public QObject, private HostPair
{
    Q_OBJECT

private:
    // Runs the host binary on `configDir` to its end; its exit code, or -1.
    static int runToEnd(const QString &configDir, QByteArray *err, const QStringList &wrapper = {})
    {
        QProcess p;
        const QStringList args{QStringLiteral("--config-dir=") + configDir,
                               QStringLiteral("--com-listen-port=") + QString::number(freePort())};
        p.start(wrapper.isEmpty() ? hostBinary() : wrapper.first(),
                wrapper.isEmpty() ? args : wrapper.mid(1) + QStringList{hostBinary()} + args);
        p.closeWriteChannel();
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
            return -1;
        *err = p.readAllStandardError();
        return p.exitCode();
    }

private Q_SLOTS:
    // One pair for the whole run, started under the usual umask; SIGTERM ends it last.
    void initTestCase()
    {
        QVERIFY2(QFileInfo(hostBinary()).isExecutable(), qPrintable(hostBinary()));
        UmaskScope mask(022);
        // A host just started on a loaded machine may take seconds to answer: the usual
        // request timeout, so that only a request lost or failed at once counts.
        QVERIFY(startPair([](Host &host) { host.addArguments({QStringLiteral("--fso-timeout-ms=15000")}); }));
    }

    // The configuration stays private under any umask, while what the file server makes in
    // a user's folder gets the user's usual modes.
    void userFilesKeepTheUsersModes()
    {
        const QString tree = path(QStringLiteral("src/tree"));
        QVERIFY(writeFile(tree + QStringLiteral("/doc.txt"), "shared document"));
        QVERIFY(writeFile(tree + QStringLiteral("/sub/more.txt"), "more"));
        const QString dst = path(QStringLiteral("dst"));
        QVERIFY(QDir().mkpath(dst));
        QVERIFY(share(path(QStringLiteral("src")), 5));
        QString status;
        const QStringList out = m_b->cmd(fromA(QStringLiteral("copy"), tree, dst), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(out.last() == QLatin1String("state finished"), qPrintable(out.join(QLatin1Char('\n'))));
        QCOMPARE(readFile(dst + QStringLiteral("/tree/sub/more.txt")), QByteArray("more"));
        QCOMPARE(modeOf(dst + QStringLiteral("/tree/doc.txt")), 0644);
        QCOMPARE(modeOf(dst + QStringLiteral("/tree/sub")), 0755);

        for (const QString &config : {m_a->dir(), m_b->dir()}) {
            QCOMPARE(modeOf(config), 0700);
            for (const char *name : {"config.ini", "nusk.db", "nusk.db-wal", "nusk.db-shm", "nusk.lock"})
                QVERIFY2(modeOf(config + QLatin1Char('/') + QLatin1String(name)) == 0600, name);
        }
    }

    // A folder it cannot write and a damaged database end the host with the program's one
    // code for an unusable configuration, and say which it was.
    void unusableConfiguration()
    {
        QTemporaryDir root;
        const QString readOnly = root.filePath(QStringLiteral("readonly"));
        QVERIFY(QDir().mkpath(readOnly));
        QVERIFY(QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner));
        Host probe(readOnly, 0);
        QByteArray err;
        if (probe.setUnprivileged()) {
            QCOMPARE(runToEnd(readOnly, &err, probe.wrapper()), 2);
            QVERIFY2(err.contains("cannot be written") && !err.contains("already running"), err.constData());
        }

        const QString damaged = root.filePath(QStringLiteral("damaged"));
        QVERIFY(writeFile(damaged + QStringLiteral("/nusk.db"), QByteArray(8192, 'x')));
        QCOMPARE(runToEnd(damaged, &err), 2);
        QVERIFY2(err.contains("damaged") || err.contains("could not be opened"), err.constData());
    }

    // Once either side sees the other up again after A restarted, the other answers its
    // very first request, and a copy out of A's share finds its source.
    void firstRequestAfterRestart()
    {
        const QString share = path(QStringLiteral("restart"));
        QVERIFY(writeFile(share + QStringLiteral("/note.txt"), "after the restart"));
        QVERIFY(this->share(share, 5));
        QString status;
        m_b->cmd(QStringLiteral("share %1 %2 5").arg(m_aOnB, share), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        const QString dst = path(QStringLiteral("restartdst"));
        // The request goes out in the same turn as the host learns that the link is up.
        auto listRightAfterUp = [&](Host &host, const QString &other) {
            host.send(QStringLiteral("wait-up %1 30").arg(other));
            host.send(QStringLiteral("ls %1 %2").arg(other, share));
            const QString up = host.nextLine();
            QStringList lines = host.finish(&status);
            return up + QLatin1Char('|') + lines.join(QLatin1Char('|')) + QLatin1Char('|') + status;
        };
        const QString listed = QStringLiteral("ok|status 0|note.txt");
        for (int round = 0; round < 3; ++round) {
            m_a->kill();
            QTRY_VERIFY(m_b->stateOf(m_aOnB) != 3);
            QVERIFY(m_a->start());
            const QString onB = listRightAfterUp(*m_b, m_aOnB);
            QVERIFY2(onB.startsWith(listed), qPrintable(QStringLiteral("B, round %1: ").arg(round) + onB));

            m_a->kill();
            QTRY_VERIFY(m_b->stateOf(m_aOnB) != 3);
            QVERIFY(m_a->start());
            const QString onA = listRightAfterUp(*m_a, m_bOnA);
            QVERIFY2(onA.startsWith(listed), qPrintable(QStringLiteral("A, round %1: ").arg(round) + onA));

            QVERIFY(QDir(dst).removeRecursively() && QDir().mkpath(dst));
            m_a->kill();
            QTRY_VERIFY(m_b->stateOf(m_aOnB) != 3);
            QVERIFY(m_a->start());
            m_b->send(QStringLiteral("wait-up %1 30").arg(m_aOnB));
            m_b->send(fromA(QStringLiteral("copy"), share + QStringLiteral("/note.txt"), dst));
            QCOMPARE(m_b->nextLine(), QStringLiteral("ok"));
            const QStringList copied = m_b->finish(&status);
            QVERIFY2(status == QLatin1String("ok") && copied.value(copied.size() - 1) == QLatin1String("state finished"),
                     qPrintable(QStringLiteral("round %1: ").arg(round) + copied.join(QLatin1Char('|')) + status));
            QCOMPARE(readFile(dst + QStringLiteral("/note.txt")), QByteArray("after the restart"));
        }
    }

    // A start right after the running host was killed takes the folder over, also while the
    // killed one is still ending: it takes the question without answering and lets go of the
    // lock a moment later.
    void startRightAfterAKill()
    {
        const QString dir = path(QStringLiteral("killed"));
        Host first(dir, freePort());
        Host second(dir, freePort());
        Host *running = &first;
        Host *next = &second;
        const QString localUp = QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 10");
        QVERIFY(running->start() && running->ok(localUp));
        int tookOver = 0;
        for (int round = 0; round < 20; ++round) {
            QVERIFY(running->signal(SIGKILL));
            QVERIFY(running->waitForExit(10000));
            EndingHolder ending(dir);
            QVERIFY(ending.isHolding());
            QVERIFY(next->start());
            QTRY_VERIFY(ending.wasAsked());
            if (next->ok(localUp))
                ++tookOver;
            else   // refused: started again once nothing holds the folder, for the next round
                QVERIFY(next->start() && next->ok(localUp));
            std::swap(running, next);
        }
        QCOMPARE(tookOver, 20);
    }

    // SIGTERM ends the host as "quit" does, in the middle of a copy too: a normal exit
    // with code 0 that lets go of the configuration.
    void endsCleanlyOnSigterm()
    {
        const QString src = path(QStringLiteral("big/file.bin"));
        QVERIFY(QDir().mkpath(path(QStringLiteral("big"))));
        QVERIFY(writeLargeFile(src, 64ll * 1024 * 1024, 7));
        QVERIFY(share(path(QStringLiteral("big")), 5));
        QVERIFY(QDir().mkpath(path(QStringLiteral("bigdst"))));
        m_b->send(fromA(QStringLiteral("copy"), src, path(QStringLiteral("bigdst"))));
        for (QString line = m_b->nextLine(); !line.startsWith(QLatin1String("progress running")); line = m_b->nextLine())
            QVERIFY2(!line.isNull() && line != QLatin1String("ok") && !line.startsWith(QLatin1String("error")),
                     qPrintable(line));

        for (Host *host : {m_b.get(), m_a.get()}) {
            QVERIFY(host->signal(SIGTERM));
            QVERIFY(host->waitForExit(10000));
            QCOMPARE(host->exitStatus(), QProcess::NormalExit);
            QCOMPARE(host->exitCode(), 0);
            QVERIFY(!QFileInfo::exists(host->dir() + QStringLiteral("/nusk.lock")));
        }
    }
};

QTEST_GUILESS_MAIN(TstPeerHostProcess)
#include "tst_peerhost_process.moc"
