#pragma once

// STUN messages (RFC 5389), as the STUN client and the TURN client (RFC 5766/8656) send and
// read them. Wire format only; no sockets.
//
//   u16 type (method and class bits) | u16 length of the attributes | u32 magic cookie
//   0x2112A442 | 12 bytes transaction id | attributes: u16 type, u16 length, value padded
//   to 4 bytes (all big-endian)

#include <QByteArray>
#include <QHostAddress>
#include <QPair>
#include <QVector>

#include <cstdint>

namespace com::stun {

constexpr quint32 kMagicCookie = 0x2112A442u;
constexpr int kHeaderBytes = 20;
constexpr int kMaxAttributes = 64;

enum Method : quint16 {
    MethodBinding = 0x001,
    MethodAllocate = 0x003,
    MethodRefresh = 0x004,
    MethodSend = 0x006,
    MethodData = 0x007,
    MethodCreatePermission = 0x008,
    MethodChannelBind = 0x009,
};

enum Class : quint8 { ClassRequest = 0, ClassIndication = 1, ClassSuccess = 2, ClassError = 3 };

enum Attribute : quint16 {
    AttrMappedAddress = 0x0001,
    AttrUsername = 0x0006,
    AttrMessageIntegrity = 0x0008,
    AttrErrorCode = 0x0009,
    AttrChannelNumber = 0x000C,
    AttrLifetime = 0x000D,
    AttrXorPeerAddress = 0x0012,
    AttrData = 0x0013,
    AttrRealm = 0x0014,
    AttrNonce = 0x0015,
    AttrXorRelayedAddress = 0x0016,
    AttrRequestedTransport = 0x0019,
    AttrXorMappedAddress = 0x0020,
    AttrSoftware = 0x8022,
    AttrFingerprint = 0x8028,
};

struct Message
{
    quint16 method = MethodBinding;
    Class cls = ClassRequest;
    QByteArray transactionId;   // 12 bytes
    QVector<QPair<quint16, QByteArray>> attributes;

    static Message request(quint16 method);
    static Message indication(quint16 method);

    bool has(quint16 type) const;
    QByteArray attribute(quint16 type) const;
    void add(quint16 type, const QByteArray &value) { attributes.append({type, value}); }
    void addU32(quint16 type, quint32 value);
    void addXorAddress(quint16 type, const QHostAddress &address, quint16 port);
    bool xorAddress(quint16 type, QHostAddress *address, quint16 *port) const;
    bool plainAddress(quint16 type, QHostAddress *address, quint16 *port) const;
    bool u32(quint16 type, quint32 *value) const;
    // The error class * 100 + number of an error response, 0 without one.
    int errorCode() const;

    // With a key, a MESSAGE-INTEGRITY attribute (HMAC-SHA1) ends the message.
    QByteArray encode(const QByteArray &integrityKey = QByteArray()) const;
};

// False unless the bytes are exactly one well-formed message.
bool decode(const char *data, int size, Message *message);
// Whether the raw message carries a MESSAGE-INTEGRITY that matches `key`.
bool integrityMatches(const QByteArray &raw, const QByteArray &key);
// The long-term credential key: MD5(username ":" realm ":" password).
QByteArray longTermKey(const QString &username, const QString &realm, const QString &password);

} // namespace com::stun
