#include "vfs/server/vfswatcher.h"

#include "app/base/log.h"

#include <QAtomicPointer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFutureWatcher>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

namespace {

QAtomicPointer<VfsWatcher> s_instance;

const QString kDrivesPath = QStringLiteral("%drives");

// procfs signals a priority event on an open mount table whenever a mount comes or goes.
constexpr long kProcSuperMagic = 0x9fa0;

QByteArray readWholeFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

// splitmix64's finaliser: every input bit moves about half of the output bits, so that
// entries summed up cannot cancel each other's changes out.
std::uint64_t mixBits(std::uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t nameHash(const char *name)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL; // FNV-1a
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c; ++c)
        hash = (hash ^ *c) * 0x100000001b3ULL;
    return hash;
}

// Sums one value per entry of the folder (the folder itself as ".", hidden entries too),
// made of its name, inode, modification time to the nanosecond and, for all but folders,
// its size; a link counts with what it points at. Summed, so the order the folder hands its
// entries out in does not matter. Plain readdir and fstatat on the folder's descriptor: a
// big folder is looked at once per entry and nothing else is made per entry. 0 when the
// folder cannot be read.
std::uint64_t listingHash(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return 0;
    }
    std::uint64_t hash = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        // The parent changes with every sibling of the folder: not a change of this one.
        if (name[0] == '.' && name[1] == '.' && name[2] == 0)
            continue;
        struct stat st;
        if (::fstatat(fd, name, &st, 0) != 0 && ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since readdir
        const std::uint64_t size = S_ISDIR(st.st_mode) ? 0 : std::uint64_t(st.st_size);
        const std::uint64_t mtimeNs = std::uint64_t(st.st_mtim.tv_sec) * 1000000000ULL + std::uint64_t(st.st_mtim.tv_nsec);
        hash += mixBits(nameHash(name) ^ mixBits(size ^ mixBits(mtimeNs ^ mixBits(std::uint64_t(st.st_ino)))));
    }
    ::closedir(dir);
    return hash;
}

} // namespace

class VfsWatcherPrivate
{
public:
    VfsWatcherTimings timings;
    QFileSystemWatcher *fsWatcher = nullptr;
    std::deque<WatchItem> watchList; // oldest first
    int checkIndex = 0;
    bool checkRunning = false;
    QFutureWatcher<WatchItem> *checkWatcher = nullptr;
    QTimer *checkTimer = nullptr;
    QTimer *notifyTimer = nullptr;
    QTimer *driveTimer = nullptr;
    QStringList pendingPaths;
    QElapsedTimer notifyHeldSince; // when the notify timer was first started for this slot

    mutable QMutex driveMutex; // guards driveCache, which servers copy from "ioThread"
    std::vector<DriveCache> driveCache;
    bool driveListRead = false;   // guarded by driveMutex
    QFutureWatcher<std::vector<DriveCache>> *driveWatcher = nullptr;
    bool driveReadRunning = false;
    bool driveReadAgain = false;

    int mountFd = -1;
    QSocketNotifier *mountNotifier = nullptr;
    QTimer *mountPollTimer = nullptr;
    QByteArray mountSnapshot;
};

VfsWatcher::VfsWatcher(QObject *parent)
    : VfsWatcher(VfsWatcherTimings(), parent)
{
}

VfsWatcher::VfsWatcher(const VfsWatcherTimings &timings, QObject *parent)
    : QObject(parent)
    , d(new VfsWatcherPrivate)
{
    qRegisterMetaType<WatchItem>();
    qRegisterMetaType<DriveCache>();
    d->timings = timings;

    d->fsWatcher = new QFileSystemWatcher(this);
    d->checkWatcher = new QFutureWatcher<WatchItem>(this);
    d->driveWatcher = new QFutureWatcher<std::vector<DriveCache>>(this);
    d->checkTimer = new QTimer(this);
    d->notifyTimer = new QTimer(this);
    d->driveTimer = new QTimer(this);
    d->notifyTimer->setSingleShot(true);
    d->notifyTimer->setInterval(d->timings.notifyMs);
    d->driveTimer->setSingleShot(true);

    connect(d->fsWatcher, &QFileSystemWatcher::directoryChanged, this, &VfsWatcher::onDirectoryChanged);
    connect(d->checkWatcher, &QFutureWatcherBase::finished, this, &VfsWatcher::onCheckFutureFinished);
    connect(d->driveWatcher, &QFutureWatcherBase::finished, this, &VfsWatcher::onDriveFutureFinished);
    connect(d->checkTimer, &QTimer::timeout, this, &VfsWatcher::onCheckTimerFired);
    connect(d->notifyTimer, &QTimer::timeout, this, &VfsWatcher::onNotifyTimerFired);
    connect(d->driveTimer, &QTimer::timeout, this, &VfsWatcher::onDriveTimerFired);
    d->checkTimer->start(d->timings.checkMs);

    s_instance.storeRelease(this);

    d->driveTimer->start(d->timings.startDriveMs);
    initDriveWatch();
    // A read already due sooner is kept: begun anew at every change, the delay would never
    // end while the mount table keeps changing.
    connect(this, &VfsWatcher::drivesChangedInternal, this, [this] {
        if (!d->driveTimer->isActive() || d->driveTimer->remainingTime() > d->timings.deviceDriveMs)
            d->driveTimer->start(d->timings.deviceDriveMs);
    });
}

