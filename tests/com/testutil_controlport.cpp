#include "testutil_controlport.h"

#include "com/torcontrol.h"
#include "crypto/crypto.h"

#include <QTcpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testutil {

namespace {

bool writeAll(int fd, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t wrote = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += wrote;
    }
    return true;
}

int listenAsChild(ListensOn where, quint16 port)
{
    const bool ipv6 = where != ListensOn::Loopback;
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int bound;
    if (ipv6) {
        const int onlyIPv6 = where == ListensOn::EveryIPv6AddressOnly ? 1 : 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &onlyIPv6, sizeof onlyIPv6);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(port);
        bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    return bound == 0 && ::listen(fd, 4) == 0 ? fd : -1;
}

quint16 portOf(int fd)
{
    sockaddr_in6 address{};   // large enough for either family; the port sits at the same place
    socklen_t size = sizeof address;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return 0;
    return ntohs(address.sin6_port);
}

// Reported after the lines of a connection the other side closed.
const QByteArray kEnded = QByteArrayLiteral("#ended");

// The child: no event loop (the parent's is not its own), one connection at a time. `go`,
// when open, is read once before the first accept().
[[noreturn]] void holdPort(int report, int go, uid_t uid, gid_t gid, ControlPortScript script, ListensOn where,
                          quint16 wantedPort)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const bool became = ::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0;
    const int listener = became ? listenAsChild(where, wantedPort) : -1;
    const quint16 port = portOf(listener);
    writeAll(report, QByteArray(reinterpret_cast<const char *>(&port), sizeof port));
    char byte;
    while (go >= 0 && ::read(go, &byte, 1) < 0 && errno == EINTR) {
    }
    while (port) {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        QByteArray pending;
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(connection, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, int(got));
            for (int newline; (newline = pending.indexOf('\n')) >= 0;) {
                const QByteArray line = pending.left(newline + 1);
                pending.remove(0, newline + 1);
                writeAll(report, line);
                writeAll(connection, script.answer(QString::fromUtf8(line).trimmed()));
            }
        }
        ::close(connection);
        writeAll(report, kEnded + '\n');
    }
    ::_exit(0);
}

} // namespace

QByteArray ControlPortScript::answer(const QString &line)
{
    if (line.startsWith(QLatin1String("PROTOCOLINFO")))
        return QStringLiteral("250-PROTOCOLINFO 1\r\n250-AUTH METHODS=%1 COOKIEFILE=\"%2\"\r\n"
                              "250-VERSION Tor=\"0.4.7.16\"\r\n250 OK\r\n")
            .arg(methods, cookieFile)
            .toUtf8();
    if (line.startsWith(QLatin1String("AUTHCHALLENGE SAFECOOKIE "))) {
        m_clientNonce = QByteArray::fromHex(line.mid(25).toLatin1());
        m_serverNonce = crypto::randomBytes(32);
        const QByteArray hash = knownCookie.isEmpty()
            ? crypto::randomBytes(32)
            : com::torcontrol::serverProof(knownCookie, m_clientNonce, m_serverNonce);
        return "250 AUTHCHALLENGE SERVERHASH=" + hash.toHex().toUpper() + " SERVERNONCE=" + m_serverNonce.toHex().toUpper()
            + "\r\n";
    }
    if (line.startsWith(QLatin1String("AUTHENTICATE"))) {
        const bool good = letsAnyoneIn
            || (!knownCookie.isEmpty()
                && line.mid(13).toLatin1() == com::torcontrol::clientProof(knownCookie, m_clientNonce, m_serverNonce).toHex());
        return good ? "250 OK\r\n" : "515 Authentication failed\r\n";
    }
    if (afterAuthentication)
        return afterAuthentication(line);
    if (line == QLatin1String("GETINFO version"))
        return "250-version=0.4.7.16\r\n250 OK\r\n";
    if (line.startsWith(QLatin1String("GETINFO net/listeners/socks")))
        return "250-net/listeners/socks=\"127.0.0.1:9\"\r\n250 OK\r\n";
    if (line.startsWith(QLatin1String("ADD_ONION")) && addOnion)
        return addOnion(line);
    return "510 Unrecognized command\r\n";
}

FakeControlPort::FakeControlPort()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server.nextPendingConnection())
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] {
                while (s->canReadLine()) {
                    const QString line = QString::fromUtf8(s->readLine()).trimmed();
                    received.append(line);
                    s->write(answer(line));
                }
            });
    });
}

ForeignControlPort::ForeignControlPort(uid_t uid, gid_t gid, const ControlPortScript &script, ListensOn where,
                                       bool acceptsWhenLet, quint16 wantedPort)
{
    int pipe[2];
    int go[2] = {-1, -1};
    if (::pipe2(pipe, O_CLOEXEC) != 0 || (acceptsWhenLet && ::pipe2(go, O_CLOEXEC) != 0))
        return;
    m_child = ::fork();
    if (m_child == 0) {
        ::close(pipe[0]);
        if (go[1] >= 0)
            ::close(go[1]);
        holdPort(pipe[1], go[0], uid, gid, script, where, wantedPort);
    }
    ::close(pipe[1]);
    if (go[0] >= 0)
        ::close(go[0]);
    m_go = go[1];
    m_report = pipe[0];
    quint16 port = 0;
    if (m_child > 0 && ::read(m_report, &port, sizeof port) == ssize_t(sizeof port))
        m_port = port;
    ::fcntl(m_report, F_SETFL, O_NONBLOCK);
}

ForeignControlPort::~ForeignControlPort()
{
    if (m_child > 0) {
        ::kill(m_child, SIGKILL);
        ::waitpid(m_child, nullptr, 0);
    }
    if (m_report >= 0)
        ::close(m_report);
    if (m_go >= 0)
        ::close(m_go);
}

void ForeignControlPort::letAccept()
{
    if (m_go >= 0)
        writeAll(m_go, "g");
}

int ForeignControlPort::connectionsEnded()
{
    received();
    return int(m_lines.count(kEnded + '\n'));
}

QStringList ForeignControlPort::received()
{
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(m_report, buffer, sizeof buffer)) > 0)
        m_lines.append(buffer, int(got));
    QStringList lines;
    for (const QByteArray &line : m_lines.split('\n'))
        if (!line.trimmed().isEmpty() && line != kEnded)
            lines.append(QString::fromUtf8(line).trimmed());
    return lines;
}

} // namespace testutil
