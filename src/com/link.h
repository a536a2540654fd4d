#pragma once

// One authenticated, encrypted TCP connection between two installations ("a link").
//
// Wire format
// ===========
// Every frame on the socket is   [u32 length, little-endian][length bytes]
// and nothing else travels on it. A length is checked as soon as its 4 bytes are in, and
// nothing is ever allocated for an unchecked one: during the handshake a frame may carry at
// most kMaxHandshakeFrameBytes, after it at most kMaxMessageBytes plus the packet overhead
// (25 bytes). A length outside these bounds, or below the smallest valid frame of the
// current step, ends the connection.
//
// Handshake (the client is the side that connected):
//
//   1. client -> server, plain, 85 bytes:  "NUSK" | u8 version (2) | client ephemeral X25519
//      public key (32) | client nonce (32) | tag (16)
//   2. server -> client, plain, 85 bytes:  "NUSK" | u8 version (2) | server ephemeral X25519
//      public key (32) | server nonce (32) | tag (16)
//
//   The tag is the keyed BLAKE2b (16 bytes) of the 69 bytes before it under the server's
//   Ed25519 public key. Only who already knows the server's key (its paired computers, or
//   the holder of an invitation link) can make a hello the server answers; anything else,
//   and a client hello the server has seen before, is dropped before any key exchange or
//   signature is made, and the server's key is never handed to a stranger. The client's
//   first frame must arrive within LinkTimings::firstMessageMs.
//
//   Both sides now derive one session key per direction with the library's key exchange
//   (crypto_kx; client = connecting side) and compute the transcript hash
//       T = SHA-256("nusk-link-1" | hello 1 | hello 2).
//   From here on every frame, in both directions, is one session-key packet
//   (crypto.h: [u8 key id][u64 counter][ciphertext | tag]) whose plaintext is exactly one
//   term-stream message (com/termstream.h: u32 length, u8 class, u8 code, u16 id, body).
//   Key id 10 is the client-to-server key, 11 the server-to-client key. Each side's
//   counter starts at 0 and must arrive as exactly 0, 1, 2, ...: a packet that does not
//   open, a counter that is not the next one, or a plaintext that is not one well-formed
//   message of exactly the packet's size ends the connection.
//
//   3. server -> client, class 0x01 code 1 (SERVER_AUTH):  blob server Ed25519 public key |
//      blob signature over  "nusk-link-1 server" | T
//   4. client -> server, class 0x01 code 2 (CLIENT_AUTH):  blob client Ed25519 public key |
//      blob signature over  "nusk-link-1 client" | T | server Ed25519 public key
//   5. client -> server, class 0x01 code 3 (GREETING): the client's greeting
//   6. server -> client, class 0x01 code 6 (SERVER_CONFIRM): blob signature over
//      "nusk-link-1 server confirm" | T | server Ed25519 public key | client Ed25519 public
//      key, so that the server, too, has signed both identities of this connection
//   7. server -> client, class 0x01 code 3 (GREETING): the server's greeting; 6 and 7 are
//      sent only once the server has admitted the client's key
//
//   The client ends the connection when the server's key is not the one it expected; the
//   server decides about the client's key (Hub: known keys, first contacts, the own key)
//   after the client's greeting and closes without a word when it refuses. Each signature
//   covers both fresh ephemeral keys, so a recorded handshake replayed to either side fails,
//   and the session keys die with the connection (forward secrecy). Both sides also compute
//       binding = SHA-256("nusk-link-1 binding" | T | server key | client key)
//   which an upper layer may mix into proofs it sends in the greeting (e.g. proof of an
//   invitation password) so that such a proof is worthless on any other connection.
//
//   GREETING body: u32 n, n × (str name, str value)   attributes
//                  u32 n, n × u16                      FSO protocol versions, preferred first
//                  u32 n, n × (str uuid, str type, str host, u16 port, i64 timestamp)
//                                                      the sender's transports
//
// After the handshake:
//   class 0x42  an FSO request to the receiver's server          -> messageReceivedSrv
//   class 0x43  an FSO reply or notification to its client       -> messageReceivedCli
//   class 0x01 code 4 PING  u64 sender's clock (ms); answered by code 5 PONG echoing it,
//   which gives the round-trip time.
//   class 0x01 code 7 CHOSEN  (no body): the sender keeps this link for the receiver, its
//   peer is set up and answers file requests on it. A sender whose greeting carries the
//   attribute "chosen" = "1" sends it; its peer is not taken as up on a link before that.
//   class 0x01 code 3 GREETING again: the sender can be reached at new addresses (a relay
//   that gave it another address, a new public address); laid out as the greeting, of
//   which only the transports count. Sent to links that stay up, so that a peer need not
//   wait for its next handshake to learn them.
//   Other control codes and unknown classes are ignored, so a program that does not know
//   one of them keeps the link.
// Every received frame restarts the watchdog; a link silent for LinkTimings::silenceMs ends.
// Until step 6 completes, nothing a connection sends reaches anyone but the hub's admission
// hooks (which see the proven key and the greeting, nothing else).
//
// Moving the bytes (none of this shows on the wire):
// - What is sent in one turn of the event loop leaves in one write, in pieces of at most
//   about 1 MiB; its packets are sealed together just before, where they lie.
// - What arrives is read in pieces of up to 1 MiB; the whole frames of a piece are opened
//   together and delivered in order. A fault (bad length, counter, tag) ends the link after
//   the frames before it have been delivered, as if they had come one by one.
// - Sealing and opening a batch may be spread over a few helper threads (crypto/parallel.h);
//   everything else, signals included, stays on the link's thread.
// - Once up over plain TCP, the link reads and writes the socket's descriptor itself
//   (com/descriptorstream.h), sparing the copies through QTcpSocket's buffers.

