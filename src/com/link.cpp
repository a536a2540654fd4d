#include "com/link.h"

#include "app/base/log.h"
#include "com/descriptorstream.h"
#include "com/hub.h"
#include "com/kcpsocket.h"
#include "com/termstream.h"
#include "db/dto.h"

#include <QCryptographicHash>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <climits>
#include <cstring>
#include <sys/socket.h>

namespace com {

namespace {

const char kMagic[4] = {'N', 'U', 'S', 'K'};
constexpr int kNonceBytes = 32;
constexpr int kPacketOverhead = crypto::kSessionHeaderBytes + crypto::kSessionTagBytes;
// The smallest packet after the hellos carries at least a message header.
constexpr int kMinPacketBytes = kPacketOverhead + int(kTermHeaderBytes);
constexpr int kReadChunk = 1 << 20;
constexpr int kReadsPerTurn = 4;
constexpr int kWriteBatchBytes = 1024 * 1024;
constexpr int kOutReserveBytes = kWriteBatchBytes + 128 * 1024;
// Buffers that grew past this for a large message are given back afterwards.
constexpr int kKeepBufferBytes = 2 * kWriteBatchBytes;
// A message handed over at least this large is kept and sealed from where it lies.
constexpr int kKeepToSealBytes = 16 * 1024;
// Frames opened together at most; their plaintexts are held until all are delivered.
constexpr int kMaxOpenBatch = 64;

bool isLoopbackHost(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);   // also unwraps ::ffff:a.b.c.d
    return v4 ? QHostAddress(ip4).isLoopback() : address.isLoopback();
}

QByteArray sha256(const QByteArray &a, const QByteArray &b = QByteArray(),
                  const QByteArray &c = QByteArray(), const QByteArray &d = QByteArray())
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(a);
    h.addData(b);
    h.addData(c);
    h.addData(d);
    return h.result();
}

// The tag binds a hello to the server's public key: see the wire format.
QByteArray helloTag(const QByteArray &helloBody, const QByteArray &serverKey)
{
    return crypto::keyedHash(helloBody, serverKey, kLinkHelloTagBytes);
}

QByteArray makeHello(const QByteArray &ephemeralPublicKey, const QByteArray &serverKey)
{
    QByteArray hello;
    hello.reserve(kLinkHelloBytes);
    hello.append(kMagic, 4);
    hello.append(char(kLinkProtocolVersion));
    hello.append(ephemeralPublicKey);
    hello.append(crypto::randomBytes(kNonceBytes));
    hello.append(helloTag(hello, serverKey));
    return hello;
}

bool helloTagMatches(const QByteArray &hello, const QByteArray &serverKey)
{
    const int body = kLinkHelloBytes - kLinkHelloTagBytes;
    const QByteArray expected = helloTag(hello.left(body), serverKey);
    if (expected.size() != kLinkHelloTagBytes)
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < kLinkHelloTagBytes; ++i)
        diff |= static_cast<unsigned char>(expected.at(i) ^ hello.at(body + i));
    return diff == 0;
}

QByteArray serverAuthText(const QByteArray &transcript)
{
    return QByteArrayLiteral("nusk-link-1 server") + transcript;
}

QByteArray clientAuthText(const QByteArray &transcript, const QByteArray &serverKey)
{
    return QByteArrayLiteral("nusk-link-1 client") + transcript + serverKey;
}

QByteArray serverConfirmText(const QByteArray &transcript, const QByteArray &serverKey, const QByteArray &clientKey)
{
    return QByteArrayLiteral("nusk-link-1 server confirm") + transcript + serverKey + clientKey;
}

QByteArray bindingOf(const QByteArray &transcript, const QByteArray &serverKey, const QByteArray &clientKey)
{
    return sha256(QByteArrayLiteral("nusk-link-1 binding"), transcript, serverKey, clientKey);
}

// Reads a key and a signature blob and insists that nothing follows.
bool readAuthBody(const QByteArray &plain, QByteArray *key, QByteArray *signature)
{
    TermStreamReader r(reinterpret_cast<const std::uint8_t *>(plain.constData()), std::size_t(plain.size()));
    MessageHeader header;
    const std::uint8_t *k = nullptr, *s = nullptr;
    std::size_t kn = 0, sn = 0;
    if (readMessageHeader(r, header) != TermOk || r.readBlobRef(k, kn) != TermOk
        || r.readBlobRef(s, sn) != TermOk || r.remaining() != 0
        || kn != std::size_t(crypto::kSignPublicKeyBytes) || sn != std::size_t(crypto::kSignatureBytes))
        return false;
    *key = QByteArray(reinterpret_cast<const char *>(k), int(kn));
    *signature = QByteArray(reinterpret_cast<const char *>(s), int(sn));
    return true;
}

} // namespace

// Marks a call that runs inside one of the socket's own signals, so that a link deleted
// from there leaves its socket alive until the socket has returned.
struct Link::SocketSignalScope
{
    QPointer<Link> link;
    explicit SocketSignalScope(Link *l) : link(l) { ++l->m_inSocketSignal; }
    ~SocketSignalScope()
    {
        if (link)
            --link->m_inSocketSignal;
    }
};

