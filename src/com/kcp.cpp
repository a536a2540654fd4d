#include "com/kcp.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace com {

namespace {

constexpr std::uint32_t kRtoNoDelayMin = 30;
constexpr std::uint32_t kRtoMin = 100;
constexpr std::uint32_t kRtoMax = 60000;
constexpr std::uint32_t kAskSend = 1;   // we must ask the peer's window
constexpr std::uint32_t kAskTell = 2;   // we must tell ours
constexpr std::uint32_t kThreshMin = 16;
constexpr std::uint32_t kProbeInit = 7000;
constexpr std::uint32_t kProbeLimit = 120000;

// Sequence numbers and clocks wrap: compare them by signed distance.
inline std::int32_t diff(std::uint32_t later, std::uint32_t earlier)
{
    return std::int32_t(later - earlier);
}

} // namespace

Kcp::Kcp(std::uint32_t conv, Output output)
    : m_conv(conv)
    , m_output(std::move(output))
{
    m_rto = 200;
    m_minRto = kRtoMin;
    // Slow start until the first loss, as TCP does.
    m_ssthresh = 0xFFFF;
    m_cwnd = 1;
    m_incr = std::uint32_t(m_mss);
    sizeOutput();
}

bool Kcp::setMtu(int mtu)
{
    if (mtu < 50 || mtu > 65000)
        return false;
    m_mtu = mtu;
    m_mss = mtu - kHeaderBytes;
    sizeOutput();
    return true;
}

void Kcp::setOutputRoom(int before)
{
    flushOutput();
    m_roomBefore = std::max(0, before);
    sizeOutput();
}

void Kcp::sizeOutput()
{
    flushOutput();
    m_outs.assign(1, std::vector<char>(std::size_t(m_roomBefore + m_mtu)));
    m_outIndex = 0;
}

void Kcp::setWindow(int sendSegments, int receiveSegments)
{
    if (sendSegments > 0)
        m_sndWnd = std::uint32_t(sendSegments);
    if (receiveSegments > 0)   // at least the largest message a fragment count can describe
        m_rcvWnd = std::max<std::uint32_t>(std::uint32_t(receiveSegments), 128);
}

void Kcp::setNoDelay(bool nodelay, int intervalMs, int fastResend, bool noCongestion)
{
    m_nodelay = nodelay;
    m_minRto = nodelay ? kRtoNoDelayMin : kRtoMin;
    m_interval = std::uint32_t(std::clamp(intervalMs, 1, 5000));
    m_fastResend = std::max(0, fastResend);
    m_noCwnd = noCongestion;
}

bool Kcp::send(const char *data, int size)
{
    if (size <= 0 || !data)
        return false;
    if (m_stream && !m_sendQueue.empty()) {
        Segment &last = m_sendQueue.back();
        if (last.payloadSize() < m_mss) {
            const int extend = std::min(size, m_mss - last.payloadSize());
            last.data.append(data, extend);
            m_pendingBytes += extend;
            data += extend;
            size -= extend;
        }
        if (size == 0)
            return true;
    }
    const int count = (size + m_mss - 1) / m_mss;
    if (!m_stream && (count >= int(m_rcvWnd) || count > 255))
        return false;
    for (int i = 0; i < count; ++i) {
        const int take = std::min(size, m_mss);
        Segment s;
        // Room for the headers in front: a segment that fills a datagram alone leaves from here.
        s.at = m_roomBefore + kHeaderBytes;
        s.data = QByteArray(s.at + take, Qt::Uninitialized);
        std::memcpy(s.data.data() + s.at, data, std::size_t(take));
        s.frg = m_stream ? 0 : std::uint8_t(count - i - 1);
        m_sendQueue.push_back(std::move(s));
        m_pendingBytes += take;
        data += take;
        size -= take;
    }
    return true;
}

int Kcp::peekSize() const
{
    if (m_receiveQueue.empty())
        return -1;
    const Segment &first = m_receiveQueue.front();
    if (first.frg == 0)
        return first.data.size();
    if (m_receiveQueue.size() < std::size_t(first.frg) + 1)
        return -1;
    int total = 0;
    for (const Segment &s : m_receiveQueue) {
        total += s.data.size();
        if (s.frg == 0)
            break;
    }
    return total;
}