#include "com/greeting.h"
#include "crypto/crypto.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

class QTcpSocket;
class QTimer;

namespace com {

class DescriptorStream;
class Hub;

// Message classes carried on a link.
enum LinkClass : std::uint8_t {
    LinkClassControl = 0x01,
    LinkClassFsoRequest = 0x42,   // to the receiver's FSO server
    LinkClassFsoReply = 0x43,     // to the receiver's FSO client
};

enum LinkControlCode : std::uint8_t {
    LinkServerAuth = 1,
    LinkClientAuth = 2,
    LinkGreeting = 3,
    LinkPing = 4,
    LinkPong = 5,
    LinkServerConfirm = 6,
    LinkChosen = 7,
};

constexpr int kLinkHelloTagBytes = 16;
constexpr int kLinkHelloBytes = 69 + kLinkHelloTagBytes;
constexpr std::uint8_t kLinkProtocolVersion = 2;
constexpr int kMaxHandshakeFrameBytes = 64 * 1024;
constexpr int kMaxMessageBytes = 4 * 1024 * 1024;
// Default bound on what one link may hold unsent (Hub::setOutgoingLimit).
constexpr qint64 kMaxOutgoingBytes = 64 * 1024 * 1024;
constexpr std::uint8_t kLinkKeyIdClientToServer = 10;
constexpr std::uint8_t kLinkKeyIdServerToClient = 11;

// Limits in milliseconds; tests shorten them.
struct LinkTimings
{
    int handshakeMs = 15000;      // from socket creation until the link is up
    int firstMessageMs = 2000;    // from an incoming connection until its hello is in
    int pingIntervalMs = 10000;
    int silenceMs = 45000;        // no frame received for this long ends the link
};

// Adds to the client's greeting once the channel binding is known (upper layers put an
// invitation uuid and a password proof here).
using GreetingAmender = std::function<void(Greeting &greeting, const QByteArray &channelBinding)>;
// Whether a client may connect to an address its host resolved to (a dial policy): checked
// after the lookup, before anything is sent.
using AddressCheck = std::function<bool(const QHostAddress &address)>;

class Link : public QObject
{
    Q_OBJECT

public:
    enum State { StateHandshaking, StateEstablished, StateClosed };
    Q_ENUM(State)

    ~Link() override;

