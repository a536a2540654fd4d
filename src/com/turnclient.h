#pragma once

// TURN client (RFC 5766/8656) over the program's UDP socket, or over TLS: one allocation on the
// configured relay server with long-term credentials, kept alive by Refresh; permissions
// for the peers' addresses; a channel bound to each peer we talk with (Send indications
// until it is). What the relay delivers goes to the UdpTransport as relayed datagrams,
// where the KCP sessions of the "turn" transport take them. Lives on the transport's thread.
//
// Only answers to our own outstanding requests, from the server, are taken, and with
// credentials in use only those whose MESSAGE-INTEGRITY matches; data indications and
// channel data are taken from the server's address only. Whatever else arrives is left to
// others (and finally dropped by the transport).
//
// A server that restarted has forgotten the allocation without a word. It is noticed at once:
// a request answered 437 (no allocation for us), a refresh without answer, a TLS connection
// that ends, or relayed traffic that goes out while nothing comes back (then a refresh asks
// the server). The client then emits lost() and allocates again. An Allocate answered 437 means
// the server still holds an allocation for our address and port (a program that ended without
// releasing it): the client moves to a fresh local port of its own and allocates from there.

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSslCertificate>
#include <QString>

class QSslSocket;
class QUdpSocket;
class QTimer;

namespace com {

class UdpTransport;

namespace stun {
struct Message;
}

class TurnClient : public QObject
{
    Q_OBJECT

public:
    // Lifetimes the server grants are refreshed at these intervals (tests shorten them).
    struct Timings
    {
        int firstRetransmitMs = 500;
        int attempts = 6;
        int permissionRefreshMs = 240000;   // permissions last 300 s
        int channelRefreshMs = 480000;      // channels last 600 s
        // Relayed datagrams went out for this long with nothing from the server: ask it.
        int silenceProbeMs = 5000;
    };

    explicit TurnClient(UdpTransport *transport, QObject *parent = nullptr);
    ~TurnClient() override;

    void setServer(const QHostAddress &address, quint16 port);
    void setCredentials(const QString &username, const QString &password);
    // Over TLS (TCP) to the server instead of UDP; the server's certificate must verify
    // against the system's authorities or `caCertificates`.
    void setTls(bool tls, const QList<QSslCertificate> &caCertificates = QList<QSslCertificate>());
    bool isTls() const { return m_tls; }
    void setTimings(const Timings &timings) { m_timings = timings; }

    // Allocates (again); allocated() or failed() follows.
    void start();
    // Gives the allocation back (Refresh with lifetime 0), so that a program started again on
    // the same port gets a relay at once.
    void stop();

    bool isAllocated() const { return m_allocated; }
    QHostAddress relayedAddress() const { return m_relayed; }
    quint16 relayedPort() const { return m_relayedPort; }
    QHostAddress mappedAddress() const { return m_mapped; }
    QHostAddress serverAddress() const { return m_server; }
    quint16 serverPort() const { return m_serverPort; }

    // Lets datagrams from this address in through the relay (kept until cleared).
    void permit(const QHostAddress &peer);
    // Sends a datagram to peer:port through the relay. False without an allocation.
    bool send(const QByteArray &datagram, const QHostAddress &peer, quint16 port);
    // Refreshes the allocation now (also done on its own before it expires).
    void refreshNow();

    int boundChannels() const;
    quint64 refreshes() const { return m_refreshes; }
    // The local port the server sees our requests come from: the transport's, or a fresh one
    // after the server refused the transport's (437).
    quint16 localPort() const;

Q_SIGNALS:
    void allocated();
    void failed(const QString &reason);
    // The allocation is gone (the server forgot it); a new one is on its way.
    void lost(const QString &reason);

private:
    enum Kind { KindAllocate, KindRefresh, KindPermission, KindChannel };
    struct Pending
    {
        Kind kind;
        QByteArray raw;
        int sent = 0;
        int waitMs = 0;
        qint64 nextAt = 0;
        QHostAddress peer;
        quint16 peerPort = 0;
        quint16 channel = 0;
        QList<QHostAddress> peers;
    };
    struct Channel
    {
        quint16 number = 0;
        bool bound = false;
        qint64 boundAt = 0;
    };

    static QString endpointKey(const QHostAddress &address, quint16 port);
    void request(Kind kind, stun::Message message, Pending context);
    void authenticate(stun::Message &message) const;
    void sendRaw(const QByteArray &raw);
    bool sendToServer(const QByteArray &bytes);
    void startTls();
    void onTlsReadyRead();
    void onTick();
    bool onStun(const QByteArray &datagram, const QHostAddress &from, quint16 port);
    bool onChannelData(const QByteArray &datagram, const QHostAddress &from, quint16 port);
    void onResponse(const Pending &pending, const stun::Message &response);
    void createPermissions(const QList<QHostAddress> &peers);
    void bindChannel(const QHostAddress &peer, quint16 port);
    void fail(const QString &reason);
    void loseAllocation(const QString &reason);
    void useFreshPort();
    void onFreshPortReadable();
    void probeIfSilent(qint64 now);

    QPointer<UdpTransport> m_transport;
    Timings m_timings;
    bool m_tls = false;
    QList<QSslCertificate> m_caCertificates;
    QSslSocket *m_tlsSocket = nullptr;
    QByteArray m_tlsIn;
    QUdpSocket *m_freshSocket = nullptr;   // after a 437 on Allocate: our own port
    QHostAddress m_server;
    quint16 m_serverPort = 0;
    QString m_username;
    QString m_password;
    QString m_realm;
    QByteArray m_nonce;
    QByteArray m_key;
    int m_authRetries = 0;

    bool m_allocated = false;
    QHostAddress m_relayed;
    quint16 m_relayedPort = 0;
    QHostAddress m_mapped;
    int m_lifetimeS = 600;
    qint64 m_allocatedAt = 0;
    qint64 m_permissionsAt = 0;
    quint64 m_refreshes = 0;
    qint64 m_lastFromServer = 0;
    qint64 m_lastRelayedOut = 0;
    qint64 m_lastProbe = 0;

    QSet<QString> m_permitted;   // addresses as text
    QHash<QString, Channel> m_channels;            // peer endpoint -> channel
    QHash<quint16, QPair<QHostAddress, quint16>> m_channelPeers;
    quint16 m_nextChannel = 0x4000;
    QHash<QByteArray, Pending> m_pending;
    QTimer *m_timer = nullptr;
    QElapsedTimer m_clock;
};

} // namespace com
