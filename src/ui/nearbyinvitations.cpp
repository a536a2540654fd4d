#include "ui/nearbyinvitations.h"

#include "com/lanbeacon.h"

#include <QTimer>
#include <QVariantMap>

#include <algorithm>

NearbyInvitations::NearbyInvitations(com::LanBeacon *beacon)
    : m_beacon(beacon)
    , m_holdTimer(new QTimer(this))
{
    m_clock.start();
    m_holdTimer->setSingleShot(true);
    connect(m_holdTimer, &QTimer::timeout, this, &NearbyInvitations::list);
}

void NearbyInvitations::attach(com::LanBeacon *beacon, QObject *receiver,
                               const std::function<void(const QVariantList &)> &onListed)
{
    if (!beacon || !receiver)
        return;
    auto *relay = new NearbyInvitations(beacon);
    connect(relay, &NearbyInvitations::listed, receiver, onListed, Qt::QueuedConnection);
    connect(beacon, &com::LanBeacon::neighboursChanged, relay, &NearbyInvitations::list);
    connect(beacon, &QObject::destroyed, relay, &QObject::deleteLater);
    relay->moveToThread(beacon->thread());
    QMetaObject::invokeMethod(relay, &NearbyInvitations::list, Qt::QueuedConnection);
}

QVariantList NearbyInvitations::describe(const QList<com::BeaconAnnouncement> &announcements)
{
    QList<com::BeaconAnnouncement> computers;
    for (const com::BeaconAnnouncement &n : announcements) {
        // A computer that restarted announces under a new id until the old one expires.
        const bool known = std::any_of(computers.cbegin(), computers.cend(), [&n](const com::BeaconAnnouncement &a) {
            return a.name == n.name && a.deviceType == n.deviceType;
        });
        if (!known)
            computers.append(n);
    }
    std::sort(computers.begin(), computers.end(), [](const com::BeaconAnnouncement &a, const com::BeaconAnnouncement &b) {
        return QString::localeAwareCompare(a.name, b.name) < 0;
    });
    QVariantList out;
    for (const com::BeaconAnnouncement &a : computers.mid(0, kMaxShown))
        out.append(QVariantMap{{QStringLiteral("name"), a.name}, {QStringLiteral("deviceType"), int(a.deviceType)}});
    return out;
}

void NearbyInvitations::list()
{
    if (!m_beacon)
        return;
    const qint64 now = m_clock.elapsed();
    for (const com::BeaconNeighbour &n : m_beacon->neighbours())
        m_heard.insert(n.announcement.name + QLatin1Char('/') + QString::number(n.announcement.deviceType),
                       {n.announcement, now});
    QList<com::BeaconAnnouncement> held;
    qint64 nextDrop = -1;
    for (auto it = m_heard.begin(); it != m_heard.end();) {
        const qint64 dropAt = it->second + kHoldMs;
        if (dropAt <= now) {
            it = m_heard.erase(it);
            continue;
        }
        held.append(it->first);
        nextDrop = nextDrop < 0 ? dropAt : qMin(nextDrop, dropAt);
        ++it;
    }
    if (nextDrop >= 0)
        m_holdTimer->start(int(nextDrop - now));
    Q_EMIT listed(describe(held));
}
