#include "testutil_com.h"

#include "com/connectionmanager.h"
#include "com/proxy.h"
#include "com/udptransport.h"
#include "db/ownkey.h"
#include "db/sqlitedatabase.h"

#include <QSignalSpy>
#include <QThread>
#include <QTemporaryDir>
#include <QtTest>

using namespace com;

namespace {

LinkTimings quietTimings()
{
    LinkTimings t;
    t.pingIntervalMs = 600000;
    t.silenceMs = 600000;
    return t;
}

struct Watch
{
    bool established = false;
    bool closed = false;
    QString reason;
    explicit Watch(Link *link)
    {
        QObject::connect(link, &Link::established, link, [this] { established = true; });
        QObject::connect(link, &Link::closed, link, [this](const QString &r) {
            closed = true;
            reason = r;
        });
    }
};

} // namespace

class TstConnectionManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(crypto::initialize()); }
    void startBuildsNetworkSideOnce();
    void identityComesFromDatabase();
    void networkSwitchClosesRemoteLinksOnly();
    void networkSwitchFromAnotherThreadRunsOnIoThread();
    void systemProxyPicksHttpOrSocks();
};

void TstConnectionManager::startBuildsNetworkSideOnce()
{
    {
        ConnectionManager cm;
        cm.setLanBeaconEnabled(false);
        cm.setOnionEnabled(false);
        QCOMPARE(ConnectionManager::instance(), &cm);
        cm.setListenPort(0);
        cm.setIdentity(crypto::generateSigningKeyPair());

        QStringList order;
        cm.addStartStep([&] {
            order << QStringLiteral("peers");
            QVERIFY(cm.proxy());
            QVERIFY(cm.hub() && cm.hub()->isListening());
            QVERIFY(!cm.isStarted());
            cm.addStartStep([&] { order << QStringLiteral("late"); });
        });
        cm.addStartStep([&] { order << QStringLiteral("jobs"); });
        QSignalSpy started(&cm, &ConnectionManager::started);
        cm.start();
        cm.start();
        QCOMPARE(started.count(), 1);
        QCOMPARE(order, (QStringList{"peers", "jobs", "late"}));
        QVERIFY(cm.isStarted());
        QVERIFY(cm.torVersion().isEmpty());

        QObject model;
        QSignalSpy modelChanged(&cm, &ConnectionManager::peerModelChanged);
        QVERIFY(cm.setProperty("peerModel", QVariant::fromValue<QObject *>(&model)));
        QCOMPARE(cm.peerModel(), &model);
        QCOMPARE(modelChanged.count(), 1);

        const quint16 port = cm.hub()->listenPort();
        QVERIFY(port != 0);
        QCOMPARE(cm.listenPort(), port);
        const std::vector<TransportDto> transports = cm.localTransports();
        QVERIFY(cm.udp() && cm.udp()->port() != 0);
        for (const TransportDto &t : transports) {
            const bool tcp = t.type == QLatin1String("tcp");
            QVERIFY2(tcp || t.type == QLatin1String("udp"), qPrintable(t.type));
            QCOMPARE(t.stream, tcp);
            QCOMPARE(t.port, tcp ? port : cm.udp()->port());
            const QHostAddress address(t.host);
            QVERIFY2(!address.isNull() && !address.isLoopback(), qPrintable(t.host));
            QVERIFY(t.timestamp > 0);
        }
        const std::vector<TransportDto> again = cm.localTransports();
        QCOMPARE(again.size(), transports.size());
        for (std::size_t i = 0; i < again.size(); ++i)
            QCOMPARE(again[i].uuid, transports[i].uuid);
        // What this computer tells others it can be reached on.
        QCOMPARE(cm.hub()->localGreeting().transports.size(), transports.size());
    }
    QCOMPARE(ConnectionManager::instance(), nullptr);
}

void TstConnectionManager::identityComesFromDatabase()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SqliteDatabase db(dir.path());
    QVERIFY(db.isOpen());
    ConnectionManager cm(&db);
    cm.setLanBeaconEnabled(false);
    cm.setOnionEnabled(false);
    cm.setListenPort(0);
    cm.start();
    QVERIFY(cm.hub()->identity().isValid());
    QCOMPARE(cm.hub()->ownPublicKey(), loadOrCreateOwnKeyPair(&db).publicKey);
}

