#include "com/udptransport.h"

#include "app/base/log.h"
#include "com/hub.h"
#include "com/kcpsocket.h"
#include "com/udpwire.h"
#include "crypto/parallel.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace com {

namespace {

constexpr int kBatch = 64;
constexpr int kMaxDatagram = 65536;
constexpr int kSocketBufferBytes = 8 * 1024 * 1024;
constexpr int kSmallLoopbackMtu = 16384;
constexpr int kLoopbackDatagramsBuffered = 64;
constexpr int kMinLoopbackSendWindow = 32;

QHostAddress addressOf(const sockaddr_storage &ss, quint16 *port)
{
    QHostAddress address;
    if (ss.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&ss);
        address.setAddress(ntohl(in->sin_addr.s_addr));
        *port = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        address.setAddress(reinterpret_cast<const quint8 *>(&in6->sin6_addr));
        *port = ntohs(in6->sin6_port);
        // A dual-stack socket sees IPv4 peers as ::ffff:a.b.c.d; keep them plain IPv4 so
        // that they compare equal to the addresses peers announce.
        bool v4 = false;
        const quint32 ip4 = address.toIPv4Address(&v4);
        if (v4)
            address.setAddress(ip4);
    }
    return address;
}

socklen_t sockaddrOf(const QHostAddress &address, quint16 port, bool v6Socket, sockaddr_storage *ss)
{
    std::memset(ss, 0, sizeof(*ss));
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    if (!v6Socket) {
        if (!v4)
            return 0;
        auto *in = reinterpret_cast<sockaddr_in *>(ss);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(ip4);
        return sizeof(sockaddr_in);
    }
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(ss);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    if (v4) {   // ::ffff:a.b.c.d, as a dual-stack socket takes an IPv4 peer
        in6->sin6_addr.s6_addr[10] = 0xff;
        in6->sin6_addr.s6_addr[11] = 0xff;
        const quint32 be = htonl(ip4);
        std::memcpy(&in6->sin6_addr.s6_addr[12], &be, 4);
    } else {
        const Q_IPV6ADDR a = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, a.c, 16);
    }
    return sizeof(sockaddr_in6);
}

} // namespace

UdpTransport::UdpTransport(Hub *hub, QObject *parent)
    : QObject(parent)
    , m_hub(hub)
{
    m_clock.start();
}

UdpTransport::~UdpTransport()
{
    // Sessions still alive belong to links; they must not reach back into a dead transport.
    for (const QPointer<KcpSocket> &socket : qAsConst(m_sessions))
        if (socket)
            socket->m_registered = false;
    m_sessions.clear();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UdpTransport::bind(quint16 port, const QHostAddress &address)
{
    if (m_fd >= 0)
        return true;
    const bool any = address == QHostAddress(QHostAddress::Any);
    bool v4 = false;
    address.toIPv4Address(&v4);
    // One dual-stack socket where the system has IPv6, else an IPv4 one.
    for (const bool v6 : {any || !v4, false}) {
        if (v6 && !any && v4)
            continue;
        const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        if (v6) {
            int off = 0;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
        }
        const int bufferBytes = kSocketBufferBytes;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof(bufferBytes));
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof(bufferBytes));
        bool bound = false;
        for (const quint16 tryPort : {port, quint16(0)}) {
            sockaddr_storage ss;
            socklen_t len = 0;
            if (any) {
                std::memset(&ss, 0, sizeof(ss));
                if (v6) {
                    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
                    in6->sin6_family = AF_INET6;
                    in6->sin6_port = htons(tryPort);
                    in6->sin6_addr = in6addr_any;
                    len = sizeof(sockaddr_in6);
                } else {
                    auto *in = reinterpret_cast<sockaddr_in *>(&ss);
                    in->sin_family = AF_INET;
                    in->sin_port = htons(tryPort);
                    in->sin_addr.s_addr = htonl(INADDR_ANY);
                    len = sizeof(sockaddr_in);
                }
            } else {
                len = sockaddrOf(address, tryPort, v6, &ss);
            }
            if (len && ::bind(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0) {
                bound = true;
                break;
            }
            if (tryPort == 0)
                break;
        }
        if (!bound) {
            ::close(fd);
            continue;
        }
        sockaddr_storage local;
        socklen_t localLen = sizeof(local);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLen);
        addressOf(local, &m_port);
        int receiveBuffer = 0;
        socklen_t optionLen = sizeof(receiveBuffer);
        if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, &optionLen) == 0)
            m_receiveBufferBytes = receiveBuffer;
        m_fd = fd;
        m_v6 = v6;
        m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &UdpTransport::onReadable);
        logPrintf(LogUdp1, "UDP socket on port %u", m_port);
        return true;
    }
    logPrintf(LogErr1, "cannot open a UDP socket: %s", std::strerror(errno));
    return false;
}

