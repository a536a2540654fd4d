#pragma once

// What each side of a link tells the other about itself once the other's key has been
// proven: display attributes, the FSO protocol versions it speaks (preferred first) and the
// addresses it can be reached on. The layout on the wire is described in com/link.h.

#include "db/dto.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <cstdint>
#include <vector>

namespace com {

// Attribute names this layer fills or reads itself; upper layers may add their own
// (an invitation uuid, a password proof, ...).
inline QString greetingAttrName() { return QStringLiteral("name"); }
inline QString greetingAttrIcon() { return QStringLiteral("icon"); }
inline QString greetingAttrDeviceType() { return QStringLiteral("devicetype"); }
// "1": the sender tells which link it keeps (com/link.h, CHOSEN).
inline QString greetingAttrChosen() { return QStringLiteral("chosen"); }

struct Greeting
{
    QMap<QString, QString> attributes;
    std::vector<std::uint16_t> fsoVersions;
    std::vector<TransportDto> transports;   // peerUuid is left empty on the wire

    // Limits a decoder enforces so a hostile greeting cannot make us store much.
    static constexpr int kMaxAttributes = 64;
    static constexpr int kMaxVersions = 32;
    static constexpr int kMaxTransports = 64;
    static constexpr std::size_t kMaxTextBytes = 4096;
};

// The greeting as a complete term-stream message (class kLinkClassControl, code
// kLinkGreeting). Empty when it does not fit the handshake frame limit.
QByteArray encodeGreeting(const Greeting &greeting);
// False when the bytes are not exactly one well-formed greeting message.
bool decodeGreeting(const QByteArray &message, Greeting *greeting);

} // namespace com
