// The onion transport against a real tor this test starts with its network off: control
// port authentication, the service key kept in the database, the version, restarts, and a
// clear failure when dialling. Reaching an onion service needs the Tor network, which these
// tests never touch. And against a control port that is not tor, written here: it gets
// neither the bytes of a file nor a say in the onion key, and nothing secret at all unless
// it proves it knows tor's cookie.

#include "testutil_com.h"
#include "testutil_controlport.h"

#include "app/base/configsettings.h"
#include "com/hub.h"
#include "com/link.h"
#include "com/socketowner.h"
#include "com/torcontrol.h"
#include "com/torservice.h"
#include "db/sqlitedatabase.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace com;
using testutil::FakeControlPort;

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

#define REQUIRE_TOR()                                                                               \
    do {                                                                                           \
        if (TorService::findTor().isEmpty())                                                       \
            QSKIP("tor (Debian package tor) is not installed");                                   \
    } while (false)

TorSettings externalPortSettings(quint16 port)
{
    TorSettings s;
    s.enabled = true;
    s.controlPort = port;
    s.virtualPort = 60391;
    s.restartFirstMs = 600000;   // one attempt per test
    return s;
}

// Starts and waits for ready or failed; true for ready.
bool runWith(TorService &tor, const TorSettings &settings)
{
    QSignalSpy ready(&tor, &TorService::ready);
    QSignalSpy failed(&tor, &TorService::failed);
    tor.start(settings);
    if (!QTest::qWaitFor([&] { return !ready.isEmpty() || !failed.isEmpty(); }, 10000))
        return false;
    return !ready.isEmpty();
}

bool runAgainst(TorService &tor, FakeControlPort &port)
{
    return runWith(tor, externalPortSettings(port.port()));
}

QByteArray writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return bytes;
}

struct Account
{
    uid_t uid = 0;
    gid_t gid = 0;
};

bool accountNamed(const char *name, Account *account)
{
    const struct passwd *entry = ::getpwnam(name);
    if (entry)
        *account = Account{entry->pw_uid, entry->pw_gid};
    return entry;
}

// What a port answers to the key it gets: the service that key gives, as tor would.
QByteArray publishAsTor(const QString &addOnion)
{
    return "250-ServiceID=" + torcontrol::serviceIdOf(addOnion.section(QLatin1Char(' '), 1, 1).toLatin1()).toLatin1()
        + "\r\n250 OK\r\n";
}

// The port a tor wrote to its ControlPortWriteToFile ("PORT=127.0.0.1:N"); 0 until it has.
quint16 writtenPort(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().split(':').last().toUShort() : 0;
}

QByteArray storedOnionKey(SqliteDatabase &db)
{
    QByteArray key;
    for (const CryptoKeyDto &k : db.loadKeys(nullUuidString()))
        if (k.type == QLatin1String("onion"))
            key += k.secretKey;
    return key;
}

// A row of the socket tables as the kernel prints it: each 32-bit word of an address in the
// machine's byte order, then port, state and owner.
QByteArray tableRow(const QHostAddress &local, quint16 localPort, const QHostAddress &remote, quint16 remotePort,
                    const char *state, uid_t uid)
{
    const auto endpoint = [](const QHostAddress &address, quint16 port) {
        quint8 bytes[16];
        int words = 1;
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            qToBigEndian(address.toIPv4Address(), bytes);
        } else {
            const Q_IPV6ADDR v6 = address.toIPv6Address();
            std::memcpy(bytes, v6.c, sizeof bytes);
            words = 4;
        }
        QByteArray text;
        for (int i = 0; i < words; ++i) {
            quint32 word;
            std::memcpy(&word, bytes + 4 * i, sizeof word);
            text += QByteArray::number(word, 16).rightJustified(8, '0').toUpper();
        }
        return text + ':' + QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
    };
    return "   0: " + endpoint(local, localPort) + ' ' + endpoint(remote, remotePort) + ' ' + state
           + " 00000000:00000000 00:00000000 00000000 " + QByteArray::number(uint(uid)) + " 0 4242 1\n";
}

} // namespace

