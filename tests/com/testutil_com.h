#pragma once

// Helpers for the link tests: identities, well-formed messages, and a relay that sits
// between a client and a listener to record, corrupt or inject bytes.

#include "com/hub.h"
#include "crypto/crypto.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <vector>

namespace testutil {

// Timings that leave a link alone: only the ping sent when it comes up, no watchdog.
com::LinkTimings quietTimings();

// A hub with a fresh identity and the given timings, listening on a port the system picks.
com::Hub *makeHub(QObject *parent, const com::LinkTimings &timings = com::LinkTimings());

// A complete term-stream message: header (length, class, code, id) and one blob payload.
std::vector<unsigned char> makeMessage(std::uint8_t msgClass, std::uint16_t id, const QByteArray &payload);
// The payload of such a message; empty and ok=false when it does not parse.
QByteArray messagePayload(const std::vector<unsigned char> &message, std::uint16_t *id, bool *ok);

// Forwards one connection to 127.0.0.1:targetPort and lets the test meddle with the
// client-to-server direction.
class TamperRelay : public QObject
{
    Q_OBJECT

public:
    explicit TamperRelay(quint16 targetPort, QObject *parent = nullptr);
    ~TamperRelay() override;

    quint16 port() const { return m_server.serverPort(); }

    QByteArray clientToServer() const { return m_c2s; }
    QByteArray serverToClient() const { return m_s2c; }
    QByteArray lastClientChunk() const { return m_lastChunk; }

    // Flips one byte at `offset` of the next chunk the client sends.
    void flipNextClientByte(int offset) { m_flipOffset = offset; }
    void injectToServer(const QByteArray &bytes);
    // Stops passing the server's bytes on and, soon after, reading them at all: the relay's
    // client then looks like a peer that has stopped reading.
    void pauseServerToClient();
    bool upstreamClosed() const { return m_upstreamClosed; }

private:
    void onNewConnection();
    void forwardClient();
    void forwardServer();

    quint16 m_target;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    QPointer<QTcpSocket> m_upstream;
    QByteArray m_pending;
    QByteArray m_c2s;
    QByteArray m_s2c;
    QByteArray m_lastChunk;
    int m_flipOffset = -1;
    bool m_upstreamClosed = false;
    bool m_paused = false;
};

} // namespace testutil