Link::Link(QTcpSocket *socket, bool outgoing, Hub *hub)
    : QObject(hub)
    , m_hub(hub)
    , m_socket(socket)
    , m_outgoing(outgoing)
{
    m_clock.start();
    socket->setParent(this);

    m_handshakeTimer = new QTimer(this);
    m_handshakeTimer->setSingleShot(true);
    connect(m_handshakeTimer, &QTimer::timeout, this, [this] { fail(QStringLiteral("handshake timed out")); });
    m_pingTimer = new QTimer(this);
    connect(m_pingTimer, &QTimer::timeout, this, &Link::sendPing);
    m_watchdog = new QTimer(this);
    m_watchdog->setSingleShot(true);
    connect(m_watchdog, &QTimer::timeout, this, [this] { fail(QStringLiteral("link silent for too long")); });

    connectSocket();
    m_handshakeTimer->start(hub->timings().handshakeMs);
}

void Link::connectSocket()
{
    connect(m_socket, &QTcpSocket::readyRead, this, &Link::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        SocketSignalScope scope(this);
        m_refused = m_outgoing && m_step == StepAwaitServerConfirm;
        fail(hangUpReason(QStringLiteral("connection closed by peer")));
    });
    connect(m_socket, &QAbstractSocket::errorOccurred, this, [this] {
        SocketSignalScope scope(this);
        m_refused = m_outgoing && m_step == StepAwaitServerConfirm;
        fail(hangUpReason(m_socket->errorString()));
    });
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this](qint64 bytes) {
        SocketSignalScope scope(this);
        Q_EMIT bytesWritten(bytes);
    });
}

Link::~Link()
{
    // Destroyed with its hub (or by a receiver of its signals): end quietly, nobody is left
    // to hear closed().
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        if (m_inSocketSignal > 0) {
            // The socket is still inside the signal that led here; it must outlive it.
            m_socket->setParent(nullptr);
            m_socket->deleteLater();
        }
    }
    if (m_stream) {
        m_stream->disconnect(this);
        m_stream->abort();
        if (m_inSocketSignal > 0) {
            m_stream->setParent(nullptr);
            m_stream->deleteLater();
        }
    }
}

QString Link::hangUpReason(const QString &socketReason) const
{
    // A server drops a hello that was not made for its key without a word.
    if (m_outgoing && m_step == StepAwaitServerHello)
        return QStringLiteral("%1 before the server's hello: not the expected computer, or it is busy")
            .arg(socketReason);
    return socketReason;
}

bool Link::hasBytesWaiting() const
{
    if (!m_socket)
        return false;
    if (m_socket->bytesAvailable() > 0)
        return true;
    const qintptr fd = m_socket->socketDescriptor();
    char byte;
    return fd >= 0 && ::recv(int(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

QHostAddress Link::peerAddress() const
{
    if (m_stream)
        return m_stream->peerAddress();
    return m_socket ? m_socket->peerAddress() : QHostAddress();
}

quint16 Link::peerPort() const
{
    if (m_stream)
        return m_stream->peerPort();
    return m_socket ? m_socket->peerPort() : 0;
}

qint64 Link::bytesToWrite() const
{
    if (m_stream)
        return m_out.size() + m_stream->bytesToWrite();
    return m_out.size() + (m_socket ? m_socket->bytesToWrite() : 0);
}

void Link::startClient(const QString &host, quint16 port, const QByteArray &expectedKey,
                       const GreetingAmender &amend, const AddressCheck &mayDial)
{
    m_expectedKey = expectedKey;
    m_amend = amend;
    m_step = StepAwaitConnect;
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        if (m_state == StateClosed)
            return;
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_kx = crypto::generateKxKeyPair();
        m_clientHello = makeHello(m_kx.publicKey, m_expectedKey);
        m_step = StepAwaitServerHello;
        writeFrame(m_clientHello);
    });
    // Peers are dialled directly; an HTTP proxy configured for the desktop must not see them.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    if (!mayDial) {
        m_socket->connectToHost(host, port);
        return;
    }
    // Resolved here rather than by the socket, so that what a name stands for is checked
    // before anything goes there.
    const QHostAddress literal(host);
    if (!literal.isNull()) {
        connectChecked({literal}, port, mayDial);
        return;
    }
    QHostInfo::lookupHost(host, this, [this, port, mayDial](const QHostInfo &info) {
        if (m_state != StateClosed)
            connectChecked(info.addresses(), port, mayDial);
    });
}

void Link::connectChecked(const QList<QHostAddress> &addresses, quint16 port, const AddressCheck &mayDial)
{
    for (const QHostAddress &address : addresses) {
        if (mayDial(address)) {
            m_socket->connectToHost(address, port);
            return;
        }
    }
    fail(addresses.isEmpty() ? QStringLiteral("host not found")
                             : QStringLiteral("%1 may not be dialled").arg(addresses.first().toString()));
}

