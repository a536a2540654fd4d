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
// Until such a listing, size and time are all that tells. A file that has its real name but
// not yet its times (a failure came between the two) has only its size to tell: it is the
// job's only once it is found to hold the copy.
//
// Owned by its copy job and used on the job's thread only.

#include <QHash>
#include <QString>

#include <map>

struct VfsCopyDestinationEntry;

class VfsOwnDestinations
{
public:
    enum Ownership {
        NotOwn,          // not the job's: asked about as any existing file
        Own,             // as the job left it: replaced without a question
        OwnIfTheCopy,    // the job's only if it holds the copy, which is to be read first
    };

    // The job left the file `name` in `folder` complete with its times: `size` bytes,
    // modification time `mtime` (0 or less: it set none, the destination's clock stamped it).
    void left(const QString &folder, const QString &name, quint64 size, qint64 mtime);
    // The job gave the file of `size` bytes its real name; its times are still to be set.
    void named(const QString &folder, const QString &name, quint64 size);
    // A listing of `folder` (its entries by name) after the job left files there: the first
    // that shows one tells what it is; one that is not as left any more is no longer the job's.
    void observe(const QString &folder, const std::map<QString, VfsCopyDestinationEntry> &entries);
    // Whether the file `name` of `folder`, listed now as `listed`, is the job's to replace: it
    // left it there, and it is still so. One that is not is the job's no longer.
    Ownership ownership(const QString &folder, const QString &name, const VfsCopyDestinationEntry &listed);

private:
    struct Left
    {
        quint64 size = 0;
        qint64 mtime = 0;
        bool timesToCome = false;
        // The file, once a listing has shown it (0 from a server that does not tell).
        bool seen = false;
        quint64 fileId = 0;
        quint64 inode = 0;
        qint64 changeNs = 0;
    };
    // Whether `listed` is the file `left` says; the first time, it is taken as that file.
    static bool stillAsLeft(Left &left, const VfsCopyDestinationEntry &listed);

    QHash<QString, QHash<QString, Left>> m_byFolder;
};