void TstConnectionManager::networkSwitchClosesRemoteLinksOnly()
{
    QObject scope;
    ConnectionManager cm;
    cm.setLanBeaconEnabled(false);
    cm.setOnionEnabled(false);
    cm.setListenPort(0);
    cm.setIdentity(crypto::generateSigningKeyPair());
    cm.setLinkTimings(quietTimings());
    Hub *remote = testutil::makeHub(&scope, quietTimings());
    const QString remoteUuid = QStringLiteral("{33333333-0000-0000-0000-000000000000}");
    cm.addStartStep([&] {
        cm.hub()->setKnownKeyResolver([&](const QByteArray &key) {
            return key == remote->ownPublicKey() ? KeyVerdict::accept(remoteUuid) : KeyVerdict::unknown();
        });
    });
    cm.start();
    Hub *hub = cm.hub();
    const QByteArray own = hub->ownPublicKey();
    const quint16 port = hub->listenPort();
    remote->setKnownKeyResolver([own](const QByteArray &key) {
        return key == own ? KeyVerdict::accept(QStringLiteral("{44444444-0000-0000-0000-000000000000}"))
                          : KeyVerdict::unknown();
    });
    const QString loopback = QStringLiteral("127.0.0.1");

    Watch in(remote->connectTo(loopback, port, own));
    Watch out(hub->connectTo(loopback, remote->listenPort(), remote->ownPublicKey()));
    Link *self = hub->connectTo(loopback, port, own);
    Watch selfWatch(self);
    QTRY_VERIFY(in.established && out.established && selfWatch.established);
    QTRY_COMPARE(hub->links().size(), 4);   // in, out, and both ends of the own link

    QSignalSpy listening(hub, &Hub::listeningChanged);
    QMetaObject::invokeMethod(&cm, "setNetworkEnabled", Q_ARG(bool, false));
    QVERIFY(!cm.isNetworkEnabled());
    QVERIFY(!hub->isListening());
    QCOMPARE(listening.count(), 1);
    QTRY_VERIFY(in.closed && out.closed);
    QVERIFY(!selfWatch.closed);
    QTRY_COMPARE(hub->links().size(), 2);
    for (Link *link : hub->links())
        QVERIFY(link->isOwnKey());

    // While off: other computers get nowhere, in either direction; the local computer's own
    // link can still come back.
    Watch refusedIn(remote->connectTo(loopback, port, own));
    Watch refusedOut(hub->connectTo(loopback, remote->listenPort(), remote->ownPublicKey()));
    QTRY_VERIFY(refusedIn.closed && refusedOut.closed);
    QVERIFY(!refusedIn.established && !refusedOut.established);
    Watch selfAgain(hub->connectTo(loopback, port, own));
    QTRY_VERIFY(selfAgain.established);

    cm.setNetworkEnabled(true);
    QVERIFY(hub->isListening());
    QCOMPARE(hub->listenPort(), port);
    Watch back(remote->connectTo(loopback, port, own));
    QTRY_VERIFY(back.established);
}

void TstConnectionManager::networkSwitchFromAnotherThreadRunsOnIoThread()
{
    QThread io;
    io.setObjectName(QStringLiteral("ioThread"));
    auto *cm = new ConnectionManager;
    cm->setListenPort(0);
    cm->setIdentity(crypto::generateSigningKeyPair());
    cm->moveToThread(&io);
    connect(&io, &QThread::started, cm, &ConnectionManager::start);
    connect(&io, &QThread::finished, cm, &QObject::deleteLater);

    std::atomic<bool> up{false};
    std::atomic<QThread *> switchedOn{nullptr};
    connect(
        cm, &ConnectionManager::started, cm,
        [&] {
            connect(
                cm->hub(), &Hub::listeningChanged, cm->hub(),
                [&](bool) { switchedOn = QThread::currentThread(); }, Qt::DirectConnection);
            up = true;
        },
        Qt::DirectConnection);
    io.start();
    QTRY_VERIFY(up.load());

    // A caller on another thread (the window's switch) must not touch the hub from there.
    cm->setNetworkEnabled(false);
    QVERIFY(!cm->isNetworkEnabled());
    QTRY_VERIFY(switchedOn.load() != nullptr);
    QCOMPARE(switchedOn.load(), &io);

    io.quit();
    QVERIFY(io.wait(5000));
}

void TstConnectionManager::systemProxyPicksHttpOrSocks()
{
    const QByteArray saved = qgetenv("http_proxy");
    const QByteArray savedAll = qgetenv("all_proxy");
    qunsetenv("all_proxy");
    qputenv("http_proxy", "http://127.0.0.1:3128");
    Proxy proxy;
    QNetworkProxy p = proxy.systemProxy();
    QCOMPARE(p.type(), QNetworkProxy::HttpProxy);
    QCOMPARE(p.port(), quint16(3128));

    qunsetenv("http_proxy");
    p = proxy.systemProxy();
    QCOMPARE(p, QNetworkProxy());

    if (!saved.isEmpty())
        qputenv("http_proxy", saved);
    if (!savedAll.isEmpty())
        qputenv("all_proxy", savedAll);
}

QTEST_GUILESS_MAIN(TstConnectionManager)
#include "tst_connectionmanager.moc"