    State state() const { return m_state; }
    bool isEstablished() const { return m_state == StateEstablished; }
    // True for the side that connected (connectTo), false for links accepted by a listener.
    bool isOutgoing() const { return m_outgoing; }
    // True only when the remote side proved the program's own key: the loopback link of
    // the local computer's peer. No other link ever maps to the local peer.
    bool isOwnKey() const { return m_ownKey; }
    // The remote side's Ed25519 public key, empty until it has proven it.
    QByteArray remotePublicKey() const { return m_remoteKey; }
    // For incoming links the peer uuid the hub's hooks gave; nullUuidString() exactly when
    // isOwnKey(). Empty for outgoing links to other keys (the caller knows whom it dialled).
    QString peerUuid() const { return m_peerUuid; }
    // The remote side's greeting, valid once established (decoded and as raw message).
    const Greeting &remoteGreeting() const { return m_remoteGreeting; }
    QByteArray remoteGreetingMessage() const { return m_remoteGreetingRaw; }
    QByteArray channelBinding() const { return m_binding; }
    QHostAddress peerAddress() const;
    quint16 peerPort() const;
    // Last measured round-trip time, -1 before the first PONG.
    int rttMs() const { return m_rttMs; }
    // Bytes accepted by send() but not yet handed to the operating system.
    qint64 bytesToWrite() const;
    QString closeReason() const { return m_closeReason; }
    // The other side keeps this link and answers on it: it sent CHOSEN, or, being of a
    // version without that notice, it is taken at its word once the link is up.
    bool isChosenByRemote() const;
    // Tells the other side that this one keeps the link (once per link is enough).
    void sendChosen();
    // A dialled link the server closed after our greeting: it proved its key, heard who we
    // are and what we bring (an invitation, say) and refused us.
    bool wasRefused() const { return m_refused; }

public Q_SLOTS:
    // Sends one complete term-stream message of class 0x42 or 0x43 (its u32 length equal
    // to its size, at most kMaxMessageBytes). False, and nothing sent, when the link is not
    // established or the message is malformed, and when the link already holds
    // Hub::outgoingLimit() bytes unsent: the peer is not reading, and the link ends on the
    // next turn of the event loop.
    bool send(const std::vector<unsigned char> &message);
    bool sendBytes(const QByteArray &message);
    // Tells the other side where this computer can be reached now (GREETING after the
    // handshake). False when the link is not up or the list does not fit a greeting.
    bool announceTransports(const std::vector<TransportDto> &transports);
public:
    // The same, keeping the message until it leaves: a large one is then sealed from where
    // it lies into the outgoing batch instead of being copied there first.
    bool send(std::vector<unsigned char> &&message);
public Q_SLOTS:
    // Ends the link: pending output is flushed, then the socket closes. closed() follows
    // once; the object deletes itself later. Prefer this to deleting a link; a link deleted
    // anyway, even from inside one of its own signals, ends quietly without closed().
    void close(const QString &reason = QString());

Q_SIGNALS:
    void established();
    void messageReceivedSrv(const std::vector<unsigned char> &message);
    void messageReceivedCli(const std::vector<unsigned char> &message);
    void rttChanged(int ms);
    // The other side's CHOSEN arrived.
    void chosenByRemote();
    // The other side announced where it can be reached now, unchecked (peerUuid empty).
    void transportsAnnounced(const std::vector<TransportDto> &transports);
    void bytesWritten(qint64 bytes);
    void closed(const QString &reason);

private:
    friend class Hub;

    enum Step {
        StepAwaitConnect,
        StepAwaitClientHello,
        StepAwaitServerHello,
        StepAwaitServerAuth,
        StepAwaitClientAuth,
        StepAwaitClientGreeting,
        StepAwaitServerConfirm,
        StepAwaitServerGreeting,
        StepOpen,
    };

    // Server side: decides about the proven client key after its greeting. Returns false to
    // refuse; otherwise fills the peer uuid and whether it is the own key.
    using Admitter = std::function<bool(Link &link, QString *peerUuid, bool *ownKey)>;

    Link(QTcpSocket *socket, bool outgoing, Hub *hub);

    void startClient(const QString &host, quint16 port, const QByteArray &expectedKey,
                     const GreetingAmender &amend, const AddressCheck &mayDial);
    // Connects to the first of `addresses` that `mayDial` accepts; without one the link ends.
    void connectChecked(const QList<QHostAddress> &addresses, quint16 port, const AddressCheck &mayDial);
    void startServer();

