// Command-line helpers, the settings holder and the logging flags.

#include "app/base/configsettings.h"
#include "app/base/log.h"

#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

class TestSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        // Keep the settings file of this test out of the user's data directory.
        qputenv("XDG_DATA_HOME", m_home.path().toLocal8Bit());
        QCoreApplication::setOrganizationName(QStringLiteral("tarnquist"));
        QCoreApplication::setApplicationName(QStringLiteral("nusk-test"));
    }

    void appArgumentInt_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("expected");
        const QString prog = QStringLiteral("nusk");
        QTest::newRow("number") << QStringList{prog, "--x=12"} << 12;
        QTest::newRow("negative") << QStringList{prog, "--x=-3"} << -3;
        QTest::newRow("not a number") << QStringList{prog, "--x=abc"} << 7;
        QTest::newRow("empty value") << QStringList{prog, "--x="} << 7;
        QTest::newRow("absent") << QStringList{prog, "--other=1"} << 7;
        QTest::newRow("longer name only") << QStringList{prog, "--xy=3"} << 7;
        QTest::newRow("longer name, then exact") << QStringList{prog, "--xy=3", "--x=5"} << 5;
        QTest::newRow("two values") << QStringList{prog, "--x=1=2"} << 7;
        QTest::newRow("no value") << QStringList{prog, "--x"} << 7;
        QTest::newRow("first decides") << QStringList{prog, "--x=4", "--x=9"} << 4;
        QTest::newRow("bad first decides") << QStringList{prog, "--x=z", "--x=9"} << 7;
        QTest::newRow("program name ignored") << QStringList{"--x=8"} << 7;
    }

    void appArgumentInt()
    {
        QFETCH(QStringList, args);
        QFETCH(int, expected);
        QCOMPARE(::appArgumentInt(args, QStringLiteral("--x"), 7), expected);
    }

    void appArgumentText()
    {
        bool found = true;
        const QStringList args{"nusk", "--config-dir=/tmp/a b", "--renderer=software"};
        QCOMPARE(appArgument(args, QStringLiteral("--config-dir"), &found), QStringLiteral("/tmp/a b"));
        QVERIFY(found);
        QCOMPARE(appArgument(args, QStringLiteral("--renderer")), QStringLiteral("software"));
        QVERIFY(appArgument(args, QStringLiteral("--turn"), &found).isEmpty());
        QVERIFY(!found);
        QVERIFY(appArgument(args, QString(), &found).isEmpty());
        QVERIFY(!found);
    }

    void configDirectoryKinds()
    {
        // No "--config-dir" among the test's arguments: the local data location.
        const QString dir = configDirectory();
        QCOMPARE(dir, QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
        QVERIFY(dir.startsWith(m_home.path()));
        QCOMPARE(configDirectory(0), dir);
        QVERIFY(configDirectory(1).isEmpty());
        QVERIFY(configDirectory(-1).isEmpty());
    }

    void holderCreatesDirectoryAndWritesWithoutEventLoop()
    {
        QDir(configDirectory()).removeRecursively();
        {
            ConfigSettings cs;
            QVERIFY(QDir(configDirectory()).exists());
            QCOMPARE(cs.settings()->fileName(), ConfigSettings::filePath());
            cs->setValue(QStringLiteral("geometry"), QByteArray("abc"));
        }
        // No event loop has run since: the value must already be in the file.
        QSettings check(ConfigSettings::filePath(), QSettings::IniFormat);
        QCOMPARE(check.value(QStringLiteral("geometry")).toByteArray(), QByteArray("abc"));
    }

    void holderOnThreadWithoutLoop()
    {
        QThread* t = QThread::create([] {
            ConfigSettings cs;
            cs->setValue(QStringLiteral("update/lastquery"), 1234);
        });
        t->start();
        QVERIFY(t->wait(10000));
        delete t;
        QSettings check(ConfigSettings::filePath(), QSettings::IniFormat);
        QCOMPARE(check.value(QStringLiteral("update/lastquery")).toInt(), 1234);
    }

    void loggerFlags()
    {
        QCOMPARE(int(LogCategoryCount), 21);
        QCOMPARE(Logger::categoryName(LogNfo1), QStringLiteral("NFO1"));
        QCOMPARE(Logger::categoryName(LogDb1), QStringLiteral("DB1"));
        QCOMPARE(int(LogDb1), 16);
        QCOMPARE(Logger::categoryName(LogTurn1), QStringLiteral("TURN1"));
        QVERIFY(Logger::categoryName(21).isEmpty());
        QVERIFY(Logger::categoryName(-1).isEmpty());

        for (int i = 0; i < LogCategoryCount; ++i)
            disableLogCategory(i);
        enableLogCategory(LogErr1);
        enableLogCategory(LogTurn1);
        enableLogCategory(99); // ignored
        enableLogCategory(-1); // ignored
        QVERIFY(Logger::isCategoryOn(LogErr1));
        QVERIFY(!Logger::isCategoryOn(LogNfo1));
        // The print routine stays silent whatever the flags say.
        QVERIFY(!isLogEnabled(LogErr1));
        logPrintf(LogErr1, "value %d %s", 1, "x");

        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("config.ini"));
        {
            QSettings s(file, QSettings::IniFormat);
            Logger::save(s);
        }
        {
            QSettings s(file, QSettings::IniFormat);
            s.beginGroup(QStringLiteral("Logger"));
            QCOMPARE(s.childKeys().size(), 21);
            QCOMPARE(s.value(QStringLiteral("ERR1")).toBool(), true);
            QCOMPARE(s.value(QStringLiteral("TURN1")).toBool(), true);
            QCOMPARE(s.value(QStringLiteral("NFO1")).toBool(), false);
            s.endGroup();
            // A file that only switches NFO1 on and ERR1 off; others keep their flags.
            s.remove(QStringLiteral("Logger"));
            s.setValue(QStringLiteral("Logger/NFO1"), true);
            s.setValue(QStringLiteral("Logger/ERR1"), false);
        }
        QSettings s(file, QSettings::IniFormat);
        Logger::load(s);
        QVERIFY(Logger::isCategoryOn(LogNfo1));
        QVERIFY(!Logger::isCategoryOn(LogErr1));
        QVERIFY(Logger::isCategoryOn(LogTurn1));
        disableLogCategory(LogTurn1);
        QVERIFY(!Logger::isCategoryOn(LogTurn1));
    }

private:
    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
