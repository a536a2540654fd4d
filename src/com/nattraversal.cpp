#include "com/nattraversal.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "com/hub.h"
#include "com/kcpsocket.h"
#include "com/stunclient.h"
#include "com/turnclient.h"
#include "com/udptransport.h"

#include <QDateTime>
#include <QHostInfo>
#include <QSettings>
#include <QTimer>
#include <QUuid>

namespace com {

namespace {

constexpr int kTurnRetryFirstMs = 5000;
constexpr int kTurnRetryMaxMs = 300000;
constexpr int kPermissionsIntervalMs = 60000;

bool splitHostPort(const QString &entry, QString *host, quint16 *port)
{
    const int colon = entry.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    *host = entry.left(colon).trimmed();
    if (host->startsWith(QLatin1Char('[')) && host->endsWith(QLatin1Char(']')))
        *host = host->mid(1, host->size() - 2);
    bool ok = false;
    *port = quint16(entry.mid(colon + 1).toUShort(&ok));
    return ok && *port != 0 && !host->isEmpty();
}

} // namespace

NatSettings NatSettings::fromConfig()
{
    NatSettings s;
    ConfigSettings config;
    config->beginGroup(QStringLiteral("com"));
    s.stunServers = config->value(QStringLiteral("stunservers")).toStringList();
    s.turnServer = config->value(QStringLiteral("turnserver")).toString();
    s.turnUser = config->value(QStringLiteral("turnuser")).toString();
    s.turnPassword = config->value(QStringLiteral("turnpassword")).toString();
    s.turnTls = config->value(QStringLiteral("turntls"), false).toBool();
    config->endGroup();
    bool given = false;
    const QString option = appArgument(QStringLiteral("--turn"), &given);
    if (given)
        s.turnServer = option;
    return s;
}

NatTraversal::NatTraversal(UdpTransport *udp, Hub *hub, QObject *parent)
    : QObject(parent)
    , m_udp(udp)
    , m_hub(hub)
{
    m_stun = new StunClient(udp, this);
    connect(m_stun, &StunClient::finished, this, &NatTraversal::onStunFinished);
    m_stunTimer = new QTimer(this);
    connect(m_stunTimer, &QTimer::timeout, m_stun, &StunClient::start);

    m_turn = new TurnClient(udp, this);
    connect(m_turn, &TurnClient::allocated, this, &NatTraversal::onTurnAllocated);
    connect(m_turn, &TurnClient::failed, this, &NatTraversal::onTurnFailed);
    connect(m_turn, &TurnClient::lost, this, &NatTraversal::dropRelay);
    m_turnRetry = new QTimer(this);
    m_turnRetry->setSingleShot(true);
    connect(m_turnRetry, &QTimer::timeout, this, &NatTraversal::startTurn);
    auto *permissions = new QTimer(this);
    connect(permissions, &QTimer::timeout, this, &NatTraversal::updatePermissions);
    permissions->start(kPermissionsIntervalMs);
}

void NatTraversal::start(const NatSettings &settings)
{
    m_settings = settings;
    if (!settings.stunServers.isEmpty()) {
        m_stun->setServers(settings.stunServers);
        m_stun->start();
        m_stunTimer->start(m_stunIntervalMs);
    }
    {
        QMutexLocker lock(&m_mutex);
        m_relayPending = !settings.turnServer.isEmpty();
    }
    if (!settings.turnServer.isEmpty())
        startTurn();
}

void NatTraversal::stop()
{
    m_turnRetry->stop();
    m_turn->stop();
}

void NatTraversal::startTurn()
{
    QString host;
    quint16 port = 0;
    if (!splitHostPort(m_settings.turnServer, &host, &port)) {
        logPrintf(LogErr1, "TURN server \"%s\" is not host:port", qPrintable(m_settings.turnServer));
        return;
    }
    m_turn->setCredentials(m_settings.turnUser, m_settings.turnPassword);
    m_turn->setTls(m_settings.turnTls);
    const QHostAddress literal(host);
    if (!literal.isNull()) {
        m_turn->setServer(literal, port);
        m_turn->start();
        return;
    }
    QHostInfo::lookupHost(host, this, [this, port](const QHostInfo &info) {
        for (const QHostAddress &a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                m_turn->setServer(a, port);
                m_turn->start();
                return;
            }
        }
        onTurnFailed();
    });
}

