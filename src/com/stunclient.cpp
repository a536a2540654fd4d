#include "com/stunclient.h"

#include "app/base/log.h"
#include "com/stunmessage.h"
#include "com/udptransport.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QTimer>

namespace com {

namespace {

constexpr quint16 kDefaultStunPort = 3478;
constexpr int kServersAsked = 2;
constexpr int kTickMs = 25;

bool isOwnAddress(const QHostAddress &address)
{
    if (address.isLoopback())
        return true;
    for (const QHostAddress &own : QNetworkInterface::allAddresses())
        if (own.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            return true;
    return false;
}

} // namespace

StunClient::StunClient(UdpTransport *transport, QObject *parent)
    : QObject(parent)
    , m_transport(transport)
{
    m_timer = new QTimer(this);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &StunClient::onTimer);
    if (transport)
        transport->addStunHandler(this, [this](const QByteArray &d, const QHostAddress &from, quint16 port) {
            return onStun(d, from, port);
        });
    m_clock.start();
}

void StunClient::setRetransmission(int firstMs, int attempts)
{
    m_firstWaitMs = qMax(1, firstMs);
    m_attempts = qMax(1, attempts);
}

QString StunClient::natKindName(NatKind kind)
{
    switch (kind) {
    case NatKind::None:
        return QStringLiteral("none");
    case NatKind::Cone:
        return QStringLiteral("cone");
    case NatKind::Symmetric:
        return QStringLiteral("symmetric");
    case NatKind::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

void StunClient::start()
{
    ++m_generation;
    m_queries.clear();
    m_pendingLookups = 0;
    m_running = true;
    const int generation = m_generation;
    for (const QString &entry : m_servers) {
        if (m_pendingLookups >= kServersAsked)
            break;
        const int colon = entry.lastIndexOf(QLatin1Char(':'));
        QString host = entry.trimmed();
        quint16 port = kDefaultStunPort;
        // "host:port", "[v6]:port"; a bare IPv6 address has more than one colon.
        if (colon > 0 && entry.indexOf(QLatin1Char(':')) == colon) {
            host = entry.left(colon).trimmed();
            port = quint16(entry.mid(colon + 1).toUShort());
        } else if (entry.startsWith(QLatin1Char('[')) && entry.contains(QStringLiteral("]:"))) {
            host = entry.mid(1, entry.indexOf(QLatin1Char(']')) - 1);
            port = quint16(entry.mid(entry.indexOf(QStringLiteral("]:")) + 2).toUShort());
        }
        if (host.isEmpty() || port == 0)
            continue;
        ++m_pendingLookups;
        const QHostAddress literal(host);
        if (!literal.isNull()) {
            QTimer::singleShot(0, this, [this, literal, port, generation] {
                if (generation == m_generation)
                    resolved(literal, port);
            });
            continue;
        }
        QHostInfo::lookupHost(host, this, [this, port, generation](const QHostInfo &info) {
            if (generation != m_generation)
                return;
            QHostAddress address;
            for (const QHostAddress &a : info.addresses()) {
                if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                    address = a;
                    break;
                }
            }
            resolved(address, port);
        });
    }
    if (m_pendingLookups == 0)
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_generation)
                conclude();
        });
}

void StunClient::resolved(const QHostAddress &address, quint16 port)
{
    --m_pendingLookups;
    if (!address.isNull()) {
        Query q;
        q.server = address;
        q.serverPort = port;
        q.waitMs = m_firstWaitMs;
        m_queries.append(q);
        send(m_queries.last());
        m_timer->start();
    }
    if (m_pendingLookups == 0 && m_queries.isEmpty())
        conclude();
}

void StunClient::send(Query &query)
{
    // Retransmissions keep the transaction id, so a late answer to an earlier send counts.
    stun::Message request = stun::Message::request(stun::MethodBinding);
    if (query.transactionId.isEmpty())
        query.transactionId = request.transactionId;
    request.transactionId = query.transactionId;
    ++query.sent;
    query.nextAt = m_clock.elapsed() + query.waitMs;
    query.waitMs *= 2;
    if (m_transport)
        m_transport->sendDatagram(request.encode(), query.server, query.serverPort);
}

void StunClient::onTimer()
{
    if (!m_running)
        return;
    const qint64 now = m_clock.elapsed();
    bool open = false;
    for (Query &q : m_queries) {
        if (q.done)
            continue;
        if (now >= q.nextAt) {
            if (q.sent >= m_attempts) {
                q.done = true;
                continue;
            }
            send(q);
        }
        open = true;
    }
    if (!open && m_pendingLookups == 0)
        conclude();
}

bool StunClient::onStun(const QByteArray &datagram, const QHostAddress &from, quint16 port)
{
    stun::Message m;
    if (!stun::decode(datagram.constData(), datagram.size(), &m) || m.method != stun::MethodBinding
        || (m.cls != stun::ClassSuccess && m.cls != stun::ClassError))
        return false;
    for (Query &q : m_queries) {
        if (q.transactionId != m.transactionId || q.serverPort != port
            || !q.server.isEqual(from, QHostAddress::ConvertV4MappedToIPv4))
            continue;
        if (q.done)
            return true;
        q.done = true;
        QHostAddress mapped;
        quint16 mappedPort = 0;
        if (m.cls == stun::ClassSuccess
            && (m.xorAddress(stun::AttrXorMappedAddress, &mapped, &mappedPort)
                || m.plainAddress(stun::AttrMappedAddress, &mapped, &mappedPort))) {
            q.answered = true;
            q.mapped = mapped;
            q.mappedPort = mappedPort;
        }
        onTimer();
        return true;
    }
    return false;
}

void StunClient::conclude()
{
    if (!m_running)
        return;
    m_running = false;
    m_timer->stop();
    QList<const Query *> answers;
    for (const Query &q : qAsConst(m_queries))
        if (q.answered)
            answers.append(&q);
    if (answers.isEmpty()) {
        m_kind = NatKind::Unknown;
        m_publicAddress = QHostAddress();
        m_publicPort = 0;
    } else {
        const Query *first = answers.first();
        m_publicAddress = first->mapped;
        m_publicPort = first->mappedPort;
        bool same = true;
        for (const Query *q : answers)
            same = same && q->mapped == first->mapped && q->mappedPort == first->mappedPort;
        const bool own = m_transport && isOwnAddress(first->mapped) && first->mappedPort == m_transport->port();
        if (!same)
            m_kind = NatKind::Symmetric;
        else if (own)
            m_kind = NatKind::None;
        else
            m_kind = NatKind::Cone;
    }
    logPrintf(LogUdp1, "STUN: NAT %s, public address %s:%u", qPrintable(natKindName(m_kind)),
              qPrintable(m_publicAddress.toString()), m_publicPort);
    Q_EMIT finished();
}

} // namespace com
