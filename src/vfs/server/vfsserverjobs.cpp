#include "vfs/server/vfsserverjobs.h"

#include "crypto/crypto.h"

#include "app/base/log.h"
#include "vfs/server/drives.h"
#include "vfs/server/trash.h"
#include "vfs/fso/vfsfenucommandparser.h"

#include <QCollator>
#include <QCryptographicHash>
#include <QFile>
#include <QFutureWatcher>
#include <QSet>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using com::TermStreamWriter;

VfsServerJob::~VfsServerJob()
{
    delete watcher;
}

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

// Copies the regular file `name` of `fromDir` to the new entry `toName` of `toDir`.
bool copyFileAt(int fromDir, const char *name, int toDir, const char *toName, const std::atomic<bool> *cancelled)
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
    if (!ok)
        ::unlinkat(toDir, toName, 0);
    return ok;
}

// Copies the entry `name` of `fromDir` (a file, a symbolic link as a link, or a directory
// tree) to the new entry `toName` of `toDir`. Every step goes by name inside a directory
// opened without following links, so a folder swapped for a link while the copy runs
// leads nowhere. A failure may leave a partial copy, which the caller removes.
bool copyEntryAt(int fromDir, const char *name, int toDir, const char *toName, const std::atomic<bool> *cancelled,
                 int depth)
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
        return ::symlinkat(target.data(), toDir, toName) == 0;
    }
    if (S_ISREG(st.st_mode))
        return copyFileAt(fromDir, name, toDir, toName, cancelled);
    if (!S_ISDIR(st.st_mode) || depth >= kMaxCopyDepth)
        return false;
    const int fromFd = ::openat(fromDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fromFd < 0)
        return false;
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
    std::vector<QByteArray> names;
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        names.emplace_back(entry->d_name);
    }
    bool ok = true;
    for (const QByteArray &child : names) {
        if (!copyEntryAt(::dirfd(dir), child.constData(), toFd, child.constData(), cancelled, depth + 1)) {
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

} // namespace

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
    bool ok = toDir >= 0 && copyEntryAt(fromDir, fromName.constData(), toDir, toName.constData(), cancelled, 0);
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
    if (!copyEntryAt(sourceDir, sourceName.constData(), destinationDir, temporary.constData(), cancelled, 0)) {
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
    struct stat st;
    if (::fstatat(sourceDir, sourceName.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR;
    if (S_ISDIR(st.st_mode))
        return removeTreeAt(sourceDir, sourceName, sourcePath, nullptr) ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR;
    return ::unlinkat(sourceDir, sourceName.constData(), 0) == 0 ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR;
}

bool makePathAt(int baseFd, const QStringList &parts)
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
        if (::mkdirat(current, name.constData(), 0755) != 0 && errno != EEXIST) {
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

// `at` and `name` as for the *at calls: an entry relative to its folder's descriptor.
std::int64_t birthTimeMs(int at, const char *name, bool follow)
{
    struct statx stx;
    const int flags = follow ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::statx(at, name, flags, STATX_BTIME, &stx) == 0 && (stx.stx_mask & STATX_BTIME))
        return std::int64_t(stx.stx_btime.tv_sec) * 1000 + stx.stx_btime.tv_nsec / 1000000;
    return 0;
}

std::uint8_t entryTypeOf(const struct stat &st)
{
    if (S_ISLNK(st.st_mode))
        return FSO_ENTRY_LINK;
    if (S_ISDIR(st.st_mode))
        return FSO_ENTRY_DIRECTORY;
    return FSO_ENTRY_FILE;
}

std::uint16_t modeWord(int at, const char *name)
{
    std::uint16_t mode = 0;
    if (::faccessat(at, name, R_OK, AT_EACCESS) == 0)
        mode |= FSO_MODE_READABLE;
    if (::faccessat(at, name, W_OK, AT_EACCESS) == 0)
        mode |= FSO_MODE_WRITABLE;
    if (::faccessat(at, name, X_OK, AT_EACCESS) == 0)
        mode |= FSO_MODE_EXECUTABLE;
    return mode;
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
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (entry->d_name[0] == '.' && !(flags & FSO_LISTDIR_HIDDEN))
            continue;
        ListCandidate candidate;
        candidate.leftOut = !addressableName(entry->d_name, &candidate.name);
        struct stat st;
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone since readdir, or there but not to be looked at (a folder without search
            // permission): the latter is named as left out.
            if (errno != ENOENT) {
                candidate.leftOut = true;
                candidates.push_back(candidate);
            }
            continue;
        }
        const bool special = !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode);
        if (special && !(flags & FSO_LISTDIR_SYSTEM))
            continue;
        candidate.directory = S_ISDIR(st.st_mode);
        if (S_ISLNK(st.st_mode)) {
            struct stat target;
            candidate.directory = ::fstatat(dirFd, entry->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode);
        }
        candidates.push_back(candidate);
    }
    ::closedir(dir);

    // Folders first, then by name as the user's language sorts. Each name's sort key is made
    // once: comparing keys is a byte compare, the collator's compare redoes the work each time.
    QCollator collator;
    std::vector<QCollatorSortKey> keys;
    keys.reserve(candidates.size());
    std::vector<std::size_t> order(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        keys.push_back(collator.sortKey(candidates[i].name));
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (candidates[a].directory != candidates[b].directory)
            return candidates[a].directory;
        return keys[a].compare(keys[b]) < 0;
    });
    items.reserve(candidates.size());
    const QString prefix = localPath == QLatin1String("/") ? QString() : localPath;
    for (std::size_t index : order) {
        const ListCandidate &candidate = candidates[index];
        Item item;
        item.path = prefix + QLatin1Char('/') + candidate.name;
        item.name = candidate.name;
        item.leftOut = candidate.leftOut;
        items.push_back(item);
    }
}

