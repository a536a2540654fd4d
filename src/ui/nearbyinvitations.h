#pragma once

// Carries the LAN beacon's list of computers with an open invitation from the network side to
// the window. The relay lives on the beacon's thread ("ioThread") and reads the beacon there;
// the list leaves that thread only as a copy in a queued signal, so no widget or QML item ever
// touches the beacon.

#include "com/lanbeacon.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QVariantList>

#include <functional>


class QTimer;

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

    // A computer stays listed this long after it was last heard: announcements get lost, and
    // a list that blinks moves what the user is about to click.
    static constexpr int kHoldMs = 60000;

    // One entry per computer: "name" (show as plain text) and "deviceType"; sorted by name.
    static QVariantList describe(const QList<com::BeaconAnnouncement> &announcements);

Q_SIGNALS:
    void listed(const QVariantList &computers);

private:
    explicit NearbyInvitations(com::LanBeacon *beacon);
    void list();

    QPointer<com::LanBeacon> m_beacon;
    QHash<QString, QPair<com::BeaconAnnouncement, qint64>> m_heard;   // by name and kind: last heard
    QElapsedTimer m_clock;
    QTimer *m_holdTimer = nullptr;
};
