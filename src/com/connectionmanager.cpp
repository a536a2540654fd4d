#include "com/connectionmanager.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "com/kcpsocket.h"
#include "com/lanbeacon.h"
#include "com/nattraversal.h"
#include "com/networkwatch.h"
#include "com/proxy.h"
#include "com/torservice.h"
#include "com/udptransport.h"
#include "db/idatabase.h"
#include "db/ownkey.h"

#include <QDateTime>
#include <QNetworkInterface>
#include <QSettings>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QUuid>

ConnectionManager *ConnectionManager::s_instance = nullptr;

ConnectionManager::ConnectionManager(IDatabase *database, QObject *parent)
    : QObject(parent)
    , m_database(database)
{
    s_instance = this;
}

ConnectionManager::~ConnectionManager()
{
    // Before the UDP socket goes: a relay not given back is refused to the next start on
    // this port until the server lets it expire.
    if (com::NatTraversal *nat = m_nat.exchange(nullptr))
        nat->stop();
    if (s_instance == this)
        s_instance = nullptr;
}

ConnectionManager *ConnectionManager::instance()
{
    return s_instance;
}

void ConnectionManager::setPeerModel(QObject *model)
{
    if (m_peerModel == model)
        return;
    m_peerModel = model;
    Q_EMIT peerModelChanged();
}

void ConnectionManager::addStartStep(std::function<void()> step)
{
    if (step)
        m_steps.push_back(std::move(step));
}

void ConnectionManager::setIdentity(const crypto::SigningKeyPair &identity)
{
    m_identity = identity;
    if (m_hub)
        m_hub->setIdentity(identity);
}

void ConnectionManager::setLinkTimings(const com::LinkTimings &timings)
{
    m_timings = timings;
    if (m_hub)
        m_hub->setTimings(timings);
}

void ConnectionManager::setListenRetryInterval(int ms)
{
    m_retryMs = ms;
    if (m_hub)
        m_hub->setListenRetryInterval(ms);
}

void ConnectionManager::loadIdentity()
{
    if (m_identity.isValid() || !m_database)
        return;
    m_identity = loadOrCreateOwnKeyPair(m_database);
    if (!m_identity.isValid())
        logPrintf(LogErr1, "no own signing key: every handshake will be refused");
}

void ConnectionManager::start()
{
    if (m_started || m_starting)
        return;
    m_starting = true;

    m_beacon = new com::LanBeacon(this);

    m_proxy = new Proxy(this);
    m_proxy->systemProxy();

    m_networkWatch = new com::NetworkWatch(this);

    int port = m_configuredPort;
    if (port < 0)
        port = appArgumentInt(QStringLiteral("--com-listen-port"), kDefaultListenPort);
    if (port < 0 || port > 65535) {
        logPrintf(LogErr1, "listen port %d out of range, using %d", port, kDefaultListenPort);
        port = kDefaultListenPort;
    }
    m_listenPort = quint16(port);

    loadIdentity();
    m_hub = new com::Hub(this);
    m_hub->setIdentity(m_identity);
    m_hub->setTimings(m_timings);
    m_hub->setListenRetryInterval(m_retryMs);
    m_hub->setTransportsProvider([this] { return localTransports(); });
    m_hub->setNetworkEnabled(m_networkEnabled.load());
    connect(m_hub, &com::Hub::listeningChanged, this, [this] {
        if (m_hub->listenPort())
            m_listenPort = m_hub->listenPort();
    });
    m_hub->listen(quint16(port));
    if (m_hub->listenPort())
        m_listenPort = m_hub->listenPort();

    m_udp = new com::UdpTransport(m_hub, this);
    if (m_udp->bind(m_listenPort.load())) {
        m_udpPort = m_udp->port();
        m_hub->setStreamFactory(QStringLiteral("udp"), [this]() -> QTcpSocket * { return m_udp->createStream(); });
        auto *nat = new com::NatTraversal(m_udp, m_hub, this);
        nat->setPermittedPeers([this] { return relayedPeerAddresses(); });
        nat->start(com::NatSettings::fromConfig());
        m_nat = nat;
        if (m_database) {
            // A peer's relay address stored just now (a new pairing, a peer that moved) is let
            // in at once; a burst of stored rows is taken in once.
            auto *permissions = new QTimer(this);
            permissions->setSingleShot(true);
            permissions->setInterval(0);
            connect(permissions, &QTimer::timeout, nat, &com::NatTraversal::updatePermissions);
            auto later = [permissions] { permissions->start(); };
            connect(m_database, &IDatabase::addedTransport, this, later);
            connect(m_database, &IDatabase::changedTransport, this, later);
        }
    }

    startBeacon();
    startTor();

    // By index: a step may register further steps.
    for (std::size_t i = 0; i < m_steps.size(); ++i) {
        const std::function<void()> step = m_steps[i];
        step();
    }

    m_starting = false;
    m_started = true;
    Q_EMIT started();
}

void ConnectionManager::setNetworkEnabled(bool enabled)
{
    m_networkEnabled = enabled;
    // The hub, its listener and its links belong to "ioThread"; a direct call from another
    // thread is carried over there instead of touching them from here.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, enabled] {
                if (m_hub)
                    m_hub->setNetworkEnabled(enabled);
                updateBeacon();
            },
            Qt::QueuedConnection);
        return;
    }
    if (m_hub)
        m_hub->setNetworkEnabled(enabled);
    updateBeacon();
}

