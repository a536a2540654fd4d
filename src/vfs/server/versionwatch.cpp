#include "vfs/server/versionwatch.h"

#include <QByteArray>

#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace versionguard {

namespace {

// The thread's own instance, made on its first watch; a second watch at the same time on the
// same thread gets one of its own.
struct ThreadInstance
{
    int fd = -1;
    bool inUse = false;
    ~ThreadInstance()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

thread_local ThreadInstance t_instance;

} // namespace

VersionWatch::~VersionWatch()
{
    if (m_watch >= 0)
        ::inotify_rm_watch(m_inotify, m_watch);
    if (m_shared)
        t_instance.inUse = false;
    else if (m_inotify >= 0)
        ::close(m_inotify);
}

bool VersionWatch::start(int fd)
{
    if (m_inotify < 0) {
        m_shared = !t_instance.inUse;
        if (m_shared && t_instance.fd < 0)
            t_instance.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        m_inotify = m_shared ? t_instance.fd : ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0) {
            m_shared = false;
            return false;
        }
        t_instance.inUse = t_instance.inUse || m_shared;
    }
    // What an earlier watch left in the queue (its removal at least) is not this file's.
    Use stale;
    read(&stale);
    // The descriptor's own file, whatever its name leads to by now.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    m_watch = ::inotify_add_watch(m_inotify, self.constData(),
                                  IN_OPEN | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    return m_watch >= 0;
}

void forEachEvent(int inotify, const std::function<void(const inotify_event &)> &hear)
{
    alignas(inotify_event) char buffer[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t got = ::read(inotify, buffer, sizeof buffer);
        if (got <= 0)
            return;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            hear(*event);
        }
    }
}

void VersionWatch::read(Use *use)
{
    forEachEvent(m_inotify, [&](const inotify_event &event) {
        if (event.mask & IN_Q_OVERFLOW)
            use->overflowed = true;
        if (event.wd != m_watch)
            return;
        if (event.mask & IN_OPEN)
            ++use->opens;
        if (event.mask & IN_MODIFY) {
            use->written = true;
            m_writing = true;
        }
        if (event.mask & IN_ATTRIB)
            use->attributes = true;
        if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
            ++use->closes;
        if (event.mask & IN_CLOSE_WRITE) {
            use->writerClosed = true;
            m_writing = false;
        }
    });
}

VersionWatch::Use VersionWatch::look()
{
    Use use;
    if (m_watch >= 0)
        read(&use);
    return use;
}

VersionWatch::Use VersionWatch::settle(bool opener, std::chrono::steady_clock::time_point deadline,
                                       void (*waiting)())
{
    Use use;
    if (m_watch < 0)
        return use;
    for (;;) {
        read(&use);
        const bool arrived = !opener || use.opens > 0 || use.written;
        if (use.overflowed || (arrived && !m_writing && use.opens <= use.closes))
            return use;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline
                                                                                - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return use;
        if (waiting)
            waiting();
        pollfd ready{m_inotify, POLLIN, 0};
        if (::poll(&ready, 1, int(left.count()) + 1) < 0 && errno != EINTR)
            return use;
    }
}

} // namespace versionguard
