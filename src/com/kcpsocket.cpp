#include "com/kcpsocket.h"

#include "app/base/log.h"
#include "com/udptransport.h"
#include "crypto/parallel.h"

#include <QHostInfo>
#include <QRandomGenerator>
#include <QTimer>

#include <cstring>

namespace com {

namespace {

constexpr int kOpenRepeatMs = 250;
constexpr int kIdleTickMs = 200;
constexpr int kMaxReadChunk = 1 << 20;

} // namespace

KcpSocket::KcpSocket(UdpTransport *transport, bool relayed)
    : m_transport(transport)
    , m_relayed(relayed)
{
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &KcpSocket::tick);
    m_openTimer = new QTimer(this);
    connect(m_openTimer, &QTimer::timeout, this, &KcpSocket::sendOpen);
}

KcpSocket::~KcpSocket()
{
    end(true);
    m_in.clear();
    m_inPos = 0;
    m_inBytes = 0;
    m_views.clear();
    m_viewBytes = 0;
    account();
}

void KcpSocket::connectToHost(const QString &hostName, quint16 port, OpenMode mode, NetworkLayerProtocol)
{
    if (state() != UnconnectedState || !m_transport)
        return;
    QIODevice::open(mode | Unbuffered);
    setPeerName(hostName);
    setSocketState(HostLookupState);
    const QHostAddress address(hostName);
    if (!address.isNull()) {
        dial(address, port);
        return;
    }
    QPointer<KcpSocket> self(this);
    QHostInfo::lookupHost(hostName, this, [self, port](const QHostInfo &info) {
        if (!self || self->state() != HostLookupState)
            return;
        if (info.addresses().isEmpty()) {
            self->fail(HostNotFoundError, QStringLiteral("host not found"));
            return;
        }
        self->dial(info.addresses().first(), port);
    });
}

void KcpSocket::dial(const QHostAddress &address, quint16 port)
{
    setPeerAddress(address);
    setPeerPort(port);
    setSocketState(ConnectingState);
    // Random conversation ids keep sessions apart and are one more thing a stranger would
    // have to guess.
    for (int i = 0; i < 8 && !m_registered; ++i) {
        m_conv = QRandomGenerator::system()->generate();
        m_registered = m_transport->registerSession(this, address, port);
    }
    if (!m_registered) {
        fail(SocketResourceError, QStringLiteral("too many UDP sessions"));
        return;
    }
    m_kx = crypto::generateKxKeyPair();
    sendOpen();
    m_openTimer->start(kOpenRepeatMs);
}

bool KcpSocket::answer(const QHostAddress &address, quint16 port, std::uint32_t conv, const QByteArray &remoteKey)
{
    setPeerAddress(address);
    setPeerPort(port);
    m_conv = conv;
    m_remoteKey = remoteKey;
    m_kx = crypto::generateKxKeyPair();
    const crypto::SessionKeys keys = crypto::serverSessionKeys(m_kx, remoteKey);
    if (!keys.isValid())
        return false;
    m_registered = m_transport->registerSession(this, address, port);
    if (!m_registered)
        return false;
    m_accept = udpwire::makeHandshake(udpwire::KindAccept, conv, m_kx.publicKey);
    m_kx = crypto::KxKeyPair();
    startKcp(keys);
    QIODevice::open(ReadWrite | Unbuffered);
    setSocketState(ConnectedState);
    return true;
}

void KcpSocket::sendOpen()
{
    if (state() != ConnectingState || !m_transport)
        return;
    const QByteArray open = udpwire::makeHandshake(udpwire::KindOpen, m_conv, m_kx.publicKey);
    m_transport->sendFor(this, open.constData(), open.size());
}

void KcpSocket::onHandshake(udpwire::Kind kind, const QByteArray &remoteKey)
{
    if (kind == udpwire::KindOpen) {
        // Our ACCEPT was lost: the same OPEN gets the same answer, any other none.
        if (!m_accept.isEmpty() && remoteKey == m_remoteKey && m_transport)
            m_transport->sendFor(this, m_accept.constData(), m_accept.size());
        return;
    }
    if (kind != udpwire::KindAccept || state() != ConnectingState)
        return;
    const crypto::SessionKeys keys = crypto::clientSessionKeys(m_kx, remoteKey);
    m_kx = crypto::KxKeyPair();
    if (!keys.isValid()) {
        fail(ConnectionRefusedError, QStringLiteral("UDP key exchange failed"));
        return;
    }
    m_openTimer->stop();
    m_remoteKey = remoteKey;
    m_answered = true;
    startKcp(keys);
    setSocketState(ConnectedState);
    Q_EMIT connected();
}

