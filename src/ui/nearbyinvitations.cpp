#include "ui/nearbyinvitations.h"

#include "com/lanbeacon.h"

#include <QVariantMap>

#include <algorithm>

NearbyInvitations::NearbyInvitations(com::LanBeacon *beacon)
    : m_beacon(beacon)
{
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

QVariantList NearbyInvitations::describe(const QList<com::BeaconNeighbour> &neighbours)
{
    QList<com::BeaconAnnouncement> computers;
    for (const com::BeaconNeighbour &n : neighbours) {
        // A computer that restarted announces under a new id until the old one expires.
        const bool known = std::any_of(computers.cbegin(), computers.cend(), [&n](const com::BeaconAnnouncement &a) {
            return a.name == n.announcement.name && a.deviceType == n.announcement.deviceType;
        });
        if (!known)
            computers.append(n.announcement);
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
    if (m_beacon)
        Q_EMIT listed(describe(m_beacon->neighbours()));
}
