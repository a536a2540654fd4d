#pragma once

// Carries the LAN beacon's list of computers with an open invitation from the network side to
// the window. The relay lives on the beacon's thread ("ioThread") and reads the beacon there;
// the list leaves that thread only as a copy in a queued signal, so no widget or QML item ever
// touches the beacon.

#include <QList>
#include <QObject>
#include <QPointer>
#include <QVariantList>

#include <functional>

namespace com {
class LanBeacon;
struct BeaconNeighbour;
} // namespace com

class NearbyInvitations : public QObject
{
    Q_OBJECT

public:
    // At most this many are offered: a list to glance at, not to scroll.
    static constexpr int kMaxShown = 6;

    // Called on the GUI thread: makes a relay, hands it to the beacon's thread (it ends with
    // the beacon) and calls `onListed` on `receiver`'s thread with the current list and with
    // every change. The connection ends with `receiver`.
    static void attach(com::LanBeacon *beacon, QObject *receiver,
                       const std::function<void(const QVariantList &)> &onListed);

    // One entry per computer: "name" (show as plain text) and "deviceType"; sorted by name.
    static QVariantList describe(const QList<com::BeaconNeighbour> &neighbours);

Q_SIGNALS:
    void listed(const QVariantList &computers);

private:
    explicit NearbyInvitations(com::LanBeacon *beacon);
    void list();

    QPointer<com::LanBeacon> m_beacon;
};