int UdpTransport::loopbackMtu() const
{
    return qMin(m_tuning.loopbackMtu, qMax(kSmallLoopbackMtu, m_receiveBufferBytes / kLoopbackDatagramsBuffered));
}

int UdpTransport::loopbackSendWindow() const
{
    return qMin(m_tuning.windowSegments, qMax(kMinLoopbackSendWindow, m_receiveBufferBytes / 2 / loopbackMtu()));
}

void UdpTransport::addStunHandler(QObject *owner, DatagramHandler handler)
{
    m_stunHandlers.append({owner, std::move(handler)});
}

void UdpTransport::addChannelDataHandler(QObject *owner, DatagramHandler handler)
{
    m_channelHandlers.append({owner, std::move(handler)});
}

bool UdpTransport::dispatch(QList<Handler> &handlers, const char *data, int size, const QHostAddress &from,
                            quint16 port)
{
    handlers.erase(std::remove_if(handlers.begin(), handlers.end(), [](const Handler &h) { return !h.owner; }),
                   handlers.end());
    const QByteArray datagram(data, size);
    // By index and on a copy: a handler may add or remove handlers.
    const QList<Handler> current = handlers;
    for (const Handler &h : current)
        if (h.owner && h.handle(datagram, from, port))
            return true;
    return false;
}

KcpSocket *UdpTransport::createStream(bool relayed)
{
    return new KcpSocket(this, relayed);
}

bool UdpTransport::sendDatagram(const QByteArray &datagram, const QHostAddress &address, quint16 port)
{
    return sendPieces(datagram.constData(), datagram.size(), nullptr, 0, address, port);
}

bool UdpTransport::sendPieces(const char *data, int size, const char *tail, int tailSize, const QHostAddress &address,
                              quint16 port)
{
    if (m_fd < 0)
        return false;
    sockaddr_storage ss;
    const socklen_t len = sockaddrOf(address, port, m_v6, &ss);
    if (!len)
        return false;
    iovec pieces[2] = {{const_cast<char *>(data), std::size_t(size)}, {const_cast<char *>(tail), std::size_t(tailSize)}};
    msghdr message;
    std::memset(&message, 0, sizeof(message));
    message.msg_name = &ss;
    message.msg_namelen = len;
    message.msg_iov = pieces;
    message.msg_iovlen = tailSize > 0 ? 2 : 1;
    // A full send buffer drops the datagram; KCP sends it again.
    return ::sendmsg(m_fd, &message, 0) == size + tailSize;
}

bool UdpTransport::sendFor(const KcpSocket *socket, const char *data, int size, const char *tail, int tailSize)
{
    if (socket->isRelayed()) {
        QByteArray datagram(data, size);
        datagram.append(tail, tailSize);
        return m_relaySender && m_relaySender(datagram, socket->peerAddress(), socket->peerPort());
    }
    return sendPieces(data, size, tail, tailSize, socket->peerAddress(), socket->peerPort());
}

void UdpTransport::sendBatchFor(const KcpSocket *socket, const std::vector<Datagram> &datagrams)
{
    sockaddr_storage ss;
    const socklen_t len = socket->isRelayed() || m_fd < 0
        ? 0 : sockaddrOf(socket->peerAddress(), socket->peerPort(), m_v6, &ss);
    if (!len) {
        for (const Datagram &d : datagrams)
            sendFor(socket, d.data, d.size, d.tail, d.tailSize);
        return;
    }
    const int count = int(datagrams.size());
    for (int from = 0; from < count;) {
        const int chunk = qMin(count - from, kBatch);
        mmsghdr messages[kBatch];
        iovec pieces[kBatch][2];
        for (int i = 0; i < chunk; ++i) {
            const Datagram &d = datagrams[std::size_t(from + i)];
            pieces[i][0] = {const_cast<char *>(d.data), std::size_t(d.size)};
            pieces[i][1] = {const_cast<char *>(d.tail), std::size_t(d.tailSize)};
            std::memset(&messages[i], 0, sizeof(mmsghdr));
            messages[i].msg_hdr.msg_name = &ss;
            messages[i].msg_hdr.msg_namelen = len;
            messages[i].msg_hdr.msg_iov = pieces[i];
            messages[i].msg_hdr.msg_iovlen = d.tailSize > 0 ? 2 : 1;
        }
        // A datagram the system refuses (a full send buffer) is skipped, as sendmsg would
        // have lost it; KCP sends it again.
        const int sent = ::sendmmsg(m_fd, messages, unsigned(chunk), 0);
        from += sent > 0 ? sent : 1;
    }
}

