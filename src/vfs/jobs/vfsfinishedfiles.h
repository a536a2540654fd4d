#pragma once

// The files a copy job has finished, and how it left each one at the destination, so that a
// retry passes over a file that is still so without a single request. The job starts over
// after every failure; without this, each file of a large folder that had arrived already
// would be opened, compared and renamed again, a few round trips each, and on a link that
// drops every few seconds the job would never reach its end.
//
// What the job left is read from the destination's listings, never assumed: a regular file
// of the source's size and modification time, and, from the first listing that shows it after
// the job finished it, that file (its inode and change stamp: a file written again, renamed
// over or stamped anew gets another one). Until that listing, size and time are all that
// tells; another program that rewrote the file keeping both did so after the job left it, as
// it might after the job's end. Its source must still be the version that was copied (size,
// time, change stamp). A file that differs in any of these is looked at again.
//
// Owned by its copy job and used on the job's thread only.

#include "vfs/jobs/vfscopydto.h"

#include <QHash>
#include <QString>

struct VfsCopyDestinationEntry;

class VfsFinishedFiles
{
public:
    // The job finished `source` at `dstPath`: complete, verified, under its real name, with
    // the source's times where it has them.
    void add(const QString &dstPath, const VfsCopyItem &source);
    // Whether the file at `dstPath`, listed now as `listed`, is still as the job left it, and
    // `source`, listed now, still the version it copied. The first listing that shows the
    // file after it was finished tells what it is.
    bool stillAsLeft(const QString &dstPath, const VfsCopyItem &source, const VfsCopyDestinationEntry &listed);
    int count() const { return m_left.size(); }

private:
    struct Left
    {
        // The source's version that was copied.
        quint64 size = 0;
        qint64 mtime = 0;
        qint64 sourceChangeNs = 0;
        quint64 sourceInode = 0;
        // The destination file, once a listing has shown it (0 from a server that does not tell).
        bool seen = false;
        quint64 fileId = 0;
        quint64 inode = 0;
        qint64 changeNs = 0;
    };
    QHash<QString, Left> m_left;
};
