#include "com/socketowner.h"

#include <QAbstractSocket>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QtEndian>

#include <cstring>

namespace com::socketowner {

namespace {

// What is left of a closed connection; the tables list it as root's.
const char kTimeWait[] = "06";

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

// The socket whose own end is `address`:`port` and whose far end is `peerAddress`:`peerPort`,
// in rows of "sl local remote st tx:rx tr:when retrnsmt uid ...".
bool ownerIn(const QByteArray &tables, const QHostAddress &address, quint16 port, const QHostAddress &peerAddress,
             quint16 peerPort, uid_t *uid)
{
    QList<uid_t> owners;
    for (const QByteArray &line : tables.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        Endpoint local;
        Endpoint remote;
        if (fields.size() < 8 || fields.at(3) == kTimeWait || !parseEndpoint(fields.at(1), &local)
            || !parseEndpoint(fields.at(2), &remote) || !isAt(local, address, port) || !isAt(remote, peerAddress, peerPort))
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

} // namespace

bool peerOwner(const QAbstractSocket &socket, uid_t *uid)
{
    // A socket that reached 127.0.0.1 may have been taken by an IPv6 listener for every
    // address, listed in the IPv6 table.
    const QByteArray tables = readTable("/proc/net/tcp") + '\n' + readTable("/proc/net/tcp6");
    return ownerIn(tables, socket.peerAddress(), socket.peerPort(), socket.localAddress(), socket.localPort(), uid);
}

} // namespace com::socketowner
