#include "vfs/server/versionlinger.h"

#include "app/base/log.h"
#include "vfs/server/versionguard.h"
#include "vfs/server/versionwatch.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace versionguard {

namespace {

// The program's table; the lock keeps it from going while a delete hands a file over.
std::mutex g_tableLock;
LingeringFiles *g_table = nullptr;

std::int64_t changeNs(const struct stat &st)
{
    return std::int64_t(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
}

std::int64_t changeNs(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 ? changeNs(st) : 0;
}

} // namespace

// The folder lingering files were in, held once for all of them.
struct LingeringFiles::Folder
{
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    ~Folder()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct LingeringFiles::Lingering
{
    int fd = -1;    // the unlinked file, by path
    int watch = -1; // its watch in m_inotify
    std::shared_ptr<Folder> folder;
    QByteArray name;
    Clock::time_point end;  // let go then
    std::int64_t changeNs = 0; // when it was unlinked
    bool written = false;   // its bytes or attributes changed since
    bool writing = false;   // a program is at it: no writer's close seen since its last change
};

LingeringFiles::LingeringFiles() : LingeringFiles(Limits())
{
}

LingeringFiles::LingeringFiles(const Limits &limits) : m_limits(limits)
{
    std::lock_guard<std::mutex> table(g_tableLock);
    if (!g_table)
        g_table = this;
}

LingeringFiles::~LingeringFiles()
{
    {
        std::lock_guard<std::mutex> table(g_tableLock);
        if (g_table == this)
            g_table = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    if (m_wake >= 0)
        (void)!::eventfd_write(m_wake, 1);
    if (m_thread.joinable())
        m_thread.join();
    letGoOfAll();
    if (m_inotify >= 0)
        ::close(m_inotify);
    if (m_wake >= 0)
        ::close(m_wake);
}

bool LingeringFiles::keep(int fd, int dirFd, const QByteArray &name, VersionWatch *watched)
{
    std::vector<Lingering> letGo;
    LingeringFiles *table = nullptr;
    bool kept = false;
    {
        std::lock_guard<std::mutex> tableLock(g_tableLock);
        table = g_table;
        if (!table)
            return false;
        std::lock_guard<std::mutex> lock(table->m_mutex);
        kept = table->adopt(fd, dirFd, name, watched, &letGo);
        table->m_finishing += int(letGo.size());
    }
    // The oldest made room, outside the locks: naming its bytes copies them. The table stays
    // while one of its files is being let go of (letGoOfAll waits for it).
    if (!letGo.empty())
        table->finish(std::move(letGo));
    return kept;
}

bool LingeringFiles::adopt(int fd, int dirFd, const QByteArray &name, VersionWatch *watched,
                           std::vector<Lingering> *letGo)
{
    struct stat st, folderSt;
    // A file with another name keeps what is written to it.
    if (::fstat(fd, &st) != 0 || st.st_nlink > 0 || ::fstat(dirFd, &folderSt) != 0)
        return false;
    // The thread of the last files ended, or is about to: it touches nothing of the table
    // after saying so, and only lets go of the descriptors it took along.
    if (!m_serving && m_thread.joinable())
        m_thread.join();
    if (m_inotify < 0)
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_wake < 0)
        m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_inotify < 0 || m_wake < 0)
        return false;
    if (!m_serving) {
        try {
            m_thread = std::thread(&LingeringFiles::serve, this);
        } catch (const std::system_error &) {
            return false;
        }
        m_serving = true;
    }
    Lingering file;
    for (const Lingering &other : m_files) {
        if (other.folder->device == folderSt.st_dev && other.folder->inode == folderSt.st_ino) {
            file.folder = other.folder;
            break;
        }
    }
    if (!file.folder) {
        file.folder = std::make_shared<Folder>();
        file.folder->fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
        file.folder->device = folderSt.st_dev;
        file.folder->inode = folderSt.st_ino;
        if (file.folder->fd < 0)
            return false;
    }
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    file.watch = ::inotify_add_watch(m_inotify, self.constData(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE);
    if (file.watch < 0)
        return false;
    // The lease the delete held, if any, goes only now that the file is watched: a writer it
    // held up opens the file now, seen.
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    const Clock::time_point now = Clock::now();
    file.fd = fd;
    file.name = name;
    file.end = now + m_limits.grace;
    file.changeNs = changeNs(st);
    // What the delete's own watch saw after its last look, until this one watched too.
    const VersionWatch::Use use = watched ? watched->look() : VersionWatch::Use();
    if (use.written || use.attributes || use.writerClosed || use.overflowed) {
        markWritten(&file, now);
        file.writing = watched->writing();
    }
    // The thread sleeps until the end it knew of first: one that wrote may have been given
    // more time than this file has. And it learns only from the kernel: what this look takes
    // from it, it is told.
    bool wake = file.end < m_wakeAt;
    m_files.push_back(std::move(file));
    wake = hear(now) || wake;
    if (int(m_files.size()) > m_limits.capacity) {
        const int room = std::max(1, m_limits.capacity / 4);
        for (int i = 0; i < room && m_files.size() > 1; ++i)
            letGo->push_back(takeOut(0));
    }
    if (wake)
        (void)!::eventfd_write(m_wake, 1);
    return true;
}

void LingeringFiles::markWritten(Lingering *file, Clock::time_point now)
{
    // Its writer has so long from its first change on, whatever was left of the grace.
    if (!file->written)
        file->end = now + m_limits.writerWait;
    file->written = true;
}

bool LingeringFiles::hear(Clock::time_point now)
{
    bool due = false;
    forEachEvent(m_inotify, [&](const inotify_event &event) {
        if (event.mask & IN_Q_OVERFLOW) {
            // Anything may have happened to any of them, a writer may be at it still.
            for (Lingering &file : m_files) {
                markWritten(&file, now);
                file.writing = true;
            }
            return;
        }
        for (Lingering &file : m_files) {
            if (file.watch != event.wd)
                continue;
            if (event.mask & (IN_MODIFY | IN_ATTRIB)) {
                markWritten(&file, now);
                file.writing = true;
            }
            if (event.mask & IN_CLOSE_WRITE) {
                file.writing = false;
                // Written through a mapping, which the kernel does not report as a write.
                if (!file.written && changeNs(file.fd) != file.changeNs)
                    markWritten(&file, now);
            }
            due = due || (file.written && !file.writing);
            return;
        }
    });
    return due;
}

LingeringFiles::Lingering LingeringFiles::takeOut(std::size_t at)
{
    Lingering file = std::move(m_files[at]);
    m_files.erase(m_files.begin() + std::ptrdiff_t(at));
    ::inotify_rm_watch(m_inotify, file.watch);
    return file;
}

void LingeringFiles::finish(std::vector<Lingering> files)
{
    for (Lingering &file : files) {
        if (file.written) {
            const QByteArray now = nameAgain(file.folder->fd, file.name, file.fd);
            if (now.isEmpty())
                logPrintf(LogVsrv, "%s was written after it was deleted and could not be kept: %s",
                          file.name.constData(), std::strerror(errno));
            else
                logPrintf(LogVsrv, "%s was written after it was deleted: kept as %s", file.name.constData(),
                          now.constData());
        }
        // The last close of a file without a name frees its blocks, which may take a while.
        ::close(file.fd);
        file.folder.reset();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finishing -= int(files.size());
    m_finished.notify_all();
}

void LingeringFiles::letGoOfAll()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    std::vector<Lingering> files;
    if (m_inotify >= 0)
        hear(Clock::now());
    while (!m_files.empty())
        files.push_back(takeOut(0));
    m_finishing += int(files.size());
    // The thread, with nothing left, ends.
    if (m_serving)
        (void)!::eventfd_write(m_wake, 1);
    lock.unlock();
    finish(std::move(files));
    lock.lock();
    m_finished.wait(lock, [this] { return m_finishing == 0; });
}

int LingeringFiles::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_files.size()) + m_finishing;
}

