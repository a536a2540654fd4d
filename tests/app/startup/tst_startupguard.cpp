// The lock of a configuration directory and the request of a second start to the first.

#include "app/startup/startupguard.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QScopeGuard>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Another start on `directory`, on a thread of its own while this one's loop lets the holder
// answer; `user` stands in for the user it runs as. Its error text, empty when it got the lock.
QString secondStart(const QString &directory, uint user = ::geteuid())
{
    QString error;
    std::unique_ptr<QThread> second(QThread::create([&] {
        StartupGuard guard(directory);
        guard.setActivationUserForTesting(user);
        if (!guard.acquire())
            error = guard.errorString();
    }));
    second->start();
    if (!QTest::qWaitFor([&] { return second->isFinished(); }, testutil::timeoutMs(10000)))
        qFatal("the second start hangs");
    return error;
}

// Whether `folder` is ours and closed to everyone else.
bool isPrivateFolder(const QString &folder)
{
    struct stat st;
    return ::stat(QFile::encodeName(folder).constData(), &st) == 0 && st.st_uid == ::geteuid()
           && (st.st_mode & 077) == 0;
}

} // namespace

class TestStartupGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondStartAsksTheFirstToComeToTheFront()
    {
        QTemporaryDir dir;
        StartupGuard first(dir.path());
        QVERIFY(first.acquire());
        QSignalSpy activated(&first, &StartupGuard::activationRequested);

        // The second start waits for the first's answer, which this thread's loop gives.
        bool acquired = true;
        QString error;
        std::unique_ptr<QThread> second(QThread::create([&] {
            StartupGuard guard(dir.path());
            acquired = guard.acquire();
            error = guard.errorString();
        }));
        second->start();
        QTRY_VERIFY_WITH_TIMEOUT(second->isFinished(), 10000);
        QVERIFY(!acquired);
        QCOMPARE(activated.count(), 1);
        QVERIFY(error.contains(QString::number(QCoreApplication::applicationPid())));
        QVERIFY2(error.contains(QLatin1String("brought to the front")), qPrintable(error));

        // A directory of its own is no conflict.
        QTemporaryDir other;
        StartupGuard third(other.path());
        QVERIFY(third.acquire());
    }

    // The socket lives where no other user can take its name first: the runtime folder when
    // it is private, else the configuration folder.
    void activationSocketIsInAPrivateFolder()
    {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        const auto restore = qScopeGuard([runtime] {
            if (runtime.isNull())
                qunsetenv("XDG_RUNTIME_DIR");
            else
                qputenv("XDG_RUNTIME_DIR", runtime);
        });
        QTemporaryDir config;
        QTemporaryDir shared;
        QVERIFY(QFile::setPermissions(shared.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                         | QFile::ReadOther | QFile::ExeOther));
        QTemporaryDir own;   // made 0700

        for (const QString &folder : {QString(), shared.path(), own.path()}) {
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder));
            StartupGuard guard(config.path());
            QVERIFY2(guard.acquire(), qPrintable(guard.errorString()));
            QSignalSpy activated(&guard, &StartupGuard::activationRequested);
            const QString path = guard.activationSocketPath();
            QCOMPARE(QFileInfo(path).absolutePath(), folder == own.path() ? own.path() : config.path());
            QVERIFY(isPrivateFolder(QFileInfo(path).absolutePath()));
            struct stat st;
            QVERIFY(::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISSOCK(st.st_mode));
            const QString error = secondStart(config.path());
            QVERIFY2(error.contains(QLatin1String("brought to the front")), qPrintable(error));
            QCOMPARE(activated.count(), 1);
        }
    }

    // Only a program of the same user is answered, and only its answer believed; a listener
    // where the socket used to be, in the folder everybody shares, hears nothing; and one
    // connection cannot make the holder keep more than a short line.
    void activationIsBetweenProgramsOfOneUser()
    {
        QTemporaryDir dir;
        StartupGuard first(dir.path());
        QVERIFY(first.acquire());
        QSignalSpy activated(&first, &StartupGuard::activationRequested);

        QLocalServer squatter;
        const QString oldName = QStringLiteral("nusk-%1").arg(QString::fromLatin1(
            QCryptographicHash::hash(QFile::encodeName(QDir(dir.path()).canonicalPath()), QCryptographicHash::Sha256)
                .toHex()
                .left(24)));
        QLocalServer::removeServer(oldName);
        QVERIFY(squatter.listen(oldName));
        int squatterAsked = 0;
        connect(&squatter, &QLocalServer::newConnection, this, [&] {
            ++squatterAsked;
            squatter.nextPendingConnection()->write("activated\n");
        });
        const auto removeSquatter = qScopeGuard([&] { squatter.close(); });
        QString error = secondStart(dir.path());
        QVERIFY2(error.contains(QLatin1String("brought to the front")), qPrintable(error));
        QCOMPARE(activated.count(), 1);
        QCOMPARE(squatterAsked, 0);

        // The holder as seen by a program of someone else, and the other way round.
        const uint someoneElse = ::geteuid() + 1;
        first.setActivationUserForTesting(someoneElse);
        error = secondStart(dir.path());
        QVERIFY2(error.contains(QLatin1String("did not answer")), qPrintable(error));
        QCOMPARE(activated.count(), 1);
        first.setActivationUserForTesting(::geteuid());
        error = secondStart(dir.path(), someoneElse);
        QVERIFY2(error.contains(QLatin1String("did not answer")), qPrintable(error));
        QCOMPARE(activated.count(), 1);

        // A line without end is dropped once it holds a line's room; the holder goes on.
        QLocalSocket endless;
        endless.connectToServer(first.activationSocketPath());
        QVERIFY(endless.waitForConnected(5000));
        endless.write(QByteArray(1 << 20, 'x'));
        QTRY_COMPARE(endless.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(activated.count(), 1);
        error = secondStart(dir.path());
        QVERIFY2(error.contains(QLatin1String("brought to the front")), qPrintable(error));
        QCOMPARE(activated.count(), 2);
    }

    // The wait of an update hand-over is bounded, and only the process handing over is
    // waited for.
    void handOverWaitIsBounded()
    {
        QTemporaryDir dir;
        QLockFile holder(dir.filePath(StartupGuard::lockFileName()));
        QVERIFY(holder.tryLock(0));
        const qint64 self = QCoreApplication::applicationPid();

        // Not the process handing over: its wait is not taken, however slow the machine.
        const int handOverWaitMs = testutil::timeoutMs(30000);
        QElapsedTimer clock;
        clock.start();
        StartupGuard someoneElse(dir.path());
        QVERIFY(!someoneElse.acquire(self + 1000000, handOverWaitMs));
        QVERIFY2(clock.elapsed() < handOverWaitMs, qPrintable(QString::number(clock.elapsed())));

        clock.restart();
        StartupGuard handedOver(dir.path());
        QVERIFY(!handedOver.acquire(self, 300));
        QVERIFY(clock.elapsed() >= 300);
        QVERIFY(handedOver.errorString().contains(QLatin1String("already running")));
    }

    // A program that crashed leaves its lock file naming it; nobody holds the lock any more,
    // so the next start takes it over, makes it private and names itself.
    void lockOfAnEndedProgramDoesNotBlock()
    {
        QTemporaryDir dir;
        const QString lockPath = dir.filePath(StartupGuard::lockFileName());
        QProcess ended;
        ended.start(QStringLiteral("/bin/true"), QStringList());
        QVERIFY(ended.waitForFinished());
        QFile left(lockPath);
        QVERIFY(left.open(QIODevice::WriteOnly));
        left.write(QByteArray::number(ended.processId()) + "\nnusk\nsomewhere\n");
        left.close();
        QVERIFY(left.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));

        {
            StartupGuard guard(dir.path());
            QVERIFY2(guard.acquire(), qPrintable(guard.errorString()));
            QCOMPARE(QFileInfo(lockPath).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
            qint64 pid = 0;
            QString host, application;
            QVERIFY(QLockFile(lockPath).getLockInfo(&pid, &host, &application));
            QCOMPARE(pid, QCoreApplication::applicationPid());
            StartupGuard second(dir.path());
            QVERIFY(!second.acquire());
        }
        QVERIFY(!QFile::exists(lockPath));
    }
};

QTEST_GUILESS_MAIN(TestStartupGuard)
#include "tst_startupguard.moc"