    void connectSocket();
    void closeSocket(bool flush);
    // Once up over plain TCP, the link reads and writes the socket's descriptor itself.
    void takeDescriptor();
    void onReadyRead();
    void processFrames();
    // Whether the frame at `at` in m_in is all in, and its announced length.
    enum FrameCheck { FrameIncomplete, FrameWhole, FrameBad };
    FrameCheck checkFrame(int at, quint32 *length) const;
    void failLength(quint32 length);
    bool processOpenFrames();
    bool handleHello(const char *data, int size);
    bool handlePacket(char *data, int size);
    bool handleHandshakeMessage(const char *plain, int size);
    bool handleMessage(const std::vector<unsigned char> &message);
    bool handleAnnouncement(const std::vector<unsigned char> &message);
    bool handleServerAuth(const QByteArray &plain);
    bool handleClientAuth(const QByteArray &plain);
    bool handleGreeting(const QByteArray &plain);
    bool handleServerConfirm(const QByteArray &plain);
    bool becomeEstablished();
    Greeting ownGreeting() const;
    bool isOpen() const { return m_state != StateClosed && !m_stalled; }
    void sendPing();
    bool sendControl(std::uint8_t code, const std::vector<unsigned char> &body);
    bool sealAndWrite(const QByteArray &plain);
    bool sealAndWrite(const char *plain, int size, std::vector<unsigned char> *taken = nullptr);
    bool acceptsForSending(const std::vector<unsigned char> &message) const;
    void writeFrame(const QByteArray &frame);
    void queueOut();
    void flushOut();
    void fail(const QString &reason);
    void finish(const QString &reason, bool flush);
    qint64 ageMs() const { return m_clock.elapsed(); }
    // An incoming connection whose hello is not whole yet, whatever it sent.
    bool isAwaitingHello() const { return !m_outgoing && m_step == StepAwaitClientHello; }
    // Whether bytes for this connection wait unread right now, in the socket or the system.
    bool hasBytesWaiting() const;
    QString hangUpReason(const QString &socketReason) const;
    int frameLimit() const;

    Hub *m_hub = nullptr;
    QTcpSocket *m_socket = nullptr;          // until takeDescriptor() ...
    DescriptorStream *m_stream = nullptr;         // ... and this from then on
    QTimer *m_handshakeTimer = nullptr;
    QTimer *m_pingTimer = nullptr;
    QTimer *m_watchdog = nullptr;
    QElapsedTimer m_clock;

    State m_state = StateHandshaking;
    Step m_step = StepAwaitConnect;
    bool m_outgoing = false;
    bool m_ownKey = false;
    bool m_chosenByRemote = false;
    bool m_chosenSent = false;
    bool m_processing = false;
    bool m_delivering = false;   // messages of a batch whose packets lie in m_in go out
    bool m_stalled = false;      // the outgoing limit was hit; the link ends shortly
    bool m_refused = false;      // the other side closed after reading our greeting
    int m_inSocketSignal = 0;
    struct SocketSignalScope;

    QByteArray m_expectedKey;
    GreetingAmender m_amend;
    crypto::KxKeyPair m_kx;
    QByteArray m_clientHello;
    QByteArray m_transcript;
    QByteArray m_binding;
    QByteArray m_remoteKey;
    QString m_peerUuid;
    Greeting m_remoteGreeting;
    QByteArray m_remoteGreetingRaw;

    crypto::SessionSealer m_sealer;
    crypto::SessionOpener m_opener;
    std::uint64_t m_rxCounter = 0;

    QByteArray m_in;
    int m_inPos = 0;
    QByteArray m_out;            // frames not yet handed to the socket
    struct Unsealed {
        int at;      // offset and size of a packet in m_out still to seal
        int size;
        int from;    // its plaintext: index into m_sealFrom, or -1 when it lies in m_out
    };
    std::vector<Unsealed> m_unsealed;
    std::vector<std::vector<unsigned char>> m_sealFrom;   // messages kept until they are sealed
    bool m_flushQueued = false;
    std::vector<crypto::PacketSpan> m_batchPackets;        // reused by processOpenFrames()
    std::vector<std::vector<unsigned char>> m_plainPool;   // their plaintexts, reused

    int m_rttMs = -1;
    QString m_closeReason;
};

} // namespace com