void Link::startServer()
{
    m_step = StepAwaitClientHello;
    // An idle connection holds a handshake slot only briefly.
    m_handshakeTimer->start(qMin(m_hub->timings().firstMessageMs, m_hub->timings().handshakeMs));
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &Link::onReadyRead);
}

int Link::frameLimit() const
{
    return m_step == StepOpen ? kMaxMessageBytes + kPacketOverhead : kMaxHandshakeFrameBytes;
}

void Link::onReadyRead()
{
    if (m_processing)
        return;
    SocketSignalScope scope(this);
    QPointer<Link> self(this);
    m_processing = true;
    // Read in bounded chunks and consume whole frames after each one, so the buffer never
    // holds much more than one frame of the current size limit. A peer that sends without
    // pause gets a few chunks per turn of the event loop, never the whole thread.
    int reads = 0;
    while (isOpen() && (m_stream ? reads < kReadsPerTurn : m_socket->bytesAvailable() > 0)) {
        if (m_inPos > 0 && (m_inPos >= m_in.size() / 2 || m_inPos >= kReadChunk)) {
            m_in.remove(0, m_inPos);
            m_inPos = 0;
        }
        const int chunk = m_stream ? kReadChunk : int(qMin<qint64>(m_socket->bytesAvailable(), kReadChunk));
        const int old = m_in.size();
        m_in.resize(old + chunk);
        const qint64 got = m_stream ? m_stream->read(m_in.data() + old, chunk) : m_socket->read(m_in.data() + old, chunk);
        if (got <= 0) {
            m_in.resize(old);
            // An ended stream tells why with hungUp().
            if (got < 0 && !m_stream)
                fail(QStringLiteral("read error"));
            break;
        }
        m_in.resize(old + int(got));
        ++reads;
        processFrames();
        if (!self)   // deleted by a receiver of what was just delivered
            return;
    }
    m_processing = false;
    takeDescriptor();
}

void Link::takeDescriptor()
{
    // Only over plain TCP, where the socket is the system's own: the other transports make
    // sockets of their own (KCP sessions, SOCKS streams to Tor).
    if (m_stream || !m_socket || m_state != StateEstablished || m_socket->bytesToWrite() > 0
        || m_socket->metaObject() != &QTcpSocket::staticMetaObject
        || (m_outgoing && m_socket->proxy().type() != QNetworkProxy::NoProxy))
        return;
    if (m_socket->bytesAvailable() > 0) {
        // What the socket already read comes first. Not while a batch is being delivered:
        // its packets lie in m_in, which may move.
        if (m_delivering)
            return;
        m_in.append(m_socket->readAll());
    }
    m_socket->disconnect(this);
    DescriptorStream *stream = DescriptorStream::take(m_socket, this);
    if (!stream) {
        connectSocket();
        return;
    }
    m_stream = stream;
    m_socket->setParent(nullptr);
    m_socket->deleteLater();
    m_socket = nullptr;
    connect(stream, &DescriptorStream::readyRead, this, &Link::onReadyRead);
    connect(stream, &DescriptorStream::hungUp, this, [this](const QString &reason) {
        SocketSignalScope scope(this);
        fail(reason);
    });
    connect(stream, &DescriptorStream::bytesWritten, this, [this](qint64 bytes) {
        SocketSignalScope scope(this);
        Q_EMIT bytesWritten(bytes);
    });
}

void Link::processFrames()
{
    // Every handler returns false when the link closed or was deleted meanwhile, and true
    // only while it is alive and open.
    while (isOpen()) {
        if (m_step == StepOpen) {
            if (!processOpenFrames())
                return;
            continue;
        }
        quint32 length = 0;
        const FrameCheck check = checkFrame(m_inPos, &length);
        if (check != FrameWhole) {
            if (check == FrameBad)
                failLength(length);
            return;
        }
        // Writable: handshake packets are decrypted where they lie.
        char *p = m_in.data() + m_inPos + 4;
        const int size = int(length);
        m_inPos += 4 + size;
        const bool hello = m_step == StepAwaitClientHello || m_step == StepAwaitServerHello;
        if (!(hello ? handleHello(p, size) : handlePacket(p, size)))
            return;
    }
}

Link::FrameCheck Link::checkFrame(int at, quint32 *length) const
{
    const int have = m_in.size() - at;
    if (have < 4)
        return FrameIncomplete;
    *length = qFromLittleEndian<quint32>(m_in.constData() + at);
    const bool hello = m_step == StepAwaitClientHello || m_step == StepAwaitServerHello;
    const quint32 minimum = hello ? quint32(kLinkHelloBytes) : quint32(kMinPacketBytes);
    if (*length < minimum || *length > quint32(frameLimit()) || m_step == StepAwaitConnect)
        return FrameBad;
    return quint32(have - 4) < *length ? FrameIncomplete : FrameWhole;
}

void Link::failLength(quint32 length)
{
    fail(QStringLiteral("frame length %1 out of bounds").arg(length));
}