bool QueryListDirectoryJob::encodeItem(const Item &item, TermStreamWriter &writer) const
{
    if (item.leftOut) {
        // Without the type byte the peer could not tell it from an entry it may open.
        if (!(granted & FSO_ATTR_TYPE))
            return false;
        VfsDirectoryEntry entry;
        entry.name = item.name;
        entry.type = FSO_ENTRY_LEFT_OUT;
        entry.hidden = item.name.startsWith(QLatin1Char('.')) ? FSO_WIRE_HIDDEN : 0;
        return writeDirectoryEntry(writer, granted, entry);
    }
    // Entries of a listed folder are reached through its descriptor.
    // Looked at relative to the folder's descriptor, without walking a path each time.
    const QByteArray name = QFile::encodeName(item.name);
    const QByteArray path = dirFd >= 0 ? vfsaccess::anchoredPath(dirFd, name) : QFile::encodeName(item.path);
    const int at = dirFd >= 0 ? dirFd : AT_FDCWD;
    const char *relative = dirFd >= 0 ? name.constData() : path.constData();
    struct stat own;
    if (::fstatat(at, relative, &own, AT_SYMLINK_NOFOLLOW) != 0)
        return false; // vanished since the listing was made

    VfsDirectoryEntry entry;
    entry.name = item.name;
    const bool isLink = S_ISLNK(own.st_mode);
    struct stat target;
    bool follow = false;
    bool targetInside = false;
    if (isLink && ::stat(path.constData(), &target) == 0) {
        // A remote peer learns nothing about what a link points at outside its share.
        QString real;
        targetInside = rules.isLocal()
                       || (vfsaccess::resolveRealPath(QFile::decodeName(path), true, &real)
                           && rules.insideEntry(item.path, real));
        follow = targetInside;
    }
    const struct stat &info = follow ? target : own;

    if (item.shareEntry >= 0) {
        entry.type = FSO_ENTRY_SHARE;
        entry.linkTarget = rules.entries()[std::size_t(item.shareEntry)].uuid;
        entry.linkTargetType = entryTypeOf(own);
    } else {
        entry.type = entryTypeOf(own);
        if (isLink) {
            QString real;
            if (targetInside && vfsaccess::resolveRealPath(QFile::decodeName(path), true, &real)) {
                entry.linkTarget = real;
                entry.linkTargetType = S_ISDIR(target.st_mode) ? FSO_ENTRY_DIRECTORY : FSO_ENTRY_FILE;
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
    entry.size = S_ISDIR(info.st_mode) ? 0 : std::uint64_t(info.st_size);
    entry.accessTime = timespecMs(info.st_atim);
    entry.birthTime = birthTimeMs(at, relative, follow);
    entry.modifyTime = timespecMs(info.st_mtim);
    entry.mode = (isLink && !follow) ? 0 : modeWord(at, relative);
    if (!rules.isLocal()) {
        const int aclIndex = vfsaccess::findAclEntry(rules.entries(), item.path, sharesRoot);
        if (aclIndex >= 0 && !(rules.entries()[std::size_t(aclIndex)].flags & vfsaccess::AclWrite))
            entry.mode &= 0xDDDD;
    }
    if (S_ISDIR(info.st_mode)) {
        entry.fileIndex = info.st_ino;
        entry.linkCount = std::uint32_t(info.st_nlink);
    }
    return writeDirectoryEntry(writer, granted, entry);
}

void QueryListDirectoryJob::run()
{
    // Reply layout: header (12 bytes), u8 status (2), u32 index (5), u16 count (3), then the
    // entries. The fixed part is written once the page is known.
    constexpr std::size_t kFixed = com::kTermHeaderBytes + 2 + 5 + 3;
    reply.resize(FSO_MAX_LIST_REPLY);
    if (index == 0) {
        buildItems();
        pageStarts.clear();
        pageStarts[0] = 0;
    }

    std::uint8_t status = FSO_STATUS_COMPLETE;
    std::uint16_t count = 0;
    std::size_t used = kFixed;
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
        const std::size_t limit = std::min(FSO_MAX_LIST_REPLY, kFixed + FSO_MAX_ENTRY_BLOCK);
        while (position < items.size() && !isCancelled()) {
            TermStreamWriter entryWriter(reply.data() + used, limit - used);
            if (!encodeItem(items[position], entryWriter)) {
                if (entryWriter.error() == com::TermOutputFull && count > 0)
                    break; // does not fit any more: first entry of the next page
                ++position; // vanished or not representable: skipped, not counted
                continue;
            }
            used += entryWriter.size();
            ++position;
            if (++count == 0xFFFF)
                break;
        }
        if (position < items.size()) {
            status = FSO_STATUS_SUCCESS;
            pageStarts[index + count] = position;
        }
    }

    TermStreamWriter writer(reply.data(), kFixed);
    if (!fsoreply::writePageHead(writer, trId, status, index, count) || writer.size() != kFixed) {
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

void ReadFileJob::run()
{
    data.clear();
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
            data.resize(want);
            file->idle.restart();
            const long long n = vfsfiles::readFully(file->fd, data.data(), want, offset);
            if (n < 0) {
                data.clear();
            } else {
                data.resize(std::size_t(n));
                const std::uint64_t left = std::uint64_t(st.st_size) - offset;
                if (left <= std::uint64_t(n))
                    status = FSO_STATUS_END_OF_FILE;
                else
                    status = n > 0 ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR;
            }
        }
    }
    fsoreply::read(reply, trId, status, flags, offset, data.data(), data.size());
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
        } else if (offset > std::uint64_t(LLONG_MAX) - data.size()) {
            status = FSO_STATUS_INVALID_OFFSET;
        } else {
            bool ok = true;
            const std::uint64_t size = std::uint64_t(st.st_size);
            const std::uint64_t end = offset + data.size();
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
                written = data.empty() ? 0
                                       : std::uint32_t(vfsfiles::writeCounted(file->fd, data.data(), data.size(),
                                                                              offset, &error));
                if (written > 0 || offset > size)
                    file->dirty = true;
                status = error == 0                           ? FSO_STATUS_SUCCESS
                         : (error == ENOSPC || error == EDQUOT) ? FSO_STATUS_DISK_FULL
                                                                : FSO_STATUS_IO_ERROR;
                // The close that follows on the server's thread finds nothing to flush.
                if (status == FSO_STATUS_SUCCESS && (flags & FSO_WRITE_CLOSE) && !vfsfiles::flushOpenFile(*file))
                    status = FSO_STATUS_IO_ERROR;
            }
        }
    }
    fsoreply::write(reply, trId, status, flags & 0x2, offset, written);
    state = VfsServerJobReplyReady;
}