void Kcp::takeSegmentBytes(std::uint32_t bytes)
{
    m_receivedQueueBytes -= bytes;
}

void Kcp::receiveStream(QByteArray &out)
{
    const bool wasFull = m_receiveQueue.size() >= m_rcvWnd;
    while (!m_receiveQueue.empty()) {
        QByteArray &data = m_receiveQueue.front().data;
        takeSegmentBytes(std::uint32_t(data.size()));
        if (out.isEmpty())
            out.swap(data);   // a reader that keeps up takes each segment without a copy
        else
            out.append(data);
        m_receiveQueue.pop_front();
    }
    moveToReceiveQueue();
    // The peer saw a closed window; tell it the window is open again.
    if (wasFull && m_receiveQueue.size() < m_rcvWnd)
        m_probe |= kAskTell;
}

bool Kcp::receiveMessage(QByteArray &out)
{
    const int size = peekSize();
    if (size < 0)
        return false;
    const bool wasFull = m_receiveQueue.size() >= m_rcvWnd;
    out.clear();
    out.reserve(size);
    while (!m_receiveQueue.empty()) {
        const std::uint8_t frg = m_receiveQueue.front().frg;
        out.append(m_receiveQueue.front().data);
        takeSegmentBytes(std::uint32_t(m_receiveQueue.front().data.size()));
        m_receiveQueue.pop_front();
        if (frg == 0)
            break;
    }
    moveToReceiveQueue();
    if (wasFull && m_receiveQueue.size() < m_rcvWnd)
        m_probe |= kAskTell;
    return true;
}

void Kcp::moveToReceiveQueue()
{
    while (!m_receiveBuffer.empty() && m_receiveBuffer.front().sn == m_rcvNxt
           && m_receiveQueue.size() < m_rcvWnd) {
        Segment &next = m_receiveBuffer.front();
        m_receiveBufferBytes -= next.data.size() + kSegmentCostBytes;
        if (m_stream && m_sink) {
            m_sink(next.data.constData(), next.data.size());
        } else {
            m_receivedQueueBytes += next.data.size();
            m_receiveQueue.push_back(std::move(next));
        }
        m_receiveBuffer.pop_front();
        ++m_rcvNxt;
    }
}

void Kcp::updateRtt(std::int32_t rtt)
{
    if (m_srtt == 0) {
        m_srtt = rtt;
        m_rttVar = rtt / 2;
    } else {
        const std::int32_t delta = rtt > m_srtt ? rtt - m_srtt : m_srtt - rtt;
        m_rttVar = (3 * m_rttVar + delta) / 4;
        m_srtt = (7 * m_srtt + rtt) / 8;
        if (m_srtt < 1)
            m_srtt = 1;
    }
    const std::uint32_t rto = std::uint32_t(m_srtt) + std::max<std::uint32_t>(m_interval, 4 * std::uint32_t(m_rttVar));
    m_rto = std::clamp(rto, m_minRto, kRtoMax);
}

void Kcp::shrinkBuffer()
{
    m_sndUna = m_sendBuffer.empty() ? m_sndNxt : m_sendBuffer.front().sn;
}

void Kcp::parseAck(std::uint32_t sn)
{
    if (diff(sn, m_sndUna) < 0 || diff(sn, m_sndNxt) >= 0)
        return;
    for (auto it = m_sendBuffer.begin(); it != m_sendBuffer.end(); ++it) {
        if (it->sn == sn) {
            m_pendingBytes -= it->payloadSize();
            m_sendBuffer.erase(it);
            return;
        }
        if (diff(sn, it->sn) < 0)
            return;
    }
}

void Kcp::parseUna(std::uint32_t una)
{
    while (!m_sendBuffer.empty() && diff(una, m_sendBuffer.front().sn) > 0) {
        m_pendingBytes -= m_sendBuffer.front().payloadSize();
        m_sendBuffer.pop_front();
    }
}

void Kcp::parseFastAck(std::uint32_t sn, std::uint32_t ts)
{
    if (diff(sn, m_sndUna) < 0 || diff(sn, m_sndNxt) >= 0)
        return;
    for (Segment &s : m_sendBuffer) {
        if (diff(sn, s.sn) < 0)
            break;
        // Only segments sent before the acknowledged one count as skipped over.
        if (sn != s.sn && diff(ts, s.ts) >= 0)
            ++s.fastAck;
    }
}

