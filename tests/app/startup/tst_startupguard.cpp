// The lock of a configuration directory and the request of a second start to the first.

#include "app/startup/startupguard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

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

    // The wait of an update hand-over is bounded, and only the process handing over is
    // waited for.
    void handOverWaitIsBounded()
    {
        QTemporaryDir dir;
        QLockFile holder(dir.filePath(StartupGuard::lockFileName()));
        QVERIFY(holder.tryLock(0));
        const qint64 self = QCoreApplication::applicationPid();

        QElapsedTimer clock;
        clock.start();
        StartupGuard someoneElse(dir.path());
        QVERIFY(!someoneElse.acquire(self + 1000000, 5000));
        QVERIFY(clock.elapsed() < 2000);

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
