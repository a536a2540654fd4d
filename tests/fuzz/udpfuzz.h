#pragma once

// Fuzz driver for the opening of UDP sessions: datagrams go straight into a listening UDP
// transport (as the relay hands them over, so no socket is needed), and what it answers is
// caught on the way out.
//
// The first input byte picks what the rest becomes, from a new sender each time:
//   0  datagrams as they are (u16 length each, then that many bytes);
//   1  a genuine OPEN, and once the ACCEPT came, the rest cut the same way into pieces each
//      sent as an authentic DATA datagram of that session (an empty piece as CLOSE): what
//      KCP and the link behind it make of a stranger's stream (its conversation is kConv).

#include "linkfuzz.h"

#include "com/udptransport.h"
#include "com/udpwire.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QtEndian>

#include <cstdint>
#include <vector>

namespace udpfuzz {

// The conversation of every session mode 1 opens (senders differ, so sessions do too); a
// corpus writes it into its KCP segments.
constexpr std::uint32_t kConv = 0x4B53554E;   // "NUSK"

struct Listener
{
    com::Hub hub;
    com::UdpTransport udp{&hub};
    std::vector<QByteArray> answers;   // what went out since the last input

    Listener()
    {
        linkfuzz::prepareHub(hub);
        udp.setRelaySender([this](const QByteArray &datagram, const QHostAddress &, quint16) {
            answers.push_back(datagram);
            return true;
        });
    }
};

inline Listener &listener()
{
    static Listener *one = new Listener;
    return *one;
}

// The pieces of `rest`: u16 length, then that many bytes (fewer at the end).
inline std::vector<QByteArray> pieces(const QByteArray &rest)
{
    std::vector<QByteArray> out;
    int pos = 0;
    while (pos + 2 <= rest.size()) {
        const int length = qFromLittleEndian<quint16>(rest.constData() + pos);
        pos += 2;
        out.push_back(rest.mid(pos, length));
        pos += out.back().size();
    }
    return out;
}

inline void settle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    do
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    while (timer.elapsed() < ms);
}

// A genuine OPEN from address:port; the session's sender once the ACCEPT came, else invalid.
inline com::udpwire::Sealer openSession(Listener &l, const QHostAddress &address, quint16 port, std::uint32_t conv)
{
    const crypto::KxKeyPair kx = crypto::generateKxKeyPair();
    l.answers.clear();
    l.udp.deliverRelayed(com::udpwire::makeHandshake(com::udpwire::KindOpen, conv, kx.publicKey), address, port);
    std::uint32_t answered = 0;
    QByteArray serverKey;
    for (const QByteArray &a : l.answers)
        if (com::udpwire::parseHandshake(a.constData(), a.size(), com::udpwire::KindAccept, &answered, &serverKey))
            return com::udpwire::Sealer(crypto::clientSessionKeys(kx, serverKey).tx);
    return com::udpwire::Sealer();
}

inline void fuzzUdpSession(const std::uint8_t *data, std::size_t size)
{
    Listener &l = listener();
    if (size == 0)
        return;
    // Each input from an address of its own, so the per-address limits never decide.
    static std::uint32_t n = 0;
    ++n;
    const QHostAddress from(QStringLiteral("198.18.%1.%2").arg((n / 250) % 250).arg(1 + n % 250));
    const quint16 port = quint16(1024 + n % 60000);
    const QByteArray rest(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if (data[0] % 2 == 0) {
        for (const QByteArray &datagram : pieces(rest))
            l.udp.deliverRelayed(datagram, from, port);
    } else {
        const std::uint32_t conv = kConv;
        com::udpwire::Sealer sealer = openSession(l, from, port, conv);
        if (!sealer.isValid())
            return;
        for (const QByteArray &piece : pieces(rest)) {
            const auto kind = piece.isEmpty() ? com::udpwire::KindClose : com::udpwire::KindData;
            l.udp.deliverRelayed(sealer.seal(kind, conv, piece.constData(), piece.size()), from, port);
        }
    }
    settle(2);
    l.answers.clear();
}

} // namespace udpfuzz
