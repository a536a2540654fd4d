#include "vfs/server/vfsserverjobs.h"

#include "crypto/crypto.h"
#include "crypto/parallel.h"

#include "app/base/log.h"
#include "vfs/server/drives.h"
#include "vfs/server/setaside.h"
#include "vfs/fso/vfsfenucommandparser.h"

#include <QCollator>
#include <QCryptographicHash>
#include <QFile>
#include <QSet>
#include <QUuid>
#include <QtConcurrent>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using com::TermStreamWriter;

VfsServerJob::~VfsServerJob() = default;

// --- reply writers -----------------------------------------------------------------------


// --- file-system helpers ------------------------------------------------------------------

namespace vfsserverfs {

namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

QSet<QByteArray> mountPoints()
{
    QSet<QByteArray> points;
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return points;
    const std::vector<drives::MountEntry> mounts = drives::parseMountInfo(file.readAll());
    for (const drives::MountEntry &mount : mounts)
        points.insert(mount.mountPoint);
    return points;
}

bool removeContents(int dirFd, const QByteArray &path, dev_t device, const QSet<QByteArray> &mounts,
                    const std::atomic<bool> *cancelled)
{
    const int listFd = ::dup(dirFd);
    if (listFd < 0)
        return false;
    DIR *dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return false;
    }
    std::vector<QByteArray> names;
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);

    bool ok = true;
    for (const QByteArray &name : names) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            return false;
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                ok = false;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (::unlinkat(dirFd, name.constData(), 0) != 0 && errno != ENOENT)
                ok = false;
            continue;
        }
        const QByteArray child = path + '/' + name;
        // Another file system mounted inside the tree is a drive of its own: never emptied
        // as a side effect of deleting the folder it happens to be mounted in.
        if (st.st_dev != device || mounts.contains(child)) {
            ok = false;
            continue;
        }
        const int childFd = ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (childFd < 0) {
            ok = false;
            continue;
        }
        const bool childOk = removeContents(childFd, child, device, mounts, cancelled);
        ::close(childFd);
        if (!childOk || ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) != 0)
            ok = false;
    }
    return ok;
}

std::mutex copyHookMutex;
std::function<void(const QByteArray &)> copyHook;

void afterFileCopied(const char *name)
{
    std::function<void(const QByteArray &)> hook;
    {
        std::lock_guard<std::mutex> lock(copyHookMutex);
        hook = copyHook;
    }
    if (hook)
        hook(QByteArray(name));
}

// Deeper trees are refused rather than followed: every level holds two descriptors.
constexpr int kMaxCopyDepth = 256;

// Copies the data of `in` to `out` (both regular, `out` empty), keeping holes where the
// file system reports them, so a sparse file does not become every one of its zeros.
bool copyData(int in, int out, std::uint64_t size, const std::atomic<bool> *cancelled)
{
    std::vector<unsigned char> buffer(1 << 16);
    std::uint64_t offset = 0;
    bool sparse = true;
    while (offset < size) {
        std::uint64_t end = size;
        if (sparse) {
            const off_t data = ::lseek(in, off_t(offset), SEEK_DATA);
            if (data < 0 && errno == ENXIO)
                break; // only a hole is left
            if (data < 0) {
                sparse = false; // the file system cannot tell: copy every byte
            } else {
                offset = std::uint64_t(data);
                const off_t hole = ::lseek(in, data, SEEK_HOLE);
                end = hole < 0 ? size : std::min<std::uint64_t>(size, std::uint64_t(hole));
            }
        }
        while (offset < end) {
            if (cancelled && cancelled->load(std::memory_order_relaxed))
                return false;
            const std::size_t want = std::size_t(std::min<std::uint64_t>(buffer.size(), end - offset));
            const long long n = vfsfiles::readFully(in, buffer.data(), want, offset);
            if (n < 0)
                return false;
            if (n == 0) {
                size = offset; // the file shrank meanwhile: copy what there is
                break;
            }
            if (vfsfiles::writeFully(out, buffer.data(), std::size_t(n), offset) != n)
                return false;
            offset += std::uint64_t(n);
        }
    }
    // A trailing hole leaves the size to be set.
    return ::ftruncate(out, off_t(size)) == 0;
}

// An entry a move across file systems copied, as it was when its copy began, and the entries
// of a folder that went along: only these leave the source.
struct CopiedEntry
{
    // What tells the entry from another in its place, or from itself changed; no more, as a
    // tree may hold millions.
    struct Stamp
    {
        dev_t device = 0;
        ino_t inode = 0;
        mode_t type = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};
    };
    static Stamp stampOf(const struct stat &st)
    {
        return {st.st_dev, st.st_ino, mode_t(st.st_mode & S_IFMT), st.st_size, st.st_mtim, st.st_ctim};
    }

    QByteArray name;
    Stamp stamp;
    std::vector<CopiedEntry> children;
};