void UdpTransport::onReadable()
{
    // A reader told during a batch may run an event loop of its own. A batch read then would
    // land in the buffers the outer batch is still being delivered from, under tag checks
    // made for the bytes that were there: the socket waits instead, its datagrams stay queued
    // in the system, and it is read again once the outer batch is done.
    Delivery &delivery = currentDelivery();
    if (delivery.running) {
        m_notifier->setEnabled(false);
        delivery.waiting.emplace_back(this);
        return;
    }
    delivery.running = true;
    receiveBatches();
    delivery.running = false;
    for (const QPointer<UdpTransport> &transport : std::exchange(delivery.waiting, {}))
        if (transport && transport->m_notifier)
            transport->m_notifier->setEnabled(true);
}

UdpTransport::Delivery &UdpTransport::currentDelivery()
{
    // Per thread, as the buffers are: transports of one thread share them.
    static thread_local Delivery delivery;
    return delivery;
}

void UdpTransport::receiveBatches()
{
    // Datagrams in batches: one system call for many, and a bounded amount of work per
    // turn of the event loop however fast they come.
    static thread_local QByteArray buffers(kBatch * kMaxDatagram, Qt::Uninitialized);
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    sockaddr_storage senders[kBatch];
    for (int round = 0; round < 16 && m_fd >= 0; ++round) {
        // A reader that did not get to the end of the last batch (an event loop of its own
        // inside readyRead) keeps what it has not read before the buffers are reused.
        for (const QPointer<KcpSocket> &viewer : batchViewers())
            if (viewer)
                viewer->keepViews();
        batchViewers().clear();
        for (int i = 0; i < kBatch; ++i) {
            vectors[i].iov_base = buffers.data() + i * kMaxDatagram;
            vectors[i].iov_len = kMaxDatagram;
            std::memset(&messages[i].msg_hdr, 0, sizeof(msghdr));
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(m_fd, messages, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0)
            return;
        Received batch[kBatch];
        for (int i = 0; i < n; ++i) {
            Received &r = batch[i];
            r.data = buffers.constData() + i * kMaxDatagram;
            r.size = int(messages[i].msg_len);
            r.from = addressOf(senders[i], &r.port);
            r.whole = !(messages[i].msg_hdr.msg_flags & MSG_TRUNC) && !r.from.isNull();
        }
        checkTagsAhead(batch, n);
        QPointer<UdpTransport> self(this);
        for (int i = 0; i < n; ++i) {
            const Received &r = batch[i];
            if (!r.whole) {
                drop();
                continue;
            }
            handle(r.data, r.size, r.from, r.port, false, r.tagAuthenticFor.data());
            if (!self)
                return;
        }
        // A viewer stays listed while its reader is told: should the reader run an event loop
        // of its own, the next round's start keeps its views before the buffers are reused.
        std::vector<QPointer<KcpSocket>> &viewers = batchViewers();
        while (!viewers.empty()) {
            const QPointer<KcpSocket> viewer = viewers.back();
            if (viewer)
                viewer->endOfBatch();
            if (!self)
                return;
            if (!viewers.empty() && viewers.back() == viewer)
                viewers.pop_back();
        }
        if (n < kBatch)
            return;
    }
}

void UdpTransport::checkTagsAhead(Received *batch, int count)
{
    // A large batch has its tags checked on several threads before the datagrams are taken
    // in order as always; a small one is not worth waking them.
    std::vector<int> data;
    std::vector<std::uint32_t> convs;
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i) {
        udpwire::Kind kind;
        std::uint32_t conv = 0;
        const Received &r = batch[i];
        if (r.whole && udpwire::familyOf(r.data, r.size) == udpwire::Family::Session
            && udpwire::peekSession(r.data, r.size, &kind, &conv) && kind == udpwire::KindData) {
            data.push_back(i);
            convs.push_back(conv);
            bytes += r.size;
        }
    }
    if (!crypto::worthSpreading(int(data.size()), bytes))
        return;
    std::vector<const udpwire::Opener *> openers(data.size(), nullptr);
    for (std::size_t k = 0; k < data.size(); ++k) {
        const Received &r = batch[data[k]];
        const KcpSocket *socket = m_sessions.value(Key{r.from, r.port, convs[k], false});
        if (socket && socket->m_opener.isValid())
            openers[k] = &socket->m_opener;
    }
    std::vector<char> authentic(data.size(), 0);
    crypto::runParallel(int(data.size()), true, [&](int lane, int k) {
        const Received &r = batch[data[std::size_t(k)]];
        if (openers[std::size_t(k)])
            authentic[std::size_t(k)] = openers[std::size_t(k)]->tagIsAuthentic(r.data, r.size, lane);
    });
    for (std::size_t k = 0; k < data.size(); ++k) {
        Received &r = batch[data[k]];
        if (authentic[k])
            r.tagAuthenticFor = m_sessions.value(Key{r.from, r.port, convs[k], false});
    }
}

