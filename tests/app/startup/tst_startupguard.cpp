// The lock of a configuration directory and the request of a second start to the first.

#include "app/startup/startupguard.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

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

        StartupGuard second(dir.path());
        QVERIFY(!second.acquire());
        QVERIFY(second.errorString().contains(QString::number(QCoreApplication::applicationPid())));
        QVERIFY(activated.wait(5000));

        // A directory of its own is no conflict.
        QTemporaryDir other;
        StartupGuard third(other.path());
        QVERIFY(third.acquire());
    }
};

QTEST_GUILESS_MAIN(TestStartupGuard)
#include "tst_startupguard.moc"
