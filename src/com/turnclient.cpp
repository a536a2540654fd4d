#include "com/turnclient.h"

#include "app/base/log.h"
#include "com/stunmessage.h"
#include "com/udptransport.h"

#include <QNetworkProxy>
#include <QSslConfiguration>
#include <QNetworkDatagram>
#include <QSslSocket>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

namespace com {

namespace {

constexpr quint32 kTransportUdp = 17u << 24;
constexpr int kTickMs = 50;
constexpr int kMaxAuthRetries = 3;
constexpr int kMaxChannels = 0x7FFF - 0x4000;
constexpr int kChannelHeaderBytes = 4;

} // namespace

TurnClient::TurnClient(UdpTransport *transport, QObject *parent)
    : QObject(parent)
    , m_transport(transport)
{
    m_clock.start();
    m_timer = new QTimer(this);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &TurnClient::onTick);
    if (transport) {
        // Once we talk to the server from a port of our own, what reaches the shared one
        // belongs to an allocation we no longer hold.
        transport->addStunHandler(this, [this](const QByteArray &d, const QHostAddress &from, quint16 port) {
            return !m_freshSocket && onStun(d, from, port);
        });
        transport->addChannelDataHandler(this, [this](const QByteArray &d, const QHostAddress &from, quint16 port) {
            return !m_freshSocket && onChannelData(d, from, port);
        });
        transport->setRelaySender([this](const QByteArray &d, const QHostAddress &peer, quint16 port) {
            return send(d, peer, port);
        });
    }
}

TurnClient::~TurnClient()
{
    if (m_transport)
        m_transport->setRelaySender(UdpTransport::RelaySender());
}

void TurnClient::setServer(const QHostAddress &address, quint16 port)
{
    m_server = address;
    m_serverPort = port;
}

void TurnClient::setTls(bool tls, const QList<QSslCertificate> &caCertificates)
{
    m_tls = tls;
    m_caCertificates = caCertificates;
}

void TurnClient::setCredentials(const QString &username, const QString &password)
{
    m_username = username;
    m_password = password;
}

QString TurnClient::endpointKey(const QHostAddress &address, quint16 port)
{
    return address.toString() + QLatin1Char('|') + QString::number(port);
}

quint16 TurnClient::localPort() const
{
    if (m_tls)
        return m_tlsSocket ? m_tlsSocket->localPort() : 0;
    if (m_freshSocket)
        return m_freshSocket->localPort();
    return m_transport ? m_transport->port() : 0;
}

int TurnClient::boundChannels() const
{
    int n = 0;
    for (const Channel &c : m_channels)
        n += c.bound ? 1 : 0;
    return n;
}

void TurnClient::start()
{
    m_allocated = false;
    m_pending.clear();
    m_channels.clear();
    m_channelPeers.clear();
    m_authRetries = 0;
    m_nextChannel = 0x4000;
    m_lastFromServer = m_lastRelayedOut = m_lastProbe = m_clock.elapsed();
    // Credentials may have changed: ask afresh for realm and nonce.
    m_key.clear();
    m_nonce.clear();
    m_realm.clear();
    if (m_server.isNull() || !m_serverPort || !m_transport) {
        fail(QStringLiteral("no TURN server"));
        return;
    }
    m_timer->start();
    if (m_tls) {
        startTls();
        return;
    }
    stun::Message allocate = stun::Message::request(stun::MethodAllocate);
    allocate.addU32(stun::AttrRequestedTransport, kTransportUdp);
    request(KindAllocate, allocate, Pending());
}

void TurnClient::startTls()
{
    if (m_tlsSocket) {
        m_tlsSocket->disconnect(this);
        m_tlsSocket->abort();
        m_tlsSocket->deleteLater();
    }
    m_tlsIn.clear();
    m_tlsSocket = new QSslSocket(this);
    m_tlsSocket->setProxy(QNetworkProxy::NoProxy);
    if (!m_caCertificates.isEmpty()) {
        QSslConfiguration config = m_tlsSocket->sslConfiguration();
        config.addCaCertificates(m_caCertificates);
        m_tlsSocket->setSslConfiguration(config);
    }
    connect(m_tlsSocket, &QSslSocket::encrypted, this, [this] {
        stun::Message allocate = stun::Message::request(stun::MethodAllocate);
        allocate.addU32(stun::AttrRequestedTransport, kTransportUdp);
        request(KindAllocate, allocate, Pending());
    });
    connect(m_tlsSocket, &QSslSocket::readyRead, this, &TurnClient::onTlsReadyRead);
    connect(m_tlsSocket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            [this](const QList<QSslError> &errors) {
                fail(QStringLiteral("TURN server certificate: %1").arg(errors.value(0).errorString()));
            });
    connect(m_tlsSocket, &QSslSocket::disconnected, this, [this] {
        // The server drops the allocation with the connection.
        if (m_allocated)
            loseAllocation(QStringLiteral("TURN TLS connection closed"));
        else
            fail(QStringLiteral("TURN TLS connection closed"));
    });
    connect(m_tlsSocket, &QAbstractSocket::errorOccurred, this, [this] {
        if (!m_tlsSocket || m_tlsSocket->error() == QAbstractSocket::SslHandshakeFailedError)
            return;
        const QString reason = QStringLiteral("TURN TLS: %1").arg(m_tlsSocket->errorString());
        if (m_allocated)
            loseAllocation(reason);
        else
            fail(reason);
    });
    m_tlsSocket->connectToHostEncrypted(m_server.toString(), m_serverPort);
}