void LingeringFiles::serve()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping && !m_files.empty()) {
        const Clock::time_point now = Clock::now();
        hear(now);
        // Due: at the end of its time, or written and let go of by its writer.
        std::vector<Lingering> due;
        Clock::time_point next = Clock::time_point::max();
        for (std::size_t at = 0; at < m_files.size();) {
            if (now >= m_files[at].end || (m_files[at].written && !m_files[at].writing)) {
                due.push_back(takeOut(at));
            } else {
                next = std::min(next, m_files[at].end);
                ++at;
            }
        }
        if (!due.empty()) {
            m_finishing += int(due.size());
            lock.unlock();
            finish(std::move(due));
            lock.lock();
            continue;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        m_wakeAt = next;
        lock.unlock();
        pollfd ready[2] = {{m_inotify, POLLIN, 0}, {m_wake, POLLIN, 0}};
        ::poll(ready, 2, int(std::min<long long>(wait.count(), 60000)));
        eventfd_t woken;
        (void)!::eventfd_read(m_wake, &woken);
        lock.lock();
        m_wakeAt = Clock::time_point::max();
    }
    // Whatever is left (the program ends) is let go of by the destructor. Nothing is held
    // while nothing lingers; the next file makes all anew.
    m_serving = false;
    if (m_stopping)
        return;
    const int inotify = std::exchange(m_inotify, -1);
    const int wake = std::exchange(m_wake, -1);
    lock.unlock();
    ::close(inotify);
    ::close(wake);
}

} // namespace versionguard