std::vector<QPointer<KcpSocket>> &UdpTransport::batchViewers()
{
    static thread_local std::vector<QPointer<KcpSocket>> viewers;
    return viewers;
}

void UdpTransport::deliverRelayed(const QByteArray &datagram, const QHostAddress &address, quint16 port)
{
    handle(datagram.constData(), datagram.size(), address, port, true);
}

void UdpTransport::handle(const char *data, int size, const QHostAddress &from, quint16 port, bool relayed,
                          const KcpSocket *tagAuthenticFor)
{
    switch (udpwire::familyOf(data, size)) {
    case udpwire::Family::Stun:
        if (relayed || !dispatch(m_stunHandlers, data, size, from, port))
            drop();
        return;
    case udpwire::Family::ChannelData:
        if (relayed || !dispatch(m_channelHandlers, data, size, from, port))
            drop();
        return;
    case udpwire::Family::Unknown:
        drop();
        return;
    case udpwire::Family::Session:
        break;
    }

    udpwire::Kind kind;
    std::uint32_t conv = 0;
    if (!udpwire::peekSession(data, size, &kind, &conv)) {
        drop();
        return;
    }
    const QPointer<KcpSocket> socket = m_sessions.value(Key{from, port, conv, relayed});
    if (!socket) {
        if (kind == udpwire::KindOpen)
            handleOpen(data, size, from, port, relayed);
        else
            drop();
        return;
    }
    if (kind == udpwire::KindOpen || kind == udpwire::KindAccept) {
        QByteArray remoteKey;
        if (udpwire::parseHandshake(data, size, kind, &conv, &remoteKey))
            socket->onHandshake(kind, remoteKey);
        else
            drop();
        return;
    }
    socket->onSessionDatagram(data, size, socket == tagAuthenticFor, !relayed);
}

void UdpTransport::handleOpen(const char *data, int size, const QHostAddress &from, quint16 port, bool relayed)
{
    std::uint32_t conv = 0;
    QByteArray remoteKey;
    if (!udpwire::parseHandshake(data, size, udpwire::KindOpen, &conv, &remoteKey) || !m_hub
        || m_sessions.size() >= kMaxSessions) {
        drop();
        return;
    }
    auto *socket = new KcpSocket(this, relayed);
    if (!socket->answer(from, port, conv, remoteKey) || !m_hub->acceptStream(socket, relayed ? QStringLiteral("turn") : QStringLiteral("udp"))) {
        logPrintf(LogUdp1, "UDP session from %s:%u refused", qPrintable(from.toString()), port);
        socket->m_kcp.reset();   // no CLOSE: the other side never got an ACCEPT it could trust
        delete socket;
        drop();
        return;
    }
    sendFor(socket, socket->m_accept.constData(), socket->m_accept.size());
    Q_EMIT incomingSession(socket);
}

qint64 UdpTransport::unprovenAllowance(qint64 held) const
{
    return qMax<qint64>(0, qMin(kUnprovenSessionBytes, kUnprovenBudgetBytes - (m_unprovenBytes - held)));
}

void UdpTransport::returnMemorySoon()
{
    // glibc keeps freed memory for later; after a large session nothing may need it soon.
    if (m_returnQueued)
        return;
    m_returnQueued = true;
    QTimer::singleShot(1000, this, [this] {
        m_returnQueued = false;
#ifdef __GLIBC__
        ::malloc_trim(0);
#endif
    });
}

bool UdpTransport::registerSession(KcpSocket *socket, const QHostAddress &address, quint16 port)
{
    const Key key{address, port, socket->conv(), socket->isRelayed()};
    if (m_sessions.size() >= kMaxSessions || m_sessions.value(key))
        return false;
    m_sessions.insert(key, socket);
    return true;
}

void UdpTransport::unregisterSession(KcpSocket *socket, const QHostAddress &address, quint16 port)
{
    const Key key{address, port, socket->conv(), socket->isRelayed()};
    if (m_sessions.value(key) == socket)
        m_sessions.remove(key);
}

} // namespace com
