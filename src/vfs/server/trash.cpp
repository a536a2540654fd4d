#include "vfs/server/trash.h"

#include "app/base/log.h"
#include "vfs/server/drives.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/vfsaccess.h"
#include "vfs/server/setaside.h"
#include "vfs/server/versionguard.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trash {

namespace {

// Qt's own QFile::moveToTrash (5.15) ignores XDG_DATA_HOME, falls back to the home trash
// for other mounts (where the rename cannot work) and cannot say where the item went, so
// the trash layout is written here.

QByteArray joinPath(const QByteArray &dir, const QByteArray &name)
{
    return dir.endsWith('/') ? dir + name : dir + '/' + name;
}

QByteArray realPath(const QByteArray &path)
{
    char buffer[PATH_MAX];
    if (!::realpath(path.constData(), buffer))
        return QByteArray();
    return QByteArray(buffer);
}

// The path itself, or its nearest ancestor that exists, resolved.
QByteArray realExistingAncestor(QByteArray path)
{
    while (!path.isEmpty()) {
        const QByteArray real = realPath(path);
        if (!real.isEmpty())
            return real;
        const int slash = path.lastIndexOf('/');
        if (slash <= 0)
            return QByteArrayLiteral("/");
        path.truncate(slash);
    }
    return QByteArrayLiteral("/");
}

// A directory the trash may use: made with 0700 if missing. An existing one must be a real
// directory (no symbolic link) of this user that others cannot write to unless it is
// sticky: otherwise another user could read, swap or redirect what we trash.
bool ensurePrivateDirectory(const QByteArray &path)
{
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return false;
    return !(st.st_mode & S_IWOTH) || (st.st_mode & S_ISVTX);
}

std::vector<drives::MountEntry> mountTable()
{
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return drives::parseMountInfo(file.readAll());
}

bool sameDevice(const QByteArray &a, const QByteArray &b)
{
    struct stat sa;
    struct stat sb;
    return ::stat(a.constData(), &sa) == 0 && ::stat(b.constData(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

struct TrashLocation
{
    QByteArray directory; // holds "files" and "info"
    QByteArray topDir;    // empty for the home trash, whose info paths are absolute
};

// The trash of the mount point topDir: an administrator's sticky $topdir/.Trash with a
// directory per user, else the user's own $topdir/.Trash-$uid.
bool topDirTrash(const QByteArray &topDir, TrashLocation *location)
{
    const QByteArray uid = QByteArray::number(static_cast<qulonglong>(::getuid()));
    const QByteArray shared = joinPath(topDir, ".Trash");
    struct stat st;
    if (::lstat(shared.constData(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        const QByteArray own = joinPath(shared, uid);
        if (ensurePrivateDirectory(own)) {
            *location = {own, topDir};
            return true;
        }
    }
    const QByteArray own = joinPath(topDir, ".Trash-" + uid);
    if (ensurePrivateDirectory(own)) {
        *location = {own, topDir};
        return true;
    }
    return false;
}

bool findTrash(const QByteArray &realParent, TrashLocation *location, QByteArray *error)
{
    const QByteArray home = QFile::encodeName(homeTrashDirectory());
    const QByteArray homeAnchor = realExistingAncestor(home);
    const std::vector<drives::MountEntry> mounts = mountTable();
    const drives::MountEntry itemMount = drives::mountOfPath(mounts, realParent);
    const drives::MountEntry homeMount = drives::mountOfPath(mounts, homeAnchor);

    bool onHomeMount;
    if (itemMount.mountId >= 0 && homeMount.mountId >= 0)
        onHomeMount = itemMount.mountId == homeMount.mountId;
    else
        onHomeMount = sameDevice(realParent, homeAnchor);

    if (onHomeMount) {
        const int slash = home.lastIndexOf('/');
        if (slash > 0)
            QDir().mkpath(QFile::decodeName(home.left(slash)));
        if (!ensurePrivateDirectory(home)) {
            *error = "cannot make the home trash";
            return false;
        }
        *location = {home, QByteArray()};
        return true;
    }
    // Moving into the home trash from another mount would be a copy; the freedesktop rules
    // allow refusing instead, which keeps a failed trash from half-copying a large tree.
    if (itemMount.mountId < 0 || !topDirTrash(itemMount.mountPoint, location)) {
        *error = "no usable trash on the item's mount";
        return false;
    }
    return true;
}

// Opens a trash directory made by ensurePrivateDirectory without following a link that
// may have replaced it since.
int openPrivateDirectory(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_uid != ::getuid())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

} // namespace

QString homeTrashDirectory()
{
    QString dataHome = QFile::decodeName(qgetenv("XDG_DATA_HOME"));
    if (dataHome.isEmpty() || !QDir::isAbsolutePath(dataHome))
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(dataHome + QStringLiteral("/Trash"));
}

bool moveToTrash(const QString &path, QString *trashedAs)
{
    if (path.isEmpty() || path.contains(QChar(0)) || !QDir::isAbsolutePath(path)) {
        logPrintf(LogVfs1, "failed to trash %s: not an absolute path", qUtf8Printable(path));
        return false;
    }
    const QString clean = QDir::cleanPath(path);
    if (clean == QLatin1String("/")) {
        logPrintf(LogVfs1, "failed to trash %s: refusing to trash the root", qUtf8Printable(path));
        return false;
    }
    const QByteArray item = QFile::encodeName(clean);
    const int slash = item.lastIndexOf('/');
    const QByteArray parent = slash == 0 ? QByteArrayLiteral("/") : item.left(slash);
    const int parentFd = ::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) {
        logPrintf(LogVfs1, "failed to trash %s: %s", qUtf8Printable(path), std::strerror(errno));
        return false;
    }
    const bool ok = moveToTrashAt(parentFd, item.mid(slash + 1), trashedAs);
    ::close(parentFd);
    return ok;
}

namespace {

// moveToTrashAt; with `held` only that version is trashed.
VersionTrashed trashAt(int parentFd, const QByteArray &name, const versionguard::HeldVersion *held, QString *trashedAs)
{
    QByteArray error;
    QString parentPath;
    vfsaccess::descriptorPath(parentFd, &parentPath);
    auto fail = [&](const QByteArray &why) {
        logPrintf(LogVfs1, "failed to trash %s/%s: %s", qUtf8Printable(parentPath), name.constData(), why.constData());
        return VersionTrashed::Failed;
    };
    if (name.isEmpty() || name == "." || name == ".." || name.contains('/'))
        return fail("not a name");
    struct stat st;
    if (::fstatat(parentFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(std::strerror(errno));
    // Where the trash is comes from the folder actually open, never from a path that may
    // lead elsewhere by now.
    const QByteArray realParent = QFile::encodeName(parentPath);
    if (realParent.isEmpty())
        return fail("cannot resolve the parent directory");
    const QByteArray realItem = joinPath(realParent, name);

    TrashLocation trash;
    if (!findTrash(realParent, &trash, &error))
        return fail(error);
    const QByteArray filesDir = joinPath(trash.directory, "files");
    const QByteArray infoDir = joinPath(trash.directory, "info");
    if (!ensurePrivateDirectory(trash.directory) || !ensurePrivateDirectory(filesDir)
        || !ensurePrivateDirectory(infoDir))
        return fail("cannot make the trash directories");
    const int filesFd = openPrivateDirectory(filesDir);
    const int infoFd = openPrivateDirectory(infoDir);
    auto closeBoth = [&] {
        if (filesFd >= 0)
            ::close(filesFd);
        if (infoFd >= 0)
            ::close(infoFd);
    };
    struct stat filesSt;
    if (filesFd < 0 || infoFd < 0 || ::fstat(filesFd, &filesSt) != 0 || filesSt.st_dev != st.st_dev) {
        closeBoth();
        return fail("no usable trash on the item's file system");
    }

    // Home trash entries record the absolute path, mount trashes the path below the mount.
    QByteArray original = realItem;
    if (!trash.topDir.isEmpty() && trash.topDir != "/")
        original = realItem.mid(trash.topDir.size() + 1);
    else if (!trash.topDir.isEmpty())
        original = realItem.mid(1);
    const QByteArray info = "[Trash Info]\nPath=" + original.toPercentEncoding("/")
                            + "\nDeletionDate="
                            + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")).toLatin1()
                            + "\n";

    // The info file is made first and exclusively: it reserves the name against other
    // programs trashing at the same moment.
    for (int attempt = 1; attempt < 10000; ++attempt) {
        // The entry in info/ appends ".trashinfo" to the name and must still fit the file
        // system's name limit; the full original name is kept in the info's Path.
        const QByteArray candidate = setaside::numberedName(name, attempt, NAME_MAX - int(sizeof(".trashinfo") - 1));
        const QByteArray infoName = candidate + ".trashinfo";
        const int fd = ::openat(infoFd, infoName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            closeBoth();
            return fail("cannot write the trash info");
        }
        struct stat existing;
        if (::fstatat(filesFd, candidate.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
            ::close(fd);
            ::unlinkat(infoFd, infoName.constData(), 0);
            continue;
        }
        const bool written = writeAll(fd, info);
        const bool closed = ::close(fd) == 0;
        if (!written || !closed) {
            ::unlinkat(infoFd, infoName.constData(), 0);
            closeBoth();
            return fail("cannot write the trash info");
        }
        const int moved = setaside::renameNoReplace(parentFd, name, filesFd, candidate);
        if (moved <= 0) {
            const int err = errno;
            ::unlinkat(infoFd, infoName.constData(), 0);
            if (moved == 0)
                continue;
            closeBoth();
            return fail(std::strerror(err));
        }
        if (held && !held->isIntact(filesFd, candidate)) {
            // A newer version took the name after the check, or was written into the file: it
            // goes back, and the trash keeps nothing of it. Should it find its name taken again
            // and no other free, it stays in the trash with its info, where it can be restored.
            if (!setaside::putBack(filesFd, candidate, parentFd, name).isEmpty())
                ::unlinkat(infoFd, infoName.constData(), 0);
            closeBoth();
            return VersionTrashed::Changed;
        }
        closeBoth();
        if (trashedAs)
            *trashedAs = QFile::decodeName(joinPath(filesDir, candidate));
        return VersionTrashed::Trashed;
    }
    closeBoth();
    return fail("no free name in the trash");
}

} // namespace

bool moveToTrashAt(int parentFd, const QByteArray &name, QString *trashedAs)
{
    return trashAt(parentFd, name, nullptr, trashedAs) == VersionTrashed::Trashed;
}

VersionTrashed moveVersionToTrashAt(int parentFd, const QByteArray &name, const versionguard::HeldVersion &held)
{
    return trashAt(parentFd, name, &held, nullptr);
}

} // namespace trash

void deleteToRecycleBin(bool isLocal, quint8 *status, const QString &path)
{
    Q_UNUSED(isLocal)
    const bool ok = trash::moveToTrash(path);
    if (status)
        *status = ok ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR;
}
