#pragma once

// The program's one UDP socket. It carries the KCP sessions of the UDP and TURN transports
// (KcpSocket), the STUN client's requests and the TURN client's traffic, told apart by their
// first byte (com/udpwire.h). Lives on the thread of the connection manager ("ioThread").
//
// A datagram that belongs to nothing, does not parse or does not authenticate is dropped
// and counted (droppedDatagrams); nothing that arrives here can end a session except an
// authentic CLOSE or an authentic stream the link itself rejects. New sessions (an OPEN)
// go to the hub like accepted TCP connections, under the same handshake quotas, and at most
// kMaxSessions exist at once. Sessions whose link has not proven the other side yet hold
// at most kUnprovenSessionBytes received each and kUnprovenBudgetBytes together; what a
// large session held goes back to the system when it ends.

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

class QSocketNotifier;

namespace com {

class Hub;
class KcpSocket;

// Tuning of the KCP sessions; tests and the benchmark change it.
struct KcpTuning
{
    int mtu = 1400;           // whole datagram, our header and tag included
    int loopbackMtu = 65000;  // to this computer's own addresses, at most (loopbackMtu())
    int windowSegments = 1024;
    int intervalMs = 10;
    int fastResend = 2;
    int deadLinkLimit = 25;
};

class UdpTransport : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxSessions = 1024;
    static constexpr qint64 kUnprovenSessionBytes = 128 * 1024;
    static constexpr qint64 kUnprovenBudgetBytes = 2 * 1024 * 1024;
    // A session that held this much gives the freed memory back to the system when it ends.
    static constexpr qint64 kReturnMemoryBytes = 1024 * 1024;

    // Handler for STUN/TURN traffic: bytes, sender, sender port; true when it took it.
    using DatagramHandler = std::function<bool(const QByteArray &, const QHostAddress &, quint16)>;
    // Sends a datagram through the relay towards address:port; false when it cannot.
    using RelaySender = std::function<bool(const QByteArray &, const QHostAddress &, quint16)>;

    explicit UdpTransport(Hub *hub, QObject *parent = nullptr);
    ~UdpTransport() override;

    // Binds on every address: `port`, or one the system picks when that is taken (or 0).
    bool bind(quint16 port, const QHostAddress &address = QHostAddress::Any);
    bool isBound() const { return m_fd >= 0; }
    quint16 port() const { return m_port; }

    void setTuning(const KcpTuning &tuning) { m_tuning = tuning; }
    const KcpTuning &tuning() const { return m_tuning; }
    // Datagram size to this computer's own addresses: the largest only where the socket's
    // receive buffer holds many of them, as a burst that overflows it is lost whole.
    int loopbackMtu() const;
    // Segments in flight to this computer's own addresses: no more than half the receive
    // buffer holds, so that a receiver that falls behind for a moment loses none.
    int loopbackSendWindow() const;

    // A stream for the hub to dial with ("udp"), or one that goes through the relay ("turn").
    KcpSocket *createStream(bool relayed = false);

    // Each STUN message goes to the handlers in turn until one takes it; channel data (from
    // the TURN server) likewise. A handler lives as long as its owner.
    void addStunHandler(QObject *owner, DatagramHandler handler);
    void addChannelDataHandler(QObject *owner, DatagramHandler handler);
    void setRelaySender(RelaySender sender) { m_relaySender = std::move(sender); }

    bool sendDatagram(const QByteArray &datagram, const QHostAddress &address, quint16 port);
    // A datagram the relay delivered from address:port (a peer seen through the relay).
    void deliverRelayed(const QByteArray &datagram, const QHostAddress &address, quint16 port);

    int sessionCount() const { return m_sessions.size(); }
    quint64 droppedDatagrams() const { return m_dropped; }
    // Received bytes held by sessions whose other side is not proven yet.
    qint64 unprovenBytes() const { return m_unprovenBytes; }
    std::uint32_t clock() const { return std::uint32_t(m_clock.elapsed()); }

Q_SIGNALS:
    // A session of this transport came in and was handed to the hub.
    void incomingSession(com::KcpSocket *socket);

private:
    friend class KcpSocket;

    struct Key
    {
        QHostAddress address;
        quint16 port;
        std::uint32_t conv;
        bool relayed;
        bool operator==(const Key &o) const
        {
            return port == o.port && conv == o.conv && relayed == o.relayed && address == o.address;
        }
    };
    friend uint qHash(const Key &key, uint seed) { return qHash(key.address, seed) ^ key.port ^ key.conv ^ uint(key.relayed); }

    // A datagram of a received batch.
    struct Received
    {
        const char *data = nullptr;
        int size = 0;
        QHostAddress from;
        quint16 port = 0;
        bool whole = false;   // neither cut short nor from an address we cannot name
        QPointer<KcpSocket> tagAuthenticFor;
    };

    void onReadable();
    void receiveBatches();
    // Whether this thread is delivering a received batch, and the transports whose socket
    // waits until it is done.
    struct Delivery
    {
        bool running = false;
        std::vector<QPointer<UdpTransport>> waiting;
    };
    static Delivery &currentDelivery();
    // Sessions of this thread whose reader may still read from the receive buffers (they
    // keep what is left before the buffers are reused).
    static std::vector<QPointer<KcpSocket>> &batchViewers();
    void checkTagsAhead(Received *batch, int count);
    // `tagAuthenticFor`: the session under whose key the tag was found right already.
    void handle(const char *data, int size, const QHostAddress &from, quint16 port, bool relayed,
                const KcpSocket *tagAuthenticFor = nullptr);
    void handleOpen(const char *data, int size, const QHostAddress &from, quint16 port, bool relayed);
    bool registerSession(KcpSocket *socket, const QHostAddress &address, quint16 port);
    void unregisterSession(KcpSocket *socket, const QHostAddress &address, quint16 port);
    // The datagram is `data` followed by `tail`.
    bool sendPieces(const char *data, int size, const char *tail, int tailSize, const QHostAddress &address,
                    quint16 port);
    bool sendFor(const KcpSocket *socket, const char *data, int size, const char *tail = nullptr, int tailSize = 0);
    // A datagram in two pieces, as sendFor takes it.
    struct Datagram
    {
        const char *data;
        int size;
        const char *tail;
        int tailSize;
    };
    // Each of `datagrams` towards the session's peer, as sendFor would, in fewer system calls.
    void sendBatchFor(const KcpSocket *socket, const std::vector<Datagram> &datagrams);
    void drop() { ++m_dropped; }
    // What an unproven session holding `held` may hold after its next datagram.
    qint64 unprovenAllowance(qint64 held) const;
    void returnMemorySoon();

    Hub *m_hub = nullptr;
    int m_fd = -1;
    bool m_v6 = false;
    quint16 m_port = 0;
    int m_receiveBufferBytes = 0;
    QSocketNotifier *m_notifier = nullptr;
    QElapsedTimer m_clock;
    KcpTuning m_tuning;
    QHash<Key, QPointer<KcpSocket>> m_sessions;
    struct Handler
    {
        QPointer<QObject> owner;
        DatagramHandler handle;
    };
    bool dispatch(QList<Handler> &handlers, const char *data, int size, const QHostAddress &from, quint16 port);
    QList<Handler> m_stunHandlers;
    QList<Handler> m_channelHandlers;
    RelaySender m_relaySender;
    quint64 m_dropped = 0;
    qint64 m_unprovenBytes = 0;
    bool m_returnQueued = false;
};

} // namespace com
