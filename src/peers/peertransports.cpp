#include "peers/peertransports.h"

#include "db/idatabase.h"

#include <QDateTime>

#include <QSet>

#include <algorithm>

namespace {

QString addressKey(const TransportDto &t)
{
    return t.type + QLatin1Char('|') + t.host + QLatin1Char('|') + QString::number(t.port);
}

} // namespace

void storePeerTransports(IDatabase *database, const QString &peerUuid, const std::vector<TransportDto> &transports)
{
    if (!database || peerUuid.isEmpty())
        return;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QSet<QString> announced;
    int taken = 0;
    for (TransportDto t : transports) {
        if (t.type.isEmpty() || t.host.isEmpty() || t.port == 0)
            continue;
        if (++taken > kMaxAnnouncedTransports)
            break;
        announced.insert(addressKey(t));
        t.uuid = newUuidString();
        t.peerUuid = peerUuid;
        t.stream = TransportDto::isStreamType(t.type);
        t.timestamp = now;
        database->putTransport(t);
    }

    std::vector<TransportDto> stored = database->loadTransports(peerUuid);
    if (stored.size() <= std::size_t(kMaxStoredTransports))
        return;
    // Stored oldest row first: reversed, equal stamps keep the newest rows in front.
    std::reverse(stored.begin(), stored.end());
    // What the peer says now comes first; then where this computer has had it, however long
    // ago it was announced (a forwarded port the peer does not know of itself is announced
    // by nobody again), the latest first; then the rest, newest first. The announcement
    // itself is at most kMaxAnnouncedTransports, so room for those that worked is left.
    std::stable_sort(stored.begin(), stored.end(), [&](const TransportDto &a, const TransportDto &b) {
        const bool announcedA = announced.contains(addressKey(a));
        const bool announcedB = announced.contains(addressKey(b));
        if (announcedA != announcedB)
            return announcedA;
        if (a.worked != b.worked)
            return a.worked > b.worked;
        return a.timestamp > b.timestamp;
    });
    for (std::size_t i = kMaxStoredTransports; i < stored.size(); ++i)
        database->deleteTransport(stored[i].uuid);
}

int transportRank(const QString &type)
{
    static const QStringList order{QStringLiteral("tcp"), QStringLiteral("udp"), QStringLiteral("turn"),
                                   QStringLiteral("onion")};
    const int rank = order.indexOf(type);
    return rank < 0 ? order.size() : rank;
}

QList<DialTarget> dialTargets(const std::vector<TransportDto> &transports, int limit,
                              const std::function<bool(const QString &type)> &canDial)
{
    std::vector<TransportDto> sorted = transports;
    // Those that worked come first: they are dialled at once (DialPolicy) and must not fall
    // outside the limit behind addresses that never answered.
    std::stable_sort(sorted.begin(), sorted.end(), [](const TransportDto &a, const TransportDto &b) {
        if (a.worked != b.worked)
            return a.worked > b.worked;
        return transportRank(a.type) < transportRank(b.type);
    });
    QList<DialTarget> targets;
    QSet<QString> seen;
    for (const TransportDto &t : sorted) {
        if (targets.size() >= limit)
            break;
        if (t.host.isEmpty() || t.port == 0 || (canDial && !canDial(t.type)))
            continue;
        const QString id = addressKey(t);
        if (seen.contains(id))
            continue;
        seen.insert(id);
        targets.append({t.type, t.host, t.port});
    }
    return targets;
}
