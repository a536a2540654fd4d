#pragma once

// The LAN invitation beacon: while this computer has open invitations it says so to the
// local network (UDP port 6009, multicast group 239.255.255.212), and it lists the other
// computers that do, so the invitation dialog can offer them. Lives on the thread of the
// connection manager ("ioThread").
//
// An announcement carries only what anyone on the network may see: a random id of this
// run, the computer's name, its device type and its TCP and UDP ports; never an invitation
// code, password or key. Nothing is done with a neighbour but listing it.
//
//   "NSKB" | u8 version (1) | sender id (16) | u16 tcp port | u16 udp port | u8 device type
//   | u8 name length (at most 63) | name, UTF-8                       (integers little-endian)
//
// Hostile input costs bounded memory and time: datagrams of another size or shape are
// dropped, one sender address is heard at most once per kMinSenderGapMs, at most
// kMaxNeighbours are listed (the stalest make room), and one turn of the event loop reads at
// most kMaxDatagramsPerTurn datagrams.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QTimer;
class QUdpSocket;

namespace com {

struct BeaconAnnouncement
{
    QString name;
    quint8 deviceType = 0;
    quint16 tcpPort = 0;
    quint16 udpPort = 0;
};

struct BeaconNeighbour
{
    QByteArray senderId;
    QHostAddress address;
    BeaconAnnouncement announcement;
    qint64 lastSeenMs = 0;
};

class LanBeacon : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 kPort = 6009;
    static constexpr int kMaxNeighbours = 64;
    static constexpr int kMaxNameBytes = 63;
    static constexpr int kMinSenderGapMs = 500;
    static constexpr int kMaxDatagramsPerTurn = 256;
    static QHostAddress group() { return QHostAddress(QStringLiteral("239.255.255.212")); }

    explicit LanBeacon(QObject *parent = nullptr);
    ~LanBeacon() override;

    // Binds the port (shared with other programs) and joins the group on every interface
    // that can multicast. False, with a log line, when the port cannot be bound.
    bool start(quint16 port = kPort);
    bool isStarted() const;
    void setAnnouncement(const BeaconAnnouncement &announcement) { m_announcement = announcement; }
    // Announces every announceMs while on (the first at once).
    void setAnnouncing(bool on);
    bool isAnnouncing() const { return m_announcing; }
    void setIntervals(int announceMs, int expireMs);

    QList<BeaconNeighbour> neighbours() const;
    quint64 ignoredDatagrams() const { return m_ignored; }

    static QByteArray encode(const QByteArray &senderId, const BeaconAnnouncement &announcement);
    static bool decode(const QByteArray &datagram, QByteArray *senderId, BeaconAnnouncement *announcement);

Q_SIGNALS:
    void neighboursChanged();

private:
    void announce();
    void onReadyRead();
    void take(const QByteArray &datagram, const QHostAddress &from);
    // This computer's own program under another id (a run still ending as the next one
    // starts): an address of this computer and this program's own port. Its addresses are
    // looked up every few seconds at most, whatever arrives.
    bool isOwnProgram(const BeaconAnnouncement &announcement, const QHostAddress &from);
    void expire();

    QUdpSocket *m_socket = nullptr;
    QTimer *m_announceTimer = nullptr;
    QTimer *m_expireTimer = nullptr;
    QElapsedTimer m_clock;
    QByteArray m_id;
    quint16 m_port = kPort;
    BeaconAnnouncement m_announcement;
    bool m_announcing = false;
    int m_expireMs = 10000;
    QHash<QByteArray, BeaconNeighbour> m_neighbours;
    QHash<QString, qint64> m_lastHeard;   // sender address -> clock
    QList<QHostAddress> m_ownAddresses;
    qint64 m_ownAddressesAt = -1;         // clock when last looked up
    quint64 m_ignored = 0;
    bool m_readQueued = false;
};

} // namespace com