void NatTraversal::onStunFinished()
{
    {
        QMutexLocker lock(&m_mutex);
        // A symmetric NAT maps every destination to another port: the one STUN saw helps nobody.
        const bool usable = m_stun->natKind() == NatKind::Cone;
        m_public = usable ? m_stun->publicAddress() : QHostAddress();
        m_publicPort = usable ? m_stun->publicPort() : 0;
    }
    announceNewAddresses();
}

void NatTraversal::onTurnAllocated()
{
    m_turnBackoffMs = 0;
    {
        QMutexLocker lock(&m_mutex);
        m_relayed = m_turn->relayedAddress();
        m_relayedPort = m_turn->relayedPort();
        m_relayPending = false;
    }
    if (m_hub && m_udp) {
        QPointer<UdpTransport> udp = m_udp;
        m_hub->setStreamFactory(QStringLiteral("turn"), [udp]() -> QTcpSocket * {
            return udp ? udp->createStream(true) : nullptr;
        });
    }
    updatePermissions();
    announceNewAddresses();
}

void NatTraversal::announceNewAddresses()
{
    QSet<QString> current;
    bool gained = false;
    for (const TransportDto &t : transports()) {
        const QString key = t.type + QLatin1Char('|') + t.host + QLatin1Char('|') + QString::number(t.port);
        current.insert(key);
        gained = gained || !m_announced.contains(key);
    }
    m_announced = current;
    if (!gained || !m_hub)
        return;
    // The whole list, as the greeting has it: a receiver keeps only the first few of it, in
    // the order the greeting gives.
    const std::vector<TransportDto> all = m_hub->localGreeting().transports;
    int told = 0;
    for (Link *link : m_hub->links()) {
        if (!link->isOwnKey() && link->announceTransports(all))
            ++told;
    }
    logPrintf(LogCom1, "new own address announced on %d links", told);
}

void NatTraversal::dropRelay()
{
    {
        QMutexLocker lock(&m_mutex);
        m_relayed = QHostAddress();
        m_relayedPort = 0;
    }
    if (!m_hub)
        return;
    m_hub->setStreamFactory(QStringLiteral("turn"), nullptr);
    for (Link *link : m_hub->links()) {
        if (Hub::transportOf(link) == QLatin1String("turn"))
            link->close(QStringLiteral("relay lost"));
    }
}

void NatTraversal::onTurnFailed()
{
    {
        QMutexLocker lock(&m_mutex);
        m_relayPending = false;
    }
    dropRelay();
    m_turnBackoffMs = m_turnBackoffMs ? qMin(m_turnBackoffMs * 2, kTurnRetryMaxMs) : kTurnRetryFirstMs;
    m_turnRetry->start(m_turnBackoffMs);
}

void NatTraversal::updatePermissions()
{
    if (!m_turn->isAllocated() || !m_permittedPeers)
        return;
    for (const QHostAddress &peer : m_permittedPeers())
        m_turn->permit(peer);
}

bool NatTraversal::isRelayPending() const
{
    QMutexLocker lock(&m_mutex);
    return m_relayPending;
}

std::vector<TransportDto> NatTraversal::transports() const
{
    static const QUuid ns(QStringLiteral("{3e0c6a8f-51d2-4f7b-a2c9-8d4e1b6f0a37}"));
    QMutexLocker lock(&m_mutex);
    std::vector<TransportDto> out;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    auto add = [&](const QString &type, const QHostAddress &address, quint16 port) {
        if (address.isNull() || port == 0)
            return;
        TransportDto t;
        t.type = type;
        t.host = address.toString();
        t.port = port;
        t.timestamp = now;
        t.uuid = QUuid::createUuidV5(ns, QStringLiteral("%1|%2|%3").arg(type, t.host).arg(port)).toString(QUuid::WithBraces);
        out.push_back(t);
    };
    add(QStringLiteral("udp"), m_public, m_publicPort);
    add(QStringLiteral("turn"), m_relayed, m_relayedPort);
    return out;
}

} // namespace com