bool Link::processOpenFrames()
{
    // The whole frames at hand are opened together (spread over a few threads when they
    // are many), then delivered in order.
    std::vector<crypto::PacketSpan> &packets = m_batchPackets;
    packets.clear();
    bool outOfSequence = false;
    FrameCheck check = FrameWhole;
    quint32 length = 0;
    int at = m_inPos;
    while (int(packets.size()) < kMaxOpenBatch && (check = checkFrame(at, &length)) == FrameWhole) {
        char *p = m_in.data() + at + 4;
        // The counter must be exactly the next one: over a stream nothing may be lost,
        // repeated or reordered, so any gap means someone tampered with the connection.
        if (qFromLittleEndian<quint64>(p + 1) != m_rxCounter + packets.size()) {
            outOfSequence = true;
            break;
        }
        packets.push_back({p, int(length)});
        at += 4 + int(length);
    }
    // What came before a fault is delivered first, as it would be frame by frame.
    auto failAtFault = [&] {
        if (outOfSequence)
            fail(QStringLiteral("packet counter out of sequence"));
        else if (check == FrameBad)
            failLength(length);
    };
    if (packets.empty()) {
        failAtFault();
        return false;
    }
    m_inPos = at;

    if (m_plainPool.size() < packets.size())
        m_plainPool.resize(packets.size());
    std::vector<unsigned char *> outs(packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        m_plainPool[i].resize(std::size_t(packets[i].size - kPacketOverhead));
        outs[i] = m_plainPool[i].data();
    }
    const int opened = m_opener.openBatch(packets, outs.data());
    const int count = int(packets.size());
    m_delivering = true;
    for (int i = 0; i < opened; ++i) {
        ++m_rxCounter;
        m_watchdog->start();
        if (!handleMessage(m_plainPool[std::size_t(i)]))
            return false;   // closed (m_delivering no longer matters) or deleted
    }
    m_delivering = false;
    // A rare large message does not keep its room for the life of the link.
    for (int i = 0; i < count; ++i) {
        std::vector<unsigned char> &plain = m_plainPool[std::size_t(i)];
        if (plain.capacity() > std::size_t(kKeepBufferBytes))
            std::vector<unsigned char>().swap(plain);
    }
    if (opened < count) {
        fail(QStringLiteral("packet does not open"));
        return false;
    }
    failAtFault();
    return isOpen();
}

bool Link::handleHello(const char *data, int size)
{
    if (size != kLinkHelloBytes || std::memcmp(data, kMagic, 4) != 0 || quint8(data[4]) != kLinkProtocolVersion) {
        fail(QStringLiteral("not a nusk hello"));
        return false;
    }
    const QByteArray hello(data, size);
    const QByteArray remoteEphemeral = hello.mid(5, crypto::kKxPublicKeyBytes);

    if (m_step == StepAwaitClientHello) {
        if (!m_hub->identity().isValid()) {
            fail(QStringLiteral("no identity to answer with"));
            return false;
        }
        // The cheap checks first: a stranger or a replay costs one keyed hash.
        if (!helloTagMatches(hello, m_hub->identity().publicKey)) {
            fail(QStringLiteral("hello not made for this computer"));
            return false;
        }
        if (!m_hub->isFreshHello(hello.mid(5 + crypto::kKxPublicKeyBytes, kNonceBytes))) {
            fail(QStringLiteral("hello seen before"));
            return false;
        }
        m_handshakeTimer->start(qMax(1, m_hub->timings().handshakeMs - int(m_clock.elapsed())));
        m_clientHello = hello;
        m_kx = crypto::generateKxKeyPair();
        const crypto::SessionKeys keys = crypto::serverSessionKeys(m_kx, remoteEphemeral);
        if (!keys.isValid()) {
            fail(QStringLiteral("key exchange failed"));
            return false;
        }
        const QByteArray serverHello = makeHello(m_kx.publicKey, m_hub->identity().publicKey);
        crypto::wipeSecret(m_kx.secretKey);
        m_sealer = crypto::SessionSealer(kLinkKeyIdServerToClient, keys.tx);
        m_opener = crypto::SessionOpener(kLinkKeyIdClientToServer, keys.rx);
        m_transcript = sha256(QByteArrayLiteral("nusk-link-1"), m_clientHello, serverHello);
        writeFrame(serverHello);

        const crypto::SigningKeyPair &id = m_hub->identity();
        const QByteArray signature = crypto::sign(serverAuthText(m_transcript), id.secretKey);
        std::vector<unsigned char> body(2 * 5 + id.publicKey.size() + signature.size());
        TermStreamWriter w(body);
        w.writeBlob(id.publicKey.constData(), std::size_t(id.publicKey.size()));
        w.writeBlob(signature.constData(), std::size_t(signature.size()));
        if (w.failed() || signature.size() != crypto::kSignatureBytes) {
            fail(QStringLiteral("cannot sign"));
            return false;
        }
        m_step = StepAwaitClientAuth;
        return sendControl(LinkServerAuth, body);
    }

    // Client: the server answered.
    if (!helloTagMatches(hello, m_expectedKey)) {
        fail(QStringLiteral("server hello not made by the expected computer"));
        return false;
    }
    const crypto::SessionKeys keys = crypto::clientSessionKeys(m_kx, remoteEphemeral);
    crypto::wipeSecret(m_kx.secretKey);
    if (!keys.isValid()) {
        fail(QStringLiteral("key exchange failed"));
        return false;
    }
    m_sealer = crypto::SessionSealer(kLinkKeyIdClientToServer, keys.tx);
    m_opener = crypto::SessionOpener(kLinkKeyIdServerToClient, keys.rx);
    m_transcript = sha256(QByteArrayLiteral("nusk-link-1"), m_clientHello, hello);
    m_step = StepAwaitServerAuth;
    return true;
}