void KcpSocket::startKcp(const crypto::SessionKeys &keys)
{
    m_sealer = udpwire::Sealer(keys.tx);
    m_opener = udpwire::Opener(keys.rx);
    const KcpTuning &t = m_transport->tuning();
    m_kcp = std::make_unique<Kcp>(m_conv, [this](char *data, int size) { m_outgoing.push_back({data, size}); });
    m_kcp->setOutputRoom(udpwire::kHeaderBytes);
    m_kcp->setStreamMode(true);
    m_kcp->setStreamSink([this](const char *data, int size) { takeInOrder(data, size); });
    // The loopback interface takes large datagrams, and each one costs a system call.
    const bool loopback = peerAddress().isLoopback() && !m_relayed;
    m_kcp->setMtu((loopback ? m_transport->loopbackMtu() : t.mtu) - udpwire::kOverheadBytes);
    m_kcp->setWindow(loopback ? m_transport->loopbackSendWindow() : t.windowSegments, t.windowSegments);
    m_kcp->setNoDelay(true, t.intervalMs, t.fastResend, false);
    m_kcp->setDeadLinkLimit(t.deadLinkLimit);
    runKcp(false);
    armTimer();
}

void KcpSocket::onSessionDatagram(const char *data, int size, bool tagChecked, bool lasting)
{
    if (!m_kcp)
        return;
    const char *payload = nullptr;
    int payloadSize = 0;
    if (!m_opener.open(data, size, &payload, &payloadSize, tagChecked)) {
        if (m_transport)
            m_transport->drop();
        return;
    }
    m_answered = true;
    if (std::uint8_t(data[0]) == udpwire::KindClose) {
        QPointer<KcpSocket> self(this);
        tellReader();   // what came before the CLOSE is read before the end, as over TCP
        if (!self)
            return;
        end(false);
        if (self)
            Q_EMIT disconnected();
        return;
    }
    // Authentic, so the segments are the peer's; malformed ones are its fault but cannot
    // hurt: KCP takes what parses and drops the rest.
    if (!m_proven)
        m_kcp->setOutOfOrderLimit(m_transport->unprovenAllowance(m_accounted) - m_inBytes - m_viewBytes);
    if (lasting) {
        m_viewableFrom = payload;
        m_viewableTo = payload + payloadSize;
    }
    m_kcp->input(payload, payloadSize, m_transport->clock());
    m_viewableFrom = m_viewableTo = nullptr;
    account();
    queueFlush();
}

void KcpSocket::takeInOrder(const char *data, int size)
{
    m_freshData = true;
    m_inUsedSinceTick = true;
    if (data >= m_viewableFrom && data + size <= m_viewableTo) {
        if (m_views.empty())
            UdpTransport::batchViewers().push_back(this);
        m_views.push_back({data, size});
        m_viewBytes += size;
        return;
    }
    keepViews();
    keep(data, size);
}

void KcpSocket::keepViews()
{
    for (const auto &view : m_views)
        keep(view.first, view.second);
    m_views.clear();
    m_viewBytes = 0;
}

void KcpSocket::endOfBatch()
{
    if (m_views.empty())
        return;
    // The acknowledgements leave before the reader starts on the burst.
    if (m_kcp && m_transport) {
        runKcp(true);
        armTimer();
    }
    QPointer<KcpSocket> self(this);
    tellReader();
    if (self)
        keepViews();
}

void KcpSocket::keep(const char *data, int size)
{
    // Read bytes are dropped from the front only when that moves little: a reader that keeps
    // up empties the buffer, and then nothing moves at all.
    if (m_inPos > 0 && (m_inPos >= m_in.size() / 2 || m_inPos >= std::size_t(kMaxReadChunk))) {
        m_in.erase(m_in.begin(), m_in.begin() + std::ptrdiff_t(m_inPos));
        m_inPos = 0;
    }
    m_in.insert(m_in.end(), data, data + size);
    m_inBytes += size;
}

