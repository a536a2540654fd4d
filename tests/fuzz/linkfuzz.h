#pragma once

// Fuzz drivers for the term stream and for a link listener over real loopback sockets.
//
// fuzzTermStream: the input is read as a sequence of items, the type of each chosen by the
// input itself, then as a message header and as a greeting.
//
// fuzzLink: the first input byte picks what the rest becomes on a fresh connection to a
// listening hub (whose handshake limits are short):
//   0  raw bytes, as they are;
//   1  a genuine hello for the listener's key, then the rest raw;
//   2  a genuine hello and the client's side of the key exchange done here, then the rest
//      sealed under the session key as the client's authentication message;
//   3  a whole handshake (hello, authentication, greeting) by a key the listener admits,
//      then the rest cut into messages (u16 length each) sealed as the established link's.
// Each connection ends when the listener hangs up or shortly after the last bytes.

#include "com/greeting.h"
#include "com/hub.h"
#include "com/link.h"
#include "com/termstream.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtEndian>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace linkfuzz {

inline void ensureApplication()
{
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "linkfuzz";
        static char *argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
    crypto::initialize();
}

// An identity and limits short enough that a fuzzed connection never lingers.
inline void prepareHub(com::Hub &hub)
{
    hub.setIdentity(crypto::generateSigningKeyPair());
    com::LinkTimings t;
    t.handshakeMs = 300;
    t.firstMessageMs = 200;
    t.silenceMs = 300;
    hub.setTimings(t);
}

struct Listener
{
    com::Hub hub;
    crypto::SigningKeyPair client = crypto::generateSigningKeyPair();
    int established = 0;

    Listener()
    {
        prepareHub(hub);
        const QByteArray key = client.publicKey;
        hub.setKnownKeyResolver([key](const QByteArray &k) {
            return k == key ? com::KeyVerdict::accept(QStringLiteral("{0f0f0f0f-0000-0000-0000-000000000001}"))
                            : com::KeyVerdict::unknown();
        });
        QObject::connect(&hub, &com::Hub::incomingLink, &hub, [this](com::Link *link) {
            ++established;
            // Whatever the link delivers is only counted; the decoding is what is fuzzed.
            QObject::connect(link, &com::Link::messageReceivedSrv, link, [](std::vector<unsigned char>) {});
        });
        hub.listen(0);
    }
};

inline Listener &listener()
{
    static Listener *one = new Listener;
    return *one;
}

inline QByteArray frame(const QByteArray &payload)
{
    char length[4];
    qToLittleEndian<quint32>(quint32(payload.size()), length);
    return QByteArray(length, 4) + payload;
}

inline QByteArray sha256(const QByteArray &a, const QByteArray &b, const QByteArray &c)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(a);
    h.addData(b);
    h.addData(c);
    return h.result();
}

inline QByteArray controlMessage(std::uint8_t code, const QByteArray &body)
{
    std::vector<std::uint8_t> out(std::size_t(body.size()) + 64);
    com::TermStreamWriter w(out);
    com::writeMessageHeader(w, com::LinkClassControl, code, 0);
    w.writeRaw(reinterpret_cast<const std::uint8_t *>(body.constData()), std::size_t(body.size()));
    com::finishMessage(w);
    return QByteArray(reinterpret_cast<const char *>(out.data()), int(w.size()));
}

inline QByteArray authBody(const QByteArray &key, const QByteArray &signature)
{
    std::vector<std::uint8_t> out(256);
    com::TermStreamWriter w(out);
    w.writeBlob(key.constData(), std::size_t(key.size()));
    w.writeBlob(signature.constData(), std::size_t(signature.size()));
    return QByteArray(reinterpret_cast<const char *>(out.data()), int(w.size()));
}

// Reads whole frames from the socket until `count` arrived or the time is up.
inline bool readFrames(QTcpSocket &s, QByteArray &buffer, std::vector<QByteArray> &frames, std::size_t count)
{
    QElapsedTimer timer;
    timer.start();
    while (frames.size() < count && timer.elapsed() < 1000) {
        if (s.state() != QAbstractSocket::ConnectedState && s.bytesAvailable() == 0)
            return false;
        s.waitForReadyRead(20);
        QCoreApplication::processEvents();
        buffer += s.readAll();
        while (buffer.size() >= 4) {
            const quint32 length = qFromLittleEndian<quint32>(buffer.constData());
            if (length > 1u << 20 || quint32(buffer.size() - 4) < length)
                break;
            frames.push_back(buffer.mid(4, int(length)));
            buffer.remove(0, 4 + int(length));
        }
    }
    return frames.size() >= count;
}