bool Kcp::parseData(Segment &&segment)
{
    const std::uint32_t sn = segment.sn;
    if (diff(sn, m_rcvNxt + m_rcvWnd) >= 0)
        return false;
    if (diff(sn, m_rcvNxt) < 0)
        return true;   // had it already
    // Usually in order: search from the back.
    auto it = m_receiveBuffer.end();
    while (it != m_receiveBuffer.begin()) {
        auto prev = std::prev(it);
        if (prev->sn == sn)
            return true;   // a duplicate
        if (diff(sn, prev->sn) > 0)
            break;
        it = prev;
    }
    // Out of order data is held only up to a bound: the sender sends it again later.
    const qint64 cost = segment.data.size() + kSegmentCostBytes;
    if (m_receiveBufferBytes + cost > m_outOfOrderLimit && sn != m_rcvNxt)
        return false;
    m_receiveBufferBytes += cost;
    m_receiveBuffer.insert(it, std::move(segment));
    moveToReceiveQueue();
    return true;
}

bool Kcp::input(const char *data, int size, std::uint32_t now)
{
    m_current = now;
    const std::uint32_t previousUna = m_sndUna;
    bool haveAck = false;
    std::uint32_t maxAck = 0, latestTs = 0;
    bool ok = size >= kHeaderBytes;

    while (ok && size >= kHeaderBytes) {
        const std::uint32_t conv = qFromLittleEndian<quint32>(data);
        const std::uint8_t cmd = std::uint8_t(data[4]);
        const std::uint8_t frg = std::uint8_t(data[5]);
        const std::uint16_t wnd = qFromLittleEndian<quint16>(data + 6);
        const std::uint32_t ts = qFromLittleEndian<quint32>(data + 8);
        const std::uint32_t sn = qFromLittleEndian<quint32>(data + 12);
        const std::uint32_t una = qFromLittleEndian<quint32>(data + 16);
        const std::uint32_t len = qFromLittleEndian<quint32>(data + 20);
        data += kHeaderBytes;
        size -= kHeaderBytes;
        if (conv != m_conv || len > std::uint32_t(size) || cmd < CmdPush || cmd > CmdWindowTell
            || (cmd == CmdPush && (len == 0 || len > kMaxSegmentBytes))) {
            ok = false;
            break;
        }

        m_rmtWnd = wnd;
        parseUna(una);
        shrinkBuffer();

        if (cmd == CmdAck) {
            if (diff(m_current, ts) >= 0)
                updateRtt(diff(m_current, ts));
            parseAck(sn);
            shrinkBuffer();
            if (!haveAck || diff(sn, maxAck) > 0) {
                haveAck = true;
                maxAck = sn;
                latestTs = ts;
            }
        } else if (cmd == CmdPush) {
            // Acknowledged only once held: a segment turned away must come again.
            bool held = diff(sn, m_rcvNxt) < 0;
            if (!held && sn == m_rcvNxt && m_stream && m_sink && m_receiveQueue.empty()) {
                m_sink(data, int(len));   // the usual case: no segment to keep
                ++m_rcvNxt;
                moveToReceiveQueue();
                held = true;
            } else if (!held) {
                Segment s;
                s.conv = conv;
                s.cmd = cmd;
                s.frg = frg;
                s.wnd = wnd;
                s.ts = ts;
                s.sn = sn;
                s.una = una;
                s.data = QByteArray(data, int(len));
                held = parseData(std::move(s));
            }
            if (held)
                m_acks.emplace_back(sn, ts);
        } else if (cmd == CmdWindowAsk) {
            m_probe |= kAskTell;
        }
        data += len;
        size -= int(len);
    }

    if (haveAck)
        parseFastAck(maxAck, latestTs);

    // Growth by segments acknowledged, not by datagrams received: acknowledgements travel
    // many to a datagram.
    const std::int32_t acked = diff(m_sndUna, previousUna);
    if (acked > 0 && m_cwnd < m_rmtWnd) {
        const std::uint32_t mss = std::uint32_t(m_mss);
        for (std::int32_t i = 0; i < acked && m_cwnd < m_rmtWnd; ++i) {
            if (m_cwnd < m_ssthresh) {
                ++m_cwnd;
                m_incr = std::max(m_incr + mss, m_cwnd * mss);
            } else {
                if (m_incr < mss)
                    m_incr = mss;
                m_incr += (mss * mss) / m_incr + (mss / 16);
                if ((m_cwnd + 1) * mss <= m_incr)
                    m_cwnd = (m_incr + mss - 1) / mss;
            }
        }
        if (m_cwnd > m_rmtWnd) {
            m_cwnd = m_rmtWnd;
            m_incr = m_rmtWnd * mss;
        }
    }
    return ok && size == 0;
}

