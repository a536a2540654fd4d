#include "peers/peertransports.h"

#include "db/idatabase.h"

#include <QDateTime>

#include <algorithm>

void storePeerTransports(IDatabase *database, const QString &peerUuid, const std::vector<TransportDto> &transports)
{
    if (!database || peerUuid.isEmpty())
        return;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    int taken = 0;
    for (TransportDto t : transports) {
        if (t.type.isEmpty() || t.host.isEmpty() || t.port == 0)
            continue;
        if (++taken > kMaxAnnouncedTransports)
            break;
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
    std::stable_sort(stored.begin(), stored.end(),
                     [](const TransportDto &a, const TransportDto &b) { return a.timestamp > b.timestamp; });
    for (std::size_t i = kMaxStoredTransports; i < stored.size(); ++i)
        database->deleteTransport(stored[i].uuid);
}
