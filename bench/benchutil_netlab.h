#pragma once

// Two computers in network namespaces A and B that reach each other through a third one, M,
// which can route every packet between them through a delay line (benchutil_delayline.h): a
// round trip of a set length, or a cut that loses every packet for a while. Needs root,
// `ip` and /dev/net/tun. A at 198.18.9.2, B at 198.18.10.2.

#include "benchutil_delayline.h"
#include "testutil_netns.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QString>

#include <algorithm>
#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace benchutil {

inline double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

// `files` files of `kib` KiB named f000000, f000001, ... in `folder`, made if missing.
inline bool writeFiles(const QString &folder, int files, int kib)
{
    if (!QDir().mkpath(folder))
        return false;
    const QByteArray bytes(kib * 1024, 'x');
    for (int i = 0; i < files; ++i) {
        QFile f(folder + QStringLiteral("/f%1").arg(i, 6, 10, QLatin1Char('0')));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

class NetLab
{
public:
    bool build()
    {
        const QString id = m_net.name(QString());
        m_a1 = id + QStringLiteral("a1");
        m_b1 = id + QStringLiteral("b1");
        const QString tun = id + QStringLiteral("d");
        bool ok = m_net.add(QStringLiteral("A")) && m_net.add(QStringLiteral("M")) && m_net.add(QStringLiteral("B"))
                  && m_net.exec(QStringLiteral("M"), QStringLiteral("sysctl"),
                                {"-qw", "net.ipv4.ip_forward=1", "net.ipv4.conf.all.rp_filter=0",
                                 "net.ipv4.conf.default.rp_filter=0"});
        struct Side { QString ns; QString subnet; };
        for (const Side &s : {Side{QStringLiteral("A"), QStringLiteral("198.18.9")}, Side{QStringLiteral("B"), QStringLiteral("198.18.10")}}) {
            const QString inner = id + s.ns.toLower() + QStringLiteral("0"), outer = id + s.ns.toLower() + QStringLiteral("1");
            ok = ok
                 && m_net.ip({"link", "add", inner, "netns", m_net.name(s.ns), "type", "veth", "peer", "name", outer,
                              "netns", m_net.name(QStringLiteral("M"))})
                 && m_net.ip({"addr", "add", s.subnet + ".2/24", "dev", inner}, s.ns)
                 && m_net.ip({"link", "set", inner, "up"}, s.ns)
                 && m_net.ip({"route", "add", "default", "via", s.subnet + ".1"}, s.ns)
                 && m_net.ip({"addr", "add", s.subnet + ".1/24", "dev", outer}, QStringLiteral("M"))
                 && m_net.ip({"link", "set", outer, "up"}, QStringLiteral("M"));
        }
        return ok && m_line.start(m_net.name(QStringLiteral("M")), tun)
               && m_net.ip({"link", "set", tun, "up"}, QStringLiteral("M"))
               && m_net.ip({"route", "add", "default", "dev", tun, "table", "100"}, QStringLiteral("M"));
    }

    // What M forwards between A and B goes through the delay line (half the round trip each
    // way), or, for 0, straight on unless it must pass the line to be cut.
    bool setRoundTrip(int ms)
    {
        m_line.setDelay(std::chrono::microseconds(ms * 500));
        return throughLine(ms > 0 || m_cuttable);
    }

    // From now on every packet passes the delay line, at any round trip, so that cut() takes
    // effect at once.
    bool makeCuttable()
    {
        m_cuttable = true;
        return throughLine(true);
    }

    // Loses every packet between A and B from now on, or no longer; from any thread.
    void cut(bool on) { m_line.setDropping(on); }

    // The round trip from B to A as a TCP connect to `port` takes it (one SYN, one SYN-ACK),
    // in ms: the median of ten.
    double roundTripMs(quint16 port)
    {
        testutil::NetnsScope inB(m_net.name(QStringLiteral("B")));
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, "198.18.9.2", &to.sin_addr);
        QList<double> times;
        for (int i = 0; i < 10 && inB.isValid(); ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            QElapsedTimer clock;
            clock.start();
            if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
                times << clock.nsecsElapsed() / 1e6;
            if (fd >= 0)
                ::close(fd);
        }
        return median(times);
    }

    QString ns(const QString &shortName) const { return m_net.name(shortName); }

private:
    bool throughLine(bool on)
    {
        bool ok = true;
        for (const QString &dev : {m_a1, m_b1}) {
            if (on != m_throughLine)
                ok = ok && m_net.ip({"rule", on ? "add" : "del", "iif", dev, "lookup", "100"}, QStringLiteral("M"));
        }
        m_throughLine = on;
        return ok;
    }

    testutil::Netns m_net;
    DelayLine m_line;
    QString m_a1;
    QString m_b1;
    bool m_throughLine = false;
    bool m_cuttable = false;
};

} // namespace benchutil
