#pragma once

// A mount of the tests' own FUSE file system (tests/vfs/server/failfs.c) for one test: a
// temporary folder shown at another, where the close of a file written through it whose name
// holds "close-fails" fails, as NFS and FUSE report a write-back error. Unmounted when the
// object goes.

#include "testutil_fuse.h"
#include "testutil_timeouts.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

namespace testutil {

class CloseFailsMount
{
public:
    // Whether this machine can mount a FUSE file system at all.
    static bool possible() { return FuseMount::available(); }

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
        QString dir = qEnvironmentVariable("NUSK_BIN_DIR");
        if (dir.isEmpty())
            dir = QCoreApplication::applicationDirPath();
        const QString program = QDir(dir).filePath(QStringLiteral("nusk_failfs"));
        if (!m_fuse.mount(program, {m_backing.path(), QStringLiteral("close:close-fails"), m_mount.path(), QStringLiteral("-f")},
                          m_mount.path(), timeoutMs(10000))) {
            *error = program + QStringLiteral(" did not mount");
            return false;
        }
        return true;
    }

private:
    QTemporaryDir m_backing;
    QTemporaryDir m_mount;
    FuseMount m_fuse; // unmounted before the folders go
};

} // namespace testutil
