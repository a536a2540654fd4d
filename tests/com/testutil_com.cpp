#include "testutil_com.h"

#include "com/termstream.h"

namespace testutil {

com::LinkTimings quietTimings()
{
    com::LinkTimings t;
    t.handshakeMs = 10000;
    t.pingIntervalMs = 600000;
    t.silenceMs = 600000;
    return t;
}

com::Hub *makeHub(QObject *parent, const com::LinkTimings &timings)
{
    auto *hub = new com::Hub(parent);
    hub->setIdentity(crypto::generateSigningKeyPair());
    hub->setTimings(timings);
    hub->setListenRetryInterval(50);
    com::Greeting greeting;
    greeting.attributes.insert(com::greetingAttrName(), QStringLiteral("test"));
    greeting.fsoVersions = {3, 2, 1};
    hub->setLocalGreeting(greeting);
    hub->listen(0);
    return hub;
}

std::vector<unsigned char> makeMessage(std::uint8_t msgClass, std::uint16_t id, const QByteArray &payload)
{
    std::vector<unsigned char> buffer(com::kTermHeaderBytes + 5 + std::size_t(payload.size()));
    com::TermStreamWriter w(buffer);
    com::writeMessageHeader(w, msgClass, 0x11, id);
    w.writeBlob(payload.constData(), std::size_t(payload.size()));
    com::finishMessage(w);
    buffer.resize(w.size());
    return buffer;
}

QByteArray messagePayload(const std::vector<unsigned char> &message, std::uint16_t *id, bool *ok)
{
    com::TermStreamReader r(message);
    com::MessageHeader header;
    const std::uint8_t *bytes = nullptr;
    std::size_t length = 0;
    *ok = com::readMessageHeader(r, header) == com::TermOk && header.length == message.size()
        && r.readBlobRef(bytes, length) == com::TermOk && r.remaining() == 0;
    if (!*ok)
        return QByteArray();
    *id = header.id;
    return QByteArray(reinterpret_cast<const char *>(bytes), int(length));
}

TamperRelay::TamperRelay(quint16 targetPort, QObject *parent)
    : QObject(parent)
    , m_target(targetPort)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TamperRelay::onNewConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

TamperRelay::~TamperRelay()
{
    // The sockets outlive this object's members; their last signals must not reach it.
    if (m_upstream)
        m_upstream->disconnect(this);
    if (m_client)
        m_client->disconnect(this);
}

void TamperRelay::onNewConnection()
{
    QTcpSocket *client = m_server.nextPendingConnection();
    if (m_client) {   // one connection per relay
        client->abort();
        return;
    }
    m_client = client;
    m_upstream = new QTcpSocket(this);
    connect(m_client, &QTcpSocket::readyRead, this, &TamperRelay::forwardClient);
    connect(m_upstream, &QTcpSocket::readyRead, this, &TamperRelay::forwardServer);
    connect(m_upstream, &QTcpSocket::connected, this, [this] {
        if (!m_pending.isEmpty())
            m_upstream->write(m_pending);
        m_pending.clear();
    });
    connect(m_upstream, &QTcpSocket::disconnected, this, [this] {
        m_upstreamClosed = true;
        if (m_client)
            m_client->disconnectFromHost();
    });
    connect(m_client, &QTcpSocket::disconnected, this, [this] {
        if (m_upstream)
            m_upstream->disconnectFromHost();
    });
    m_upstream->connectToHost(QHostAddress::LocalHost, m_target);
}

void TamperRelay::forwardClient()
{
    QByteArray chunk = m_client->readAll();
    if (chunk.isEmpty())
        return;
    if (m_flipOffset >= 0 && m_flipOffset < chunk.size()) {
        chunk[m_flipOffset] = char(chunk[m_flipOffset] ^ 0x01);
        m_flipOffset = -1;
    }
    m_c2s += chunk;
    m_lastChunk = chunk;
    injectToServer(chunk);
}

void TamperRelay::injectToServer(const QByteArray &bytes)
{
    if (m_upstream && m_upstream->state() == QAbstractSocket::ConnectedState)
        m_upstream->write(bytes);
    else
        m_pending += bytes;
}

void TamperRelay::pauseServerToClient()
{
    m_paused = true;
    if (m_upstream)
        m_upstream->setReadBufferSize(64 * 1024);
}

void TamperRelay::forwardServer()
{
    if (m_paused)
        return;
    const QByteArray chunk = m_upstream->readAll();
    m_s2c += chunk;
    if (m_client)
        m_client->write(chunk);
}

} // namespace testutil