void CloseFileJob::run()
{
    const int result = file ? vfsfiles::closeOpenFile(*file, true) : 0;
    if (result == -3)
        logPrintf(LogVsrv, "failed to flush file %s", qUtf8Printable(file->path));
    else if (result != 0)
        logPrintf(LogVsrv, "failed to set file time status: %d", result);
    // Times that could not be set are no reason to doubt the data; a failed flush is.
    status = result == -3 ? FSO_STATUS_IO_ERROR : FSO_STATUS_SUCCESS;
    state = VfsServerJobReplyReady;
}

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
            buffer.resize(std::min<std::size_t>(blockSize, 1 << 16));
            crypto::Sha1 sha1;
            std::uint64_t position = offset;
            std::uint64_t hashed = 0;
            for (unsigned block = 0; block < blockCount; ++block) {
                if (hashed + blockSize > kVfsMaxHashBytes)
                    break;
                hashed += blockSize;
                if ((std::size_t(digestCount) + 1) * FSO_DIGEST_SIZE > FSO_MAX_DIGEST_BLOCK)
                    break;
                if (isCancelled()) {
                    status = FSO_STATUS_IO_ERROR;
                    break;
                }
                std::uint64_t got = 0;
                bool failed = false;
                while (got < blockSize) {
                    const std::size_t chunk = std::min<std::uint64_t>(blockSize - got, buffer.size());
                    long long n = 0;
                    {
                        // Only the read holds the file: a CLOSE_FILE waits for one read, and
                        // reads of other requests are not held up by the hashing.
                        std::lock_guard<std::mutex> lock(file->mutex);
                        if (file->fd < 0) {
                            status = FSO_STATUS_INVALID_HANDLE;
                            failed = true;
                            break;
                        }
                        file->idle.restart();
                        n = vfsfiles::readFully(file->fd, buffer.data(), chunk, position + got);
                    }
                    if (n < 0) {
                        status = FSO_STATUS_IO_ERROR;
                        failed = true;
                        break;
                    }
                    sha1.add(buffer.data(), std::size_t(n));
                    got += std::uint64_t(n);
                    if (std::size_t(n) < chunk)
                        break;
                }
                if (failed)
                    break;
                if (got == 0) {
                    status = FSO_STATUS_END_OF_FILE;
                    break;
                }
                const std::size_t at = digests.size();
                digests.resize(at + FSO_DIGEST_SIZE);
                sha1.finish(digests.data() + at);
                ++digestCount;
                position += got;
                if (got < blockSize) {
                    status = FSO_STATUS_END_OF_FILE;
                    break;
                }
            }
        }
    }
    fsoreply::hash(reply, trId, status, replyFlags, digestCount, digests.data(), digests.size());
    state = VfsServerJobReplyReady;
}

