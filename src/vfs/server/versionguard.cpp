#include "vfs/server/versionguard.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"

#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace versionguard {

namespace {

QByteArray cutName(const QByteArray &name, int limit)
{
    if (name.size() <= limit)
        return name;
    int end = limit;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    return name.left(end);
}

} // namespace

int holdVersion(int dirFd, const QByteArray &name, const Version &version, std::uint8_t *status)
{
    const int fd = ::openat(dirFd, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *status = errno == ENOENT ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        *status = FSO_STATUS_IO_ERROR;
        return -1;
    }
    // A file rewritten since the caller looked (whatever its times say) has another change time.
    if (std::int64_t(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec != version.changeNs
        || st.st_ino != version.inode) {
        ::close(fd);
        *status = FSO_STATUS_CHANGED;
        return -1;
    }
    return fd;
}

bool isHeld(int heldFd, int dirFd, const QByteArray &name)
{
    struct stat held, named;
    return ::fstat(heldFd, &held) == 0 && ::fstatat(dirFd, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
           && held.st_ino == named.st_ino && held.st_dev == named.st_dev;
}

int renameNoReplace(int fromDir, const QByteArray &from, int toDir, const QByteArray &to)
{
    if (::renameat2(fromDir, from.constData(), toDir, to.constData(), RENAME_NOREPLACE) == 0)
        return 1;
    if (errno == EEXIST)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // File systems without the flag: check, then rename.
    struct stat existing;
    if (::fstatat(toDir, to.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    return ::renameat(fromDir, from.constData(), toDir, to.constData()) == 0 ? 1 : -1;
}

QByteArray numberedName(const QByteArray &name, int attempt, int limit)
{
    if (attempt == 1)
        return cutName(name, limit);
    const QByteArray number = '.' + QByteArray::number(attempt);
    const int dot = name.lastIndexOf('.');
    QByteArray stem = dot <= 0 ? name : name.left(dot);
    QByteArray extension = dot <= 0 ? QByteArray() : name.mid(dot);
    if (extension.size() > limit / 2)
        extension.clear();
    stem = cutName(stem, limit - number.size() - extension.size());
    return stem + number + extension; // "report.2.txt"
}

QByteArray putBack(int fromDir, const QByteArray &from, int toDir, const QByteArray &name)
{
    // Its own name first; a numbered one beside it only when a newer file took that name.
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const QByteArray candidate = attempt == 1 ? name : numberedName(name, attempt, NAME_MAX);
        const int moved = renameNoReplace(fromDir, from, toDir, candidate);
        if (moved > 0) {
            if (attempt > 1)
                logPrintf(LogVsrv, "%s was taken meanwhile: the version set aside is kept as %s", name.constData(),
                          candidate.constData());
            return candidate;
        }
        if (moved < 0)
            break;
    }
    logPrintf(LogVsrv, "%s could not be put back: it stays as %s (%s)", name.constData(), from.constData(),
              std::strerror(errno));
    return QByteArray();
}

std::uint8_t unlinkVersion(int dirFd, const QByteArray &name, const Version &version)
{
    std::uint8_t status = FSO_STATUS_SUCCESS;
    const int held = holdVersion(dirFd, name, version, &status);
    if (held < 0)
        return status;
    // A hidden name of the same folder: the move stays on the file system and in the share.
    QByteArray aside;
    for (int attempt = 0; attempt < 100 && aside.isEmpty(); ++attempt) {
        const QByteArray candidate =
            ".nusk-deleting-" + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
        const int moved = renameNoReplace(dirFd, name, dirFd, candidate);
        if (moved < 0) {
            status = errno == ENOENT ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR;
            break;
        }
        if (moved > 0)
            aside = candidate;
    }
    if (!aside.isEmpty()) {
        if (!isHeld(held, dirFd, aside)) {
            // A newer version took the name between the check and the move.
            putBack(dirFd, aside, dirFd, name);
            status = FSO_STATUS_CHANGED;
        } else if (::unlinkat(dirFd, aside.constData(), 0) != 0) {
            putBack(dirFd, aside, dirFd, name);
            status = FSO_STATUS_IO_ERROR;
        }
    } else if (status == FSO_STATUS_SUCCESS) {
        status = FSO_STATUS_IO_ERROR;
    }
    ::close(held);
    return status;
}

} // namespace versionguard