void TurnClient::onTlsReadyRead()
{
    m_tlsIn += m_tlsSocket->readAll();
    // STUN messages and channel data one after the other; channel data padded to 4 bytes.
    while (m_tlsSocket && m_tlsIn.size() >= 4) {
        const quint8 first = quint8(m_tlsIn[0]);
        const int length = qFromBigEndian<quint16>(m_tlsIn.constData() + 2);
        int frame = 0;
        if (first <= 0x3F)
            frame = stun::kHeaderBytes + length;
        else if (first <= 0x7F)
            frame = kChannelHeaderBytes + ((length + 3) & ~3);
        else {
            fail(QStringLiteral("TURN TLS stream out of step"));
            return;
        }
        if (m_tlsIn.size() < frame)
            return;
        const QByteArray bytes = m_tlsIn.left(frame);
        m_tlsIn.remove(0, frame);
        if (first <= 0x3F)
            onStun(bytes, m_server, m_serverPort);
        else
            onChannelData(bytes, m_server, m_serverPort);
    }
}

bool TurnClient::sendToServer(const QByteArray &bytes)
{
    if (!m_tls && m_freshSocket)
        return m_freshSocket->writeDatagram(bytes, m_server, m_serverPort) == bytes.size();
    if (!m_tls)
        return m_transport && m_transport->sendDatagram(bytes, m_server, m_serverPort);
    if (!m_tlsSocket || !m_tlsSocket->isEncrypted())
        return false;
    // Over a stream, channel data is padded to a multiple of 4 bytes.
    const int pad = (4 - bytes.size() % 4) % 4;
    m_tlsSocket->write(bytes);
    if (pad)
        m_tlsSocket->write(QByteArray(pad, '\0'));
    return true;
}

void TurnClient::stop()
{
    if (m_allocated) {
        // Not waited for: the program may be ending. Should it get lost, the server keeps
        // the allocation until its lifetime ends, and a successor moves to a fresh port.
        stun::Message refresh = stun::Message::request(stun::MethodRefresh);
        refresh.addU32(stun::AttrLifetime, 0);
        authenticate(refresh);
        sendRaw(refresh.encode(m_key));
        logPrintf(LogTurn1, "TURN relay %s:%u released", qPrintable(m_relayed.toString()), m_relayedPort);
    }
    m_allocated = false;
    m_pending.clear();
    m_channels.clear();
    m_channelPeers.clear();
    m_timer->stop();
    if (m_tlsSocket) {
        m_tlsSocket->disconnect(this);
        m_tlsSocket->flush();
        m_tlsSocket->disconnectFromHost();
        m_tlsSocket->deleteLater();
        m_tlsSocket = nullptr;
    }
    delete m_freshSocket;
    m_freshSocket = nullptr;
}

void TurnClient::authenticate(stun::Message &message) const
{
    if (m_key.isEmpty())
        return;
    message.add(stun::AttrUsername, m_username.toUtf8());
    message.add(stun::AttrRealm, m_realm.toUtf8());
    message.add(stun::AttrNonce, m_nonce);
}

void TurnClient::request(Kind kind, stun::Message message, Pending context)
{
    authenticate(message);
    context.kind = kind;
    context.raw = message.encode(m_key);
    context.sent = 1;
    context.waitMs = m_timings.firstRetransmitMs;
    context.nextAt = m_clock.elapsed() + context.waitMs;
    m_pending.insert(message.transactionId, context);
    sendRaw(context.raw);
}

void TurnClient::sendRaw(const QByteArray &raw)
{
    sendToServer(raw);
}