void KcpSocket::reportAcknowledged()
{
    if (!m_kcp)
        return;
    const qint64 pending = m_kcp->unacknowledgedBytes();
    if (pending < m_reportedPending) {
        const qint64 done = m_reportedPending - pending;
        m_reportedPending = pending;
        Q_EMIT bytesWritten(done);
    }
    m_reportedPending = pending;
    if (m_draining && m_kcp && m_kcp->waitSend() == 0) {
        QPointer<KcpSocket> self(this);
        end(true);
        if (self)
            Q_EMIT disconnected();
    }
}

qint64 KcpSocket::readData(char *data, qint64 maxSize)
{
    const qint64 n = qMin<qint64>(maxSize, m_inBytes + m_viewBytes);
    if (n <= 0)
        return state() == ConnectedState || state() == ClosingState ? 0 : -1;
    const qint64 fromIn = qMin<qint64>(n, m_inBytes);
    if (fromIn > 0)
        std::memcpy(data, m_in.data() + m_inPos, size_t(fromIn));
    m_inPos += std::size_t(fromIn);
    m_inBytes -= fromIn;
    if (m_inBytes == 0) {
        m_in.clear();   // keeps its room for the next burst
        m_inPos = 0;
    }
    // Views after m_in: they are read only once m_in is.
    qint64 done = fromIn;
    std::size_t taken = 0;
    while (done < n) {
        auto &view = m_views[taken];
        const int piece = int(qMin<qint64>(n - done, view.second));
        std::memcpy(data + done, view.first, std::size_t(piece));
        done += piece;
        m_viewBytes -= piece;
        view.first += piece;
        view.second -= piece;
        if (view.second == 0)
            ++taken;
    }
    m_views.erase(m_views.begin(), m_views.begin() + std::ptrdiff_t(taken));
    account();
    return n;
}

qint64 KcpSocket::writeData(const char *data, qint64 size)
{
    if (state() != ConnectedState || !m_kcp || m_draining)
        return -1;
    qint64 done = 0;
    while (done < size) {
        const int piece = int(qMin<qint64>(size - done, kMaxReadChunk));
        m_kcp->send(data + done, piece);
        done += piece;
    }
    m_reportedPending = m_kcp->unacknowledgedBytes();
    queueFlush();
    return size;
}

qint64 KcpSocket::bytesAvailable() const
{
    return m_inBytes + m_viewBytes + QIODevice::bytesAvailable();
}

qint64 KcpSocket::bytesToWrite() const
{
    return m_kcp ? m_kcp->unacknowledgedBytes() : 0;
}

void KcpSocket::queueFlush()
{
    // Writes and received datagrams come in bursts; one turn after the burst sends the
    // acknowledgements and new segments together, and tells the reader and writer once:
    // a reader handed a whole burst opens its frames together, on several threads.
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QMetaObject::invokeMethod(this, &KcpSocket::afterBurst, Qt::QueuedConnection);
}

void KcpSocket::afterBurst()
{
    m_flushQueued = false;
    if (!m_kcp || !m_transport)
        return;
    runKcp(true);
    armTimer();
    QPointer<KcpSocket> self(this);
    reportAcknowledged();
    if (self)
        tellReader();
}

void KcpSocket::runKcp(bool flushNow)
{
    if (flushNow)
        m_kcp->flushAt(m_transport->clock());
    else
        m_kcp->update(m_transport->clock());
    sendOutgoing();
}

void KcpSocket::sendOutgoing()
{
    // What one flush handed over leaves together: counters in sending order, then the tags,
    // on several threads when there is much, then one system call for them all.
    const int count = int(m_outgoing.size());
    if (count == 0)
        return;
    int stamped = 0;
    qint64 bytes = 0;
    while (stamped < count && m_sealer.stamp(udpwire::KindData, m_conv, m_outgoing[std::size_t(stamped)].payload))
        bytes += m_outgoing[std::size_t(stamped++)].size;
    m_tags.resize(std::size_t(stamped));
    std::vector<char> tagged(std::size_t(stamped), 0);
    crypto::runParallel(stamped, crypto::worthSpreading(stamped, bytes), [&](int lane, int i) {
        const Outgoing &o = m_outgoing[std::size_t(i)];
        tagged[std::size_t(i)] = m_sealer.tagStamped(o.payload - udpwire::kHeaderBytes, udpwire::kHeaderBytes + o.size,
                                                    m_tags[std::size_t(i)].data(), lane);
    });
    std::vector<UdpTransport::Datagram> datagrams;
    datagrams.reserve(std::size_t(stamped));
    for (int i = 0; i < stamped; ++i) {
        const Outgoing &o = m_outgoing[std::size_t(i)];
        if (tagged[std::size_t(i)])
            datagrams.push_back({o.payload - udpwire::kHeaderBytes, udpwire::kHeaderBytes + o.size,
                                 m_tags[std::size_t(i)].data(), udpwire::kTagBytes});
    }
    m_outgoing.clear();
    if (m_transport)
        m_transport->sendBatchFor(this, datagrams);
}

