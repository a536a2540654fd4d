#include "app/startup/processlock.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSysInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

ProcessLock::ProcessLock(const QString &path) : m_path(path)
{
}

ProcessLock::~ProcessLock()
{
    if (m_fd < 0)
        return;
    // Removed before the lock goes, so no later start can take a file that is about to vanish;
    // one that opened it already sees, once it has the lock, that the path names another file.
    ::unlink(QFile::encodeName(m_path).constData());
    ::close(m_fd);
}

ProcessLock::Result ProcessLock::tryLock()
{
    if (m_fd >= 0)
        return Locked;
    const QByteArray path = QFile::encodeName(m_path);
    for (;;) {
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return Failed;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            return error == EWOULDBLOCK ? HeldElsewhere : Failed;
        }
        // The holder before may have removed the file between this open and this lock: a lock
        // on a file no longer under the name keeps nobody out, so the name is opened again.
        struct stat held, named;
        if (::fstat(fd, &held) != 0 || ::lstat(path.constData(), &named) != 0 || held.st_dev != named.st_dev
            || held.st_ino != named.st_ino) {
            ::close(fd);
            continue;
        }
        // Same lines as the lock files of earlier versions, which they read.
        const QByteArray info = QByteArray::number(QCoreApplication::applicationPid()) + '\n'
                                + QFile::encodeName(QFileInfo(QCoreApplication::applicationFilePath()).fileName())
                                + '\n' + QSysInfo::machineHostName().toUtf8() + '\n';
        if (::fchmod(fd, 0600) != 0 || ::ftruncate(fd, 0) != 0
            || ::pwrite(fd, info.constData(), size_t(info.size()), 0) != info.size()) {
            ::close(fd);
            return Failed;
        }
        m_fd = fd;
        return Locked;
    }
}

bool ProcessLock::holder(qint64 *pid, QString *host) const
{
    *pid = 0;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.read(4096).split('\n');
    bool ok = false;
    const qint64 named = lines.value(0).toLongLong(&ok);
    if (!ok || named <= 0)
        return false;
    *pid = named;
    *host = QString::fromUtf8(lines.value(2));
    return true;
}