class TstTor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(crypto::initialize());
        QStandardPaths::setTestModeEnabled(true);   // the settings file is the test's own
    }

    void onionServiceKeepsItsAddressAcrossStartsAndRestarts();
    void controlPortIsPrivate();
    void dialFailsClearlyWithoutTheNetwork();
    void missingTorLeavesOnionOff();
    void controlPortNeverGetsTheBytesOfAFile();
    void controlPortHasNoSayInTheOnionKey();
    void controlPortThatCannotProveItIsTorGetsNothingSecret();
    void controlPortOfAnotherAccountIsToldNothing();
    void controlPortHolderFromTheTables();
    void onlyTheListenerThatTakesTheConnectionHoldsThePort();
    void systemTorIsUsedThroughItsControlPort();
};

void TstTor::onionServiceKeepsItsAddressAcrossStartsAndRestarts()
{
    REQUIRE_TOR();
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
    REQUIRE_TOR();
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
    REQUIRE_TOR();
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

// A port that names a file of the user's as its cookie learns nothing of it: plain COOKIE is
// never used, SAFECOOKIE stops when the port cannot prove it knows the file, and anything
// that does not look like tor's cookie is not read at all.
void TstTor::controlPortNeverGetsTheBytesOfAFile()
{
    QTemporaryDir dir;
    const QString secret = dir.filePath(QStringLiteral("secret"));
    const QByteArray bytes = writeFile(secret, crypto::randomBytes(32));
    writeFile(dir.filePath(QStringLiteral("long")), crypto::randomBytes(33));
    QFile::link(secret, dir.filePath(QStringLiteral("link")));
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600) == 0);
    const QString foreign = dir.filePath(QStringLiteral("foreign"));
    writeFile(foreign, crypto::randomBytes(32));
    // Another account than the one running the test, whichever that is (root, or "nobody").
    const bool canChown = ::chown(QFile::encodeName(foreign).constData(), ::geteuid() + 1, ::getegid() + 1) == 0;

    struct Case
    {
        QString methods;
        QString file;
        bool challenged;   // whether the cookie may be read at all
    };
    QList<Case> cases{{QStringLiteral("COOKIE"), secret, false},
                      {QStringLiteral("COOKIE,SAFECOOKIE"), secret, true},
                      {QStringLiteral("SAFECOOKIE"), dir.filePath(QStringLiteral("long")), false},
                      {QStringLiteral("SAFECOOKIE"), dir.filePath(QStringLiteral("link")), false},
                      {QStringLiteral("SAFECOOKIE"), dir.filePath(QStringLiteral("fifo")), false},
                      {QStringLiteral("SAFECOOKIE"), dir.path(), false}};
    if (canChown)
        cases.append({QStringLiteral("SAFECOOKIE"), foreign, false});
    for (const Case &c : cases) {
        FakeControlPort port;
        port.methods = c.methods;
        port.cookieFile = c.file;
        QObject owner;
        TorService tor(testutil::makeHub(&owner), nullptr);
        QVERIFY2(!runAgainst(tor, port), qPrintable(c.file));
        const QString all = port.received.join(QLatin1Char('\n'));
        QVERIFY2(!all.contains(QString::fromLatin1(bytes.toHex()), Qt::CaseInsensitive), qPrintable(all));
        QCOMPARE(all.contains(QLatin1String("AUTHCHALLENGE")), c.challenged);
        QVERIFY2(!all.contains(QLatin1String("AUTHENTICATE")), qPrintable(all));
        QCOMPARE(tor.state(), TorService::StateFailed);
    }
}

