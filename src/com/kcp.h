#pragma once

// The KCP protocol: a reliable, ordered stream over an unreliable datagram path (UDP, a
// TURN relay). Plain state machine without sockets or timers: the owner feeds it received
// bytes (input), drives its clock (update / check) and sends what it hands to the output
// function. Not thread-safe; owned by one thread.
//
// Segment on the wire, 24 bytes of header then the payload, little-endian:
//   u32 conv  conversation id (both sides the same)
//   u8  cmd   81 PUSH (data), 82 ACK, 83 WASK (asks the window), 84 WINS (tells it)
//   u8  frg   fragments still to follow for this message (0 in stream mode)
//   u16 wnd   receive window left, in segments
//   u32 ts    sender's clock when sent (an ACK echoes the PUSH's ts: round-trip time)
//   u32 sn    sequence number of a PUSH, or the sn an ACK acknowledges
//   u32 una   every sn below this one has been received
//   u32 len   payload bytes
// One output datagram carries as many whole segments as fit the MTU.
//
// Reliability: retransmission on a timeout derived from the measured round-trip time, fast
// retransmission when later segments were acknowledged `fastResend` times first, and a
// congestion window (slow start, halving on fast retransmission, back to one segment on a
// timeout) on top of the peer's advertised receive window.

#include <QByteArray>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace com {

class Kcp
{
public:
    // A datagram to send; see setOutputRoom for the bytes around it the function may write.
    // It stays where it is until the flush that handed it over returns, so that the owner
    // may send a flush's datagrams together.
    using Output = std::function<void(char *data, int size)>;

    enum Command : std::uint8_t { CmdPush = 81, CmdAck = 82, CmdWindowAsk = 83, CmdWindowTell = 84 };
    static constexpr int kHeaderBytes = 24;
    // Largest segment payload taken from a peer (its MTU may be larger than ours).
    static constexpr std::uint32_t kMaxSegmentBytes = 65000;
    // Data received out of order held at most by default (setOutOfOrderLimit); beyond it
    // later segments wait for resending. Each segment counts with what keeping it costs.
    static constexpr qint64 kMaxOutOfOrderBytes = 4 * 1024 * 1024;
    static constexpr qint64 kSegmentCostBytes = 128;

    Kcp(std::uint32_t conv, Output output);

    std::uint32_t conv() const { return m_conv; }

    // Largest datagram handed to the output; the segment payload is mtu - 24.
    bool setMtu(int mtu);
    int mtu() const { return m_mtu; }
    // Bytes before each datagram the output function may write, so that it can put its
    // own header there and send the datagram where it lies.
    void setOutputRoom(int before);
    void setWindow(int sendSegments, int receiveSegments);
    // nodelay: a smaller minimum timeout and gentler back-off; intervalMs: flush period;
    // fastResend: duplicate acknowledgements that trigger a retransmission (0 off);
    // noCongestion: send up to the peer's window regardless of losses.
    void setNoDelay(bool nodelay, int intervalMs, int fastResend, bool noCongestion);
    void setOutOfOrderLimit(qint64 bytes) { m_outOfOrderLimit = bytes; }
    // Stream mode joins written bytes into full segments and never fragments messages.
    void setStreamMode(bool stream) { m_stream = stream; }
    // A segment sent this many times without an acknowledgement marks the path dead.
    void setDeadLinkLimit(int transmissions) { m_deadLink = std::uint32_t(transmissions); }

    // Queues bytes (stream mode) or one message. Returns false for an empty message or, in
    // message mode, one that would need more fragments than the receive window holds.
    bool send(const char *data, int size);
    // Stream mode: appends every byte received in order to `out`. Message mode: the next
    // whole message, if any.
    void receiveStream(QByteArray &out);
    // Stream mode: bytes received in order go to `sink` as soon as they are, straight from
    // the datagram when nothing is missing before them; receiveStream then finds none.
    using Sink = std::function<void(const char *data, int size)>;
    void setStreamSink(Sink sink) { m_sink = std::move(sink); }
    bool receiveMessage(QByteArray &out);
    // Size of the next whole message (message mode), -1 when none is complete yet.
    int peekSize() const;

