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

struct Row
{
    Endpoint local;
    Endpoint remote;
    QByteArray state;
    QByteArray uid;
};

// The rows "sl local remote st tx:rx tr:when retrnsmt uid ..." of the tables.
QList<Row> rowsOf(const QByteArray &tables)
{
    QList<Row> rows;
    for (const QByteArray &line : tables.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        Row row;
        if (fields.size() < 8 || !parseEndpoint(fields.at(1), &row.local) || !parseEndpoint(fields.at(2), &row.remote))
            continue;
        row.state = fields.at(3);
        row.uid = fields.at(7);
        rows.append(row);
    }
    return rows;
}

// The owner of the rows `matches` picks; false when a row picked has no readable uid, or
// when there is not exactly one owner.
bool ownerOf(const QList<Row> &rows, const std::function<bool(const Row &)> &matches, uid_t *uid)
{
    QList<uid_t> owners;
    for (const Row &row : rows) {
        if (!matches(row))
            continue;
        bool ok = false;
        const uid_t owner = uid_t(row.uid.toUInt(&ok));
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

// Which of a port's listeners the kernel hands a connection to `address`: one bound to the
// address itself before one on every IPv4 address, before one on every IPv6 address (which
// takes IPv4 connections too unless it is IPv6-only). The tables do not say which IPv6
// socket is IPv6-only, but they need not: beside a listener of the first two kinds the kernel
// lets another account listen on every IPv6 address only as IPv6-only. The smaller the
// nearer; -1 when the socket takes no connection to `address`.
int nearness(const QHostAddress &listening, const QHostAddress &address)
{
    if (listening.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
        return 0;
    if (listening == QHostAddress(QHostAddress::AnyIPv4))
        return address.protocol() == QAbstractSocket::IPv4Protocol ? 1 : -1;
    return listening == QHostAddress(QHostAddress::AnyIPv6) ? 2 : -1;
}

} // namespace

bool portHolderIn(const QByteArray &tables, const QHostAddress &address, quint16 port,
                  const QHostAddress &ourAddress, quint16 ourPort, uid_t *uid)
{
    const QList<Row> rows = rowsOf(tables);
    uid_t farEnd = 0;
    uid_t listener = 0;
    const bool farEndKnown = ownerOf(
        rows,
        [&](const Row &row) {
            return row.state != kTimeWait && isAt(row.local, address, port) && isAt(row.remote, ourAddress, ourPort);
        },
        &farEnd);
    const auto listenerNearness = [&](const Row &row) {
        return row.state == kListen && row.local.port == port ? nearness(row.local.address, address) : -1;
    };
    int nearest = -1;
    for (const Row &row : rows) {
        const int near = listenerNearness(row);
        if (near >= 0 && (nearest < 0 || near < nearest))
            nearest = near;
    }
    const bool listenerKnown = ownerOf(
        rows, [&](const Row &row) { return nearest >= 0 && listenerNearness(row) == nearest; }, &listener);
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