void TurnClient::onTick()
{
    const qint64 now = m_clock.elapsed();
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        Pending &p = it.value();
        if (now < p.nextAt) {
            ++it;
            continue;
        }
        if (p.sent >= m_timings.attempts) {
            const Kind kind = p.kind;
            it = m_pending.erase(it);
            if (kind == KindRefresh && m_allocated) {
                loseAllocation(QStringLiteral("TURN server does not answer a refresh"));
                return;
            }
            if (kind == KindAllocate || kind == KindRefresh) {
                fail(QStringLiteral("TURN server does not answer"));
                return;
            }
            continue;
        }
        p.waitMs *= 2;
        p.nextAt = now + p.waitMs;
        ++p.sent;
        sendRaw(p.raw);
        ++it;
    }
    if (!m_allocated)
        return;
    probeIfSilent(now);
    if (!m_allocated)
        return;
    // Refresh well before the server would let the allocation, permissions, channels lapse.
    if (now - m_allocatedAt > qint64(qMax(30, m_lifetimeS / 2)) * 1000)
        refreshNow();
    if (now - m_permissionsAt > m_timings.permissionRefreshMs && !m_permitted.isEmpty()) {
        QList<QHostAddress> peers;
        for (const QString &p : qAsConst(m_permitted))
            peers.append(QHostAddress(p));
        createPermissions(peers);
    }
    for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
        if (it->bound && now - it->boundAt > m_timings.channelRefreshMs) {
            it->boundAt = now;   // once per interval, answered or not
            const auto peer = m_channelPeers.value(it->number);
            Pending context;
            context.peer = peer.first;
            context.peerPort = peer.second;
            context.channel = it->number;
            stun::Message bind = stun::Message::request(stun::MethodChannelBind);
            bind.addU32(stun::AttrChannelNumber, quint32(it->number) << 16);
            bind.addXorAddress(stun::AttrXorPeerAddress, peer.first, peer.second);
            request(KindChannel, bind, context);
        }
    }
}

void TurnClient::probeIfSilent(qint64 now)
{
    // A live relay carries the other side's answers and keep-alives back; datagrams going
    // out into silence mean either a silent peer or a server that forgot us. One refresh
    // per interval tells which, at the cost of one small request.
    const int limit = m_timings.silenceProbeMs;
    if (now - m_lastRelayedOut > limit || now - m_lastFromServer < limit || now - m_lastProbe < limit)
        return;
    for (const Pending &p : qAsConst(m_pending)) {
        if (p.kind == KindRefresh)
            return;
    }
    m_lastProbe = now;
    logPrintf(LogTurn1, "TURN: nothing from the server for %lld ms, asking it", now - m_lastFromServer);
    refreshNow();
}

void TurnClient::refreshNow()
{
    if (!m_allocated)
        return;
    m_allocatedAt = m_clock.elapsed();
    stun::Message refresh = stun::Message::request(stun::MethodRefresh);
    refresh.addU32(stun::AttrLifetime, quint32(m_lifetimeS));
    request(KindRefresh, refresh, Pending());
}

void TurnClient::permit(const QHostAddress &peer)
{
    if (peer.isNull())
        return;
    const QString key = peer.toString();
    if (m_permitted.contains(key))
        return;
    m_permitted.insert(key);
    if (m_allocated)
        createPermissions({peer});
}

void TurnClient::createPermissions(const QList<QHostAddress> &peers)
{
    m_permissionsAt = m_clock.elapsed();
    // One request may carry several; keep each well inside the datagram size.
    for (int i = 0; i < peers.size(); i += 16) {
        stun::Message create = stun::Message::request(stun::MethodCreatePermission);
        for (int j = i; j < peers.size() && j < i + 16; ++j)
            create.addXorAddress(stun::AttrXorPeerAddress, peers[j], 0);
        Pending context;
        context.peers = peers.mid(i, 16);
        request(KindPermission, create, context);
    }
}

void TurnClient::bindChannel(const QHostAddress &peer, quint16 port)
{
    const QString key = endpointKey(peer, port);
    if (m_channels.contains(key) || m_channels.size() >= kMaxChannels)
        return;
    Channel channel;
    channel.number = m_nextChannel++;
    m_channels.insert(key, channel);
    m_channelPeers.insert(channel.number, {peer, port});
    Pending context;
    context.peer = peer;
    context.peerPort = port;
    context.channel = channel.number;
    stun::Message bind = stun::Message::request(stun::MethodChannelBind);
    bind.addU32(stun::AttrChannelNumber, quint32(channel.number) << 16);
    bind.addXorAddress(stun::AttrXorPeerAddress, peer, port);
    request(KindChannel, bind, context);
}

