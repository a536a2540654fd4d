#include "app/startup/unixsignals.h"

#include "app/base/log.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_fds[2] = {-1, -1};

extern "C" void onUnixSignal(int sig)
{
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    ssize_t n = ::write(g_fds[0], &b, 1);
    (void)n;
    errno = saved;
}

} // namespace

bool UnixSignalWatcher::installHandlers()
{
    if (g_fds[0] >= 0)
        return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_fds) != 0) {
        logPrintf(LogErr1, "signal socket pair failed: %d", errno);
        g_fds[0] = g_fds[1] = -1;
        return false;
    }
    struct sigaction sa = {};
    sa.sa_handler = onUnixSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    bool ok = ::sigaction(SIGINT, &sa, nullptr) == 0;
    ok = ::sigaction(SIGTERM, &sa, nullptr) == 0 && ok;
    if (!ok)
        logPrintf(LogErr1, "failed to install signal handlers: %d", errno);
    return ok;
}

UnixSignalWatcher::UnixSignalWatcher(QObject* parent)
    : QObject(parent)
{
    if (!installHandlers())
        return;
    m_notifier = new QSocketNotifier(g_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::onReadable);
}

UnixSignalWatcher::~UnixSignalWatcher() = default;

void UnixSignalWatcher::onReadable()
{
    unsigned char buf[16];
    ssize_t n;
    while ((n = ::read(g_fds[1], buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            logPrintf(LogNfo1, "signal %d received, quitting", buf[i]);
            Q_EMIT signalReceived(buf[i]);
        }
        QCoreApplication::exit(0);
    }
}