// The onion key is the program's: made and stored here, sent to the port, and kept when a
// port answers with another service or hands over a key of its own.
void TstTor::controlPortHasNoSayInTheOnionKey()
{
    QTemporaryDir dir;
    SqliteDatabase db(dir.path());
    FakeControlPort port;
    port.cookieFile = dir.filePath(QStringLiteral("control_auth_cookie"));
    port.knownCookie = writeFile(port.cookieFile, crypto::randomBytes(32));
    const QByteArray portsKey = torcontrol::newOnionKey();
    QByteArray sentKey;
    port.addOnion = [&](const QString &line) {
        sentKey = line.section(QLatin1Char(' '), 1, 1).toLatin1();
        return "250-ServiceID=" + torcontrol::serviceIdOf(sentKey).toLatin1() + "\r\n250-PrivateKey=" + portsKey
            + "\r\n250 OK\r\n";
    };
    QObject owner;
    QString address;
    {
        TorService tor(testutil::makeHub(&owner), &db);
        QVERIFY(runAgainst(tor, port));
        QVERIFY2(sentKey.startsWith("ED25519-V3:"), sentKey.constData());
        QCOMPARE(storedOnionKey(db), sentKey);
        address = tor.onionAddress();
        QCOMPARE(address, torcontrol::serviceIdOf(sentKey) + QStringLiteral(".onion"));
        // Authenticated by proof, never by the cookie itself.
        QVERIFY(!port.received.join(QLatin1Char(' ')).contains(QString::fromLatin1(port.knownCookie.toHex()), Qt::CaseInsensitive));
    }

    // Next start: the stored key again; a port answering with its own service is not tor.
    const QByteArray ownKey = sentKey;
    port.addOnion = [&](const QString &line) {
        sentKey = line.section(QLatin1Char(' '), 1, 1).toLatin1();
        return "250-ServiceID=" + torcontrol::serviceIdOf(portsKey).toLatin1() + "\r\n250-PrivateKey=" + portsKey
            + "\r\n250 OK\r\n";
    };
    TorService again(testutil::makeHub(&owner), &db);
    QVERIFY(!runAgainst(again, port));
    QCOMPARE(again.refusal(), TorService::NotRefused);   // it proved it knows the cookie
    QCOMPARE(sentKey, ownKey);
    QCOMPARE(storedOnionKey(db), ownKey);
    QVERIFY(again.onionAddress().isEmpty());
}

