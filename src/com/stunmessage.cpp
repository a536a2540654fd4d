#include "com/stunmessage.h"

#include "crypto/crypto.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QtEndian>

#include <cstring>

namespace com::stun {

namespace {

constexpr int kIntegrityBytes = 20;

quint16 typeOf(quint16 method, Class cls)
{
    return quint16((method & 0x000F) | ((method & 0x0070) << 1) | ((method & 0x0F80) << 2)
                   | ((quint16(cls) & 1) << 4) | ((quint16(cls) & 2) << 7));
}

void splitType(quint16 type, quint16 *method, Class *cls)
{
    *method = quint16((type & 0x000F) | ((type >> 1) & 0x0070) | ((type >> 2) & 0x0F80));
    *cls = Class(((type >> 4) & 1) | ((type >> 7) & 2));
}

void appendU16(QByteArray &out, quint16 v)
{
    char b[2];
    qToBigEndian<quint16>(v, b);
    out.append(b, 2);
}

void appendAttribute(QByteArray &out, quint16 type, const QByteArray &value)
{
    appendU16(out, type);
    appendU16(out, quint16(value.size()));
    out.append(value);
    out.append(QByteArray((4 - value.size() % 4) % 4, '\0'));
}

// XOR of an address with the cookie (and for IPv6 the transaction id).
QByteArray xorBytes(const QByteArray &bytes, const QByteArray &transactionId)
{
    QByteArray mask(4, '\0');
    qToBigEndian<quint32>(kMagicCookie, mask.data());
    mask += transactionId;
    QByteArray out = bytes;
    for (int i = 0; i < out.size() && i < mask.size(); ++i)
        out[i] = char(out[i] ^ mask[i]);
    return out;
}

bool readAddress(const QByteArray &value, const QByteArray &transactionId, bool xored, QHostAddress *address,
                 quint16 *port)
{
    if (value.size() < 8)
        return false;
    const quint8 family = quint8(value[1]);
    quint16 p = qFromBigEndian<quint16>(value.constData() + 2);
    if (xored)
        p ^= quint16(kMagicCookie >> 16);
    if (family == 0x01 && value.size() == 8) {
        QByteArray ip = value.mid(4, 4);
        if (xored)
            ip = xorBytes(ip, transactionId);
        address->setAddress(qFromBigEndian<quint32>(ip.constData()));
    } else if (family == 0x02 && value.size() == 20) {
        QByteArray ip = value.mid(4, 16);
        if (xored)
            ip = xorBytes(ip, transactionId);
        address->setAddress(reinterpret_cast<const quint8 *>(ip.constData()));
    } else {
        return false;
    }
    *port = p;
    return true;
}

} // namespace

Message Message::request(quint16 method)
{
    Message m;
    m.method = method;
    m.cls = ClassRequest;
    m.transactionId = crypto::randomBytes(12);
    return m;
}

Message Message::indication(quint16 method)
{
    Message m = request(method);
    m.cls = ClassIndication;
    return m;
}

bool Message::has(quint16 type) const
{
    for (const auto &a : attributes)
        if (a.first == type)
            return true;
    return false;
}

QByteArray Message::attribute(quint16 type) const
{
    for (const auto &a : attributes)
        if (a.first == type)
            return a.second;
    return QByteArray();
}

void Message::addU32(quint16 type, quint32 value)
{
    QByteArray v(4, '\0');
    qToBigEndian<quint32>(value, v.data());
    add(type, v);
}

bool Message::u32(quint16 type, quint32 *value) const
{
    const QByteArray v = attribute(type);
    if (v.size() != 4)
        return false;
    *value = qFromBigEndian<quint32>(v.constData());
    return true;
}

void Message::addXorAddress(quint16 type, const QHostAddress &address, quint16 port)
{
    QByteArray v;
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    v.append('\0');
    v.append(char(v4 ? 0x01 : 0x02));
    appendU16(v, port ^ quint16(kMagicCookie >> 16));
    QByteArray ip;
    if (v4) {
        ip.resize(4);
        qToBigEndian<quint32>(ip4, ip.data());
    } else {
        const Q_IPV6ADDR a = address.toIPv6Address();
        ip = QByteArray(reinterpret_cast<const char *>(a.c), 16);
    }
    v.append(xorBytes(ip, transactionId));
    add(type, v);
}

bool Message::xorAddress(quint16 type, QHostAddress *address, quint16 *port) const
{
    return has(type) && readAddress(attribute(type), transactionId, true, address, port);
}

bool Message::plainAddress(quint16 type, QHostAddress *address, quint16 *port) const
{
    return has(type) && readAddress(attribute(type), transactionId, false, address, port);
}

int Message::errorCode() const
{
    const QByteArray v = attribute(AttrErrorCode);
    if (v.size() < 4)
        return 0;
    return (quint8(v[2]) & 0x07) * 100 + quint8(v[3]);
}

QByteArray Message::encode(const QByteArray &integrityKey) const
{
    QByteArray body;
    for (const auto &a : attributes)
        appendAttribute(body, a.first, a.second);
    QByteArray out;
    appendU16(out, typeOf(method, cls));
    const int integrity = integrityKey.isEmpty() ? 0 : 4 + kIntegrityBytes;
    appendU16(out, quint16(body.size() + integrity));
    QByteArray cookie(4, '\0');
    qToBigEndian<quint32>(kMagicCookie, cookie.data());
    out += cookie;
    out += transactionId.leftJustified(12, '\0', true);
    out += body;
    if (integrity) {
        const QByteArray mac = QMessageAuthenticationCode::hash(out, integrityKey, QCryptographicHash::Sha1);
        appendAttribute(out, AttrMessageIntegrity, mac);
    }
    return out;
}

bool decode(const char *data, int size, Message *message)
{
    if (size < kHeaderBytes || (quint8(data[0]) & 0xC0) != 0)
        return false;
    const int length = qFromBigEndian<quint16>(data + 2);
    if (length % 4 != 0 || kHeaderBytes + length != size || qFromBigEndian<quint32>(data + 4) != kMagicCookie)
        return false;
    Message m;
    splitType(qFromBigEndian<quint16>(data), &m.method, &m.cls);
    m.transactionId = QByteArray(data + 8, 12);
    int at = kHeaderBytes;
    while (at < size) {
        if (size - at < 4 || m.attributes.size() >= kMaxAttributes)
            return false;
        const quint16 type = qFromBigEndian<quint16>(data + at);
        const int len = qFromBigEndian<quint16>(data + at + 2);
        const int padded = (len + 3) & ~3;
        if (size - at - 4 < padded)
            return false;
        m.attributes.append({type, QByteArray(data + at + 4, len)});
        at += 4 + padded;
    }
    *message = m;
    return true;
}

bool integrityMatches(const QByteArray &raw, const QByteArray &key)
{
    // Find the attribute, then recompute over what precedes it with the length the sender
    // used (up to and including the integrity attribute).
    int at = kHeaderBytes;
    while (at + 4 <= raw.size()) {
        const quint16 type = qFromBigEndian<quint16>(raw.constData() + at);
        const int len = qFromBigEndian<quint16>(raw.constData() + at + 2);
        if (type == AttrMessageIntegrity) {
            if (len != kIntegrityBytes || at + 4 + len > raw.size())
                return false;
            QByteArray covered = raw.left(at);
            qToBigEndian<quint16>(quint16(at + 4 + kIntegrityBytes - kHeaderBytes), covered.data() + 2);
            const QByteArray mac = QMessageAuthenticationCode::hash(covered, key, QCryptographicHash::Sha1);
            return mac == raw.mid(at + 4, kIntegrityBytes);
        }
        at += 4 + ((len + 3) & ~3);
    }
    return false;
}

QByteArray longTermKey(const QString &username, const QString &realm, const QString &password)
{
    return QCryptographicHash::hash((username + QLatin1Char(':') + realm + QLatin1Char(':') + password).toUtf8(),
                                    QCryptographicHash::Md5);
}

} // namespace com::stun
