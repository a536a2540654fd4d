#include "testutil_netns.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

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

} // namespace

QString Netns::unavailableReason()
{
    if (geteuid() != 0)
        return QStringLiteral("network namespace tests need root");
    if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty())
        return QStringLiteral("`ip` (iproute2) is not installed");
    if (QStandardPaths::findExecutable(QStringLiteral("nft")).isEmpty())
        return QStringLiteral("`nft` (nftables) is not installed");
    const QString probe = QStringLiteral("nkprobe%1").arg(QCoreApplication::applicationPid());
    if (!runProgram(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("add"), probe}))
        return QStringLiteral("`ip netns add` does not work here");
    runProgram(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("delete"), probe});
    return QString();
}

Netns::Netns()
    : m_prefix(QStringLiteral("nk%1").arg(QCoreApplication::applicationPid() % 100000))
{
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