// --- deletes and moves --------------------------------------------------------------------

FileOperationJob::~FileOperationJob()
{
    if (sourceDir >= 0)
        ::close(sourceDir);
    if (destinationDir >= 0)
        ::close(destinationDir);
}

void FileOperationJob::run()
{
    status = FSO_STATUS_IO_ERROR;
    switch (kind) {
    case RemoveTree:
        status = vfsserverfs::removeTreeAt(sourceDir, sourceName, QFile::encodeName(source), cancelled)
                     ? FSO_STATUS_SUCCESS
                     : FSO_STATUS_IO_ERROR;
        break;
    case Trash: {
        // By name inside the folder that was checked; the delete job asks its user whether
        // to delete for good on 14, and only then.
        status = trash::moveToTrashAt(sourceDir, sourceName) ? FSO_STATUS_SUCCESS : FSO_STATUS_NETWORK_PATH;
        break;
    }
    case MoveAcross:
        status = vfsserverfs::moveAcross(sourceDir, sourceName, destinationDir, destinationName,
                                         QFile::encodeName(source), cancelled);
        break;
    }
    if (code == FSO_DELETE_FILE)
        fsoreply::deleted(reply, trId, status, requestPath);
    else
        fsoreply::status(reply, FSO_MOVE_REPLY, trId, status);
    state = VfsServerJobReplyReady;
}
