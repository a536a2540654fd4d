#pragma once

// A copy or move request between two peers, and the result of a finished copy.

#include <QHash>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QStringList>

#include <vector>

struct VfsCopyItem
{
    // Same numbers as the file model's entry types.
    enum ItemType { NoType = 0, DriveType = 1, DirectoryType = 2, FileType = 3, SymlinkType = 4, ShareType = 5 };

    QString path;       // full path on the source peer
    QString renameFrom; // destination path prefix replaced by renameTo (copies into the own folder)
    QString renameTo;
    quint64 size = 0;
    qint64 atime = 0;   // ms since the epoch
    qint64 ctime = 0;
    qint64 mtime = 0;
    int type = NoType;
    // Identity of the item (the listing's file id and volume serial; 0 when unknown). Used
    // to refuse copying something onto itself under another name.
    quint64 fileId = 0;
    quint64 volume = 0;
    quint32 links = 0;  // hard link count, 0 when unknown
    // Permission bits (07777) the copy gets, less the destination's umask; -1 when the
    // source's server does not tell them.
    int permissions = -1;
    // What tells a version of the file from another one of the same size and modification
    // time: its change time (ns) and inode, as listed; 0 when the server does not tell them.
    qint64 changeNs = 0;
    quint64 inode = 0;

    bool operator==(const VfsCopyItem &o) const
    {
        return path == o.path && renameFrom == o.renameFrom && renameTo == o.renameTo && size == o.size
               && atime == o.atime && ctime == o.ctime && mtime == o.mtime && type == o.type;
    }
};

struct VfsCopyDto
{
    QString uuid;
    QString srcPeerUuid;
    QString dstPeerUuid;
    bool deleteSource = false;
    bool replaceCurrent = false;
    bool replaceAll = false;
    std::vector<VfsCopyItem> items;
    QString dstPath;
};

// What a finished copy job really copied, handed out by value so that nobody has to read a
// job that is about to delete itself. Only these paths may be deleted after a cut.
struct VfsCopyResult
{
    QStringList files;   // source files copied completely, verified and closed, in copy order
    QStringList folders; // source folders whose listing was copied through, parents first
    // The change stamp (change time ns, inode) of the version of each file that was copied,
    // where its server tells it: a cut deletes a file only while it still is that version.
    QHash<QString, QPair<qint64, quint64>> versions;
    // After a cut: sources copied but kept, because they changed since (keptChanged), or were
    // not deleted (keptUndeleted: refused, or the move was cancelled or stopped first); as a
    // person reads their paths, for the messages that name them.
    QStringList keptChanged;
    QStringList keptUndeleted;
    // Sources copied whose folder was not found where it was when they were checked at the
    // end (renamed, moved or deleted since), as a person reads their paths: never counted as
    // copied, and a cut deletes nothing of them.
    QStringList notFound;
};

// Destination path of a source path below a renamed item.
struct VfsDirectoryEntry;
// Takes size, times and identity of an item from its listing entry (`volume` is the
// listing's); the item's type is left to the caller, who knows how it treats shares.
void vfsTakeListingEntry(VfsCopyItem &item, const VfsDirectoryEntry &entry, quint64 volume);

QString vfsApplyRename(const QString &path, const QString &renameFrom, const QString &renameTo);
// Whether `path` is `folder` itself or lies below it (separator '/' or '\\').
bool vfsPathIsSameOrBelow(const QString &path, const QString &folder);

Q_DECLARE_METATYPE(VfsCopyItem)
Q_DECLARE_METATYPE(VfsCopyDto)
Q_DECLARE_METATYPE(VfsCopyResult)