std::vector<TransportDto> ConnectionManager::localTransports() const
{
    // Name-based uuids keep one address's transport the same across calls and restarts.
    static const QUuid ns(QStringLiteral("{6c1f3a52-8d0e-4b7a-9f21-3e5d7c9a0b14}"));
    const quint16 port = m_listenPort.load();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // Addresses from outside first: a receiver keeps only the first few of a long list,
    // and a computer with many interfaces must not crowd out its relay or onion address.
    std::vector<TransportDto> out;
    if (const com::NatTraversal *nat = m_nat.load())
        out = nat->transports();
    if (const com::TorService *tor = m_tor.load()) {
        const QString onion = tor->onionAddress();
        if (!onion.isEmpty()) {
            TransportDto t;
            t.type = QStringLiteral("onion");
            t.host = onion;
            t.port = tor->virtualPort();
            t.timestamp = now;
            t.stream = true;
            t.uuid = QUuid::createUuidV5(ns, QStringLiteral("onion|%1|%2").arg(onion).arg(t.port)).toString(QUuid::WithBraces);
            out.push_back(t);
        }
    }
    const quint16 udpPort = m_udpPort.load();
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.isLoopback() || address.isNull())
            continue;
        // A link-local IPv6 address needs the sender's interface name: useless elsewhere.
        if (address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal())
            continue;
        for (const auto &typePort : {qMakePair(QStringLiteral("tcp"), port), qMakePair(QStringLiteral("udp"), udpPort)}) {
            if (typePort.second == 0)
                continue;
            TransportDto t;
            t.type = typePort.first;
            t.host = address.toString();
            t.port = typePort.second;
            t.timestamp = now;
            t.stream = TransportDto::isStreamType(t.type);
            t.uuid = QUuid::createUuidV5(ns, QStringLiteral("%1|%2|%3").arg(t.type, t.host).arg(t.port))
                         .toString(QUuid::WithBraces);
            out.push_back(t);
        }
    }
    return out;
}

bool ConnectionManager::isAnnouncementPending() const
{
    const com::NatTraversal *nat = m_nat.load();
    return nat && nat->isRelayPending();
}

QString ConnectionManager::torVersion() const
{
    const com::TorService *tor = m_tor.load();
    return tor ? tor->version() : QString();
}

bool ConnectionManager::isTorControlPortRefused() const
{
    const com::TorService *tor = m_tor.load();
    return tor && tor->refusal() == com::TorService::RefusedUnprovenControlPort;
}

void ConnectionManager::startTor()
{
    com::TorSettings settings = com::TorSettings::fromConfig();
    if (m_onionForced >= 0)
        settings.enabled = m_onionForced == 1;
    if (!settings.enabled) {
        logPrintf(LogTor1, "onion transport off (settings: com/tor)");
        return;
    }
    settings.virtualPort = m_listenPort.load();
    auto *tor = new com::TorService(m_hub, m_database, this);
    m_tor = tor;
    tor->start(settings);
}

void ConnectionManager::startBeacon()
{
    bool enabled = true;
    {
        ConfigSettings config;
        enabled = config->value(QStringLiteral("com/lanbeacon"), true).toBool();
    }
    if (m_beaconForced >= 0)
        enabled = m_beaconForced == 1;
    if (!enabled || !m_beacon->start())
        return;
    com::BeaconAnnouncement announcement;
    announcement.name = QSysInfo::machineHostName();
    announcement.deviceType = quint8(m_hub->localGreeting().attributes.value(com::greetingAttrDeviceType()).toUInt());
    announcement.tcpPort = m_listenPort.load();
    announcement.udpPort = m_udpPort.load();
    m_beacon->setAnnouncement(announcement);
    if (m_database) {
        connect(m_database, &IDatabase::addedInvitation, this, &ConnectionManager::updateBeacon);
        connect(m_database, &IDatabase::changedInvitation, this, &ConnectionManager::updateBeacon);
        connect(m_database, &IDatabase::removedInvitation, this, &ConnectionManager::updateBeacon);
    }
    // Invitations also end by expiring.
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &ConnectionManager::updateBeacon);
    timer->start(30000);
    updateBeacon();
}

void ConnectionManager::updateBeacon()
{
    // Announced while an invitation is open, and only then.
    if (!m_beacon || !m_beacon->isStarted())
        return;
    bool open = false;
    if (m_database) {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (const InvitationDto &invitation : m_database->loadInvitations())
            open = open || invitation.expires == 0 || invitation.expires > now;
    }
    m_beacon->setAnnouncing(open && m_networkEnabled.load());
}

QList<QHostAddress> ConnectionManager::relayedPeerAddresses() const
{
    // The relay servers of known peers: their datagrams come from there.
    QList<QHostAddress> out;
    if (!m_database)
        return out;
    for (const PeerDto &peer : m_database->loadPeers(QString())) {
        for (const TransportDto &t : m_database->loadTransports(peer.uuid)) {
            const QHostAddress address(t.host);
            if (t.type == QLatin1String("turn") && !address.isNull() && !out.contains(address))
                out.append(address);
        }
    }
    return out;
}
