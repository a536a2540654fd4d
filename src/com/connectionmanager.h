#pragma once

// The connection manager builds and owns the network side of the program. It is made on the
// GUI thread, moved to "ioThread" and started when that thread starts; everything it builds
// lives on that thread.
//
// start() builds, in this order: the LAN invitation beacon (com/lanbeacon.h; off with
// "lanbeacon=false" in the settings group "com"), the proxy lookup, the watch on this
// computer's network (com/networkwatch.h), the hub with its TCP listener on
// "--com-listen-port" (default 60391), the UDP transport on the same port number (another
// when that one is taken) with STUN and the TURN relay (com/nattraversal.h), the onion
// service (com/torservice.h; on with "tor=true" in the settings group "com"), then every step the upper layers registered with
// addStartStep (peer factory and loader, own peer, authenticator, cryptography object, job
// model, in the order they were added), and then emits started() once.

#include "com/hub.h"
#include "db/dto.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <vector>

class IDatabase;
namespace com {
class LanBeacon;
class NetworkWatch;
class TorService;
class NatTraversal;
class UdpTransport;
}
class Proxy;

class ConnectionManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject *peerModel READ peerModel WRITE setPeerModel NOTIFY peerModelChanged)

public:
    static constexpr int kDefaultListenPort = 60391;

    explicit ConnectionManager(IDatabase *database = nullptr, QObject *parent = nullptr);
    ~ConnectionManager() override;

    // The single connection manager, null before it is made and after it is gone.
    static ConnectionManager *instance();

    IDatabase *database() const { return m_database; }

    // The peer model (set by the peers layer; a PeerModel, seen here as a QObject).
    QObject *peerModel() const { return m_peerModel; }
    void setPeerModel(QObject *model);

    // Runs `step` on "ioThread" during start(), after the hub and after every step added
    // before it. Steps added while start() runs still run before started().
    void addStartStep(std::function<void()> step);

    // The port to listen on; before start(). Negative (the default) reads
    // "--com-listen-port", else 60391; 0 lets the system pick.
    void setListenPort(int port) { m_configuredPort = port; }
    // The bound port once listening, else the port that will be tried.
    quint16 listenPort() const { return m_listenPort.load(); }

    // The installation's signing key. Unless one was set, start() loads (or makes and
    // stores) the own key pair of the database.
    void setIdentity(const crypto::SigningKeyPair &identity);
    void setLinkTimings(const com::LinkTimings &timings);
    void setListenRetryInterval(int ms);

    com::Hub *hub() const { return m_hub; }   // null before start()
    com::UdpTransport *udp() const { return m_udp; }   // null before start()
    com::NatTraversal *nat() const { return m_nat.load(); }   // null before start()
    com::LanBeacon *lanBeacon() const { return m_beacon; }   // null before start()
    com::NetworkWatch *networkWatch() const { return m_networkWatch; }   // null before start()
    Proxy *proxy() const { return m_proxy; }

    bool isStarted() const { return m_started; }
    bool isNetworkEnabled() const { return m_networkEnabled.load(); }

    // This computer's own transports: "tcp" and "udp" on each non-loopback interface address
    // with their ports, the public "udp" address STUN found and the TURN relay's "turn"
    // address. Safe to call from any thread.
    std::vector<TransportDto> localTransports() const;
    // True while localTransports() still waits for the relay's first answer (it comes within
    // a second from a relay that works); an invitation made now would leave it out. Any thread.
    bool isAnnouncementPending() const;

    // The version of the tor that runs the onion service, empty while there is none.
    // Safe to call from any thread.
    QString torVersion() const;
    // Whether the onion service is off because the configured control port could not prove
    // it is tor (com/torservice.h). Safe to call from any thread.
    bool isTorControlPortRefused() const;
    com::TorService *tor() const { return m_tor.load(); }   // null before start()
    // Before start(): the LAN beacon and the onion service on or off whatever the settings
    // say (tests keep the network side to themselves).
    void setLanBeaconEnabled(bool enabled) { m_beaconForced = enabled ? 1 : 0; }
    void setOnionEnabled(bool enabled) { m_onionForced = enabled ? 1 : 0; }

public Q_SLOTS:
    void start();
    // Off: stop listening on the network and close every established link to another
    // computer (the local computer's own link stays). On: listen again. May be called from
    // any thread; the switch itself always happens on the manager's thread.
    void setNetworkEnabled(bool enabled);

Q_SIGNALS:
    void started();
    void peerModelChanged();

private:
    static ConnectionManager *s_instance;

    void loadIdentity();
    QList<QHostAddress> relayedPeerAddresses() const;
    void startBeacon();
    void startTor();
    void updateBeacon();

    IDatabase *m_database = nullptr;
    QPointer<QObject> m_peerModel;
    Proxy *m_proxy = nullptr;
    com::Hub *m_hub = nullptr;
    std::vector<std::function<void()>> m_steps;
    crypto::SigningKeyPair m_identity;
    com::LinkTimings m_timings;
    int m_retryMs = 5000;
    int m_configuredPort = -1;
    std::atomic<quint16> m_listenPort{0};
    std::atomic<quint16> m_udpPort{0};
    com::UdpTransport *m_udp = nullptr;
    std::atomic<com::NatTraversal *> m_nat{nullptr};
    com::LanBeacon *m_beacon = nullptr;
    com::NetworkWatch *m_networkWatch = nullptr;
    std::atomic<com::TorService *> m_tor{nullptr};
    int m_beaconForced = -1;
    int m_onionForced = -1;
    std::atomic<bool> m_networkEnabled{true};
    std::atomic<bool> m_started{false};   // read by other threads: the window may be made meanwhile
    bool m_starting = false;
};
