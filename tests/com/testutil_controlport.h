#pragma once

// Tor control ports that are not tor, for the Tor service's tests: they answer like one,
// know the cookie they name or not, and let the test decide what ADD_ONION answers. One
// runs in the test's own process (this user's port); the other in a child process of its
// own under another account, as a port another local user holds.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <functional>
#include <sys/types.h>

namespace testutil {

// What such a port answers to each line it gets.
struct ControlPortScript
{
    QString methods = QStringLiteral("COOKIE,SAFECOOKIE");
    QString cookieFile;
    QByteArray knownCookie;   // empty: it does not know the cookie it names
    bool letsAnyoneIn = false;   // answers any AUTHENTICATE with 250
    std::function<QByteArray(const QString &line)> addOnion;
    // When set, answers every line that follows authentication instead.
    std::function<QByteArray(const QString &line)> afterAuthentication;

    QByteArray answer(const QString &line);

private:
    QByteArray m_clientNonce;
    QByteArray m_serverNonce;
};

// In this process, on 127.0.0.1. Records every line it gets.
class FakeControlPort : public QObject, public ControlPortScript
{
public:
    QStringList received;

    FakeControlPort();
    quint16 port() const { return m_server.serverPort(); }

private:
    QTcpServer m_server;
};

// Where a port listens: 127.0.0.1, every address through one IPv6 socket that takes IPv4
// connections too, or every IPv6 address only.
enum class ListensOn { Loopback, EveryAddress, EveryIPv6AddressOnly };

// In a child process that has become `uid` (and `gid`) before it opened its socket, on
// `port` (0: a free one). With `acceptsWhenLet` it takes no connection until letAccept(): what
// was sent meanwhile waits in the kernel. The script is the child's copy. The child ends with
// this object, or with the test.
class ForeignControlPort
{
public:
    ForeignControlPort(uid_t uid, gid_t gid, const ControlPortScript &script, ListensOn where = ListensOn::Loopback,
                       bool acceptsWhenLet = false, quint16 port = 0);
    ~ForeignControlPort();
    ForeignControlPort(const ForeignControlPort &) = delete;
    ForeignControlPort &operator=(const ForeignControlPort &) = delete;

    // 0 when the child could not become that account or open its port.
    quint16 port() const { return m_port; }
    // Every line it got so far. It tells each before it answers it, so once the service
    // has its answer the line is here.
    QStringList received();
    void letAccept();
    // Connections it took and saw closed by the other side.
    int connectionsEnded();

private:
    pid_t m_child = -1;
    int m_report = -1;
    int m_go = -1;
    quint16 m_port = 0;
    QByteArray m_lines;
};

} // namespace testutil