bool TurnClient::send(const QByteArray &datagram, const QHostAddress &peer, quint16 port)
{
    if (!m_allocated || !m_transport)
        return false;
    m_lastRelayedOut = m_clock.elapsed();
    if (!m_permitted.contains(peer.toString()))
        permit(peer);
    const QString key = endpointKey(peer, port);
    const auto channel = m_channels.constFind(key);
    if (channel != m_channels.constEnd() && channel->bound) {
        QByteArray framed(kChannelHeaderBytes, Qt::Uninitialized);
        qToBigEndian<quint16>(channel->number, framed.data());
        qToBigEndian<quint16>(quint16(datagram.size()), framed.data() + 2);
        framed += datagram;
        return sendToServer(framed);
    }
    if (channel == m_channels.constEnd())
        bindChannel(peer, port);
    stun::Message indication = stun::Message::indication(stun::MethodSend);
    indication.addXorAddress(stun::AttrXorPeerAddress, peer, port);
    indication.add(stun::AttrData, datagram);
    return sendToServer(indication.encode());
}

bool TurnClient::onChannelData(const QByteArray &datagram, const QHostAddress &from, quint16 port)
{
    if (port != m_serverPort || !from.isEqual(m_server, QHostAddress::ConvertV4MappedToIPv4) || !m_allocated)
        return false;
    if (datagram.size() < kChannelHeaderBytes)
        return false;
    const quint16 number = qFromBigEndian<quint16>(datagram.constData());
    const int length = qFromBigEndian<quint16>(datagram.constData() + 2);
    const auto peer = m_channelPeers.constFind(number);
    if (peer == m_channelPeers.constEnd() || length > datagram.size() - kChannelHeaderBytes)
        return false;
    m_lastFromServer = m_clock.elapsed();
    if (m_transport)
        m_transport->deliverRelayed(datagram.mid(kChannelHeaderBytes, length), peer->first, peer->second);
    return true;
}

bool TurnClient::onStun(const QByteArray &datagram, const QHostAddress &from, quint16 port)
{
    if (port != m_serverPort || !from.isEqual(m_server, QHostAddress::ConvertV4MappedToIPv4))
        return false;
    stun::Message m;
    if (!stun::decode(datagram.constData(), datagram.size(), &m))
        return false;
    if (m.cls == stun::ClassIndication) {
        if (m.method != stun::MethodData || !m_allocated)
            return false;
        QHostAddress peer;
        quint16 peerPort = 0;
        if (!m.xorAddress(stun::AttrXorPeerAddress, &peer, &peerPort) || !m.has(stun::AttrData))
            return false;
        m_lastFromServer = m_clock.elapsed();
        if (m_transport)
            m_transport->deliverRelayed(m.attribute(stun::AttrData), peer, peerPort);
        return true;
    }
    const auto it = m_pending.find(m.transactionId);
    if (it == m_pending.end() || m.cls == stun::ClassRequest)
        return false;
    // A success must prove it knows our password; an error before we have one cannot.
    if (!m_key.isEmpty() && m.cls == stun::ClassSuccess && !stun::integrityMatches(datagram, m_key))
        return false;
    const Pending pending = it.value();
    m_pending.erase(it);
    onResponse(pending, m);
    return true;
}

