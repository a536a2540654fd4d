#pragma once

// One session of the UDP transport, seen as a TCP socket: a link reads and writes it
// exactly like the TCP connection it otherwise has, while underneath its bytes travel as
// KCP segments in authenticated datagrams (com/udpwire.h) over the program's one UDP
// socket, directly or through the TURN relay. Lives on the thread of its UdpTransport.
//
// connectToHost() sends OPEN until ACCEPT arrives, then reports connected(); incoming
// sessions are made connected by the transport. disconnectFromHost() lets what was
// written be acknowledged, then sends CLOSE; close()/abort() send CLOSE at once. A CLOSE
// from the other side, or a segment sent over and over without answer, ends the session
// (disconnected() / errorOccurred()).
//
// Until the link on top has proven who the other side is (setPeerProven), a session is a
// stranger's: what it holds received counts against the transport's small budget for all
// such sessions (UdpTransport::kUnprovenBudgetBytes). And until an authentic datagram has
// come back, the other side may be a forged address: it gets no CLOSE, so that an OPEN
// never draws more bytes than it carried (one ACCEPT of the same size).

#include "com/kcp.h"
#include "com/udpwire.h"
#include "crypto/crypto.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

#include <array>
#include <memory>
#include <utility>
#include <vector>

class QTimer;

namespace com {

class UdpTransport;

class KcpSocket : public QTcpSocket
{
    Q_OBJECT

public:
    ~KcpSocket() override;

    using QTcpSocket::connectToHost;
    void connectToHost(const QString &hostName, quint16 port, OpenMode mode = ReadWrite,
                       NetworkLayerProtocol protocol = AnyIPProtocol) override;
    void disconnectFromHost() override;
    void close() override;
    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override;
    bool isSequential() const override { return true; }

    std::uint32_t conv() const { return m_conv; }
    // True when the datagrams go through the TURN relay rather than straight to the peer.
    bool isRelayed() const { return m_relayed; }
    // The KCP layer's smoothed round-trip time, 0 before the first acknowledgement.
    int rttMs() const { return m_kcp ? m_kcp->smoothedRttMs() : 0; }
    // The link proved the other side's key: the session may hold as much as any.
    void setPeerProven();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    friend class UdpTransport;

    KcpSocket(UdpTransport *transport, bool relayed);

    void dial(const QHostAddress &address, quint16 port);
    // Server side: takes an OPEN; the transport sends m_accept once the hub took the stream.
    bool answer(const QHostAddress &address, quint16 port, std::uint32_t conv, const QByteArray &remoteKey);
    void onHandshake(udpwire::Kind kind, const QByteArray &remoteKey);
    // `lasting`: the datagram stays where it is until endOfBatch().
    void onSessionDatagram(const char *data, int size, bool tagChecked, bool lasting);
    void takeInOrder(const char *data, int size);
    void keep(const char *data, int size);
    void keepViews();
    // The transport is about to reuse the buffers of the batch just taken: the reader reads
    // now, and what it leaves is kept.
    void endOfBatch();
    void startKcp(const crypto::SessionKeys &keys);
    void sendOpen();
    void queueFlush();
    void afterBurst();
    // Lets KCP send what is due (flushNow: whatever the windows allow), and sends it.
    void runKcp(bool flushNow);
    void sendOutgoing();
    void tellReader();
    void tick();
    void armTimer();
    void reportAcknowledged();
    void end(bool notifyPeer);
    void sendClose();
    void fail(SocketError error, const QString &reason);
    // Brings the transport's count of what unproven sessions hold up to date.
    void account();

    QPointer<UdpTransport> m_transport;
    bool m_relayed = false;
    std::uint32_t m_conv = 0;
    std::unique_ptr<Kcp> m_kcp;
    udpwire::Sealer m_sealer;
    struct Outgoing
    {
        char *payload;   // the KCP datagram, our header's room before it
        int size;
    };
    std::vector<Outgoing> m_outgoing;   // handed over by the flush under way
    std::vector<std::array<char, udpwire::kTagBytes>> m_tags;
    udpwire::Opener m_opener;
    crypto::KxKeyPair m_kx;
    QByteArray m_remoteKey;
    QByteArray m_accept;   // the ACCEPT we answered with, repeated for a repeated OPEN
    QTimer *m_timer = nullptr;
    QTimer *m_openTimer = nullptr;
    std::vector<char> m_in;    // received in order; from m_inPos on not read yet
    std::size_t m_inPos = 0;
    qint64 m_inBytes = 0;
    bool m_inUsedSinceTick = false;
    // In-order bytes after m_in's that still lie in the transport's batch: a reader told at
    // its end reads them without their being copied here first.
    std::vector<std::pair<const char *, int>> m_views;
    qint64 m_viewBytes = 0;
    const char *m_viewableFrom = nullptr;   // the payload being taken, while it may be viewed
    const char *m_viewableTo = nullptr;
    qint64 m_reportedPending = 0;
    bool m_flushQueued = false;
    bool m_freshData = false;   // received in order since the reader was last told
    bool m_draining = false;
    bool m_registered = false;
    bool m_answered = false;   // an authentic datagram (or, dialling, the ACCEPT) came back
    bool m_proven = false;
    qint64 m_accounted = 0;    // counted as held by an unproven session
    qint64 m_mostHeld = 0;
};

} // namespace com