inline void drain(QTcpSocket &s, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (s.state() == QAbstractSocket::ConnectedState && timer.elapsed() < ms) {
        s.waitForReadyRead(10);
        s.readAll();
        QCoreApplication::processEvents();
    }
    s.abort();
    QCoreApplication::processEvents();
}

inline void fuzzLink(const std::uint8_t *data, std::size_t size)
{
    ensureApplication();
    Listener &l = listener();
    if (size == 0)
        return;
    const int mode = data[0] % 4;
    const QByteArray rest(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const QByteArray serverKey = l.hub.ownPublicKey();

    QTcpSocket s;
    // Each input from an address of its own, so the per-address limits never decide.
    static std::uint32_t n = 0;
    ++n;
    s.bind(QHostAddress(QStringLiteral("127.3.%1.%2").arg((n / 250) % 250).arg(1 + n % 250)));
    s.connectToHost(QHostAddress::LocalHost, l.hub.listenPort());
    if (!s.waitForConnected(2000))
        return;
    if (mode == 0) {
        s.write(rest);
        drain(s, 300);
        return;
    }
    const crypto::KxKeyPair kx = crypto::generateKxKeyPair();
    QByteArray hello = QByteArray("NUSK") + char(com::kLinkProtocolVersion) + kx.publicKey + crypto::randomBytes(32);
    hello += crypto::keyedHash(hello, serverKey, com::kLinkHelloTagBytes);
    s.write(frame(hello));
    if (mode == 1) {
        s.write(rest);
        drain(s, 300);
        return;
    }
    QByteArray buffer;
    std::vector<QByteArray> frames;
    if (!readFrames(s, buffer, frames, 2))
        return drain(s, 50);
    const QByteArray serverHello = frames[0];
    const crypto::SessionKeys keys = crypto::clientSessionKeys(kx, serverHello.mid(5, crypto::kKxPublicKeyBytes));
    crypto::SessionSealer sealer(com::kLinkKeyIdClientToServer, keys.tx);
    const QByteArray transcript = sha256(QByteArrayLiteral("nusk-link-1"), hello, serverHello);
    if (mode == 2) {
        s.write(frame(sealer.seal(rest)));
        drain(s, 300);
        return;
    }
    const QByteArray signature =
        crypto::sign(QByteArrayLiteral("nusk-link-1 client") + transcript + serverKey, l.client.secretKey);
    s.write(frame(sealer.seal(controlMessage(com::LinkClientAuth, authBody(l.client.publicKey, signature)))));
    com::Greeting greeting;
    greeting.fsoVersions = {2};
    s.write(frame(sealer.seal(com::encodeGreeting(greeting))));
    // The rest as messages: u16 length, then that many bytes, sealed one by one.
    int pos = 0;
    while (pos + 2 <= rest.size()) {
        const int length = qFromLittleEndian<quint16>(rest.constData() + pos);
        pos += 2;
        const QByteArray message = rest.mid(pos, length);
        pos += message.size();
        s.write(frame(sealer.seal(message)));
    }
    drain(s, 200);
}

inline void fuzzTermStream(const std::uint8_t *data, std::size_t size)
{
    com::TermStreamReader r(data, size);
    std::size_t choice = 0;
    while (!r.failed() && r.remaining() > 0) {
        switch ((size ? data[choice++ % size] : 0) % 9) {
        case 0: { std::uint8_t v; r.readU8(v); break; }
        case 1: { std::uint16_t v; r.readU16(v); break; }
        case 2: { std::uint32_t v; r.readU32(v); break; }
        case 3: { std::uint64_t v; r.readU64(v); break; }
        case 4: { std::int64_t v; r.readI64(v); break; }
        case 5: { std::string v; r.readString(v, 4096); break; }
        case 6: { std::vector<std::uint8_t> v; r.readBlob(v); break; }
        case 7: { char buffer[64]; std::size_t n = 0; r.readCString(buffer, sizeof buffer, n); break; }
        default: { const std::uint8_t *p = nullptr; std::size_t n = 0; r.readBlobRef(p, n); break; }
        }
    }
    com::MessageHeader header;
    com::peekMessageHeader(data, size, header);
    com::Greeting greeting;
    com::decodeGreeting(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)), &greeting);
}

} // namespace linkfuzz