bool Link::handlePacket(char *data, int size)
{
    // The counter must be exactly the next one: over a stream nothing may be lost, repeated
    // or reordered, so any gap means someone tampered with the connection.
    const quint64 counter = qFromLittleEndian<quint64>(data + 1);
    if (counter != m_rxCounter) {
        fail(QStringLiteral("packet counter out of sequence"));
        return false;
    }
    if (!m_opener.openInPlace(data, size)) {
        fail(QStringLiteral("packet does not open"));
        return false;
    }
    ++m_rxCounter;
    return handleHandshakeMessage(data + crypto::kSessionHeaderBytes, size - kPacketOverhead);
}

bool Link::handleHandshakeMessage(const char *data, int size)
{
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(data);
    MessageHeader header;
    if (!peekMessageHeader(bytes, std::size_t(size), header) || header.length != quint32(size)) {
        fail(QStringLiteral("malformed message"));
        return false;
    }
    const bool expected = header.msgClass == LinkClassControl
        && ((m_step == StepAwaitServerAuth && header.code == LinkServerAuth)
            || (m_step == StepAwaitClientAuth && header.code == LinkClientAuth)
            || (m_step == StepAwaitServerConfirm && header.code == LinkServerConfirm)
            || ((m_step == StepAwaitClientGreeting || m_step == StepAwaitServerGreeting)
                && header.code == LinkGreeting));
    if (!expected) {
        fail(QStringLiteral("unexpected handshake message"));
        return false;
    }
    // The handshake's messages may be kept: they get bytes of their own.
    const QByteArray plain(data, size);
    if (header.code == LinkServerAuth)
        return handleServerAuth(plain);
    if (header.code == LinkClientAuth)
        return handleClientAuth(plain);
    if (header.code == LinkServerConfirm)
        return handleServerConfirm(plain);
    return handleGreeting(plain);
}

bool Link::handleMessage(const std::vector<unsigned char> &message)
{
    const std::uint8_t *bytes = message.data();
    const std::size_t size = message.size();
    MessageHeader header;
    if (!peekMessageHeader(bytes, size, header) || header.length != size) {
        fail(QStringLiteral("malformed message"));
        return false;
    }

    QPointer<Link> self(this);
    switch (header.msgClass) {
    case LinkClassFsoRequest:
        Q_EMIT messageReceivedSrv(message);
        return self && isOpen();
    case LinkClassFsoReply:
        Q_EMIT messageReceivedCli(message);
        return self && isOpen();
    case LinkClassControl:
        break;
    default:
        logPrintf(LogCom1, "link: ignoring message class 0x%02X", header.msgClass);
        return true;
    }

    if (header.code == LinkChosen) {
        if (!m_chosenByRemote) {
            m_chosenByRemote = true;
            Q_EMIT chosenByRemote();
        }
        return self && isOpen();
    }
    if (header.code == LinkGreeting)
        return handleAnnouncement(message);
    if (header.code != LinkPing && header.code != LinkPong)
        return true;
    TermStreamReader r(bytes, size);
    MessageHeader skip;
    std::uint64_t stamp = 0;
    if (readMessageHeader(r, skip) != TermOk || r.readU64(stamp) != TermOk || r.remaining() != 0) {
        fail(QStringLiteral("malformed ping"));
        return false;
    }
    if (header.code == LinkPing) {
        std::vector<unsigned char> body(9);
        TermStreamWriter w(body);
        w.writeU64(stamp);
        return sendControl(LinkPong, body);
    }
    const quint64 now = quint64(m_clock.elapsed());
    if (stamp <= now) {
        m_rttMs = int(qMin<quint64>(now - stamp, quint64(INT_MAX)));
        Q_EMIT rttChanged(m_rttMs);
    }
    return self && isOpen();
}

bool Link::handleAnnouncement(const std::vector<unsigned char> &message)
{
    Greeting announced;
    if (!decodeGreeting(QByteArray(reinterpret_cast<const char *>(message.data()), int(message.size())), &announced)) {
        fail(QStringLiteral("malformed address announcement"));
        return false;
    }
    QPointer<Link> self(this);
    Q_EMIT transportsAnnounced(announced.transports);
    return self && isOpen();
}