VfsWatcher::~VfsWatcher()
{
    s_instance.testAndSetOrdered(this, nullptr);
    delete d->mountNotifier;
    d->mountNotifier = nullptr;
    if (d->mountFd >= 0)
        ::close(d->mountFd);
    delete d;
}

VfsWatcher *VfsWatcher::instance()
{
    return s_instance.loadAcquire();
}

void VfsWatcher::watchDirectory(const QString &path)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, path] { watchDirectoryHere(path); }, Qt::QueuedConnection);
        return;
    }
    watchDirectoryHere(path);
}

void VfsWatcher::watchDirectoryHere(const QString &path)
{
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return;
    const auto known = std::find_if(d->watchList.begin(), d->watchList.end(),
                                    [&path](const WatchItem &w) { return w.path == path; });
    if (known != d->watchList.end()) {
        // The system drops its watch when a directory is removed; one made again under the
        // same name gets a new watch but keeps its place and hash.
        if (!d->fsWatcher->directories().contains(path))
            d->fsWatcher->addPath(path);
        return;
    }
    while (d->watchList.size() >= static_cast<std::size_t>(MaxWatchedDirectories)) {
        const QString oldest = d->watchList.front().path;
        logPrintf(LogVfs1, "stop watching %s", qUtf8Printable(oldest));
        d->fsWatcher->removePath(oldest);
        d->watchList.pop_front();
        // Keep pointing at the same directory, so a running check's result still matches.
        if (d->checkIndex > 0)
            --d->checkIndex;
    }
    logPrintf(LogVfs1, "start watching %s", qUtf8Printable(path));
    // A failed system watch (e.g. the inotify limit) still leaves the periodic check.
    d->fsWatcher->addPath(path);
    WatchItem item;
    item.path = path;
    d->watchList.push_back(item);
}

std::vector<DriveCache> VfsWatcher::copyDriveCache() const
{
    QMutexLocker lock(&d->driveMutex);
    return d->driveCache;
}

bool VfsWatcher::hasDriveList() const
{
    QMutexLocker lock(&d->driveMutex);
    return d->driveListRead;
}

std::vector<DriveCache> VfsWatcher::readDrives()
{
    return drives::readLocalDrives();
}

std::vector<WatchItem> VfsWatcher::watchItems() const
{
    return std::vector<WatchItem>(d->watchList.begin(), d->watchList.end());
}

WatchItem VfsWatcher::checkDirectory(const WatchItem &item)
{
    QElapsedTimer elapsed;
    elapsed.start();
    WatchItem result = item;
    result.previousHash = item.hash;
    result.lastCheck = QDateTime::currentDateTime();

    const QByteArray path = QFile::encodeName(item.path);
    struct stat own;
    if (item.path.isEmpty() || ::stat(path.constData(), &own) != 0 || !S_ISDIR(own.st_mode)) {
        result.exists = false;
        result.duration = elapsed.elapsed();
        return result;
    }
    result.exists = true;
    result.hash = listingHash(path);
    if (result.previousHash == 0)
        result.previousHash = result.hash;
    result.duration = elapsed.elapsed();
    return result;
}

void VfsWatcher::queuePath(const QString &path, bool restartTimer)
{
    if (!d->pendingPaths.contains(path))
        d->pendingPaths.append(path);
    if (!d->notifyTimer->isActive()) {
        d->notifyHeldSince.start();
        d->notifyTimer->start();
        return;
    }
    // Each notification pushes the announcement back, but a directory that never stops
    // changing (a download in progress) must not hold back every other path for good.
    if (restartTimer && d->notifyHeldSince.elapsed() < d->timings.maxNotifyDelayMs)
        d->notifyTimer->start();
}

void VfsWatcher::onDirectoryChanged(QString path)
{
    queuePath(path, true);
}

