#include "com/lanbeacon.h"

#include "app/base/log.h"
#include "crypto/crypto.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace com {

namespace {

const char kMagic[4] = {'N', 'S', 'K', 'B'};
constexpr quint8 kVersion = 1;
constexpr int kIdBytes = 16;
constexpr int kFixedBytes = 4 + 1 + kIdBytes + 2 + 2 + 1 + 1;

// Only text a list can show: no control characters, no invisible tricks.
QString displayable(const QString &name)
{
    QString out;
    for (const QChar c : name)
        if (c.isPrint() && c.category() != QChar::Other_Format)
            out.append(c);
    return out.trimmed();
}

} // namespace

LanBeacon::LanBeacon(QObject *parent)
    : QObject(parent)
    , m_id(crypto::randomBytes(kIdBytes))
{
    m_clock.start();
    m_socket = new QUdpSocket(this);
    connect(m_socket, &QUdpSocket::readyRead, this, &LanBeacon::onReadyRead);
    m_announceTimer = new QTimer(this);
    m_announceTimer->setInterval(2000);
    connect(m_announceTimer, &QTimer::timeout, this, &LanBeacon::announce);
    m_expireTimer = new QTimer(this);
    m_expireTimer->setInterval(1000);
    connect(m_expireTimer, &QTimer::timeout, this, &LanBeacon::expire);
}

LanBeacon::~LanBeacon() = default;

void LanBeacon::setIntervals(int announceMs, int expireMs)
{
    m_announceTimer->setInterval(qMax(100, announceMs));
    m_expireMs = qMax(1, expireMs);
    m_expireTimer->setInterval(qMax(10, expireMs / 4));
}

bool LanBeacon::start(quint16 port)
{
    m_port = port;
    if (!m_socket->bind(QHostAddress(QHostAddress::AnyIPv4), port,
                        QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        logPrintf(LogErr1, "LAN beacon: cannot bind UDP port %u: %s", port, qPrintable(m_socket->errorString()));
        return false;
    }
    bool joined = false;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        const auto flags = i.flags();
        if ((flags & QNetworkInterface::IsUp) && (flags & QNetworkInterface::CanMulticast))
            joined = m_socket->joinMulticastGroup(group(), i) || joined;
    }
    if (!joined)
        joined = m_socket->joinMulticastGroup(group());
    if (!joined)
        logPrintf(LogCom1, "LAN beacon: no interface joined the group");
    m_expireTimer->start();
    return true;
}

bool LanBeacon::isStarted() const
{
    return m_socket->state() == QAbstractSocket::BoundState;
}

void LanBeacon::setAnnouncing(bool on)
{
    if (on == m_announcing)
        return;
    m_announcing = on;
    if (on) {
        announce();
        m_announceTimer->start();
    } else {
        m_announceTimer->stop();
    }
}

void LanBeacon::announce()
{
    if (!m_announcing || m_socket->state() != QAbstractSocket::BoundState)
        return;
    m_socket->writeDatagram(encode(m_id, m_announcement), group(), m_port);
}

QByteArray LanBeacon::encode(const QByteArray &senderId, const BeaconAnnouncement &a)
{
    QByteArray name = displayable(a.name).toUtf8();
    if (name.size() > kMaxNameBytes) {
        // Cut on a character boundary.
        name = displayable(a.name).left(kMaxNameBytes).toUtf8();
        while (name.size() > kMaxNameBytes)
            name = QString::fromUtf8(name).chopped(1).toUtf8();
    }
    QByteArray out(kFixedBytes, '\0');
    char *p = out.data();
    std::memcpy(p, kMagic, 4);
    p[4] = char(kVersion);
    std::memcpy(p + 5, senderId.leftJustified(kIdBytes, '\0', true).constData(), kIdBytes);
    qToLittleEndian<quint16>(a.tcpPort, p + 21);
    qToLittleEndian<quint16>(a.udpPort, p + 23);
    p[25] = char(a.deviceType);
    p[26] = char(name.size());
    return out + name;
}

