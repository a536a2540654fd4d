#include "db/privatefiles.h"

#include "app/base/log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace privatefiles {

namespace {

constexpr mode_t kNotOwner = S_IRWXG | S_IRWXO;

// Changes one entry of the open directory; recurses into folders of the same file system.
bool repairEntry(int dirFd, const char *name, dev_t device, int depth)
{
    struct stat st;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (S_ISLNK(st.st_mode) || st.st_dev != device)
        return true;
    if (S_ISDIR(st.st_mode)) {
        bool ok = (st.st_mode & kNotOwner) == 0
                  || ::fchmodat(dirFd, name, (st.st_mode & 07700) | S_IRWXU, 0) == 0;
        // A tree deeper than this is not the program's own layout; it is left alone.
        if (depth > 16)
            return ok;
        const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return false;
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return false;
        }
        while (dirent *entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            ok = repairEntry(::dirfd(dir), entry->d_name, device, depth + 1) && ok;
        }
        ::closedir(dir);
        return ok;
    }
    if ((st.st_mode & kNotOwner) == 0)
        return true;
    return ::fchmodat(dirFd, name, (st.st_mode & 07700) | S_IRUSR | S_IWUSR, 0) == 0;
}

} // namespace

bool makeDirectory(const QString &directory)
{
    const QString clean = QDir::cleanPath(QDir(directory).absolutePath());
    if (QFileInfo(clean).isDir())
        return true;
    const QString parent = QFileInfo(clean).path();
    if (parent != clean && !makeDirectory(parent))
        return false;
    // mkdir applies the umask to 0700 and no umask widens it; a 0700 asked for is 0700 got
    // unless the umask takes the owner's bits, which chmod puts back.
    const QByteArray native = QFile::encodeName(clean);
    if (::mkdir(native.constData(), S_IRWXU) != 0)
        return errno == EEXIST && QFileInfo(clean).isDir();
    return ::chmod(native.constData(), S_IRWXU) == 0;
}

bool createFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ok = ::fstat(fd, &st) == 0
                    && ((st.st_mode & 0777) == (S_IRUSR | S_IWUSR) || !S_ISREG(st.st_mode)
                        || ::fchmod(fd, (st.st_mode & 07700) | S_IRUSR | S_IWUSR) == 0);
    ::close(fd);
    return ok;
}

bool repairDirectory(const QString &directory)
{
    if (directory.isEmpty())
        return false;
    const QString clean = QDir::cleanPath(QDir(directory).absolutePath());
    if (!makeDirectory(clean)) {
        logPrintf(LogErr1, "failed to create %s", qUtf8Printable(clean));
        return false;
    }
    // The configuration directory may itself be a link the user set up; what it points at
    // is the directory to protect. Below it nothing is followed.
    const QByteArray native = QFile::encodeName(QFileInfo(clean).canonicalFilePath());
    struct stat st;
    if (native.isEmpty() || ::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    const bool ok = repairEntry(AT_FDCWD, native.constData(), st.st_dev, 0);
    if (!ok)
        logPrintf(LogErr1, "failed to make %s private", qUtf8Printable(clean));
    return ok;
}

bool repairFile(const QString &path)
{
    struct stat st;
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISREG(st.st_mode) || (st.st_mode & kNotOwner) == 0)
        return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
    return ::chmod(native.constData(), (st.st_mode & 07700) | S_IRUSR | S_IWUSR) == 0;
}

} // namespace privatefiles