void VfsWatcher::onNotifyTimerFired()
{
    if (d->pendingPaths.isEmpty())
        return;
    const QString path = d->pendingPaths.takeFirst();
    if (!d->pendingPaths.isEmpty()) {
        d->notifyHeldSince.start();
        d->notifyTimer->start();
    }
    Q_EMIT directoryChanged(path);
    if (!d->pendingPaths.isEmpty() || path == kDrivesPath)
        return;
    // Directory changes usually change free space too.
    if (!d->driveTimer->isActive())
        d->driveTimer->start(d->timings.burstDriveMs);
}

void VfsWatcher::onCheckTimerFired()
{
    if (d->checkRunning || d->watchList.empty())
        return;
    if (d->checkIndex < 0 || d->checkIndex >= static_cast<int>(d->watchList.size()))
        d->checkIndex = 0;
    const WatchItem item = d->watchList[static_cast<std::size_t>(d->checkIndex)];
    d->checkRunning = true;
    d->checkWatcher->setFuture(QtConcurrent::run(&VfsWatcher::checkDirectory, item));
}

void VfsWatcher::onCheckFutureFinished()
{
    d->checkRunning = false;
    const QFuture<WatchItem> future = d->checkWatcher->future();
    if (future.resultCount() < 1)
        return;
    const WatchItem result = future.result();
    if (d->checkIndex < 0 || d->checkIndex >= static_cast<int>(d->watchList.size()))
        return;
    logPrintf(LogVfs1, "checked dir %s, hash-unchanged: %u, t: %lld, exists: %u",
              qUtf8Printable(result.path), unsigned(result.previousHash == result.hash),
              static_cast<long long>(result.duration), unsigned(result.exists));
    const std::size_t index = static_cast<std::size_t>(d->checkIndex);
    if (d->watchList[index].path != result.path)
        return;
    if (result.exists) {
        d->watchList[index] = result;
        ++d->checkIndex;
    } else {
        logPrintf(LogVfs1, "stop watch %s (non existing)", qUtf8Printable(result.path));
        // The last item takes the vanished one's place and is checked next.
        d->watchList[index] = d->watchList.back();
        d->watchList.pop_back();
        d->fsWatcher->removePath(result.path);
    }
    if (result.previousHash != result.hash)
        queuePath(result.path, false);
}

void VfsWatcher::onDriveTimerFired()
{
    // One read at a time: a mount that hangs holds one pool thread, not one per trigger.
    if (d->driveReadRunning) {
        d->driveReadAgain = true;
        return;
    }
    d->driveReadRunning = true;
    d->driveWatcher->setFuture(QtConcurrent::run([] { return drives::readLocalDrives(); }));
}

void VfsWatcher::onDriveFutureFinished()
{
    d->driveReadRunning = false;
    const QFuture<std::vector<DriveCache>> future = d->driveWatcher->future();
    if (future.resultCount() > 0) {
        std::vector<DriveCache> list = future.result();
        QMutexLocker lock(&d->driveMutex);
        d->driveCache.swap(list);
        d->driveListRead = true;
    }
    onDirectoryChanged(kDrivesPath);
    if (d->driveReadAgain) {
        d->driveReadAgain = false;
        onDriveTimerFired();
    }
}

void VfsWatcher::initDriveWatch()
{
    if (d->mountNotifier || d->mountPollTimer || d->timings.mountTable.isEmpty())
        return;
    const QByteArray path = QFile::encodeName(d->timings.mountTable);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct statfs fs;
        if (::fstatfs(fd, &fs) == 0 && static_cast<long>(fs.f_type) == kProcSuperMagic) {
            d->mountFd = fd;
            d->mountNotifier = new QSocketNotifier(fd, QSocketNotifier::Exception, this);
            connect(d->mountNotifier, &QSocketNotifier::activated, this, &VfsWatcher::onMountTableEvent);
            return;
        }
        ::close(fd);
    }
    // No change events from this source: compare its contents now and then instead.
    d->mountSnapshot = readWholeFile(d->timings.mountTable);
    d->mountPollTimer = new QTimer(this);
    connect(d->mountPollTimer, &QTimer::timeout, this, &VfsWatcher::onMountPollTimerFired);
    d->mountPollTimer->start(d->timings.mountPollMs);
}

void VfsWatcher::onMountTableEvent()
{
    Q_EMIT drivesChangedInternal();
}

void VfsWatcher::onMountPollTimerFired()
{
    const QByteArray now = readWholeFile(d->timings.mountTable);
    if (now == d->mountSnapshot)
        return;
    d->mountSnapshot = now;
    Q_EMIT drivesChangedInternal();
}
