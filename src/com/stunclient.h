#pragma once

// Finds this computer's public UDP address and the kind of NAT in front of it by sending
// STUN binding requests (RFC 5389) from the program's UDP socket to the configured STUN
// servers. Lives on the thread of its UdpTransport.
//
// The NAT kind follows from the answers: the mapped address is one of our own -> no NAT;
// two servers see the same public address and port -> the mapping does not depend on the
// destination (a cone NAT: others can reach us at that address once we sent to them);
// they see different ones -> symmetric (only a relay gets through); no answer -> unknown.
// Only answers to our own outstanding requests from the server asked are taken; anything
// else is left to the other STUN users of the socket.

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QStringList>

class QTimer;

namespace com {

class UdpTransport;

enum class NatKind { Unknown, None, Cone, Symmetric };

class StunClient : public QObject
{
    Q_OBJECT

public:
    explicit StunClient(UdpTransport *transport, QObject *parent = nullptr);

    // "host:port" entries (port 3478 when left out); the first two that resolve are asked.
    void setServers(const QStringList &servers) { m_servers = servers; }
    QStringList servers() const { return m_servers; }
    // Retransmission: first wait, doubled each time, and the number of sends.
    void setRetransmission(int firstMs, int attempts);

    // Asks again; finished() follows once every server answered or gave up.
    void start();
    bool isRunning() const { return m_running; }

    NatKind natKind() const { return m_kind; }
    // The public address and port others see (null before an answer).
    QHostAddress publicAddress() const { return m_publicAddress; }
    quint16 publicPort() const { return m_publicPort; }

    static QString natKindName(NatKind kind);

Q_SIGNALS:
    void finished();

private:
    struct Query
    {
        QHostAddress server;
        quint16 serverPort = 0;
        QByteArray transactionId;
        int sent = 0;
        int waitMs = 0;
        qint64 nextAt = 0;
        bool done = false;
        bool answered = false;
        QHostAddress mapped;
        quint16 mappedPort = 0;
    };

    void resolved(const QHostAddress &address, quint16 port);
    void send(Query &query);
    void onTimer();
    bool onStun(const QByteArray &datagram, const QHostAddress &from, quint16 port);
    void conclude();

    QPointer<UdpTransport> m_transport;
    QStringList m_servers;
    int m_firstWaitMs = 500;
    int m_attempts = 5;
    QList<Query> m_queries;
    int m_pendingLookups = 0;
    int m_generation = 0;
    bool m_running = false;
    QTimer *m_timer = nullptr;
    QElapsedTimer m_clock;
    NatKind m_kind = NatKind::Unknown;
    QHostAddress m_publicAddress;
    quint16 m_publicPort = 0;
};

} // namespace com