std::uint16_t Kcp::windowUnused() const
{
    const std::size_t queued = m_receiveQueue.size();
    return queued < m_rcvWnd ? std::uint16_t(std::min<std::size_t>(m_rcvWnd - queued, 0xFFFF)) : 0;
}

void Kcp::encodeHeader(char *p, const Segment &s) const
{
    qToLittleEndian<quint32>(s.conv, p);
    p[4] = char(s.cmd);
    p[5] = char(s.frg);
    qToLittleEndian<quint16>(s.wnd, p + 6);
    qToLittleEndian<quint32>(s.ts, p + 8);
    qToLittleEndian<quint32>(s.sn, p + 12);
    qToLittleEndian<quint32>(s.una, p + 16);
    qToLittleEndian<quint32>(std::uint32_t(s.payloadSize()), p + 20);
}

void Kcp::emitSegment(Segment &s)
{
    const int need = kHeaderBytes + s.payloadSize();
    if (m_outUsed + need > m_mtu)
        flushOutput();
    // A segment no other could join leaves where it lies, its headers in the room before it.
    if (need + kHeaderBytes > m_mtu && s.at >= m_roomBefore + kHeaderBytes) {
        flushOutput();
        char *header = s.data.data() + s.at - kHeaderBytes;
        encodeHeader(header, s);
        if (m_output)
            m_output(header, need);
        return;
    }
    // Only a segment queued before the MTU shrank is larger than the MTU allows.
    std::vector<char> &out = m_outs[m_outIndex];
    if (std::size_t(m_roomBefore + m_outUsed + need) > out.size())
        out.resize(std::size_t(m_roomBefore + m_outUsed + need));
    char *at = out.data() + m_roomBefore + m_outUsed;
    encodeHeader(at, s);
    if (s.payloadSize() > 0)
        std::memcpy(at + kHeaderBytes, s.payload(), std::size_t(s.payloadSize()));
    m_outUsed += need;
}

void Kcp::flushOutput()
{
    if (m_outUsed == 0)
        return;
    const int size = m_outUsed;
    m_outUsed = 0;
    // The next datagram goes to a buffer of its own: this one may still be on its way.
    char *datagram = m_outs[m_outIndex].data() + m_roomBefore;
    if (++m_outIndex == m_outs.size())
        m_outs.emplace_back(std::size_t(m_roomBefore + m_mtu));
    if (m_output)
        m_output(datagram, size);
}