// Copies the regular file `name` of `fromDir` to the new entry `toName` of `toDir`; what it
// read goes to `copied` (when given).
bool copyFileAt(int fromDir, const char *name, int toDir, const char *toName, const std::atomic<bool> *cancelled,
                CopiedEntry *copied)
{
    const int in = ::openat(fromDir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (in < 0)
        return false;
    struct stat inSt;
    if (::fstat(in, &inSt) != 0 || !S_ISREG(inSt.st_mode)) {
        ::close(in);
        return false;
    }
    const int out = ::openat(toDir, toName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             inSt.st_mode & 0777);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = copyData(in, out, std::uint64_t(inSt.st_size), cancelled);
    if (ok) {
        const timespec times[2] = {inSt.st_atim, inSt.st_mtim};
        ::futimens(out, times);
        // On disk before the source can go.
        ok = ::fsync(out) == 0;
    }
    ::close(in);
    if (::close(out) != 0)
        ok = false;
    if (!ok) {
        ::unlinkat(toDir, toName, 0);
        return false;
    }
    if (copied)
        copied->stamp = CopiedEntry::stampOf(inSt);
    afterFileCopied(name);
    return true;
}

// Copies the entry `name` of `fromDir` (a file, a symbolic link as a link, or a directory
// tree) to the new entry `toName` of `toDir`. Every step goes by name inside a directory
// opened without following links, so a folder swapped for a link while the copy runs
// leads nowhere. A failure may leave a partial copy, which the caller removes. What was copied
// goes to `copied` (when given), the folder's entries among its children.
bool copyEntryAt(int fromDir, const char *name, int toDir, const char *toName, const std::atomic<bool> *cancelled,
                 int depth, CopiedEntry *copied)
{
    struct stat st;
    if (::fstatat(fromDir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(std::size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = ::readlinkat(fromDir, name, target.data(), target.size());
        if (n < 0 || std::size_t(n) >= target.size())
            return false;
        target[std::size_t(n)] = 0;
        if (copied)
            copied->stamp = CopiedEntry::stampOf(st);
        return ::symlinkat(target.data(), toDir, toName) == 0;
    }
    if (S_ISREG(st.st_mode))
        return copyFileAt(fromDir, name, toDir, toName, cancelled, copied);
    if (!S_ISDIR(st.st_mode) || depth >= kMaxCopyDepth)
        return false;
    const int fromFd = ::openat(fromDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fromFd < 0)
        return false;
    if (copied) {
        struct stat opened;
        if (::fstat(fromFd, &opened) != 0) {
            ::close(fromFd);
            return false;
        }
        copied->stamp = CopiedEntry::stampOf(opened);
    }
    DIR *dir = ::fdopendir(fromFd);
    if (!dir) {
        ::close(fromFd);
        return false;
    }
    if (::mkdirat(toDir, toName, 0700) != 0) {
        ::closedir(dir);
        return false;
    }
    const int toFd = ::openat(toDir, toName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (toFd < 0) {
        ::closedir(dir);
        return false;
    }
    std::vector<QByteArray> names, setAside;
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        (setaside::looksSetAside(entry->d_name) ? setAside : names).emplace_back(entry->d_name);
    }
    // Copied as a listing shows the folder: what a delete holds aside stays out, and what one
    // left aside goes along under its own name again (once, had that name come and gone).
    QSet<QByteArray> read;
    if (!setAside.empty())
        read = QSet<QByteArray>(names.begin(), names.end());
    for (const QByteArray &name : setAside) {
        QByteArrayList restored;
        if (!setaside::restoreLeftover(::dirfd(dir), name, &restored))
            restored = {name};
        for (const QByteArray &now : qAsConst(restored)) {
            if (!read.contains(now)) {
                read.insert(now);
                names.push_back(now);
            }
        }
    }
    bool ok = true;
    for (const QByteArray &child : names) {
        CopiedEntry *record = nullptr;
        if (copied) {
            copied->children.push_back({child, {}, {}});
            record = &copied->children.back();
        }
        if (!copyEntryAt(::dirfd(dir), child.constData(), toFd, child.constData(), cancelled, depth + 1, record)) {
            ok = false;
            break;
        }
    }
    ::closedir(dir);
    if (ok) {
        ::fchmod(toFd, st.st_mode & 07777);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(toFd, times);
        ok = ::fsync(toFd) == 0;
    }
    ::close(toFd);
    return ok;
}

// Removes the entry `name` of `dirFd`, whatever it is, without following links.
bool removeAnyAt(int dirFd, const QByteArray &name, const QByteArray &path)
{
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (S_ISDIR(st.st_mode))
        return removeTreeAt(dirFd, name, path, nullptr);
    return ::unlinkat(dirFd, name.constData(), 0) == 0;
}

// Whether `now` is still the entry `copied` shows: the same file (a folder's own times move
// with every name made in it: what it holds decides), not grown, cut, rewritten or stamped.
bool stillAsCopied(const struct stat &now, const CopiedEntry::Stamp &copied)
{
    auto same = [](const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
    if (now.st_dev != copied.device || now.st_ino != copied.inode || mode_t(now.st_mode & S_IFMT) != copied.type)
        return false;
    return S_ISDIR(now.st_mode)
           || (now.st_size == copied.size && same(now.st_mtim, copied.modified) && same(now.st_ctim, copied.changed));
}

// Removes the entry `copied.name` of `dirFd` as far as it is still what was copied; a folder
// goes once nothing else is left in it. Never enters another file system. True when all of
// it is gone.
bool removeAsCopied(int dirFd, const CopiedEntry &copied, const QByteArray &path, dev_t device,
                    const QSet<QByteArray> &mounts)
{
    struct stat now;
    if (::fstatat(dirFd, copied.name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!stillAsCopied(now, copied.stamp) || now.st_dev != device)
        return false;
    if (!S_ISDIR(now.st_mode))
        return ::unlinkat(dirFd, copied.name.constData(), 0) == 0 || errno == ENOENT;
    const QByteArray folder = path + '/' + copied.name;
    if (mounts.contains(folder))
        return false;
    const int fd = ::openat(dirFd, copied.name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool all = ::fstat(fd, &now) == 0 && stillAsCopied(now, copied.stamp);
    if (all) {
        for (const CopiedEntry &child : copied.children)
            all = removeAsCopied(fd, child, folder, device, mounts) && all;
    }
    ::close(fd);
    return all && ::unlinkat(dirFd, copied.name.constData(), AT_REMOVEDIR) == 0;
}

} // namespace

void setCopyAcrossHookForTests(std::function<void(const QByteArray &)> hook)
{
    std::lock_guard<std::mutex> lock(copyHookMutex);
    copyHook = std::move(hook);
}

bool isMountPoint(const QString &path)
{
    if (path == QLatin1String("/"))
        return true;
    struct stat st, parentSt;
    const QByteArray p = native(path);
    if (::lstat(p.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (::stat(native(vfsaccess::parentPath(path)).constData(), &parentSt) != 0)
        return true; // cannot tell: treat it as a drive, which is never deleted
    if (st.st_dev != parentSt.st_dev || st.st_ino == parentSt.st_ino)
        return true;
    return mountPoints().contains(p);
}

bool removeTreeAt(int parentFd, const QByteArray &name, const QByteArray &path, const std::atomic<bool> *cancelled)
{
    const int fd = ::openat(parentFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok)
        ok = removeContents(fd, path, st.st_dev, mountPoints(), cancelled);
    ::close(fd);
    return ok && ::unlinkat(parentFd, name.constData(), AT_REMOVEDIR) == 0;
}

bool removeTree(const QString &path, const std::atomic<bool> *cancelled)
{
    QByteArray name;
    const int parent = vfsaccess::openParentDirectory(path, &name);
    if (parent < 0)
        return false;
    const bool ok = removeTreeAt(parent, name, native(path), cancelled);
    ::close(parent);
    return ok;
}

bool copyTree(const QString &source, const QString &destination, const std::atomic<bool> *cancelled)
{
    QByteArray fromName, toName;
    const int fromDir = vfsaccess::openParentDirectory(source, &fromName);
    const int toDir = fromDir < 0 ? -1 : vfsaccess::openParentDirectory(destination, &toName);
    bool ok = toDir >= 0
              && copyEntryAt(fromDir, fromName.constData(), toDir, toName.constData(), cancelled, 0, nullptr);
    if (!ok && toDir >= 0 && errno != EEXIST)
        removeAnyAt(toDir, toName, QFile::encodeName(destination));
    if (fromDir >= 0)
        ::close(fromDir);
    if (toDir >= 0)
        ::close(toDir);
    return ok;
}

std::uint8_t moveAcross(int sourceDir, const QByteArray &sourceName, int destinationDir,
                        const QByteArray &destinationName, const QByteArray &sourcePath,
                        const std::atomic<bool> *cancelled)
{
    // The copy is made beside the destination and renamed into place, so the destination
    // is either the old item or the whole new one, never half a copy.
    const QByteArray temporary = ".nusk-move-" + QUuid::createUuid().toString(QUuid::Id128).toLatin1();
    CopiedEntry copied{sourceName, {}, {}};
    if (!copyEntryAt(sourceDir, sourceName.constData(), destinationDir, temporary.constData(), cancelled, 0,
                     &copied)) {
        removeAnyAt(destinationDir, temporary, vfsaccess::anchoredPath(destinationDir, temporary));
        return FSO_STATUS_IO_ERROR;
    }
    if (::renameat(destinationDir, temporary.constData(), destinationDir, destinationName.constData()) != 0) {
        removeAnyAt(destinationDir, temporary, vfsaccess::anchoredPath(destinationDir, temporary));
        return FSO_STATUS_IO_ERROR;
    }
    // The new name is on disk before the only other copy goes.
    if (::fsync(destinationDir) != 0)
        return FSO_STATUS_IO_ERROR;
    // Only what was copied, as it was copied: what a program added to the source meanwhile,
    // or grew, rewrote or replaced after its copy, stays there. Not all moved is a failed move
    // to the peer, which then finds both items as they are.
    const QSet<QByteArray> mounts = S_ISDIR(copied.stamp.type) ? mountPoints() : QSet<QByteArray>();
    const QByteArray parent = sourcePath.left(std::max(0, sourcePath.lastIndexOf('/')));
    if (!removeAsCopied(sourceDir, copied, parent, copied.stamp.device, mounts)) {
        logPrintf(LogVsrv, "moved %s, but what changed since its copy stays", sourcePath.constData());
        return FSO_STATUS_IO_ERROR;
    }
    return FSO_STATUS_SUCCESS;
}

std::uint8_t moveAt(int sourceDir, const QByteArray &sourceName, int destinationDir,
                    const QByteArray &destinationName, std::uint32_t flags, bool samePath, bool copyAcross,
                    const QByteArray &sourcePath, const std::atomic<bool> *cancelled)
{
    struct stat sourceSt, destinationSt;
    if (::fstatat(sourceDir, sourceName.constData(), &sourceSt, AT_SYMLINK_NOFOLLOW) != 0)
        return FSO_STATUS_NOT_FOUND;
    if (samePath)
        return FSO_STATUS_SAME_PATH;
    if (destinationDir < 0)
        return FSO_STATUS_IO_ERROR;
    const bool destinationExists =
        ::fstatat(destinationDir, destinationName.constData(), &destinationSt, AT_SYMLINK_NOFOLLOW) == 0;
    // Two names of one file: rename(2) would do nothing and report success, leaving both.
    if (destinationExists && destinationSt.st_dev == sourceSt.st_dev && destinationSt.st_ino == sourceSt.st_ino)
        return FSO_STATUS_SAME_PATH;
    if ((flags & FSO_MOVE_NO_REPLACE) && destinationExists)
        return FSO_STATUS_EXISTS;
    if (flags & FSO_MOVE_SAME_VOLUME) {
        struct stat parentSt;
        if (::fstat(destinationDir, &parentSt) != 0)
            return FSO_STATUS_NOT_FOUND;
        if (parentSt.st_dev != sourceSt.st_dev)
            return FSO_STATUS_CROSS_VOLUME;
    }
    // rename(2) replaces an existing destination in one step; there is no moment without
    // either the old or the new item.
    unsigned renameFlags = (flags & FSO_MOVE_NO_REPLACE) ? RENAME_NOREPLACE : 0;
    int renamed = ::renameat2(sourceDir, sourceName.constData(), destinationDir, destinationName.constData(),
                              renameFlags);
    if (renamed != 0 && errno == EINVAL && renameFlags) {
        // A file system without RENAME_NOREPLACE: the existence check above has to do.
        renameFlags = 0;
        renamed = ::renameat(sourceDir, sourceName.constData(), destinationDir, destinationName.constData());
    }
    if (renamed == 0)
        return FSO_STATUS_SUCCESS;
    if (errno == EEXIST && renameFlags)
        return FSO_STATUS_EXISTS;
    if (errno == EXDEV) {
        if (flags & FSO_MOVE_SAME_VOLUME)
            return FSO_STATUS_CROSS_VOLUME;
        if (!copyAcross)
            return FSO_STATUS_IO_ERROR;
        return moveAcross(sourceDir, sourceName, destinationDir, destinationName, sourcePath, cancelled);
    }
    logPrintf(LogVsrv, "failed to move %s: %s", sourcePath.constData(), std::strerror(errno));
    return FSO_STATUS_IO_ERROR;
}

std::uint8_t checkMoveSource(int dirFd, const QByteArray &name, const MoveSource &source)
{
    struct stat st;
    // Whatever is not there, or no file, moveAt judges.
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return FSO_STATUS_SUCCESS;
    if (source.open)
        return st.st_dev == source.device && st.st_ino == source.inode ? FSO_STATUS_SUCCESS : FSO_STATUS_CHANGED;
    const void *holder = vfsfiles::WriteClaim::holder(st.st_dev, st.st_ino);
    return holder && holder != source.server ? FSO_STATUS_CHANGED : FSO_STATUS_SUCCESS;
}

namespace {
std::atomic<quint64> g_syncs{0};
}

bool syncFileSystemOf(int dirFd)
{
    g_syncs.fetch_add(1);
    // Since Linux 5.8 syncfs also reports a write-back error of any file of the file system
    // that happened since this descriptor was opened: a lost block fails the copy.
    return ::syncfs(dirFd) == 0;
}

quint64 syncCount()
{
    return g_syncs.load();
}

bool makePathAt(int baseFd, const QStringList &parts, const std::function<void(int dirFd)> &madeIn)
{
    int current = ::dup(baseFd);
    if (current < 0)
        return false;
    bool ok = true;
    for (const QString &part : parts) {
        const QByteArray name = native(part);
        if (name.isEmpty() || name == "." || name == ".." || name.contains('/')) {
            ok = false;
            break;
        }
        if (::mkdirat(current, name.constData(), 0755) == 0) {
            if (madeIn)
                madeIn(current);
        } else if (errno != EEXIST) {
            ok = false;
            break;
        }
        const int next = ::openat(current, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(current);
        current = next;
        if (current < 0) {
            ok = false;
            break;
        }
    }
    if (current >= 0)
        ::close(current);
    return ok;
}

} // namespace vfsserverfs

// --- listing -------------------------------------------------------------------------------

namespace {

struct ListCandidate
{
    QString name;
    bool directory = false;
    bool leftOut = false;
};

// Whether the peer could ever ask for this entry again: paths travel as UTF-8 and are
// turned back into the file system's bytes, so only a name that survives both ways can be
// opened, copied or deleted. `text` gets the name to send: the name itself, or for one left
// out a readable stand-in with U+FFFD where the bytes do not decode.
bool addressableName(const char *raw, QString *text)
{
    const QByteArray bytes = QByteArray::fromRawData(raw, int(std::strlen(raw)));
    *text = QFile::decodeName(bytes);
    // Plain ASCII always survives; only other names pay for encoding again.
    const bool ascii = std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) < 0x80; });
    if (ascii || QFile::encodeName(*text) == bytes)
        return true;
    *text = QString::fromUtf8(bytes);
    return false;
}

std::int64_t timespecMs(const timespec &ts)
{
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// What a listing page tells about one entry.
struct EntryStat
{
    mode_t mode = 0;
    std::uint64_t size = 0;
    std::int64_t accessMs = 0;
    std::int64_t birthMs = 0;   // 0 where the file system keeps none
    std::int64_t modifyMs = 0;
    std::uint64_t inode = 0;
    std::uint32_t linkCount = 0;
    std::int64_t changeNs = 0;
};

std::int64_t timespecNs(std::int64_t seconds, std::int64_t nanoseconds)
{
    return seconds * 1000000000LL + nanoseconds;
}

std::int64_t statxMs(const struct statx_timestamp &ts)
{
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// `at` and `name` as for the *at calls: an entry relative to its folder's descriptor.
// One statx gives the birth time with the rest; where statx is refused (old kernels,
// sandboxes) fstatat still lists the entry, without a birth time.
bool statEntry(int at, const char *name, bool follow, EntryStat *out)
{
    const int flags = follow ? 0 : AT_SYMLINK_NOFOLLOW;
    struct statx stx;
    if (::statx(at, name, flags, STATX_BASIC_STATS | STATX_BTIME, &stx) == 0) {
        out->mode = stx.stx_mode;
        out->size = stx.stx_size;
        out->accessMs = statxMs(stx.stx_atime);
        out->birthMs = (stx.stx_mask & STATX_BTIME) ? statxMs(stx.stx_btime) : 0;
        out->modifyMs = statxMs(stx.stx_mtime);
        out->inode = stx.stx_ino;
        out->linkCount = stx.stx_nlink;
        out->changeNs = timespecNs(stx.stx_ctime.tv_sec, stx.stx_ctime.tv_nsec);
        return true;
    }
    if (errno != ENOSYS && errno != EPERM)
        return false;
    struct stat st;
    if (::fstatat(at, name, &st, flags) != 0)
        return false;
    out->mode = st.st_mode;
    out->size = std::uint64_t(st.st_size);
    out->accessMs = timespecMs(st.st_atim);
    out->birthMs = 0;
    out->modifyMs = timespecMs(st.st_mtim);
    out->inode = st.st_ino;
    out->linkCount = std::uint32_t(st.st_nlink);
    out->changeNs = timespecNs(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    return true;
}

std::uint8_t entryTypeOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return FSO_ENTRY_LINK;
    if (S_ISDIR(mode))
        return FSO_ENTRY_DIRECTORY;
    return FSO_ENTRY_FILE;
}

// `mode` is the entry's own mode bits (of the target for a followed link).
std::uint16_t modeWord(int at, const char *name, mode_t mode)
{
    // Without any execute bit nobody may execute it, not even root, and no ACL entry can
    // grant more than the bits allow. What may be granted is asked at once first: the
    // user's own files mostly grant it all, and each question is a path lookup.
    const bool mayExecute = mode & (S_IXUSR | S_IXGRP | S_IXOTH);
    if (::faccessat(at, name, R_OK | W_OK | (mayExecute ? X_OK : 0), AT_EACCESS) == 0)
        return FSO_MODE_READABLE | FSO_MODE_WRITABLE | (mayExecute ? FSO_MODE_EXECUTABLE : 0);
    std::uint16_t word = 0;
    if (::faccessat(at, name, R_OK, AT_EACCESS) == 0)
        word |= FSO_MODE_READABLE;
    if (::faccessat(at, name, W_OK, AT_EACCESS) == 0)
        word |= FSO_MODE_WRITABLE;
    if (mayExecute && ::faccessat(at, name, X_OK, AT_EACCESS) == 0)
        word |= FSO_MODE_EXECUTABLE;
    return word;
}

// Folders first, then by name as the user's language sorts. Each name's sort key is made
// once (comparing keys is a byte compare; the collator's compare redoes the work each time).
// A big folder is keyed and sorted in slices on several pool threads, and the sorted slices
// are merged pairwise, each round's merges side by side.
std::vector<std::size_t> listingOrder(const std::vector<ListCandidate> &candidates)
{
    const std::size_t n = candidates.size();
    const std::size_t threads = std::size_t(std::max(1, QThreadPool::globalInstance()->maxThreadCount()));
    const std::size_t sliceSize = std::max<std::size_t>(2048, (n + threads - 1) / threads);
    struct Slice
    {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::vector<QCollatorSortKey> keys;
    };
    std::vector<Slice> slices;
    for (std::size_t begin = 0; begin < n; begin += sliceSize) {
        slices.emplace_back();
        slices.back().begin = begin;
        slices.back().end = std::min(n, begin + sliceSize);
    }
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i)
        order[i] = i;
    const auto keyOf = [&](std::size_t i) -> const QCollatorSortKey & {
        return slices[i / sliceSize].keys[i % sliceSize];
    };
    const auto before = [&](std::size_t a, std::size_t b) {
        if (candidates[a].directory != candidates[b].directory)
            return candidates[a].directory;
        return keyOf(a).compare(keyOf(b)) < 0;
    };
    const auto sortSlice = [&](Slice &slice) {
        QCollator collator; // one per thread: a collator sets itself up lazily, unguarded
        slice.keys.reserve(slice.end - slice.begin);
        for (std::size_t i = slice.begin; i < slice.end; ++i)
            slice.keys.push_back(collator.sortKey(candidates[i].name));
        std::sort(order.begin() + std::ptrdiff_t(slice.begin), order.begin() + std::ptrdiff_t(slice.end), before);
    };
    if (slices.size() == 1)
        sortSlice(slices.front());
    else if (slices.size() > 1)
        QtConcurrent::blockingMap(slices, sortSlice);

    struct Merge
    {
        std::size_t begin, middle, end;
    };
    for (std::size_t width = sliceSize; width < n; width *= 2) {
        std::vector<Merge> merges;
        for (std::size_t begin = 0; begin + width < n; begin += 2 * width)
            merges.push_back({begin, begin + width, std::min(n, begin + 2 * width)});
        QtConcurrent::blockingMap(merges, [&](const Merge &m) {
            std::inplace_merge(order.begin() + std::ptrdiff_t(m.begin), order.begin() + std::ptrdiff_t(m.middle),
                               order.begin() + std::ptrdiff_t(m.end), before);
        });
    }
    return order;
}

QString lastName(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace

QueryListDirectoryJob::~QueryListDirectoryJob()
{
    closeDirectory();
}

void QueryListDirectoryJob::closeDirectory()
{
    if (dirFd >= 0)
        ::close(dirFd);
    dirFd = -1;
}

void QueryListDirectoryJob::dropEntries()
{
    items.clear();
    items.shrink_to_fit();
    std::vector<EncodedRun>().swap(runs);
}

void QueryListDirectoryJob::reset()
{
    closeDirectory();
    refused = false;
    readFailure = 0;
    trId = 0;
    state = VfsServerJobIdle;
    index = 0;
    flags = 0;
    granted = 0;
    localPath.clear();
    sharesRoot = false;
    rules = vfsaccess::VfsAccessRules();
    wait = 0;
    items.clear();
    pageStarts.clear();
    pageStatus = 0;
    pageCount = 0;
    encodedBytes = 0;
    encodedEntries = 0;
}

void QueryListDirectoryJob::buildItems()
{
    items.clear();
    if (sharesRoot) {
        const std::vector<PeerAclDto> &entries = rules.entries();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const PeerAclDto &entry = entries[i];
            if ((entry.flags & vfsaccess::AclDrive) || entry.selector == QLatin1String("*"))
                continue;
            Item item;
            if (!vfsaccess::cleanPath(entry.selector, &item.path))
                continue;
            item.name = lastName(item.path);
            if (!rules.isLocal()) {
                item.shareEntry = int(i);
                if (!entry.name.isEmpty())
                    item.name = entry.name;
            }
            items.push_back(item);
        }
        return;
    }
    if (localPath.isEmpty())
        return;

    closeDirectory();
    refused = false;
    readFailure = 0;
    const QByteArray dirPath = QFile::encodeName(localPath);
    const int fd = ::open(dirPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        // Never an empty page for a folder that could not be read: a copy would take it as
        // empty and a move would think it done.
        readFailure = (errno == EACCES || errno == EPERM) ? FSO_STATUS_NOT_PERMITTED
                      : errno == ENOENT                   ? FSO_STATUS_NOT_FOUND
                                                          : FSO_STATUS_IO_ERROR;
        return;
    }
    // The folder was checked when the listing began; its path may lead elsewhere by now.
    if (!rules.descriptorInside(localPath, fd)) {
        ::close(fd);
        refused = true;
        return;
    }
    const int listFd = ::dup(fd);
    DIR *dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        ::close(fd);
        return;
    }
    dirFd = fd;
    std::vector<ListCandidate> candidates;
    auto consider = [&](const char *name, unsigned char type) {
        if (name[0] == '.' && !(flags & FSO_LISTDIR_HIDDEN))
            return;
        ListCandidate candidate;
        candidate.leftOut = !addressableName(name, &candidate.name);
        // The folder's own record usually says file or folder; only the rest is looked at.
        // An entry that cannot be looked at is named as left out when its page is made.
        if (type == DT_REG || type == DT_DIR) {
            candidate.directory = type == DT_DIR;
        } else {
            struct stat st;
            if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                // Gone since readdir, or there but not to be looked at (a folder without
                // search permission): the latter is named as left out.
                if (errno != ENOENT) {
                    candidate.leftOut = true;
                    candidates.push_back(candidate);
                }
                return;
            }
            const bool special = !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode);
            if (special && !(flags & FSO_LISTDIR_SYSTEM))
                return;
            candidate.directory = S_ISDIR(st.st_mode);
            if (S_ISLNK(st.st_mode)) {
                struct stat target;
                candidate.directory = ::fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
            }
        }
        candidates.push_back(std::move(candidate));
    };
    // Entries a delete set aside are never listed as such; they are looked at once the folder
    // has been read, as giving one back renames inside the folder being read.
    std::vector<std::pair<QByteArray, unsigned char>> setAside;
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (setaside::looksSetAside(entry->d_name))
            setAside.emplace_back(QByteArray(entry->d_name), entry->d_type);
        else
            consider(entry->d_name, entry->d_type);
    }
    ::closedir(dir);
    // A name one gets back may have been read as well, had it come and gone meanwhile.
    QSet<QString> listed;
    if (!setAside.empty()) {
        for (const ListCandidate &candidate : candidates)
            listed.insert(candidate.name);
    }
    for (const auto &met : setAside) {
        QByteArrayList restored;
        if (!setaside::restoreLeftover(dirFd, met.first, &restored))
            restored = {met.first};
        for (const QByteArray &now : qAsConst(restored)) {
            const QString text = QFile::decodeName(now);
            if (!listed.contains(text)) {
                listed.insert(text);
                consider(now.constData(), now == met.first ? met.second : static_cast<unsigned char>(DT_UNKNOWN));
            }
        }
    }
    const std::vector<std::size_t> order = listingOrder(candidates);
    items.reserve(candidates.size());
    for (std::size_t index : order) {
        Item item;
        item.name = std::move(candidates[index].name);
        item.leftOut = candidates[index].leftOut;
        items.push_back(std::move(item));
    }
}

QString QueryListDirectoryJob::pathOf(const Item &item) const
{
    if (!item.path.isEmpty())
        return item.path;
    const QString prefix = localPath == QLatin1String("/") ? QString() : localPath;
    return prefix + QLatin1Char('/') + item.name;
}

bool QueryListDirectoryJob::writeLeftOut(const Item &item, TermStreamWriter &writer) const
{
    // Without the type byte the peer could not tell it from an entry it may open.
    if (!(granted & FSO_ATTR_TYPE))
        return false;
    VfsDirectoryEntry entry;
    entry.name = item.name;
    entry.type = FSO_ENTRY_LEFT_OUT;
    entry.hidden = item.name.startsWith(QLatin1Char('.')) ? FSO_WIRE_HIDDEN : 0;
    return writeDirectoryEntry(writer, granted, entry);
}

bool QueryListDirectoryJob::encodeItem(const Item &item, TermStreamWriter &writer) const
{
    if (item.leftOut)
        return writeLeftOut(item, writer);
    // Entries of a listed folder are looked at relative to its descriptor, without walking
    // a path each time; share entries of "%shares" by their own paths.
    const QByteArray name = QFile::encodeName(item.name);
    const QByteArray ownPath = dirFd >= 0 ? QByteArray() : QFile::encodeName(item.path);
    const int at = dirFd >= 0 ? dirFd : AT_FDCWD;
    const char *relative = dirFd >= 0 ? name.constData() : ownPath.constData();
    EntryStat own;
    if (!statEntry(at, relative, false, &own)) {
        // Vanished since the listing was made, or there but not to be looked at.
        return errno != ENOENT && writeLeftOut(item, writer);
    }

    VfsDirectoryEntry entry;
    entry.name = item.name;
    const bool isLink = S_ISLNK(own.mode);
    // Only links need a path to hand to the path resolver.
    const QByteArray path = !isLink ? QByteArray() : dirFd >= 0 ? vfsaccess::anchoredPath(dirFd, name) : ownPath;
    EntryStat target;
    bool follow = false;
    bool targetInside = false;
    if (isLink && statEntry(at, relative, true, &target)) {
        // A remote peer learns nothing about what a link points at outside its share.
        QString real;
        targetInside = rules.isLocal()
                       || (vfsaccess::resolveRealPath(QFile::decodeName(path), true, &real)
                           && rules.insideEntry(pathOf(item), real));
        follow = targetInside;
    }
    const EntryStat &info = follow ? target : own;

    if (item.shareEntry >= 0) {
        entry.type = FSO_ENTRY_SHARE;
        entry.linkTarget = rules.entries()[std::size_t(item.shareEntry)].uuid;
        entry.linkTargetType = entryTypeOf(own.mode);
    } else {
        entry.type = entryTypeOf(own.mode);
        if (isLink) {
            QString real;
            if (targetInside && vfsaccess::resolveRealPath(QFile::decodeName(path), true, &real)) {
                entry.linkTarget = real;
                entry.linkTargetType = S_ISDIR(target.mode) ? FSO_ENTRY_DIRECTORY : FSO_ENTRY_FILE;
            } else if (rules.isLocal()) {
                char buffer[PATH_MAX];
                const ssize_t n = ::readlink(path.constData(), buffer, sizeof buffer - 1);
                if (n > 0)
                    entry.linkTarget = QFile::decodeName(QByteArray(buffer, int(n)));
            }
            if (entry.linkTarget.toUtf8().size() > int(FSO_MAX_PATH)) {
                entry.linkTarget.clear();
                entry.linkTargetType = 0;
            }
        }
    }
    entry.hidden = item.name.startsWith(QLatin1Char('.')) ? FSO_WIRE_HIDDEN : 0;
    entry.size = S_ISDIR(info.mode) ? 0 : info.size;
    entry.accessTime = info.accessMs;
    entry.birthTime = info.birthMs;
    entry.modifyTime = info.modifyMs;
    entry.mode = (isLink && !follow) ? 0 : modeWord(at, relative, info.mode);
    bool readOnly = false;
    if (!rules.isLocal()) {
        const int aclIndex = vfsaccess::findAclEntry(rules.entries(), pathOf(item), sharesRoot);
        readOnly = aclIndex >= 0 && !(rules.entries()[std::size_t(aclIndex)].flags & vfsaccess::AclWrite);
        if (readOnly)
            entry.mode &= 0xDDDD;
    }
    if (S_ISDIR(info.mode)) {
        entry.fileIndex = info.inode;
        entry.linkCount = info.linkCount;
    }
    if (readOnly) {
        // A peer that may only read gets what its copy is made with: who may read, write and
        // run the file, so a copy stays as private as this one. No set-id or sticky bits,
        // which mean something only here, and no version stamp, which serves only a delete.
        if (!isLink || follow)
            entry.permissions = int(info.mode & 0777);
    } else {
        if (!isLink || follow)
            entry.permissions = int(info.mode & 07777);
        entry.changeTimeNs = info.changeNs;
        entry.inode = info.inode;
    }
    return writeDirectoryEntry(writer, granted, entry);
}

namespace {

// Reply layout: header (12 bytes), u8 status (2), u32 index (5), u16 count (3), then the
// entries. The fixed part is written once the page is known.
constexpr std::size_t kListReplyFixed = com::kTermHeaderBytes + 2 + 5 + 3;
constexpr std::size_t kListReplyLimit = std::min(FSO_MAX_LIST_REPLY, kListReplyFixed + FSO_MAX_ENTRY_BLOCK);
// Fewer entries than this are not worth another thread.
constexpr std::size_t kMinRunEntries = 64;
// A guess at an entry's size before any was encoded: a short name with all attributes.
constexpr std::uint64_t kFirstEntryGuess = 64;

} // namespace

void QueryListDirectoryJob::encodeRun(EncodedRun &run) const
{
    // An entry must fit an otherwise empty page; one that does not is skipped, as one that
    // vanished.
    constexpr std::size_t room = kListReplyLimit - kListReplyFixed;
    run.offsets.resize(run.count);
    run.sizes.resize(run.count);
    std::size_t used = 0;
    for (std::size_t i = 0; i < run.count; ++i) {
        run.offsets[i] = std::uint32_t(used);
        run.sizes[i] = -1;
        if (isCancelled())
            continue;
        if (run.bytes.size() < used + room)
            run.bytes.resize(used + room);
        TermStreamWriter writer(run.bytes.data() + used, room);
        if (encodeItem(items[run.first + i], writer)) {
            run.sizes[i] = std::int32_t(writer.size());
            used += writer.size();
        }
    }
}

void QueryListDirectoryJob::encodeRuns(std::size_t position, std::size_t count)
{
    const std::size_t threads = std::size_t(std::max(1, QThreadPool::globalInstance()->maxThreadCount()));
    const std::size_t perRun = std::max(kMinRunEntries, (count + 2 * threads - 1) / (2 * threads));
    const std::size_t runCount = (count + perRun - 1) / perRun;
    if (runs.size() < runCount)
        runs.resize(runCount);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EncodedRun &run = runs[i];
        run.first = position + i * perRun;
        run.count = i < runCount ? std::min(perRun, position + count - run.first) : 0;
    }
    if (runCount == 1) {
        encodeRun(runs.front());
    } else {
        QtConcurrent::blockingMap(runs, [this](EncodedRun &run) {
            if (run.count > 0)
                encodeRun(run);
        });
    }
    for (const EncodedRun &run : runs) {
        for (std::size_t i = 0; i < run.count; ++i) {
            if (run.sizes[i] >= 0) {
                encodedBytes += std::uint64_t(run.sizes[i]);
                ++encodedEntries;
            }
        }
    }
}

void QueryListDirectoryJob::run()
{
    reply.resize(FSO_MAX_LIST_REPLY);
    if (index == 0) {
        buildItems();
        pageStarts.clear();
        pageStarts[0] = 0;
        encodedBytes = 0;
        encodedEntries = 0;
    }

    std::uint8_t status = FSO_STATUS_COMPLETE;
    std::uint16_t count = 0;
    std::size_t used = kListReplyFixed;
    const auto start = pageStarts.find(index);
    if (refused) {
        status = FSO_STATUS_NOT_PERMITTED;
    } else if (readFailure) {
        status = readFailure;
    } else if (start == pageStarts.end()) {
        // Not an index this listing ever handed out.
        status = FSO_STATUS_INVALID_PARAMETER;
    } else {
        std::size_t position = start->second;
        bool full = false;
        while (!full && position < items.size() && !isCancelled()) {
            // As many entries as are likely to fill the rest of the page; a short guess
            // takes another round, a long one costs the entries looked at in vain.
            const std::uint64_t average = encodedEntries ? std::max<std::uint64_t>(1, encodedBytes / encodedEntries)
                                                         : kFirstEntryGuess;
            const std::size_t guess = std::size_t(std::max<std::uint64_t>(1, (kListReplyLimit - used) / average));
            encodeRuns(position, std::min(guess, items.size() - position));
            for (const EncodedRun &run : runs) {
                for (std::size_t i = 0; i < run.count && !full; ++i) {
                    const std::int32_t size = run.sizes[i];
                    if (size < 0) {
                        ++position; // vanished or not representable: skipped, not counted
                        continue;
                    }
                    if (used + std::size_t(size) > kListReplyLimit) {
                        full = true; // does not fit any more: first entry of the next page
                        break;
                    }
                    std::memcpy(reply.data() + used, run.bytes.data() + run.offsets[i], std::size_t(size));
                    used += std::size_t(size);
                    ++position;
                    full = ++count == 0xFFFF;
                }
                if (full)
                    break;
            }
        }
        if (position < items.size()) {
            status = FSO_STATUS_SUCCESS;
            pageStarts[index + count] = position;
        }
    }

    TermStreamWriter writer(reply.data(), kListReplyFixed);
    if (!fsoreply::writePageHead(writer, trId, status, index, count) || writer.size() != kListReplyFixed) {
        reply.clear();
    } else {
        // The leading u32 item (tag, then 4 bytes) carries the total length.
        const std::uint32_t total = std::uint32_t(used);
        for (int i = 0; i < 4; ++i)
            reply[std::size_t(1 + i)] = (unsigned char)(total >> (8 * i));
        reply.resize(used);
    }
    pageStatus = status;
    pageCount = count;
    state = VfsServerJobReplyReady;
}

// --- read, write, hash --------------------------------------------------------------------

namespace {

// A large file's data is sent to the disk a window at a time while the copy goes on: the
// flush a copy waits for before it says "finished" then finds little left to write, instead
// of the whole file. Starting the write does not wait for it; small files never fill a window.
constexpr std::uint64_t kWriteBackWindow = 8 << 20;

void startWriteBack(int fd, std::uint64_t offset, std::uint64_t written)
{
    const std::uint64_t window = (offset + written) / kWriteBackWindow;
    if (written == 0 || offset / kWriteBackWindow == window)
        return;
    // The window just filled; an error shows again at the flush, which is what counts.
    ::sync_file_range(fd, off64_t((window - 1) * kWriteBackWindow), off64_t(kWriteBackWindow), SYNC_FILE_RANGE_WRITE);
}

} // namespace

void ReadFileJob::run()
{
    // The buffer keeps its size from one block to the next: growing it would zero it first,
    // only for the read to overwrite every byte.
    std::size_t got = 0;
    status = FSO_STATUS_IO_ERROR;
    if (!file) {
        status = FSO_STATUS_INVALID_HANDLE;
    } else {
        std::lock_guard<std::mutex> lock(file->mutex);
        struct stat st;
        if (file->fd < 0) {
            status = FSO_STATUS_INVALID_HANDLE; // closed after the request was taken
        } else if (!file->readable || ::fstat(file->fd, &st) != 0) {
            status = FSO_STATUS_IO_ERROR;
        } else if (offset >= std::uint64_t(st.st_size)) {
            status = FSO_STATUS_INVALID_OFFSET;
            logPrintf(LogVsrv, "failed to process READ_FILE request TrId %u, INVALID_OFFSET file.size = %llu, offset = %llu",
                      unsigned(trId), (unsigned long long)st.st_size, (unsigned long long)offset);
        } else {
            const std::size_t want = std::min<std::size_t>(size, FSO_MAX_DATA);
            if (data.size() < want)
                data.resize(want);
            file->idle.restart();
            const long long n = vfsfiles::readFully(file->fd, data.data(), want, offset);
            if (n >= 0) {
                got = std::size_t(n);
                const std::uint64_t left = std::uint64_t(st.st_size) - offset;
                if (left <= std::uint64_t(n))
                    status = FSO_STATUS_END_OF_FILE;
                else
                    status = n > 0 ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR;
            }
        }
    }
    fsoreply::read(reply, trId, status, flags, offset, data.data(), got);
    state = VfsServerJobReplyReady;
}

void WriteFileJob::run()
{
    written = 0;
    status = FSO_STATUS_IO_ERROR;
    if (!file) {
        status = FSO_STATUS_INVALID_HANDLE;
    } else {
        std::lock_guard<std::mutex> lock(file->mutex);
        struct stat st;
        if (file->fd < 0) {
            status = FSO_STATUS_INVALID_HANDLE;
        } else if (!file->writable || ::fstat(file->fd, &st) != 0) {
            status = FSO_STATUS_IO_ERROR;
        } else if (offset > std::uint64_t(LLONG_MAX) - dataSize) {
            status = FSO_STATUS_INVALID_OFFSET;
        } else {
            bool ok = true;
            const std::uint64_t size = std::uint64_t(st.st_size);
            const std::uint64_t end = offset + dataSize;
            if (offset > size && !(flags & FSO_WRITE_EXTEND)) {
                status = FSO_STATUS_INVALID_OFFSET;
                ok = false;
            } else if (end > size) {
                // A far offset costs nothing now, but every later copy of the file writes
                // its zeros: no file grows past what the volume could hold.
                const long long room = vfsfiles::freeSpace(file->fd);
                if (room >= 0 && end - size > std::uint64_t(room)) {
                    status = FSO_STATUS_DISK_FULL;
                    ok = false;
                } else if (offset > size && ::ftruncate(file->fd, off_t(end)) != 0) {
                    ok = false;
                }
            }
            if (ok) {
                file->idle.restart();
                int error = 0;
                written = dataSize == 0 ? 0
                                        : std::uint32_t(vfsfiles::writeCounted(file->fd, data.data() + dataAt,
                                                                               dataSize, offset, &error));
                startWriteBack(file->fd, offset, written);
                status = error == 0                           ? FSO_STATUS_SUCCESS
                         : (error == ENOSPC || error == EDQUOT) ? FSO_STATUS_DISK_FULL
                                                                : FSO_STATUS_IO_ERROR;
            }
        }
    }
    fsoreply::write(reply, trId, status, flags & 0x2, offset, written);
    state = VfsServerJobReplyReady;
}

OpenFileJob::~OpenFileJob()
{
    closeDescriptors();
}

void OpenFileJob::closeDescriptors()
{
    if (fd >= 0)
        ::close(fd);
    if (parentDir >= 0)
        ::close(parentDir);
    fd = parentDir = -1;
    claim.reset();
}

void OpenFileJob::run()
{
    status = FSO_STATUS_IO_ERROR;
    int error = 0;
    created = false;
    const bool mayCreate = write && rules.entryInside(localPath, parentDir, name);
    const vfsfiles::OpenResult result = vfsfiles::openRegularFileAt(parentDir, name, read, write, exclusive, mayCreate,
                                                                    isLocal, &fd, &created, &error);
    switch (result) {
    case vfsfiles::OpenResult::Opened:
        break;
    case vfsfiles::OpenResult::Exists:
        status = FSO_STATUS_EXISTS;
        break;
    case vfsfiles::OpenResult::NotFound:
        status = FSO_STATUS_NOT_FOUND;
        break;
    case vfsfiles::OpenResult::NotRegular:
    case vfsfiles::OpenResult::Failed:
        logPrintf(LogVsrv, "failed to open file %s %s (%u), open mode 0x%X", QFile::encodeName(localPath).constData(),
                  std::strerror(error), unsigned(error), unsigned(openFlags));
        break;
    }
    if (result == vfsfiles::OpenResult::Opened) {
        status = FSO_STATUS_SUCCESS;
        identity = vfsflush::identify(fd);
        if (created)
            folder = vfsflush::identify(parentDir);
        struct stat st;
        // A mode for the close is refused before anything is written.
        if (!rules.descriptorInside(localPath, fd) || (permissions >= 0 && rules.modeProtected(fd))) {
            if (created)
                ::unlinkat(parentDir, name.constData(), 0);
            status = FSO_STATUS_NOT_PERMITTED;
        } else if (write && !identity.known) {
            status = FSO_STATUS_IO_ERROR;
        } else if (write && !(claim = vfsfiles::WriteClaim::take(identity.device, identity.inode, server))) {
            // Another open writes it (a second copy of a file of the same name): left as it is.
            logPrintf(LogVsrv, "%s is open for writing already", QFile::encodeName(localPath).constData());
            status = FSO_STATUS_EXISTS;
        } else if (write && !read && !created && ::ftruncate(fd, 0) != 0) {
            // A write-only open empties the file, like opening it for writing always has;
            // only now that it is known to be a regular file inside the share.
            status = FSO_STATUS_IO_ERROR;
        } else if (truncateTo <= std::uint64_t(LLONG_MAX) && ::fstat(fd, &st) == 0
                   && truncateTo < std::uint64_t(st.st_size) && ::ftruncate(fd, off_t(truncateTo)) != 0) {
            logPrintf(LogVsrv, "failed to truncate file: %s", QFile::encodeName(localPath).constData());
        }
        if (status != FSO_STATUS_SUCCESS) {
            ::close(fd);
            fd = -1;
        }
    }
    state = VfsServerJobReplyReady;
}

void CloseFileJob::run()
{
    const int result = file ? vfsfiles::closeOpenFile(*file, true) : 0;
    if (result == vfsfiles::kCloseFailed)
        logPrintf(LogVsrv, "close of %s failed: its data may not be kept", QFile::encodeName(file->path).constData());
    else if (result != 0)
        logPrintf(LogVsrv, "failed to set file time status: %d", result);
    // Times that could not be set are no reason to doubt the data; a failed close is.
    status = result == vfsfiles::kCloseFailed ? FSO_STATUS_IO_ERROR : FSO_STATUS_SUCCESS;
    state = VfsServerJobReplyReady;
}

WholeFileJob::~WholeFileJob()
{
    closeDescriptors();
    dropForFlush();
}

void WholeFileJob::closeDescriptors()
{
    if (parentDir >= 0)
        ::close(parentDir);
    parentDir = -1;
}

void WholeFileJob::keepForFlush(int fd)
{
    dropForFlush();
    flushIdentity = vfsflush::identify(fd);
    if (flushIdentity.known && flushIdentity.ownFlush)
        flushFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

void WholeFileJob::dropForFlush()
{
    if (flushFd >= 0)
        ::close(flushFd);
    flushFd = -1;
    flushIdentity = vfsflush::Identity();
}

void GetFileJob::run()
{
    dropForFlush();
    int fd = -1;
    bool created = false;
    int error = 0;
    std::size_t got = 0;
    const vfsfiles::OpenResult opened =
        vfsfiles::openRegularFileAt(parentDir, name, true, false, false, false, isLocal, &fd, &created, &error);
    status = opened == vfsfiles::OpenResult::NotFound ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR;
    if (opened == vfsfiles::OpenResult::Opened) {
        if (!rules.descriptorInside(localPath, fd)) {
            status = FSO_STATUS_NOT_PERMITTED;
        } else {
            // One byte more than asked tells a file that grew from one that ends there.
            const std::size_t want = std::min<std::size_t>(size, FSO_MAX_DATA);
            if (data.size() < want + 1)
                data.resize(want + 1);
            const long long n = vfsfiles::readFully(fd, data.data(), want + 1, 0);
            if (n >= 0) {
                got = std::min<std::size_t>(std::size_t(n), want);
                status = std::size_t(n) <= want ? FSO_STATUS_END_OF_FILE : FSO_STATUS_SUCCESS;
                // Read by a copy checking what it wrote before: covered by its next SYNC.
                keepForFlush(fd);
            }
        }
        ::close(fd);
    }
    fsoreply::getFile(reply, trId, status, data.data(), got);
    state = VfsServerJobReplyReady;
}

namespace {

std::atomic<bool> unnamedNewFiles{true};

std::uint8_t makeStatus(int error)
{
    return error == EEXIST ? FSO_STATUS_EXISTS
           : error == ENOSPC || error == EDQUOT ? FSO_STATUS_DISK_FULL
                                                : FSO_STATUS_IO_ERROR;
}

// The new file's bytes, then its times and mode, as a copy that is complete.
std::uint8_t fillNewFile(int fd, const std::vector<unsigned char> &data, std::int64_t accessTime,
                         std::int64_t modifyTime, int permissions)
{
    int error = 0;
    if (vfsfiles::writeCounted(fd, data.data(), data.size(), 0, &error) != data.size())
        return error == ENOSPC || error == EDQUOT ? FSO_STATUS_DISK_FULL : FSO_STATUS_IO_ERROR;
    // Times and mode as a close of a written file gives them: wanted, not a condition (a file
    // system that keeps no modes refuses them, and the copy is complete all the same).
    if (permissions >= 0 && vfsfiles::applyPermissions(fd, permissions) != 0)
        logPrintf(LogVsrv, "mode of a new file not set: %s", std::strerror(errno));
    if ((accessTime > 0 || modifyTime > 0) && vfsfiles::applyFileTimes(fd, accessTime, modifyTime) != 0)
        logPrintf(LogVsrv, "times of a new file not set");
    return FSO_STATUS_SUCCESS;
}

} // namespace

void vfsserverfs::setUnnamedNewFilesForTests(bool allowed)
{
    unnamedNewFiles = allowed;
}



// The file is made without a name in its folder (O_TMPFILE) and, whole, given its real name
// by one link, which fails when the name is there. Making the inode is what takes a file
// system long (ext4 passes over recently freed inodes), and only the link holds the folder's
// lock, so puts into one folder no longer wait for each other's inodes; a name and a rename
// would each hold it. False (nothing made) where the file system or /proc can't do it.
bool PutFileJob::putUnnamed()
{
    if (!unnamedNewFiles)
        return false;
    const int fd = ::openat(parentDir, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno != ENOSPC && errno != EDQUOT)
            return false;
        status = FSO_STATUS_DISK_FULL;
        return true;
    }
    status = fillNewFile(fd, data, accessTime, modifyTime, permissions);
    if (status == FSO_STATUS_SUCCESS && !folderInside())
        status = FSO_STATUS_NOT_PERMITTED;
    if (status == FSO_STATUS_SUCCESS) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
        if (::linkat(AT_FDCWD, self.constData(), parentDir, name.constData(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno != EEXIST && errno != ENOSPC && errno != EDQUOT) {
                ::close(fd);
                return false;
            }
            status = makeStatus(errno);
        }
    }
    struct stat st;
    const bool told = ::fstat(fd, &st) == 0;
    // The folder may have left the share between the check and the link.
    if (status == FSO_STATUS_SUCCESS && !folderInside()) {
        if (told)
            unname(st);
        status = FSO_STATUS_NOT_PERMITTED;
    }
    if (status == FSO_STATUS_SUCCESS)
        keepForFlush(fd);
    if (::close(fd) != 0 && status == FSO_STATUS_SUCCESS) {
        // Named, yet its last bytes may not have arrived.
        if (told)
            unname(st);
        status = FSO_STATUS_IO_ERROR;
    }
    return true;
}

void PutFileJob::unname(const struct stat &made)
{
    struct stat named;
    if (::fstatat(parentDir, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == made.st_ino
        && named.st_dev == made.st_dev)
        ::unlinkat(parentDir, name.constData(), 0);
}

// Where no unnamed file can be made: under the hidden name, renamed once complete and closed.
void PutFileJob::putHidden()
{
    // O_EXCL: a new entry made here, never a link or a file that turned up in its place.
    const int fd = ::openat(parentDir, hiddenName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        status = makeStatus(errno);
        return;
    }
    status = fillNewFile(fd, data, accessTime, modifyTime, permissions);
    struct stat st;
    const bool told = ::fstat(fd, &st) == 0;
    if (status == FSO_STATUS_SUCCESS)
        keepForFlush(fd);
    if (::close(fd) != 0 && status == FSO_STATUS_SUCCESS)
        status = FSO_STATUS_IO_ERROR;
    if (status == FSO_STATUS_SUCCESS && !folderInside())
        status = FSO_STATUS_NOT_PERMITTED;
    if (status == FSO_STATUS_SUCCESS) {
        // Complete and closed: only now it takes the real name, which it never takes from
        // another file.
        if (::renameat2(parentDir, hiddenName.constData(), parentDir, name.constData(), RENAME_NOREPLACE) == 0)
            status = FSO_STATUS_SUCCESS;
        else if (errno == EEXIST)
            status = FSO_STATUS_EXISTS;
        else if (errno == EINVAL) // a file system without RENAME_NOREPLACE
            status = vfsserverfs::moveAt(parentDir, hiddenName, parentDir, name,
                                         FSO_MOVE_SAME_VOLUME | FSO_MOVE_NO_REPLACE, false, false, hiddenName,
                                         nullptr);
        else
            status = FSO_STATUS_IO_ERROR;
        if (status == FSO_STATUS_SUCCESS && !folderInside()) {
            if (told)
                unname(st);
            status = FSO_STATUS_NOT_PERMITTED;
        }
    }
    if (status != FSO_STATUS_SUCCESS)
        ::unlinkat(parentDir, hiddenName.constData(), 0);
}

void PutFileJob::run()
{
    status = FSO_STATUS_NOT_PERMITTED;
    dropForFlush();
    if (rules.entryInside(hiddenPath, parentDir, hiddenName) && !putUnnamed())
        putHidden();
    if (status == FSO_STATUS_SUCCESS)
        folder = vfsflush::identify(parentDir);
    else
        dropForFlush();
    fsoreply::status(reply, FSO_PUT_FILE_REPLY, trId, status);
    state = VfsServerJobReplyReady;
}

namespace {

// What hashing one block found.
struct BlockHash
{
    std::uint8_t failure = 0;   // an FSO status, or 0
    std::uint64_t got = 0;      // bytes hashed; fewer than the block at the end of the file
    unsigned char digest[FSO_DIGEST_SIZE];
};

// A lane's own digest and buffer: lanes hash side by side.
struct HashLane
{
    crypto::Sha1 sha1;
    std::vector<unsigned char> buffer;
};

void hashBlock(VfsOpenFile &file, HashLane &lane, std::uint64_t position, std::uint32_t blockSize,
               BlockHash *out)
{
    while (out->got < blockSize) {
        const std::size_t chunk = std::min<std::uint64_t>(blockSize - out->got, lane.buffer.size());
        long long n = 0;
        {
            // Only the read holds the file: a CLOSE_FILE waits for one read, and reads of
            // other requests are not held up by the hashing.
            std::lock_guard<std::mutex> lock(file.mutex);
            if (file.fd < 0) {
                out->failure = FSO_STATUS_INVALID_HANDLE;
                return;
            }
            file.idle.restart();
            n = vfsfiles::readFully(file.fd, lane.buffer.data(), chunk, position + out->got);
        }
        if (n < 0) {
            out->failure = FSO_STATUS_IO_ERROR;
            return;
        }
        lane.sha1.add(lane.buffer.data(), std::size_t(n));
        out->got += std::uint64_t(n);
        if (std::size_t(n) < chunk)
            break;
    }
    lane.sha1.finish(out->digest);
}

} // namespace

void HashFileJob::run()
{
    digests.clear();
    digestCount = 0;
    std::uint8_t replyFlags = 0;
    status = FSO_STATUS_SUCCESS;
    if (!file) {
        status = FSO_STATUS_INVALID_HANDLE;
    } else if (!(flags & FSO_HASH_SHA1)) {
        status = FSO_STATUS_NETWORK_PATH;
    } else {
        std::uint64_t fileSize = 0;
        {
            std::lock_guard<std::mutex> lock(file->mutex);
            struct stat st;
            if (file->fd < 0)
                status = FSO_STATUS_INVALID_HANDLE;
            else if (!file->readable || ::fstat(file->fd, &st) != 0)
                status = FSO_STATUS_IO_ERROR;
            else
                fileSize = std::uint64_t(st.st_size);
        }
        if (status == FSO_STATUS_SUCCESS && offset > fileSize)
            status = FSO_STATUS_INVALID_OFFSET;
        if (status == FSO_STATUS_SUCCESS) {
            replyFlags = FSO_HASH_SHA1;
            const std::size_t count = std::min<std::size_t>(
                {std::size_t(blockCount), std::size_t(kVfsMaxHashBytes / std::max<std::uint32_t>(1, blockSize)),
                 std::size_t(FSO_MAX_DIGEST_BLOCK / FSO_DIGEST_SIZE)});
            // The blocks of one request are hashed on several threads at once: one thread
            // hashes slower than a disk or the page cache delivers. Each block is read and
            // hashed on its own; the answer takes them in order, up to the first that ended
            // the file or failed.
            std::vector<BlockHash> blocks(count);
            const int lanes = crypto::parallelLanes();
            std::vector<HashLane> laneState(static_cast<std::size_t>(lanes));
            for (HashLane &lane : laneState)
                lane.buffer.resize(std::min<std::size_t>(blockSize, 1 << 16));
            crypto::runParallel(int(count), count > 1, [&](int lane, int index) {
                if (isCancelled()) {
                    blocks[std::size_t(index)].failure = FSO_STATUS_IO_ERROR;
                    return;
                }
                hashBlock(*file, laneState[std::size_t(lane)], offset + std::uint64_t(index) * blockSize, blockSize,
                          &blocks[std::size_t(index)]);
            });
            for (const BlockHash &block : blocks) {
                if (block.failure) {
                    status = block.failure;
                    break;
                }
                if (block.got == 0) {
                    status = FSO_STATUS_END_OF_FILE;
                    break;
                }
                digests.insert(digests.end(), block.digest, block.digest + FSO_DIGEST_SIZE);
                ++digestCount;
                if (block.got < blockSize) {
                    status = FSO_STATUS_END_OF_FILE;
                    break;
                }
            }
        }
    }
    fsoreply::hash(reply, trId, status, replyFlags, digestCount, digests.data(), digests.size());
    state = VfsServerJobReplyReady;
}

// --- moves ----------------------------------------------------------------------------------

FileOperationJob::~FileOperationJob()
{
    closeDescriptors();
}

void FileOperationJob::closeDescriptors()
{
    if (sourceDir >= 0)
        ::close(sourceDir);
    if (destinationDir >= 0)
        ::close(destinationDir);
    sourceDir = destinationDir = -1;
}

void FileOperationJob::run()
{
    status = vfsserverfs::checkMoveSource(sourceDir, sourceName, expected);
    if (status == FSO_STATUS_SUCCESS)
        status = vfsserverfs::moveAt(sourceDir, sourceName, destinationDir, destinationName, moveFlags, samePath, true,
                                     QFile::encodeName(source), cancelled);
    if (status == FSO_STATUS_SUCCESS) {
        sourceFolder = vfsflush::identify(sourceDir);
        destinationFolder = vfsflush::identify(destinationDir);
    }
    fsoreply::status(reply, FSO_MOVE_REPLY, trId, status);
    state = VfsServerJobReplyReady;
}