bool LanBeacon::decode(const QByteArray &d, QByteArray *senderId, BeaconAnnouncement *a)
{
    if (d.size() < kFixedBytes || d.size() > kFixedBytes + kMaxNameBytes || std::memcmp(d.constData(), kMagic, 4) != 0
        || quint8(d[4]) != kVersion)
        return false;
    const int nameBytes = quint8(d[26]);
    if (nameBytes > kMaxNameBytes || d.size() != kFixedBytes + nameBytes)
        return false;
    *senderId = d.mid(5, kIdBytes);
    a->tcpPort = qFromLittleEndian<quint16>(d.constData() + 21);
    a->udpPort = qFromLittleEndian<quint16>(d.constData() + 23);
    a->deviceType = quint8(d[25]);
    a->name = displayable(QString::fromUtf8(d.constData() + kFixedBytes, nameBytes));
    return !a->name.isEmpty();
}

void LanBeacon::onReadyRead()
{
    m_readQueued = false;
    int taken = 0;
    while (m_socket->hasPendingDatagrams()) {
        if (++taken > kMaxDatagramsPerTurn) {
            // The rest waits for the next turn: a flood cannot hold the thread.
            if (!m_readQueued) {
                m_readQueued = true;
                QMetaObject::invokeMethod(this, &LanBeacon::onReadyRead, Qt::QueuedConnection);
            }
            return;
        }
        const QNetworkDatagram d = m_socket->receiveDatagram(kFixedBytes + kMaxNameBytes + 1);
        take(d.data(), d.senderAddress());
    }
}

bool LanBeacon::isOwnProgram(const BeaconAnnouncement &announcement, const QHostAddress &from)
{
    if (m_announcement.tcpPort == 0 || announcement.tcpPort != m_announcement.tcpPort)
        return false;
    const qint64 now = m_clock.elapsed();
    if (m_ownAddressesAt < 0 || now - m_ownAddressesAt > 10000) {
        m_ownAddresses = QNetworkInterface::allAddresses();
        m_ownAddressesAt = now;
    }
    return from.isLoopback() || std::any_of(m_ownAddresses.cbegin(), m_ownAddresses.cend(), [&from](const QHostAddress &own) {
        return own.isEqual(from, QHostAddress::TolerantConversion);
    });
}

void LanBeacon::take(const QByteArray &datagram, const QHostAddress &from)
{
    QByteArray id;
    BeaconAnnouncement a;
    if (!decode(datagram, &id, &a) || id == m_id) {
        if (id != m_id)
            ++m_ignored;
        return;
    }
    // Before the sender's turn is counted: another program on this computer, heard from
    // the same address, keeps its turn.
    if (isOwnProgram(a, from)) {
        ++m_ignored;
        return;
    }
    const qint64 now = m_clock.elapsed();
    const QString sender = from.toString();
    const auto heard = m_lastHeard.constFind(sender);
    if (heard != m_lastHeard.constEnd() && now - heard.value() < kMinSenderGapMs) {
        ++m_ignored;
        return;
    }
    if (m_lastHeard.size() >= 4 * kMaxNeighbours)
        m_lastHeard.clear();
    m_lastHeard.insert(sender, now);

    auto it = m_neighbours.find(id);
    if (it == m_neighbours.end() && m_neighbours.size() >= kMaxNeighbours) {
        auto stalest = m_neighbours.begin();
        for (auto n = m_neighbours.begin(); n != m_neighbours.end(); ++n)
            if (n->lastSeenMs < stalest->lastSeenMs)
                stalest = n;
        m_neighbours.erase(stalest);
    }
    const bool fresh = it == m_neighbours.end();
    BeaconNeighbour &n = m_neighbours[id];
    const bool changed = fresh || n.address != from || n.announcement.name != a.name
        || n.announcement.tcpPort != a.tcpPort || n.announcement.udpPort != a.udpPort;
    n.senderId = id;
    n.address = from;
    n.announcement = a;
    n.lastSeenMs = now;
    if (changed)
        Q_EMIT neighboursChanged();
}

void LanBeacon::expire()
{
    const qint64 now = m_clock.elapsed();
    bool changed = false;
    for (auto it = m_neighbours.begin(); it != m_neighbours.end();) {
        if (now - it->lastSeenMs > m_expireMs) {
            it = m_neighbours.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    for (auto it = m_lastHeard.begin(); it != m_lastHeard.end();)
        it = now - it.value() > kMinSenderGapMs ? m_lastHeard.erase(it) : std::next(it);
    if (changed)
        Q_EMIT neighboursChanged();
}

QList<BeaconNeighbour> LanBeacon::neighbours() const
{
    return m_neighbours.values();
}

} // namespace com