void Kcp::flush()
{
    if (!m_updated)
        return;
    m_outIndex = 0;   // what the last flush handed over is gone
    Segment control;
    control.conv = m_conv;
    control.cmd = CmdAck;
    control.wnd = windowUnused();
    control.una = m_rcvNxt;

    for (const auto &ack : m_acks) {
        control.sn = ack.first;
        control.ts = ack.second;
        emitSegment(control);
    }
    m_acks.clear();

    // The peer's window is closed: ask it now and then whether it opened.
    if (m_rmtWnd == 0) {
        if (m_probeWait == 0) {
            m_probeWait = kProbeInit;
            m_tsProbe = m_current + m_probeWait;
        } else if (diff(m_current, m_tsProbe) >= 0) {
            m_probeWait = std::min(std::max(m_probeWait, kProbeInit) * 3 / 2, kProbeLimit);
            m_tsProbe = m_current + m_probeWait;
            m_probe |= kAskSend;
        }
    } else {
        m_tsProbe = 0;
        m_probeWait = 0;
    }
    control.sn = 0;
    control.ts = 0;
    if (m_probe & kAskSend) {
        control.cmd = CmdWindowAsk;
        emitSegment(control);
    }
    if (m_probe & kAskTell) {
        control.cmd = CmdWindowTell;
        emitSegment(control);
    }
    m_probe = 0;

    std::uint32_t cwnd = std::min(m_sndWnd, m_rmtWnd);
    if (!m_noCwnd)
        cwnd = std::min(m_cwnd, cwnd);
    while (!m_sendQueue.empty() && diff(m_sndNxt, m_sndUna + cwnd) < 0) {
        Segment s = std::move(m_sendQueue.front());
        m_sendQueue.pop_front();
        s.conv = m_conv;
        s.cmd = CmdPush;
        s.ts = m_current;
        s.sn = m_sndNxt++;
        s.una = m_rcvNxt;
        s.resendAt = m_current;
        s.rto = m_rto;
        s.fastAck = 0;
        s.xmit = 0;
        m_sendBuffer.push_back(std::move(s));
    }

    const std::uint32_t resent = m_fastResend > 0 ? std::uint32_t(m_fastResend) : 0xFFFFFFFFu;
    const std::uint32_t rtoExtra = m_nodelay ? 0 : (m_rto >> 3);
    bool lost = false, fastRetransmitted = false;
    for (Segment &s : m_sendBuffer) {
        bool needSend = false;
        if (s.xmit == 0) {
            needSend = true;
            s.xmit = 1;
            s.rto = m_rto;
            s.resendAt = m_current + s.rto + rtoExtra;
        } else if (diff(m_current, s.resendAt) >= 0) {
            needSend = true;
            ++s.xmit;
            ++m_retransmissions;
            if (!m_nodelay)
                s.rto += std::max(s.rto, m_rto);
            else
                s.rto += s.rto / 2;
            s.rto = std::min(s.rto, kRtoMax);
            s.resendAt = m_current + s.rto;
            lost = true;
        } else if (s.fastAck >= resent && (int(s.xmit) <= m_fastLimit || m_fastLimit <= 0)) {
            needSend = true;
            ++s.xmit;
            ++m_retransmissions;
            s.fastAck = 0;
            s.resendAt = m_current + s.rto;
            fastRetransmitted = true;
        }
        if (needSend) {
            s.ts = m_current;
            s.wnd = control.wnd;
            s.una = m_rcvNxt;
            emitSegment(s);
            if (s.xmit >= m_deadLink)
                m_dead = true;
        }
    }
    flushOutput();

    // One reduction per round trip: the losses of one window are one congestion event.
    const std::uint32_t mss = std::uint32_t(m_mss);
    if ((fastRetransmitted || lost) && (!m_recovering || diff(m_sndUna, m_recoverUntil) >= 0)) {
        const std::uint32_t inflight = m_sndNxt - m_sndUna;
        m_ssthresh = std::max(std::min(inflight, m_cwnd) / 2, kThreshMin);
        m_cwnd = lost ? std::max(m_ssthresh / 2, kThreshMin) : m_ssthresh;
        m_incr = m_cwnd * mss;
        m_recovering = true;
        m_recoverUntil = m_sndNxt;
    }
    if (m_cwnd < 1) {
        m_cwnd = 1;
        m_incr = mss;
    }
}

void Kcp::update(std::uint32_t now)
{
    m_current = now;
    if (!m_updated) {
        m_updated = true;
        m_tsFlush = now;
    }
    std::int32_t slap = diff(m_current, m_tsFlush);
    if (slap >= 10000 || slap < -10000) {
        m_tsFlush = m_current;
        slap = 0;
    }
    if (slap >= 0) {
        m_tsFlush += m_interval;
        if (diff(m_current, m_tsFlush) >= 0)
            m_tsFlush = m_current + m_interval;
        flush();
    }
}

std::uint32_t Kcp::check(std::uint32_t now) const
{
    if (!m_updated)
        return now;
    std::uint32_t tsFlush = m_tsFlush;
    if (diff(now, tsFlush) >= 10000 || diff(now, tsFlush) < -10000)
        tsFlush = now;
    if (diff(now, tsFlush) >= 0)
        return now;
    std::int32_t next = diff(tsFlush, now);
    for (const Segment &s : m_sendBuffer) {
        const std::int32_t d = diff(s.resendAt, now);
        if (d <= 0)
            return now;
        next = std::min(next, d);
    }
    next = std::min<std::int32_t>(next, std::int32_t(m_interval));
    return now + std::uint32_t(next);
}

} // namespace com
