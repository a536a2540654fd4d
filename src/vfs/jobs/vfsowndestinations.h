#pragma once

// The files a copy job left at the destination under their real names, and how it left each,
// so that a retry replaces one without asking only while it is still that file. On a link that
// keeps dropping, a long job retries many times; meanwhile the user may open a file that has
// arrived and save it. Taken as the job's own, the newer version would be written over. A file
// that is not as the job left it gets the question any existing file gets.
//
// What the job left: a regular file of the source's size and modification time (as the
// destination keeps it: one with a coarser clock, FAT's two seconds, lists it cut down, never
// later), and, from the first listing that shows it after the job left it, that file: its
// identity and its change stamp, which a save changes even when it puts size and time back.
// That first listing comes after a cut, when a save may have come already: it cannot tell a
// save that kept size and time from the job's copy. So while the source is still the version
// the job copied, the file is the job's only once it is found to hold that copy (read first);
// only a file whose source changed since, which holds an older copy by right, is replaced on
// the job's record alone. A file that has its real name but not yet its times (a failure came
// between the two) is read first as well.
//
// Owned by its copy job and used on the job's thread only.

#include "vfs/jobs/vfscopydto.h"

#include <QHash>
#include <QString>

#include <map>

struct VfsCopyDestinationEntry;

class VfsOwnDestinations
{
public:
    enum Ownership {
        NotOwn,          // not the job's: asked about as any existing file
        Own,             // as the job left it, its source changed since: replaced without a question
        OwnIfTheCopy,    // the job's only if it holds the copy, which is to be read first
    };

    // The job left the file `name` in `folder` complete with the times of `source` (the version
    // it copied; a modification time of 0 or less: it set none, the destination's clock
    // stamped it).
    void left(const QString &folder, const QString &name, const VfsCopyItem &source);
    // The job gave the copy of `source` its real name; its times are still to be set.
    void named(const QString &folder, const QString &name, const VfsCopyItem &source);
    // A listing of `folder` (its entries by name) after the job left files there: the first
    // that shows one tells what it is; one that is not as left any more is no longer the job's.
    void observe(const QString &folder, const std::map<QString, VfsCopyDestinationEntry> &entries);
    // Whether the file `name` of `folder`, listed now as `listed`, is the job's to replace: it
    // left it there, and it is still so; `source` is its source as listed now. One that is not
    // is the job's no longer.
    Ownership ownership(const QString &folder, const QString &name, const VfsCopyDestinationEntry &listed,
                        const VfsCopyItem &source);

private:
    struct Left
    {
        quint64 size = 0;
        qint64 mtime = 0;
        bool timesToCome = false;
        // The source's version that was copied (its change stamp 0 from a server that does not tell).
        qint64 sourceMtime = 0;
        qint64 sourceChangeNs = 0;
        quint64 sourceInode = 0;
        // The file, once a listing has shown it (0 from a server that does not tell).
        bool seen = false;
        quint64 fileId = 0;
        quint64 inode = 0;
        qint64 changeNs = 0;
    };
    static Left leftBy(const VfsCopyItem &source, bool timesToCome);
    // Whether `listed` is the file `left` says; the first time, it is taken as that file.
    static bool stillAsLeft(Left &left, const VfsCopyDestinationEntry &listed);
    // Whether `source` is still the version the job copied.
    static bool sameSource(const Left &left, const VfsCopyItem &source);

    QHash<QString, QHash<QString, Left>> m_byFolder;
};