// Only a port that proves it knows tor's cookie is told anything: one that lets anybody in
// (NULL), asks for the password of the settings, or offers SAFECOOKIE without being able to
// prove it gets neither that password nor the onion key, is refused with a reason that says
// how to set tor up, and a key it hands over is never kept.
void TstTor::controlPortThatCannotProveItIsTorGetsNothingSecret()
{
    QTemporaryDir dir;
    SqliteDatabase db(dir.path());
    const QString password = QStringLiteral("pw-") + QString::fromLatin1(crypto::randomBytes(8).toHex());
    {
        ConfigSettings config;
        config->setValue(QStringLiteral("com/torcontrolpassword"), password);
    }
    const QString cookieFile = dir.filePath(QStringLiteral("control_auth_cookie"));
    writeFile(cookieFile, crypto::randomBytes(32));
    const QByteArray portsKey = torcontrol::newOnionKey();

    struct Case
    {
        QString methods;
        QString cookieFile;
        QString reason;   // part of what the failure says
    };
    const QString howTo = QStringLiteral("CookieAuthentication 1");
    const QList<Case> cases{{QStringLiteral("NULL"), QString(), howTo},
                            {QStringLiteral("HASHEDPASSWORD"), QString(), howTo},
                            {QStringLiteral("NULL,HASHEDPASSWORD"), QString(), howTo},
                            // names a readable cookie it does not know: its server hash is wrong
                            {QStringLiteral("SAFECOOKIE,HASHEDPASSWORD"), cookieFile, QStringLiteral("not tor")},
                            {QStringLiteral("SAFECOOKIE,HASHEDPASSWORD"), dir.filePath(QStringLiteral("none")), howTo}};
    for (const Case &c : cases) {
        FakeControlPort port;
        port.methods = c.methods;
        port.cookieFile = c.cookieFile;
        port.letsAnyoneIn = true;
        port.addOnion = [&](const QString &) {
            return "250-ServiceID=" + torcontrol::serviceIdOf(portsKey).toLatin1() + "\r\n250-PrivateKey=" + portsKey
                + "\r\n250 OK\r\n";
        };
        TorSettings settings = TorSettings::fromConfig();
        settings.enabled = true;
        settings.controlPort = port.port();
        settings.virtualPort = 60391;
        settings.restartFirstMs = 600000;
        QObject owner;
        TorService tor(testutil::makeHub(&owner), &db);
        QSignalSpy failed(&tor, &TorService::failed);
        QVERIFY2(!runWith(tor, settings), qPrintable(c.methods));
        const QString all = port.received.join(QLatin1Char('\n'));
        QVERIFY2(!all.contains(password), qPrintable(all));
        QVERIFY2(!all.contains(QLatin1String("AUTHENTICATE")), qPrintable(all));
        QVERIFY2(!all.contains(QLatin1String("ADD_ONION")) && !all.contains(QLatin1String("ED25519-V3")), qPrintable(all));
        QCOMPARE(failed.count(), 1);
        QVERIFY2(failed.first().first().toString().contains(c.reason), qPrintable(failed.first().first().toString()));
        QCOMPARE(tor.state(), TorService::StateFailed);
        QCOMPARE(tor.refusal(), TorService::RefusedUnprovenControlPort);
        QVERIFY(tor.onionAddress().isEmpty());
        QVERIFY2(storedOnionKey(db).isEmpty(), qPrintable(c.methods));
    }

    // The refusal lasts until tor is set up right: the next attempt, at a port that now
    // proves itself, ends it.
    {
        FakeControlPort port;
        port.methods = QStringLiteral("NULL");
        port.cookieFile = cookieFile;
        port.knownCookie = writeFile(cookieFile, crypto::randomBytes(32));
        port.addOnion = [](const QString &line) {
            return "250-ServiceID=" + torcontrol::serviceIdOf(line.section(QLatin1Char(' '), 1, 1).toLatin1()).toLatin1()
                + "\r\n250 OK\r\n";
        };
        TorSettings settings = externalPortSettings(port.port());
        settings.restartFirstMs = 10;
        QObject owner;
        TorService tor(testutil::makeHub(&owner), nullptr);
        QSignalSpy ready(&tor, &TorService::ready);
        QVERIFY(!runWith(tor, settings));
        QCOMPARE(tor.refusal(), TorService::RefusedUnprovenControlPort);
        port.methods = QStringLiteral("SAFECOOKIE");
        QVERIFY(ready.wait(10000));
        QCOMPARE(tor.refusal(), TorService::NotRefused);
    }
    ConfigSettings config;
    config->remove(QStringLiteral("com/torcontrolpassword"));
}

