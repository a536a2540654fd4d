#include "testutil_netns.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace testutil {

namespace {

bool runProgram(const QString &program, const QStringList &args, const QByteArray &input = QByteArray())
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return false;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("%s %s: %s", qPrintable(program), qPrintable(args.join(QLatin1Char(' '))), p.readAll().constData());
        return false;
    }
    return true;
}

// `base` and the first number from *next on that begins no namespace's name yet. Names of
// this process's id may be taken: a process that had it before ended without its clean-up.
QString unusedPrefix(const QString &base, int *next)
{
    const QStringList present = QDir(QStringLiteral("/run/netns")).entryList(QDir::AllEntries | QDir::System);
    for (;;) {
        const QString prefix = base + QString::number((*next)++);
        const bool taken = std::any_of(present.begin(), present.end(), [&prefix](const QString &name) {
            return name.startsWith(prefix) && (name.size() == prefix.size() || !name.at(prefix.size()).isDigit());
        });
        if (!taken)
            return prefix;
    }
}

} // namespace

QString Netns::unavailableReason()
{
    if (geteuid() != 0)
        return QStringLiteral("network namespace tests need root");
    if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty())
        return QStringLiteral("`ip` (iproute2) is not installed");
    if (QStandardPaths::findExecutable(QStringLiteral("nft")).isEmpty())
        return QStringLiteral("`nft` (nftables) is not installed");
    int first = 0;
    const QString probe = unusedPrefix(QStringLiteral("nkprobe%1x").arg(QCoreApplication::applicationPid()), &first);
    if (!runProgram(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("add"), probe}))
        return QStringLiteral("`ip netns add` does not work here");
    runProgram(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("delete"), probe});
    return QString();
}

Netns::Netns()
{
    // Several sets of namespaces may live side by side in one test.
    static int made = 0;
    m_prefix = unusedPrefix(QStringLiteral("nk%1n").arg(QCoreApplication::applicationPid() % 100000), &made);
}

Netns::~Netns()
{
    for (const QString &ns : qAsConst(m_made))
        runProgram(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("delete"), ns});
}

bool Netns::add(const QString &shortName)
{
    const QString full = name(shortName);
    if (!runProgram(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("add"), full}))
        return false;
    m_made.append(full);
    return ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")}, shortName);
}

bool Netns::ip(const QStringList &args, const QString &shortName)
{
    return runProgram(QStringLiteral("ip"), shortName.isEmpty() ? args : QStringList{QStringLiteral("-n"), name(shortName)} + args);
}

bool Netns::exec(const QString &shortName, const QString &program, const QStringList &args, const QByteArray &input)
{
    return runProgram(QStringLiteral("ip"), QStringList{QStringLiteral("netns"), QStringLiteral("exec"), name(shortName), program} + args,
                      input);
}

bool buildNatNetwork(Netns &net, Router a, Router b)
{
    const QString pub = QStringLiteral("pub");
    bool ok = net.add(pub) && net.ip({"link", "add", "br0", "type", "bridge"}, pub);
    for (const char *address : {"198.18.0.1/24", "198.18.0.2/24", "198.18.0.3/24", "198.18.0.4/24"})
        ok = ok && net.ip({"addr", "add", address, "dev", "br0"}, pub);
    ok = ok && net.ip({"link", "set", "br0", "up"}, pub);
    const QString id = net.name(QString());
    struct Side { QString name; QString wan; QString lan; Router router; };
    for (const Side &s : {Side{"A", "198.18.0.10", "198.18.1", a}, Side{"B", "198.18.0.20", "198.18.2", b}}) {
        const QString nat = QStringLiteral("nat") + s.name, host = QStringLiteral("host") + s.name;
        // The namespace on the public side of the cable: the router, or the host itself.
        const QString outer = s.router == Router::None ? host : nat;
        const QString wan = id + s.name + "w", wanPeer = id + s.name + "p", lan = id + s.name + "l", lanPeer = id + s.name + "h";
        ok = ok && net.add(outer)
            && net.ip({"link", "add", wan, "netns", net.name(outer), "type", "veth", "peer", "name", wanPeer, "netns", net.name(pub)})
            && net.ip({"link", "set", wanPeer, "master", "br0", "up"}, pub)
            && net.ip({"addr", "add", s.wan + "/24", "dev", wan}, outer) && net.ip({"link", "set", wan, "up"}, outer);
        if (s.router == Router::None)
            continue;
        ok = ok && net.add(host)
            && net.ip({"link", "add", lan, "netns", net.name(nat), "type", "veth", "peer", "name", lanPeer, "netns", net.name(host)})
            && net.ip({"addr", "add", s.lan + ".1/24", "dev", lan}, nat) && net.ip({"link", "set", lan, "up"}, nat)
            && net.ip({"addr", "add", s.lan + ".2/24", "dev", lanPeer}, host) && net.ip({"link", "set", lanPeer, "up"}, host)
            && net.ip({"route", "add", "default", "via", s.lan + ".1"}, host)
            && net.exec(nat, "sysctl", {"-qw", "net.ipv4.ip_forward=1"})
            && net.exec(nat, "nft", {"-f", "-"},
                        QStringLiteral("table ip nat {\n"
                                       " chain pre { type nat hook prerouting priority -100; }\n"
                                       " chain post { type nat hook postrouting priority 100; oifname \"%1\" masquerade%2; }\n"
                                       "}\n")
                            .arg(wan, s.router == Router::Symmetric ? QStringLiteral(" fully-random") : QString())
                            .toUtf8());
    }
    return ok;
}

bool forwardToHost(Netns &net, const QString &side, quint16 port)
{
    const QString lanHost = side == QLatin1String("A") ? QStringLiteral("198.18.1.2") : QStringLiteral("198.18.2.2");
    return net.exec(QStringLiteral("nat") + side, "nft",
                    {"add", "rule", "ip", "nat", "pre", "iifname", net.name(QString()) + side + "w", "udp", "dport",
                     QString::number(port), "dnat", "to", QStringLiteral("%1:%2").arg(lanHost).arg(port)});
}

NetnsScope::NetnsScope(const QString &fullName)
{
    if (fullName.isEmpty())
        return;
    m_original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(QFile::encodeName(QStringLiteral("/var/run/netns/") + fullName).constData(),
                              O_RDONLY | O_CLOEXEC);
    m_entered = m_original >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
}

NetnsScope::~NetnsScope()
{
    if (m_entered)
        ::setns(m_original, CLONE_NEWNET);
    if (m_original >= 0)
        ::close(m_original);
}

} // namespace testutil
