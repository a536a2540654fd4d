#pragma once

// A mount of nusk_closefailsfs (tests/vfs/server/closefailsfs.cpp) for one test: a temporary
// folder shown at another, where the close of a file written through it whose name
// holds "close-fails" fails, as NFS and FUSE report a write-back error. Unmounted when the
// object goes.

#include "testutil_timeouts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/stat.h>

namespace testutil {

class CloseFailsMount
{
public:
    // Whether this machine can mount a FUSE file system at all.
    static bool possible() { return QFile::exists(QStringLiteral("/dev/fuse")); }

    ~CloseFailsMount()
    {
        // Asked to end, the file system unmounts itself; killed, it leaves that to fusermount3.
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(timeoutMs(5000)))
                m_process.kill();
            m_process.waitForFinished(timeoutMs(5000));
        }
        if (!m_mountPoint.isEmpty() && mounted(m_mountPoint))
            ::umount2(QFile::encodeName(m_mountPoint).constData(), MNT_DETACH);
    }

    // The folder that holds the files, and where the file system shows it.
    QString backing() const { return m_backing.path(); }
    QString mountPoint() const { return m_mount.path(); }

    // Mounts it; false, with what went wrong in *error, when the mount did not come up.
    bool mount(QString *error)
    {
        if (!m_backing.isValid() || !m_mount.isValid()) {
            *error = QStringLiteral("no temporary folders");
            return false;
        }
        const QString mountPoint = m_mount.path();
        QString dir = qEnvironmentVariable("NUSK_BIN_DIR");
        if (dir.isEmpty())
            dir = QCoreApplication::applicationDirPath();
        m_process.setProgram(QDir(dir).filePath(QStringLiteral("nusk_closefailsfs")));
        m_process.setArguments({m_backing.path(), mountPoint});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        if (!m_process.waitForStarted(timeoutMs(5000))) {
            *error = m_process.errorString();
            return false;
        }
        const bool up = QTest::qWaitFor([&] { return mounted(mountPoint) || m_process.state() == QProcess::NotRunning; },
                                        timeoutMs(10000))
                        && mounted(mountPoint);
        if (!up) {
            *error = QStringLiteral("%1 did not mount (exit code %2)")
                         .arg(m_process.program())
                         .arg(m_process.exitCode());
            return false;
        }
        m_mountPoint = mountPoint;
        return true;
    }

private:
    static bool mounted(const QString &path)
    {
        struct stat here, parent;
        return ::stat(QFile::encodeName(path).constData(), &here) == 0
               && ::stat(QFile::encodeName(path + QStringLiteral("/..")).constData(), &parent) == 0
               && here.st_dev != parent.st_dev;
    }

    QTemporaryDir m_backing;
    QTemporaryDir m_mount;
    QProcess m_process;
    QString m_mountPoint;
};

} // namespace testutil