bool Link::handleServerAuth(const QByteArray &plain)
{
    QByteArray key, signature;
    if (!readAuthBody(plain, &key, &signature)) {
        fail(QStringLiteral("malformed server authentication"));
        return false;
    }
    if (!crypto::verify(serverAuthText(m_transcript), signature, key)) {
        fail(QStringLiteral("server signature does not verify"));
        return false;
    }
    if (key != m_expectedKey) {
        fail(QStringLiteral("server key is not the expected one"));
        return false;
    }
    const crypto::SigningKeyPair &id = m_hub->identity();
    m_remoteKey = key;
    m_ownKey = key == id.publicKey;
    if (m_ownKey && !isLoopbackHost(peerAddress())) {
        // Only this program on this computer is the local peer; a copy of its key elsewhere
        // is not.
        fail(QStringLiteral("own key offered from a non-loopback address"));
        return false;
    }
    if (m_ownKey)
        m_peerUuid = nullUuidString();
    m_binding = bindingOf(m_transcript, key, id.publicKey);

    const QByteArray own = crypto::sign(clientAuthText(m_transcript, key), id.secretKey);
    std::vector<unsigned char> body(2 * 5 + id.publicKey.size() + own.size());
    TermStreamWriter w(body);
    w.writeBlob(id.publicKey.constData(), std::size_t(id.publicKey.size()));
    w.writeBlob(own.constData(), std::size_t(own.size()));
    if (w.failed() || own.size() != crypto::kSignatureBytes) {
        fail(QStringLiteral("cannot sign"));
        return false;
    }
    if (!sendControl(LinkClientAuth, body))
        return false;

    Greeting greeting = ownGreeting();
    if (m_amend)
        m_amend(greeting, m_binding);
    const QByteArray encoded = encodeGreeting(greeting);
    if (encoded.isEmpty()) {
        fail(QStringLiteral("own greeting does not fit"));
        return false;
    }
    m_step = StepAwaitServerConfirm;
    return sealAndWrite(encoded);
}

bool Link::handleServerConfirm(const QByteArray &plain)
{
    TermStreamReader r(reinterpret_cast<const std::uint8_t *>(plain.constData()), std::size_t(plain.size()));
    MessageHeader header;
    const std::uint8_t *sig = nullptr;
    std::size_t sigBytes = 0;
    if (readMessageHeader(r, header) != TermOk || r.readBlobRef(sig, sigBytes) != TermOk || r.remaining() != 0
        || sigBytes != std::size_t(crypto::kSignatureBytes)) {
        fail(QStringLiteral("malformed server confirmation"));
        return false;
    }
    const QByteArray signature(reinterpret_cast<const char *>(sig), int(sigBytes));
    if (!crypto::verify(serverConfirmText(m_transcript, m_remoteKey, m_hub->identity().publicKey), signature,
                        m_remoteKey)) {
        fail(QStringLiteral("server confirmation does not verify"));
        return false;
    }
    m_step = StepAwaitServerGreeting;
    return true;
}

bool Link::handleClientAuth(const QByteArray &plain)
{
    QByteArray key, signature;
    if (!readAuthBody(plain, &key, &signature)) {
        fail(QStringLiteral("malformed client authentication"));
        return false;
    }
    const QByteArray ownKey = m_hub->identity().publicKey;
    if (!crypto::verify(clientAuthText(m_transcript, ownKey), signature, key)) {
        fail(QStringLiteral("client signature does not verify"));
        return false;
    }
    m_remoteKey = key;
    m_binding = bindingOf(m_transcript, ownKey, key);
    m_step = StepAwaitClientGreeting;
    return true;
}

bool Link::handleGreeting(const QByteArray &plain)
{
    if (!decodeGreeting(plain, &m_remoteGreeting)) {
        fail(QStringLiteral("malformed greeting"));
        return false;
    }
    m_remoteGreetingRaw = plain;
    if (m_step == StepAwaitServerGreeting)
        return becomeEstablished();

    QString uuid;
    bool own = false;
    if (!m_hub->admit(*this, &uuid, &own)) {
        fail(QStringLiteral("key refused"));
        return false;
    }
    if (m_state == StateClosed)   // a hook closed it
        return false;
    m_peerUuid = uuid;
    m_ownKey = own;
    const crypto::SigningKeyPair &id = m_hub->identity();
    const QByteArray confirm = crypto::sign(serverConfirmText(m_transcript, id.publicKey, m_remoteKey), id.secretKey);
    std::vector<unsigned char> body(5 + std::size_t(confirm.size()));
    TermStreamWriter w(body);
    w.writeBlob(confirm.constData(), std::size_t(confirm.size()));
    if (w.failed() || confirm.size() != crypto::kSignatureBytes) {
        fail(QStringLiteral("cannot sign"));
        return false;
    }
    body.resize(w.size());
    if (!sendControl(LinkServerConfirm, body))
        return false;
    const QByteArray encoded = encodeGreeting(ownGreeting());
    if (encoded.isEmpty()) {
        fail(QStringLiteral("own greeting does not fit"));
        return false;
    }
    if (!sealAndWrite(encoded))
        return false;
    return becomeEstablished();
}

