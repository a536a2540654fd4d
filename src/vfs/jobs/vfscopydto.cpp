#include "vfs/jobs/vfscopydto.h"

#include "vfs/fso/vfsfenucommand.h"

QString vfsApplyRename(const QString &path, const QString &renameFrom, const QString &renameTo)
{
    if (renameFrom.isEmpty() || !path.startsWith(renameFrom))
        return path;
    return renameTo + path.mid(renameFrom.size());
}

bool vfsPathIsSameOrBelow(const QString &path, const QString &folder)
{
    auto trimmed = [](QString p) {
        while (p.size() > 1 && (p.endsWith(QLatin1Char('/')) || p.endsWith(QLatin1Char('\\'))))
            p.chop(1);
        return p;
    };
    const QString p = trimmed(path);
    const QString f = trimmed(folder);
    if (f.isEmpty())
        return false;
    if (p == f)
        return true;
    if (!p.startsWith(f))
        return false;
    if (f.endsWith(QLatin1Char('/')) || f.endsWith(QLatin1Char('\\')))
        return true; // a root
    const QChar next = p.at(f.size());
    return next == QLatin1Char('/') || next == QLatin1Char('\\');
}

void vfsTakeListingEntry(VfsCopyItem &item, const VfsDirectoryEntry &entry, quint64 volume)
{
    item.size = entry.size;
    item.atime = entry.accessTime;
    item.ctime = entry.birthTime;
    item.mtime = entry.modifyTime;
    item.fileId = entry.fileIndex;
    item.volume = volume;
    item.links = entry.linkCount;
    item.permissions = entry.permissions;
    item.changeNs = entry.changeTimeNs;
    item.inode = entry.inode;
}