// Any local account can listen on a control port (tor's own, while tor is stopped) and name
// a file of this user whose 32 bytes it can work out, such as a lock file of a pid, a
// program name and a host name. Only a port this user, tor's account or root holds is
// spoken to at all, and the cookie must be of the account whose tor that port can be: a
// port of another account learns nothing, not even PROTOCOLINFO, also when it takes the
// connection only after a while (some kernels list it as root's until then).
void TstTor::controlPortOfAnotherAccountIsToldNothing()
{
    if (::getuid() != 0)
        QSKIP("only root can hold a port as another account");
    Account nobody;
    Account torAccount;
    QVERIFY(accountNamed("nobody", &nobody));
    const bool haveTorAccount = accountNamed("debian-tor", &torAccount);
    const Account self{::getuid(), ::getgid()};
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    const QString lockFile = dir.filePath(QStringLiteral("nusk.lock"));
    const QByteArray publicBytes = writeFile(lockFile, QByteArrayLiteral("12345\nnusk\nthe-host-name-abcdef\n"));
    QCOMPARE(publicBytes.size(), torcontrol::kCookieBytes);

    struct Case
    {
        QString what;
        Account holder;
        Account cookieOwner;
        bool everyAddress;
        QString outcome;
        bool acceptsLate = false;
    };
    QList<Case> cases{
        {QStringLiteral("another account, a file of ours"), nobody, self, false, QStringLiteral("told nothing")},
        {QStringLiteral("another account on every address, a file of ours"), nobody, self, true, QStringLiteral("told nothing")},
        {QStringLiteral("another account, a cookie of its own"), nobody, nobody, false, QStringLiteral("told nothing")},
        {QStringLiteral("another account accepting late, a file of ours"), nobody, self, false, QStringLiteral("told nothing"),
         true},
        {QStringLiteral("another account on every address accepting late"), nobody, self, true, QStringLiteral("told nothing"),
         true},
        {QStringLiteral("this user on every address, a cookie of ours"), self, self, true, QStringLiteral("ready")},
    };
    if (haveTorAccount) {
        cases.append({QStringLiteral("tor's account, a file of ours"), torAccount, self, false, QStringLiteral("refused")});
        cases.append({QStringLiteral("tor's account, a cookie of its own"), torAccount, torAccount, false, QStringLiteral("ready")});
    }
    QStringList expected;
    QStringList outcomes;
    for (const Case &c : cases) {
        testutil::ControlPortScript script;
        script.methods = QStringLiteral("SAFECOOKIE");
        script.addOnion = publishAsTor;
        if (c.cookieOwner.uid == self.uid) {
            script.cookieFile = lockFile;
            script.knownCookie = publicBytes;
        } else {
            script.cookieFile = dir.filePath(QStringLiteral("cookie-%1").arg(c.cookieOwner.uid));
            script.knownCookie = writeFile(script.cookieFile, crypto::randomBytes(torcontrol::kCookieBytes));
            QVERIFY(::chown(QFile::encodeName(script.cookieFile).constData(), c.cookieOwner.uid, c.cookieOwner.gid) == 0);
        }
        testutil::ForeignControlPort port(c.holder.uid, c.holder.gid, script,
                                          c.everyAddress ? testutil::ListensOn::EveryAddress : testutil::ListensOn::Loopback,
                                          c.acceptsLate);
        QVERIFY2(port.port() != 0, qPrintable(c.what));
        QObject owner;
        TorService tor(testutil::makeHub(&owner), nullptr);
        const bool ready = runWith(tor, externalPortSettings(port.port()));
        // Whatever was sent is read once the port takes the connection the service closed.
        port.letAccept();
        if (!ready)
            QTRY_VERIFY2(port.connectionsEnded() > 0, qPrintable(c.what));
        const QString all = port.received().join(QLatin1Char('\n'));
        QString outcome = ready ? QStringLiteral("ready")
            : all.isEmpty() ? QStringLiteral("told nothing")
                            : QStringLiteral("refused");
        if (!ready && (all.contains(QLatin1String("AUTHENTICATE ")) || all.contains(QLatin1String("ED25519-V3"))))
            outcome = QStringLiteral("got the key");
        if (!ready && tor.refusal() != TorService::RefusedUnprovenControlPort)
            outcome += QStringLiteral(" without saying why");
        expected.append(c.what + QStringLiteral(": ") + c.outcome);
        outcomes.append(c.what + QStringLiteral(": ") + outcome);
    }
    QVERIFY2(outcomes == expected, qPrintable(outcomes.join(QStringLiteral("; "))));
}