bool Link::becomeEstablished()
{
    m_step = StepOpen;
    m_state = StateEstablished;
    m_amend = GreetingAmender();
    m_handshakeTimer->stop();
    if (auto *session = qobject_cast<KcpSocket *>(m_socket))
        session->setPeerProven();
    const LinkTimings &t = m_hub->timings();
    m_watchdog->start(t.silenceMs);
    m_pingTimer->start(t.pingIntervalMs);
    // Room for a batch only for links that got this far: a stranger's connection costs little.
    m_out.reserve(kOutReserveBytes);
    takeDescriptor();
    sendPing();
    if (!isOpen())
        return false;
    QPointer<Link> self(this);
    Q_EMIT established();
    return self && isOpen();
}

Greeting Link::ownGreeting() const
{
    Greeting greeting = m_hub->localGreeting();
    greeting.attributes.insert(greetingAttrChosen(), QStringLiteral("1"));
    return greeting;
}

bool Link::isChosenByRemote() const
{
    if (m_state != StateEstablished)
        return false;
    return m_chosenByRemote || m_remoteGreeting.attributes.value(greetingAttrChosen()) != QLatin1String("1");
}

void Link::sendChosen()
{
    if (m_state != StateEstablished || m_chosenSent)
        return;
    m_chosenSent = true;
    sendControl(LinkChosen, {});
}

void Link::sendPing()
{
    if (m_state != StateEstablished)
        return;
    std::vector<unsigned char> body(9);
    TermStreamWriter w(body);
    w.writeU64(quint64(m_clock.elapsed()));
    sendControl(LinkPing, body);
}

bool Link::sendControl(std::uint8_t code, const std::vector<unsigned char> &body)
{
    QByteArray message(int(kTermHeaderBytes + body.size()), Qt::Uninitialized);
    TermStreamWriter w(reinterpret_cast<std::uint8_t *>(message.data()), std::size_t(message.size()));
    writeMessageHeader(w, LinkClassControl, code, 0);
    if (!body.empty())
        std::memcpy(message.data() + kTermHeaderBytes, body.data(), body.size());
    // The body was copied behind the writer's back: patch the length with a writer of its own.
    TermStreamWriter patch(reinterpret_cast<std::uint8_t *>(message.data()), std::size_t(message.size()));
    patch.writeU32(std::uint32_t(message.size()));
    if (w.failed() || patch.failed()) {
        fail(QStringLiteral("cannot encode control message"));
        return false;
    }
    return sealAndWrite(message);
}

bool Link::acceptsForSending(const std::vector<unsigned char> &message) const
{
    if (m_state != StateEstablished || message.size() < kTermHeaderBytes
        || message.size() > std::size_t(kMaxMessageBytes))
        return false;
    MessageHeader header;
    return peekMessageHeader(message.data(), message.size(), header) && header.length == message.size()
           && (header.msgClass == LinkClassFsoRequest || header.msgClass == LinkClassFsoReply);
}

bool Link::send(const std::vector<unsigned char> &message)
{
    return acceptsForSending(message)
           && sealAndWrite(reinterpret_cast<const char *>(message.data()), int(message.size()));
}

bool Link::send(std::vector<unsigned char> &&message)
{
    return acceptsForSending(message)
           && sealAndWrite(reinterpret_cast<const char *>(message.data()), int(message.size()), &message);
}

bool Link::announceTransports(const std::vector<TransportDto> &transports)
{
    if (m_state != StateEstablished)
        return false;
    Greeting announcement;
    announcement.transports = transports;
    const QByteArray message = encodeGreeting(announcement);
    return !message.isEmpty() && sealAndWrite(message);
}

bool Link::sendBytes(const QByteArray &message)
{
    const auto *p = reinterpret_cast<const unsigned char *>(message.constData());
    return send(std::vector<unsigned char>(p, p + message.size()));
}

bool Link::sealAndWrite(const QByteArray &plain)
{
    return sealAndWrite(plain.constData(), plain.size());
}

bool Link::sealAndWrite(const char *plain, int size, std::vector<unsigned char> *taken)
{
    if (m_stalled)
        return false;
    // A peer that stops reading (while asking for more) would otherwise make us queue
    // without end. Nothing more is queued, and the link ends on the next turn of the event
    // loop rather than inside the caller's send().
    const qint64 frameBytes = 4 + qint64(size) + kPacketOverhead;
    if (bytesToWrite() + frameBytes > m_hub->outgoingLimit()) {
        m_stalled = true;
        QMetaObject::invokeMethod(this, [this] { fail(QStringLiteral("peer does not read what it is sent")); },
                                  Qt::QueuedConnection);
        return false;
    }
    // Sealed into the outgoing batch behind its length, with the rest of the batch, when it
    // leaves. A large message handed over is kept until then; the sealer reads it where it
    // lies, which saves this thread a copy of every block a peer is sent. A small one is
    // copied in: cheaper than keeping it.
    const int at = m_out.size();
    m_out.resize(at + int(frameBytes));
    char *frame = m_out.data() + at;
    qToLittleEndian<quint32>(quint32(frameBytes - 4), frame);
    int from = -1;
    if (taken && size >= kKeepToSealBytes) {
        from = int(m_sealFrom.size());
        m_sealFrom.push_back(std::move(*taken));
    } else if (size > 0) {
        std::memcpy(frame + 4 + crypto::kSessionHeaderBytes, plain, std::size_t(size));
    }
    m_unsealed.push_back({at + 4, int(frameBytes - 4), from});
    queueOut();
    return m_state != StateClosed;
}

