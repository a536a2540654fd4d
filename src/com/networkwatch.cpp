#include "com/networkwatch.h"

#include "app/base/log.h"

#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace com {

namespace {

// Long enough for the addresses (and the routes with them) that follow an interface coming
// up, short enough that nobody waits for it.
constexpr int kSettleMs = 300;

} // namespace

NetworkWatch::NetworkWatch(QObject *parent)
    : QObject(parent)
    , m_present(presentAddresses())
{
    m_settle = new QTimer(this);
    m_settle->setSingleShot(true);
    m_settle->setInterval(kSettleMs);
    connect(m_settle, &QTimer::timeout, this, &NetworkWatch::lookAgain);

    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        logPrintf(LogErr1, "no notices of network changes: %s", std::strerror(errno));
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &NetworkWatch::onNotices);
}

NetworkWatch::~NetworkWatch()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

void NetworkWatch::onNotices()
{
    // What the notices say is not read: the interfaces are looked at once they are quiet.
    // A full socket buffer (ENOBUFS) lost some of them, which is a notice too.
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0 && !(got < 0 && (errno == ENOBUFS || errno == EINTR)))
            break;
    }
    if (!m_settle->isActive())
        m_settle->start();
}

void NetworkWatch::lookAgain()
{
    const QSet<QString> now = presentAddresses();
    const bool gained = !(now - m_present).isEmpty();
    m_present = now;
    if (gained) {
        logPrintf(LogCom1, "network came back");
        Q_EMIT networkReturned();
    }
}

QSet<QString> NetworkWatch::presentAddresses()
{
    QSet<QString> present;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if ((flags & QNetworkInterface::IsLoopBack) || !(flags & QNetworkInterface::IsUp)
            || !(flags & QNetworkInterface::IsRunning))
            continue;
        // A link-local address reaches no other computer; every new interface (a container's,
        // a virtual machine's) brings one.
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            if (!entry.ip().isLinkLocal())
                present.insert(QString::number(iface.index()) + QLatin1Char('|') + entry.ip().toString());
        }
    }
    return present;
}

} // namespace com