void KcpSocket::tellReader()
{
    if (m_freshData && openMode() != NotOpen) {
        m_freshData = false;
        Q_EMIT readyRead();
    }
}

void KcpSocket::tick()
{
    if (!m_kcp || !m_transport)
        return;
    runKcp(false);
    if (m_kcp->isDead()) {
        fail(SocketTimeoutError, QStringLiteral("UDP peer does not answer"));
        return;
    }
    // The read buffer keeps its room between bursts, but not while the session rests.
    if (!m_inUsedSinceTick && m_inBytes == 0)
        std::vector<char>().swap(m_in);
    m_inUsedSinceTick = false;
    armTimer();
}

void KcpSocket::armTimer()
{
    if (!m_kcp || !m_transport)
        return;
    const std::uint32_t now = m_transport->clock();
    int wait = int(std::int32_t(m_kcp->check(now) - now));
    if (m_kcp->waitSend() == 0)
        wait = kIdleTickMs;
    m_timer->start(qBound(1, wait, kIdleTickMs));
}

void KcpSocket::disconnectFromHost()
{
    if (state() == ConnectedState && m_kcp && m_kcp->waitSend() > 0) {
        m_draining = true;
        setSocketState(ClosingState);
        return;
    }
    const bool wasOpen = state() != UnconnectedState;
    QPointer<KcpSocket> self(this);
    end(true);
    if (self && wasOpen)
        Q_EMIT disconnected();
}

void KcpSocket::close()
{
    end(true);
    QIODevice::close();
}

void KcpSocket::sendClose()
{
    if (!m_kcp || !m_transport)
        return;
    const QByteArray datagram = m_sealer.seal(udpwire::KindClose, m_conv, nullptr, 0);
    if (!datagram.isEmpty())
        m_transport->sendFor(this, datagram.constData(), datagram.size());
}

void KcpSocket::setPeerProven()
{
    m_proven = true;
    if (m_kcp)
        m_kcp->setOutOfOrderLimit(Kcp::kMaxOutOfOrderBytes);
    account();
}

void KcpSocket::account()
{
    const qint64 held = (m_kcp ? m_kcp->heldBytes() : 0) + m_inBytes + m_viewBytes;
    m_mostHeld = qMax(m_mostHeld, held);
    const qint64 unproven = m_proven ? 0 : held;
    if (m_transport)
        m_transport->m_unprovenBytes += unproven - m_accounted;
    m_accounted = unproven;
}

void KcpSocket::end(bool notifyPeer)
{
    if (notifyPeer && m_answered)
        sendClose();
    m_timer->stop();
    m_openTimer->stop();
    m_kcp.reset();
    account();
    m_sealer = udpwire::Sealer();
    m_opener = udpwire::Opener();
    m_kx = crypto::KxKeyPair();
    m_draining = false;
    if (m_registered && m_transport) {
        m_transport->unregisterSession(this, peerAddress(), peerPort());
        if (m_mostHeld >= UdpTransport::kReturnMemoryBytes)
            m_transport->returnMemorySoon();
    }
    m_mostHeld = 0;
    m_registered = false;
    setSocketState(UnconnectedState);
}

void KcpSocket::fail(SocketError error, const QString &reason)
{
    logPrintf(LogUdp1, "UDP session %s:%u: %s", qPrintable(peerAddress().toString()), peerPort(),
              qPrintable(reason));
    QPointer<KcpSocket> self(this);
    end(error != SocketTimeoutError);
    if (!self)
        return;
    setSocketError(error);
    setErrorString(reason);
    Q_EMIT errorOccurred(error);
}

} // namespace com