void Link::writeFrame(const QByteArray &frame)
{
    const int at = m_out.size();
    m_out.resize(at + 4 + frame.size());
    qToLittleEndian<quint32>(quint32(frame.size()), m_out.data() + at);
    std::memcpy(m_out.data() + at + 4, frame.constData(), std::size_t(frame.size()));
    queueOut();
}

void Link::queueOut()
{
    // Frames sent in one turn of the event loop leave in one write; a long burst leaves in
    // pieces of kWriteBatchBytes so that its first bytes are on their way early. The
    // handshake's few frames leave at once: a connection that stays silent too long while
    // the listener is crowded is dropped.
    if (m_out.size() >= kWriteBatchBytes || m_state != StateEstablished) {
        flushOut();
        return;
    }
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QMetaObject::invokeMethod(this, [this] {
        m_flushQueued = false;
        flushOut();
    }, Qt::QueuedConnection);
}

void Link::flushOut()
{
    if (m_state == StateClosed) {
        m_unsealed.clear();
        m_sealFrom.clear();
        m_out.resize(0);
        return;
    }
    if (!m_unsealed.empty()) {
        std::vector<crypto::PacketSpan> packets;
        packets.reserve(m_unsealed.size());
        for (const Unsealed &u : m_unsealed) {
            const char *plain = u.from < 0 ? nullptr
                                           : reinterpret_cast<const char *>(m_sealFrom[std::size_t(u.from)].data());
            packets.push_back({m_out.data() + u.at, u.size, plain});
        }
        m_unsealed.clear();
        const bool sealed = m_sealer.sealBatch(packets);
        m_sealFrom.clear();
        if (!sealed) {
            m_out.resize(0);
            fail(QStringLiteral("cannot seal packet"));
            return;
        }
    }
    takeDescriptor();
    if (m_out.isEmpty())
        return;
    if (m_stream)
        m_stream->write(m_out.constData(), m_out.size());
    else if (m_socket)
        m_socket->write(m_out.constData(), m_out.size());
    if (m_out.capacity() > kKeepBufferBytes) {
        m_out = QByteArray();
        m_out.reserve(kOutReserveBytes);
    }
    m_out.resize(0);   // keeps the reserved room
}

void Link::close(const QString &reason)
{
    finish(reason.isEmpty() ? QStringLiteral("closed") : reason, true);
}

void Link::fail(const QString &reason)
{
    finish(reason, false);
}

void Link::finish(const QString &reason, bool flush)
{
    if (m_state == StateClosed)
        return;
    if (flush && (m_stream || m_socket->state() == QAbstractSocket::ConnectedState))
        flushOut();   // sealed while the keys are still there
    if (m_state == StateClosed)
        return;
    m_state = StateClosed;
    m_closeReason = reason;
    logPrintf(LogCom1, "link %s:%u closed: %s", qPrintable(peerAddress().toString()), peerPort(),
              qPrintable(reason));
    m_handshakeTimer->stop();
    m_pingTimer->stop();
    m_watchdog->stop();
    // Nothing of the session outlives it.
    m_sealer.wipe();
    m_opener.wipe();
    crypto::wipeSecret(m_kx.secretKey);
    m_amend = GreetingAmender();
    if (m_stream) {
        m_stream->disconnect(this);
        if (flush) {
            // As below, the rest leaves after the link is gone.
            DescriptorStream *stream = m_stream;
            m_stream = nullptr;
            stream->setParent(m_hub);
            stream->closeAfterFlush(5000);
        } else {
            m_stream->abort();
        }
    } else if (m_socket) {
        closeSocket(flush);
    }
    QPointer<Link> self(this);
    Q_EMIT closed(reason);
    if (self)
        deleteLater();
}

void Link::closeSocket(bool flush)
{
    m_socket->disconnect(this);
    if (flush && m_socket->state() == QAbstractSocket::ConnectedState) {
        // Let what was already sent reach the other side; the socket outlives the link
        // until it has drained or a short grace period ends.
        QTcpSocket *socket = m_socket;
        m_socket = nullptr;
        socket->setParent(m_hub);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(5000, socket, [socket] { socket->abort(); socket->deleteLater(); });
        socket->disconnectFromHost();
    } else {
        m_socket->abort();
    }
}

} // namespace com