    // A received datagram. Returns false, having taken whatever it could use, when it is
    // malformed or of another conversation.
    bool input(const char *data, int size, std::uint32_t now);
    // Drives timers; call every intervalMs, or at the time check() gives.
    void update(std::uint32_t now);
    // When update() next has work to do (absolute, same clock).
    std::uint32_t check(std::uint32_t now) const;
    // Sends acknowledgements and whatever the windows allow at once.
    void flush();
    void flushAt(std::uint32_t now)
    {
        m_current = now;
        m_updated = true;
        flush();
    }

    // Segments queued or sent but not yet acknowledged, and their payload bytes.
    int waitSend() const { return int(m_sendQueue.size() + m_sendBuffer.size()); }
    qint64 unacknowledgedBytes() const { return m_pendingBytes; }
    // Bytes received in order, not yet taken by receive*.
    qint64 receivedBytes() const { return m_receivedQueueBytes; }
    // What the received segments cost, in order or not, until taken by receive*.
    qint64 heldBytes() const { return m_receiveBufferBytes + m_receivedQueueBytes; }
    bool isDead() const { return m_dead; }
    int smoothedRttMs() const { return int(m_srtt); }
    int congestionWindow() const { return int(m_cwnd); }
    std::uint64_t retransmissions() const { return m_retransmissions; }

private:
    struct Segment
    {
        std::uint32_t conv = 0;
        std::uint8_t cmd = 0;
        std::uint8_t frg = 0;
        std::uint16_t wnd = 0;
        std::uint32_t ts = 0;
        std::uint32_t sn = 0;
        std::uint32_t una = 0;
        std::uint32_t resendAt = 0;
        std::uint32_t rto = 0;
        std::uint32_t fastAck = 0;
        std::uint32_t xmit = 0;
        QByteArray data;
        int at = 0;   // where the payload starts in data: a queued segment keeps room for headers
        int payloadSize() const { return data.size() - at; }
        const char *payload() const { return data.constData() + at; }
    };

    void encodeHeader(char *p, const Segment &s) const;
    void emitSegment(Segment &s);
    void flushOutput();
    void sizeOutput();
    std::uint16_t windowUnused() const;
    void updateRtt(std::int32_t rtt);
    void shrinkBuffer();
    void parseAck(std::uint32_t sn);
    void parseUna(std::uint32_t una);
    void parseFastAck(std::uint32_t sn, std::uint32_t ts);
    // True when the segment is held now (or was already).
    bool parseData(Segment &&segment);
    void moveToReceiveQueue();
    void takeSegmentBytes(std::uint32_t bytes);

    std::uint32_t m_conv;
    Output m_output;
    Sink m_sink;
    int m_mtu = 1400;
    int m_mss = 1400 - kHeaderBytes;
    bool m_stream = false;

    std::uint32_t m_sndUna = 0, m_sndNxt = 0, m_rcvNxt = 0;
    std::uint32_t m_ssthresh = 2;
    std::int32_t m_rttVar = 0, m_srtt = 0;
    std::uint32_t m_rto = 200, m_minRto = 100;
    std::uint32_t m_sndWnd = 32, m_rcvWnd = 128, m_rmtWnd = 128, m_cwnd = 0;
    std::uint32_t m_incr = 0, m_probe = 0;
    std::uint32_t m_current = 0, m_interval = 100, m_tsFlush = 100;
    bool m_nodelay = false, m_updated = false, m_noCwnd = false, m_dead = false;
    bool m_recovering = false;
    std::uint32_t m_recoverUntil = 0;
    std::uint32_t m_tsProbe = 0, m_probeWait = 0;
    std::uint32_t m_deadLink = 20;
    int m_fastResend = 0;
    int m_fastLimit = 5;
    std::uint64_t m_retransmissions = 0;
    qint64 m_pendingBytes = 0;
    qint64 m_receivedQueueBytes = 0;
    qint64 m_receiveBufferBytes = 0;   // with kSegmentCostBytes each
    qint64 m_outOfOrderLimit = kMaxOutOfOrderBytes;

    std::deque<Segment> m_sendQueue, m_sendBuffer, m_receiveQueue, m_receiveBuffer;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_acks;   // sn, ts
    // Room before, then a datagram: the one being filled and those handed over in this flush.
    std::vector<std::vector<char>> m_outs;
    std::size_t m_outIndex = 0;
    int m_outUsed = 0;
    int m_roomBefore = 0;
};

} // namespace com
