#include "peers/dialpolicy.h"

#include <QNetworkInterface>

#include <atomic>

namespace {

std::atomic<bool> g_loopbackPeersAllowed{false};

bool inAny(const QHostAddress &address, std::initializer_list<const char *> subnets)
{
    for (const char *subnet : subnets) {
        if (address.isInSubnet(QHostAddress::parseSubnet(QLatin1String(subnet))))
            return true;
    }
    return false;
}

QList<QPair<QHostAddress, int>> interfaceNetworks()
{
    QList<QPair<QHostAddress, int>> networks;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        if (!(iface.flags() & QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            networks.append({entry.ip(), entry.prefixLength()});
    }
    return networks;
}

} // namespace

void DialPolicy::setLoopbackPeersAllowed(bool allowed)
{
    g_loopbackPeersAllowed = allowed;
}

bool DialPolicy::loopbackPeersAllowed()
{
    return g_loopbackPeersAllowed;
}

void DialPolicy::setOwnNetworks(NetworksProvider provider)
{
    m_ownNetworks = std::move(provider);
}

bool DialPolicy::isDialable(const QString &host) const
{
    QHostAddress address;
    if (!address.setAddress(host)) {
        // A name resolves later, out of sight; the one that always means this computer is
        // refused here.
        const QString name = host.trimmed().toLower();
        const bool local = name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost"));
        return !local || loopbackPeersAllowed();
    }
    return isDialableAddress(address);
}

bool DialPolicy::isDialableAddress(QHostAddress address) const
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);   // an IPv4-mapped IPv6 address is the IPv4 one

    if (address.isLoopback())
        return loopbackPeersAllowed();
    if (inAny(address, {"0.0.0.0/8", "169.254.0.0/16", "224.0.0.0/4", "240.0.0.0/4", "::/128", "fe80::/10",
                        "ff00::/8"}))
        return false;
    // An address of this computer reaches its own services as surely as loopback does.
    if (isOwnAddress(address))
        return loopbackPeersAllowed();
    if (!inAny(address, {"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "fc00::/7"}))
        return true;
    // A private address is only reachable from inside its own network.
    const QList<QPair<QHostAddress, int>> networks = m_ownNetworks ? m_ownNetworks() : interfaceNetworks();
    for (const auto &network : networks) {
        if (network.first.protocol() == address.protocol() && address.isInSubnet(network.first, network.second))
            return true;
    }
    return false;
}

std::function<bool(const QHostAddress &)> DialPolicy::addressCheck() const
{
    DialPolicy rules;
    rules.m_ownNetworks = m_ownNetworks;
    return [rules](const QHostAddress &address) { return rules.isDialableAddress(address); };
}

bool DialPolicy::isOwnAddress(const QHostAddress &address) const
{
    QList<QHostAddress> own;
    if (m_ownNetworks) {
        for (const auto &network : m_ownNetworks())
            own.append(network.first);
    } else {
        own = QNetworkInterface::allAddresses();   // those of interfaces that are down too
    }
    for (QHostAddress candidate : qAsConst(own)) {
        candidate.setScopeId(QString());
        if (candidate == address)
            return true;
    }
    return false;
}

void DialPolicy::trust(const std::vector<TransportDto> &transports)
{
    for (const TransportDto &t : transports)
        m_known.insert(keyOf(t.type, t.host, t.port));
}

QList<DialTarget> DialPolicy::admit(const QList<DialTarget> &targets, int limit, qint64 nowMs, bool *deferred)
{
    while (!m_newTaken.isEmpty() && nowMs - m_newTaken.first() >= kWindowMs)
        m_newTaken.removeFirst();
    if (deferred)
        *deferred = false;
    QList<DialTarget> admitted;
    for (const DialTarget &target : targets) {
        if (admitted.size() >= limit)
            break;
        if (!isDialable(target.host))
            continue;
        const QString key = keyOf(target.type, target.host, target.port);
        if (!m_known.contains(key)) {
            if (m_newTaken.size() >= kMaxNewPerWindow) {
                if (deferred)
                    *deferred = true;
                continue;
            }
            m_newTaken.append(nowMs);
            m_known.insert(key);
        }
        admitted.append(target);
    }
    return admitted;
}

QString DialPolicy::keyOf(const QString &type, const QString &host, quint16 port)
{
    return type + QLatin1Char('|') + host.toLower() + QLatin1Char('|') + QString::number(port);
}
