#include "com/socketowner.h"

#include <QAbstractSocket>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QtEndian>

#include <cstring>
#include <functional>

namespace com::socketowner {

namespace {

// What is left of a closed connection; the tables list it as root's.
const QByteArray kTimeWait = QByteArrayLiteral("06");
const QByteArray kListen = QByteArrayLiteral("0A");

struct Endpoint
{
    QHostAddress address;
    quint16 port = 0;
};

// The tables print an address as its 32-bit words, each one's bytes in the machine's order.
QHostAddress addressOf(const QByteArray &hex)
{
    if (hex.size() != 8 && hex.size() != 32)
        return QHostAddress();
    quint8 bytes[16];
    for (int word = 0; word < hex.size() / 8; ++word) {
        bool ok = false;
        const quint32 value = hex.mid(word * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return QHostAddress();
        std::memcpy(bytes + 4 * word, &value, sizeof value);
    }
    return hex.size() == 8 ? QHostAddress(qFromBigEndian<quint32>(bytes)) : QHostAddress(bytes);
}

bool parseEndpoint(const QByteArray &text, Endpoint *endpoint)
{
    const int colon = text.indexOf(':');
    bool ok = false;
    endpoint->address = addressOf(text.left(colon));
    endpoint->port = quint16(text.mid(colon + 1).toUInt(&ok, 16));
    return colon > 0 && ok && !endpoint->address.isNull();
}

bool isAt(const Endpoint &endpoint, const QHostAddress &address, quint16 port)
{
    return endpoint.port == port && endpoint.address.isEqual(address, QHostAddress::ConvertV4MappedToIPv4);
}

QByteArray readTable(const char *path)
{
    QFile table(QString::fromLatin1(path));
    return table.open(QIODevice::ReadOnly) ? table.readAll() : QByteArray();
}

// The owners of the rows `matches` picks, in rows of "sl local remote st tx:rx tr:when
// retrnsmt uid ..."; false when a row matched has no readable uid, or when there is not
// exactly one owner.
bool ownerOf(const QByteArray &tables, const std::function<bool(const Endpoint &local, const Endpoint &remote,
                                                                 const QByteArray &state)> &matches,
             uid_t *uid)
{
    QList<uid_t> owners;
    for (const QByteArray &line : tables.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        Endpoint local;
        Endpoint remote;
        if (fields.size() < 8 || !parseEndpoint(fields.at(1), &local) || !parseEndpoint(fields.at(2), &remote)
            || !matches(local, remote, fields.at(3)))
            continue;
        bool ok = false;
        const uid_t owner = uid_t(fields.at(7).toUInt(&ok));
        if (!ok)
            return false;
        if (!owners.contains(owner))
            owners.append(owner);
    }
    if (owners.size() != 1)
        return false;
    *uid = owners.first();
    return true;
}

// Whether a socket listening on `listening` takes connections to `address`: bound to it, or
// to every address (an IPv6 socket on every address may take IPv4 ones too).
bool takesConnectionsTo(const QHostAddress &listening, const QHostAddress &address)
{
    return listening.isEqual(address, QHostAddress::ConvertV4MappedToIPv4)
           || listening == QHostAddress(QHostAddress::AnyIPv6)
           || (listening == QHostAddress(QHostAddress::AnyIPv4) && address.protocol() == QAbstractSocket::IPv4Protocol);
}

} // namespace

bool portHolderIn(const QByteArray &tables, const QHostAddress &address, quint16 port,
                  const QHostAddress &ourAddress, quint16 ourPort, uid_t *uid)
{
    uid_t farEnd = 0;
    uid_t listener = 0;
    const bool farEndKnown = ownerOf(
        tables,
        [&](const Endpoint &local, const Endpoint &remote, const QByteArray &state) {
            return state != kTimeWait && isAt(local, address, port) && isAt(remote, ourAddress, ourPort);
        },
        &farEnd);
    const bool listenerKnown = ownerOf(
        tables,
        [&](const Endpoint &local, const Endpoint &, const QByteArray &state) {
            return state == kListen && local.port == port && takesConnectionsTo(local.address, address);
        },
        &listener);
    if (!farEndKnown || !listenerKnown || (farEnd != listener && farEnd != 0 && listener != 0))
        return false;
    *uid = farEnd != 0 ? farEnd : listener;
    return true;
}

bool portHolder(const QAbstractSocket &socket, uid_t *uid)
{
    // A socket that reached 127.0.0.1 may have been taken by an IPv6 listener for every
    // address, listed in the IPv6 table.
    const QByteArray tables = readTable("/proc/net/tcp") + '\n' + readTable("/proc/net/tcp6");
    return portHolderIn(tables, socket.peerAddress(), socket.peerPort(), socket.localAddress(), socket.localPort(), uid);
}

} // namespace com::socketowner