// Who holds a control port, from the rows the kernels print. Our connection runs from
// 127.0.0.1:50000 to the port 9051; the port's listener and the far end of the connection
// both speak, root aside (a connection not yet taken shows as root's on Debian 12's kernel,
// and a listener root opened hands connections to the account tor becomes).
void TstTor::controlPortHolderFromTheTables()
{
    const QHostAddress local(QHostAddress::LocalHost);
    const QHostAddress any4(QHostAddress::AnyIPv4);
    const QHostAddress any6(QHostAddress::AnyIPv6);
    const QHostAddress mapped(QStringLiteral("::ffff:127.0.0.1"));
    const auto listening = [&](const QHostAddress &address, uid_t uid) {
        return tableRow(address, 9051, address.protocol() == QAbstractSocket::IPv4Protocol ? any4 : any6, 0, "0A", uid);
    };
    const auto farEnd = [&](uid_t uid, const char *state = "01") { return tableRow(local, 9051, local, 50000, state, uid); };
    const QByteArray ours = tableRow(local, 50000, local, 9051, "01", 1000);
    const uid_t unknown = uid_t(-1);
    const struct { const char *what; QByteArray rows; uid_t holder; } cases[] = {
        {"another account's port, not yet taken, listed as root's", listening(local, 65534) + farEnd(0), 65534},
        {"another account's port, not yet taken, listed as its own", listening(local, 65534) + farEnd(65534), 65534},
        {"another account's port on every address", listening(any6, 65534) + tableRow(mapped, 9051, mapped, 50000, "01", 0),
         65534},
        {"tor's port opened by root, taken", listening(any4, 0) + farEnd(108), 108},
        {"this user's port, not yet taken", listening(local, 1000) + farEnd(0), 1000},
        {"root's port", listening(local, 0) + farEnd(0), 0},
        {"two accounts", listening(local, 1000) + farEnd(65534), unknown},
        {"listeners of two accounts on the address", listening(local, 1000) + listening(mapped, 65534) + farEnd(0), unknown},
        // Beside a listener on IPv4 another account's listener on every IPv6 address must be
        // IPv6-only (the kernel refuses any other), so it never takes our connection.
        {"this user's port beside an IPv6 listener of another account", listening(local, 1000) + listening(any6, 65534) + farEnd(0),
         1000},
        {"this user's port on every IPv4 address beside an IPv6 listener of another account",
         listening(any4, 1000) + listening(any6, 65534) + farEnd(0), 1000},
        {"another account's port beside an IPv6 listener of this user", listening(local, 65534) + listening(any6, 1000) + farEnd(0),
         65534},
        {"no listener", farEnd(108), unknown},
        {"a listener on another address", listening(QHostAddress(QStringLiteral("127.0.0.2")), 1000) + farEnd(0), unknown},
        {"a closed connection", listening(local, 1000) + farEnd(0, "06"), unknown},
    };
    QStringList wrong;
    for (const auto &c : cases) {
        uid_t holder = unknown;
        if (!socketowner::portHolderIn(c.rows + ours, local, 9051, local, 50000, &holder))
            holder = unknown;
        if (holder != c.holder)
            wrong.append(QStringLiteral("%1: %2").arg(QLatin1String(c.what)).arg(int(holder)));
    }
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QStringLiteral("; "))));
}

