// The onion transport against a real tor this test starts with its network off: control
// port authentication, the service key kept in the database, the version, restarts, and a
// clear failure when dialling. Reaching an onion service needs the Tor network, which these
// tests never touch.

#include "testutil_com.h"

#include "com/hub.h"
#include "com/link.h"
#include "com/torservice.h"
#include "db/sqlitedatabase.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

using namespace com;

namespace {

TorSettings offlineSettings(const QString &dir)
{
    TorSettings s;
    s.enabled = true;
    s.dataDirectory = dir + QStringLiteral("/tor");
    s.virtualPort = 60391;
    s.restartFirstMs = 200;
    s.extraArguments = QStringList{QStringLiteral("--DisableNetwork"), QStringLiteral("1"), QStringLiteral("--SocksTimeout"),
                        QStringLiteral("5")};
    return s;
}

int modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

bool waitReady(TorService &tor)
{
    if (tor.state() == TorService::StateReady)
        return true;
    QSignalSpy ready(&tor, &TorService::ready);
    const auto report = QObject::connect(&tor, &TorService::failed, [](const QString &why) { qWarning() << why; });
    const bool ok = ready.wait(60000);
    QObject::disconnect(report);
    return ok;
}

} // namespace

class TstTor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(crypto::initialize());
        if (TorService::findTor().isEmpty())
            QSKIP("tor (Debian package tor) is not installed");
    }

    void onionServiceKeepsItsAddressAcrossStartsAndRestarts();
    void controlPortIsPrivate();
    void dialFailsClearlyWithoutTheNetwork();
    void missingTorLeavesOnionOff();
};

void TstTor::onionServiceKeepsItsAddressAcrossStartsAndRestarts()
{
    QTemporaryDir dir;
    SqliteDatabase db(dir.path());
    QObject owner;
    Hub *hub = testutil::makeHub(&owner);
    QString address;
    {
        TorService tor(hub, &db);
        tor.start(offlineSettings(dir.path()));
        QVERIFY(waitReady(tor));
        address = tor.onionAddress();
        QVERIFY2(QRegularExpression(QStringLiteral("^[a-z2-7]{56}\\.onion$")).match(address).hasMatch(),
                 qPrintable(address));
        QProcess version;
        version.start(QStringLiteral("tor"), {QStringLiteral("--version")});
        QVERIFY(version.waitForFinished(10000));
        QVERIFY(!tor.version().isEmpty());
        QVERIFY2(QString::fromUtf8(version.readAll()).contains(tor.version()), qPrintable(tor.version()));
        QVERIFY(hub->canDial(QStringLiteral("onion")));
        int keys = 0;
        for (const CryptoKeyDto &k : db.loadKeys(nullUuidString()))
            keys += k.type == QLatin1String("onion") ? 1 : 0;
        QCOMPARE(keys, 1);

        // A tor that dies comes back, with the same service.
        QSignalSpy failedOrEnded(&tor, &TorService::ready);
        QVERIFY(tor.torProcessId() > 0);
        ::kill(pid_t(tor.torProcessId()), SIGKILL);
        QVERIFY(failedOrEnded.wait(60000));
        QCOMPARE(tor.restarts(), 1);
        QCOMPARE(tor.onionAddress(), address);
    }
    QVERIFY(!hub->canDial(QStringLiteral("onion")));

    // A new start (of the program) publishes the same address from the stored key.
    TorService again(hub, &db);
    again.start(offlineSettings(dir.path()));
    QVERIFY(waitReady(again));
    QCOMPARE(again.onionAddress(), address);
}

void TstTor::controlPortIsPrivate()
{
    QTemporaryDir dir;
    QObject owner;
    TorService tor(testutil::makeHub(&owner), nullptr);
    const TorSettings settings = offlineSettings(dir.path());
    tor.start(settings);
    QVERIFY(waitReady(tor));
    QCOMPARE(modeOf(settings.dataDirectory), 0700);
    QCOMPARE(modeOf(settings.dataDirectory + QStringLiteral("/control.cookie")) & 0077, 0);

    // Only on 127.0.0.1, and nothing without the cookie.
    QTcpSocket stranger;
    stranger.connectToHost(QHostAddress::LocalHost, tor.controlPort());
    QVERIFY(stranger.waitForConnected(5000));
    stranger.write("GETINFO version\r\n");
    QVERIFY(stranger.waitForReadyRead(5000));
    QVERIFY(stranger.readAll().startsWith("514"));
    QProcess ss;
    ss.start(QStringLiteral("ss"), {QStringLiteral("-ltnH"), QStringLiteral("sport = :%1").arg(tor.controlPort())});
    if (ss.waitForFinished(5000) && ss.exitCode() == 0) {
        // Every listening socket on that port has 127.0.0.1 as its local address.
        const QStringList lines = QString::fromUtf8(ss.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(!lines.isEmpty());
        for (const QString &line : lines)
            QVERIFY2(line.simplified().section(QLatin1Char(' '), 3, 3).startsWith(QLatin1String("127.0.0.1:")),
                     qPrintable(line));
    }
}

void TstTor::dialFailsClearlyWithoutTheNetwork()
{
    QTemporaryDir dir;
    QObject owner;
    Hub *hub = testutil::makeHub(&owner);
    TorService tor(hub, nullptr);
    tor.start(offlineSettings(dir.path()));
    QVERIFY(waitReady(tor));
    Link *link = hub->connectTo(QStringLiteral("%1.onion").arg(QString(56, QLatin1Char('a'))), 60391,
                                crypto::generateSigningKeyPair().publicKey, {}, QStringLiteral("onion"));
    QSignalSpy closed(link, &Link::closed);
    QVERIFY(closed.wait(30000));
    const QString reason = closed.first().first().toString();
    QVERIFY2(!reason.isEmpty() && reason != QLatin1String("handshake timed out"), qPrintable(reason));
}

void TstTor::missingTorLeavesOnionOff()
{
    QTemporaryDir dir;
    QObject owner;
    Hub *hub = testutil::makeHub(&owner);
    TorService tor(hub, nullptr);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", dir.path().toUtf8());
    QSignalSpy failed(&tor, &TorService::failed);
    tor.start(offlineSettings(dir.path()));
    qputenv("PATH", path);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(tor.state(), TorService::StateFailed);
    QVERIFY(!hub->canDial(QStringLiteral("onion")));
    QVERIFY(tor.version().isEmpty());
}

QTEST_GUILESS_MAIN(TstTor)
#include "tst_tor.moc"
