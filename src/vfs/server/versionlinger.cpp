#include "vfs/server/versionlinger.h"

#include "app/base/log.h"
#include "vfs/server/versionwatch.h"

#include <algorithm>
#include <cerrno>
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

// The entry `handed` set aside in `home`, looked at where it stands.
bool statAside(int home, const setaside::SetAside::Handed &handed, struct stat *st)
{
    if (handed.folderName.isEmpty())
        return ::fstatat(home, handed.name.constData(), st, AT_SYMLINK_NOFOLLOW) == 0;
    const int folder = ::openat(home, handed.folderName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool there = folder >= 0 && ::fstatat(folder, handed.name.constData(), st, AT_SYMLINK_NOFOLLOW) == 0;
    if (folder >= 0)
        ::close(folder);
    return there;
}

} // namespace

// The folder lingering files are in, held once for all of them.
struct LingeringFiles::Folder
{
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    int files = 0; // lingering in it, under m_mutex
    ~Folder()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct LingeringFiles::Lingering
{
    int watch = -1; // its watch in m_inotify
    std::shared_ptr<Folder> folder;
    setaside::SetAside::Handed entry;
    dev_t device = 0; // the file the entry is, as it was handed over
    ino_t inode = 0;
    Clock::time_point end;     // goes then
    std::int64_t changeNs = 0; // as it was handed over
    bool written = false;      // its bytes or attributes changed since
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

LingeringFiles::Kept LingeringFiles::keep(int fd, bool leased, VersionWatch *watched, setaside::SetAside &aside)
{
    std::vector<Lingering> letGo;
    LingeringFiles *table = nullptr;
    Kept kept = Kept::No;
    {
        std::lock_guard<std::mutex> tableLock(g_tableLock);
        table = g_table;
        if (!table)
            return Kept::No;
        std::lock_guard<std::mutex> lock(table->m_mutex);
        kept = table->adopt(fd, leased, watched, aside, &letGo);
        table->m_finishing += int(letGo.size());
    }
    // The oldest made room, outside the locks. The table stays while one of its files is
    // being let go of (letGoOfAll waits for it).
    if (!letGo.empty())
        table->finish(std::move(letGo));
    return kept;
}

bool LingeringFiles::endIn(int dirFd, const QByteArray &name)
{
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
        return false;
    std::vector<Lingering> ending;
    LingeringFiles *table = nullptr;
    {
        std::lock_guard<std::mutex> tableLock(g_tableLock);
        table = g_table;
        if (!table)
            return false;
        std::lock_guard<std::mutex> lock(table->m_mutex);
        // What was written until now keeps its name.
        if (table->m_inotify >= 0)
            table->hear();
        for (auto it = table->m_files.begin(); it != table->m_files.end();) {
            const auto at = it++;
            if (at->folder->device == st.st_dev && at->folder->inode == st.st_ino)
                ending.push_back(table->takeOut(at));
        }
        table->m_finishing += int(ending.size());
    }
    const bool any = !ending.empty();
    if (any)
        table->finish(std::move(ending));
    return any;
}

LingeringFiles::Kept LingeringFiles::adopt(int fd, bool leased, VersionWatch *watched, setaside::SetAside &aside,
                                           std::vector<Lingering> *letGo)
{
    struct stat st;
    // A file with another name keeps what is written to it.
    if (::fstat(fd, &st) != 0 || st.st_nlink != 1)
        return Kept::No;
    // The thread of the last files ended, or is about to: it touches nothing of the table
    // after saying so, and only lets go of the descriptors it took along.
    if (!m_serving && m_thread.joinable())
        m_thread.join();
    if (m_inotify < 0)
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_wake < 0)
        m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_inotify < 0 || m_wake < 0)
        return Kept::No;
    if (!m_serving) {
        try {
            m_thread = std::thread(&LingeringFiles::serve, this);
        } catch (const std::system_error &) {
            return Kept::No;
        }
        m_serving = true;
    }
    std::shared_ptr<Folder> folder = folderOf(aside.home(), letGo);
    if (!folder)
        return Kept::No;
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    const int watch = ::inotify_add_watch(m_inotify, self.constData(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE);
    // Watched from now on. What came before: a program that waits for the lease to write, or
    // one the delete's own watch saw act after its last look.
    bool reached = leased && ::fcntl(fd, F_GETLEASE) != F_RDLCK;
    if (!reached && watched) {
        const VersionWatch::Use use = watched->look();
        reached = use.written || use.attributes || use.writerClosed || use.overflowed;
    }
    if (watch < 0 || reached) {
        if (watch >= 0)
            ::inotify_rm_watch(m_inotify, watch);
        if (folder->files == 0)
            m_folders.erase(std::remove(m_folders.begin(), m_folders.end(), folder), m_folders.end());
        return reached ? Kept::Reached : Kept::No;
    }
    Lingering file;
    file.watch = watch;
    file.folder = folder;
    file.device = st.st_dev;
    file.inode = st.st_ino;
    file.end = Clock::now() + m_limits.grace;
    file.changeNs = changeNs(st);
    file.entry = aside.handOver();
    ++folder->files;
    // The thread sleeps until the end it knew of first, or for ever when there was none. And
    // it learns only from the kernel: what this look takes from it, it is told.
    bool wake = file.end < m_wakeAt;
    m_files.push_back(std::move(file));
    m_byWatch[watch] = std::prev(m_files.end());
    wake = hear() || wake;
    while (int(m_files.size()) > m_limits.capacity)
        letGo->push_back(takeOut(m_files.begin()));
    if (wake)
        (void)!::eventfd_write(m_wake, 1);
    return Kept::Lingering;
}

std::shared_ptr<LingeringFiles::Folder> LingeringFiles::folderOf(int dirFd, std::vector<Lingering> *letGo)
{
    struct stat st;
    if (::fstat(dirFd, &st) != 0)
        return nullptr;
    for (const std::shared_ptr<Folder> &folder : m_folders) {
        if (folder->device == st.st_dev && folder->inode == st.st_ino)
            return folder;
    }
    // The oldest files go early until a folder is free.
    while (int(m_folders.size()) >= m_limits.folders && !m_files.empty())
        letGo->push_back(takeOut(m_files.begin()));
    auto folder = std::make_shared<Folder>();
    folder->fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    folder->device = st.st_dev;
    folder->inode = st.st_ino;
    if (folder->fd < 0)
        return nullptr;
    m_folders.push_back(folder);
    return folder;
}

bool LingeringFiles::hear()
{
    bool due = false;
    auto written = [&](Lingering &file) {
        file.written = true;
        due = true;
    };
    forEachEvent(m_inotify, [&](const inotify_event &event) {
        if (event.mask & IN_Q_OVERFLOW) {
            // Anything may have happened to any of them.
            for (Lingering &file : m_files)
                written(file);
            return;
        }
        const auto found = m_byWatch.find(event.wd);
        if (found == m_byWatch.end())
            return;
        Lingering &file = *found->second;
        if (event.mask & (IN_MODIFY | IN_ATTRIB)) {
            written(file);
        } else if ((event.mask & IN_CLOSE_WRITE) && !file.written) {
            // Written through a mapping, which the kernel does not report as a write.
            struct stat st;
            if (statAside(file.folder->fd, file.entry, &st) && changeNs(st) != file.changeNs)
                written(file);
        }
    });
    return due;
}

LingeringFiles::Lingering LingeringFiles::takeOut(Files::iterator at)
{
    Lingering file = std::move(*at);
    m_byWatch.erase(file.watch);
    m_files.erase(at);
    ::inotify_rm_watch(m_inotify, file.watch);
    if (--file.folder->files == 0)
        m_folders.erase(std::remove(m_folders.begin(), m_folders.end(), file.folder), m_folders.end());
    return file;
}

void LingeringFiles::finish(std::vector<Lingering> files)
{
    const int count = int(files.size());
    for (Lingering &file : files) {
        setaside::SetAside entry(file.folder->fd, file.entry);
        struct stat now;
        // Gone meanwhile, with its folder and all it held: nothing to name.
        if (::fstatat(entry.folder(), entry.name().constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        // Written, or another entry in its place: what is there keeps a name.
        const bool keep = file.written || now.st_dev != file.device || now.st_ino != file.inode;
        if (!keep && entry.remove())
            continue;
        const QByteArray named = entry.putBack();
        if (!named.isEmpty())
            logPrintf(LogVsrv, "%s was written after it was deleted: back as %s", file.entry.realName.constData(),
                      named.constData());
    }
    // The last unlink of a file frees its blocks, which may take a while: done by now.
    files.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finishing -= count;
    m_finished.notify_all();
}

void LingeringFiles::letGoOfAll()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    std::vector<Lingering> files;
    if (m_inotify >= 0)
        hear();
    while (!m_files.empty())
        files.push_back(takeOut(m_files.begin()));
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
        hear();
        // Due: written (the sooner its name is back, the fewer writes go to the hidden one),
        // or at the end of its time, which comes in the order the files came.
        std::vector<Lingering> due;
        for (auto it = m_files.begin(); it != m_files.end();) {
            const auto at = it++;
            if (at->written || at->end <= now)
                due.push_back(takeOut(at));
        }
        if (!due.empty()) {
            m_finishing += int(due.size());
            lock.unlock();
            finish(std::move(due));
            lock.lock();
            continue;
        }
        const Clock::time_point next = m_files.front().end;
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