// Only the listener that takes our connection to 127.0.0.1 holds the port: another account
// listening on every IPv6 address only, on the same port, cannot switch the configured tor
// off, and this user's IPv6-only listener does not make another account's port ours.
void TstTor::onlyTheListenerThatTakesTheConnectionHoldsThePort()
{
    Account nobody;
    if (::getuid() != 0 || !accountNamed("nobody", &nobody))
        QSKIP("only root can hold a port as another account");
    if (!QTcpServer().listen(QHostAddress::AnyIPv6))
        QSKIP("this machine has no IPv6");
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    testutil::ControlPortScript script;
    script.methods = QStringLiteral("SAFECOOKIE");
    script.addOnion = publishAsTor;
    script.cookieFile = dir.filePath(QStringLiteral("control_auth_cookie"));
    script.knownCookie = writeFile(script.cookieFile, crypto::randomBytes(torcontrol::kCookieBytes));

    {
        FakeControlPort ours;
        ours.methods = script.methods;
        ours.addOnion = script.addOnion;
        ours.cookieFile = script.cookieFile;
        ours.knownCookie = script.knownCookie;
        testutil::ForeignControlPort beside(nobody.uid, nobody.gid, script, testutil::ListensOn::EveryIPv6AddressOnly,
                                            false, ours.port());
        QVERIFY(beside.port() == ours.port());
        QObject owner;
        TorService tor(testutil::makeHub(&owner), nullptr);
        QVERIFY2(runAgainst(tor, ours), qPrintable(tor.refusal() == TorService::RefusedUnprovenControlPort
                                                        ? QStringLiteral("refused as unproven") : QStringLiteral("failed")));
        QVERIFY(!tor.onionAddress().isEmpty());
        QVERIFY(beside.received().isEmpty());
    }
    {
        testutil::ForeignControlPort theirs(nobody.uid, nobody.gid, script);
        QVERIFY(theirs.port() != 0);
        QTcpServer beside;
        QVERIFY(beside.listen(QHostAddress::AnyIPv6, theirs.port()));   // IPv6 only, as Qt opens it
        QObject owner;
        TorService tor(testutil::makeHub(&owner), nullptr);
        QVERIFY(!runWith(tor, externalPortSettings(theirs.port())));
        QCOMPARE(tor.refusal(), TorService::RefusedUnprovenControlPort);
        QTRY_VERIFY(theirs.connectionsEnded() > 0);
        QVERIFY2(theirs.received().isEmpty(), qPrintable(theirs.received().join(QLatin1Char('\n'))));
    }
}

// The system's tor opens its ports as root and then runs as an account of its own, which
// owns the cookie: a control port held so is used.
void TstTor::systemTorIsUsedThroughItsControlPort()
{
    REQUIRE_TOR();
    Account torAccount;
    if (::getuid() != 0 || !accountNamed("debian-tor", &torAccount))
        QSKIP("running tor as the system does needs root and the account debian-tor");
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    const QString data = dir.filePath(QStringLiteral("system-tor"));
    QVERIFY(QDir().mkdir(data));
    QVERIFY(::chown(QFile::encodeName(data).constData(), torAccount.uid, torAccount.gid) == 0);
    QVERIFY(::chmod(QFile::encodeName(data).constData(), 0700) == 0);
    const QString rc = dir.filePath(QStringLiteral("torrc"));
    writeFile(rc, QByteArray());
    const QString portFile = data + QStringLiteral("/control.port");
    QProcess system;
    system.start(TorService::findTor(),
                 {QStringLiteral("-f"), rc, QStringLiteral("--defaults-torrc"), rc, QStringLiteral("--User"),
                  QStringLiteral("debian-tor"), QStringLiteral("--DataDirectory"), data, QStringLiteral("--ControlPort"),
                  QStringLiteral("127.0.0.1:auto"), QStringLiteral("--ControlPortWriteToFile"), portFile,
                  QStringLiteral("--CookieAuthentication"), QStringLiteral("1"), QStringLiteral("--CookieAuthFile"),
                  data + QStringLiteral("/control.authcookie"), QStringLiteral("--SocksPort"), QStringLiteral("0"),
                  QStringLiteral("--DisableNetwork"), QStringLiteral("1"), QStringLiteral("--RunAsDaemon"), QStringLiteral("0"),
                  QStringLiteral("--Log"), QStringLiteral("notice file %1/tor.log").arg(data)});
    QVERIFY(system.waitForStarted(10000));
    quint16 port = 0;
    QTRY_VERIFY_WITH_TIMEOUT((port = writtenPort(portFile)) != 0, 30000);
    QObject owner;
    TorService tor(testutil::makeHub(&owner), nullptr);
    const bool ready = runWith(tor, externalPortSettings(port));
    system.terminate();
    system.waitForFinished(10000);
    QVERIFY(ready);
    QVERIFY(!tor.onionAddress().isEmpty());
}

QTEST_GUILESS_MAIN(TstTor)
#include "tst_tor.moc"