void TurnClient::onResponse(const Pending &pending, const stun::Message &response)
{
    if (response.cls == stun::ClassError) {
        const int code = response.errorCode();
        // 401: credentials wanted (or the nonce changed); 438: stale nonce. Both give a
        // realm and nonce to ask again with.
        if ((code == 401 || code == 438) && response.has(stun::AttrNonce) && ++m_authRetries <= kMaxAuthRetries
            && !m_username.isEmpty()) {
            if (response.has(stun::AttrRealm))
                m_realm = QString::fromUtf8(response.attribute(stun::AttrRealm));
            m_nonce = response.attribute(stun::AttrNonce);
            m_key = stun::longTermKey(m_username, m_realm, m_password);
            stun::Message again;
            stun::decode(pending.raw.constData(), pending.raw.size(), &again);
            // Same request, fresh transaction, this time with credentials.
            stun::Message retry = stun::Message::request(again.method);
            for (const auto &a : qAsConst(again.attributes))
                if (a.first != stun::AttrUsername && a.first != stun::AttrRealm && a.first != stun::AttrNonce
                    && a.first != stun::AttrMessageIntegrity)
                    retry.add(a.first, a.second);
            request(pending.kind, retry, pending);
            return;
        }
        if (code == 437 && pending.kind == KindAllocate && !m_tls && !m_freshSocket) {
            // The server still holds an allocation for our address and port, one this
            // program's predecessor on the port never gave back. Waiting for it to expire
            // would leave us without a relay for minutes.
            logPrintf(LogTurn1, "TURN: port %u still has an allocation, moving to a fresh port", localPort());
            useFreshPort();
            start();
            return;
        }
        if (code == 437 && pending.kind != KindAllocate && m_allocated) {
            loseAllocation(QStringLiteral("TURN server no longer knows the allocation"));
            return;
        }
        if (pending.kind == KindAllocate || (pending.kind == KindRefresh && code == 437)) {
            fail(QStringLiteral("TURN %1 refused: %2").arg(pending.kind == KindAllocate ? "allocation" : "refresh").arg(code));
            return;
        }
        if (pending.kind == KindChannel) {
            m_channels.remove(endpointKey(pending.peer, pending.peerPort));
            m_channelPeers.remove(pending.channel);
        }
        logPrintf(LogTurn1, "TURN request refused: %d", code);
        return;
    }
    m_authRetries = 0;
    switch (pending.kind) {
    case KindAllocate: {
        quint16 port = 0, mappedPort = 0;
        if (!response.xorAddress(stun::AttrXorRelayedAddress, &m_relayed, &port)) {
            fail(QStringLiteral("TURN allocation without a relayed address"));
            return;
        }
        m_relayedPort = port;
        response.xorAddress(stun::AttrXorMappedAddress, &m_mapped, &mappedPort);
        quint32 lifetime = 0;
        if (response.u32(stun::AttrLifetime, &lifetime) && lifetime > 0)
            m_lifetimeS = int(qMin<quint32>(lifetime, 3600));
        m_allocated = true;
        m_allocatedAt = m_clock.elapsed();
        logPrintf(LogTurn1, "TURN relay %s:%u", qPrintable(m_relayed.toString()), m_relayedPort);
        // Peers on the same relay server come from its own relay address.
        m_permitted.insert(m_relayed.toString());
        QList<QHostAddress> peers;
        for (const QString &p : qAsConst(m_permitted))
            peers.append(QHostAddress(p));
        createPermissions(peers);
        Q_EMIT allocated();
        return;
    }
    case KindRefresh:
        ++m_refreshes;
        m_lastFromServer = m_clock.elapsed();
        return;
    case KindPermission:
        return;
    case KindChannel: {
        auto it = m_channels.find(endpointKey(pending.peer, pending.peerPort));
        if (it != m_channels.end() && it->number == pending.channel) {
            it->bound = true;
            it->boundAt = m_clock.elapsed();
        }
        return;
    }
    }
}

void TurnClient::loseAllocation(const QString &reason)
{
    logPrintf(LogTurn1, "TURN relay %s:%u lost: %s", qPrintable(m_relayed.toString()), m_relayedPort, qPrintable(reason));
    m_allocated = false;
    Q_EMIT lost(reason);
    start();
}

void TurnClient::useFreshPort()
{
    delete m_freshSocket;
    m_freshSocket = new QUdpSocket(this);
    m_freshSocket->setProxy(QNetworkProxy::NoProxy);
    const bool v6 = m_server.protocol() == QAbstractSocket::IPv6Protocol;
    if (!m_freshSocket->bind(QHostAddress(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4), 0)) {
        logPrintf(LogTurn1, "TURN: no fresh port: %s", qPrintable(m_freshSocket->errorString()));
        return;
    }
    connect(m_freshSocket, &QUdpSocket::readyRead, this, &TurnClient::onFreshPortReadable);
}

void TurnClient::onFreshPortReadable()
{
    while (m_freshSocket && m_freshSocket->hasPendingDatagrams()) {
        const QNetworkDatagram d = m_freshSocket->receiveDatagram();
        const QByteArray bytes = d.data();
        if (bytes.isEmpty())
            continue;
        // The same first-byte rule as on the shared socket: STUN, then channel data.
        const quint8 first = quint8(bytes[0]);
        if (first <= 0x3F)
            onStun(bytes, d.senderAddress(), quint16(d.senderPort()));
        else if (first <= 0x7F)
            onChannelData(bytes, d.senderAddress(), quint16(d.senderPort()));
    }
}

void TurnClient::fail(const QString &reason)
{
    logPrintf(LogTurn1, "TURN: %s", qPrintable(reason));
    if (m_tlsSocket) {
        m_tlsSocket->disconnect(this);
        m_tlsSocket->abort();
        m_tlsSocket->deleteLater();
        m_tlsSocket = nullptr;
    }
    m_allocated = false;
    m_timer->stop();
    m_pending.clear();
    Q_EMIT failed(reason);
}

} // namespace com
