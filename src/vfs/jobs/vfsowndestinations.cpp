#include "vfs/jobs/vfsowndestinations.h"

#include "vfs/jobs/vfscopyjob.h"

namespace {

// The coarsest clock a destination keeps file times with (FAT: two seconds).
constexpr qint64 kCoarsestClockMs = 2000;

} // namespace

VfsOwnDestinations::Left VfsOwnDestinations::leftBy(const VfsCopyItem &source, bool timesToCome)
{
    Left left;
    left.size = source.size;
    left.mtime = timesToCome ? 0 : source.mtime;
    left.timesToCome = timesToCome;
    left.sourceMtime = source.mtime;
    left.sourceChangeNs = source.changeNs;
    left.sourceInode = source.inode;
    return left;
}

void VfsOwnDestinations::left(const QString &folder, const QString &name, const VfsCopyItem &source)
{
    m_byFolder[folder].insert(name, leftBy(source, false));
}

void VfsOwnDestinations::named(const QString &folder, const QString &name, const VfsCopyItem &source)
{
    m_byFolder[folder].insert(name, leftBy(source, true));
}

void VfsOwnDestinations::observe(const QString &folder, const std::map<QString, VfsCopyDestinationEntry> &entries)
{
    const auto files = m_byFolder.find(folder);
    if (files == m_byFolder.end())
        return;
    for (auto it = files->begin(); it != files->end();) {
        const auto listed = entries.find(it.key());
        // Gone is gone: a file under that name later is someone else's.
        if (listed == entries.end() || !stillAsLeft(it.value(), listed->second))
            it = files->erase(it);
        else
            ++it;
    }
}

VfsOwnDestinations::Ownership VfsOwnDestinations::ownership(const QString &folder, const QString &name,
                                                            const VfsCopyDestinationEntry &listed,
                                                            const VfsCopyItem &source)
{
    const auto files = m_byFolder.find(folder);
    if (files == m_byFolder.end())
        return NotOwn;
    const auto it = files->find(name);
    if (it == files->end())
        return NotOwn;
    if (stillAsLeft(it.value(), listed))
        return it->timesToCome || sameSource(it.value(), source) ? OwnIfTheCopy : Own;
    files->erase(it);
    return NotOwn;
}

bool VfsOwnDestinations::stillAsLeft(Left &left, const VfsCopyDestinationEntry &listed)
{
    // A save moves the time forward, unless it puts it back exactly.
    const bool timeAsLeft = left.mtime <= 0
                            || (listed.mtime <= left.mtime && left.mtime - listed.mtime < kCoarsestClockMs);
    if (listed.type != VfsCopyItem::FileType || listed.size != left.size || !timeAsLeft)
        return false;
    if (left.seen)
        return listed.fileId == left.fileId && listed.inode == left.inode && listed.changeNs == left.changeNs;
    left.seen = true;
    left.fileId = listed.fileId;
    left.inode = listed.inode;
    left.changeNs = listed.changeNs;
    return true;
}

bool VfsOwnDestinations::sameSource(const Left &left, const VfsCopyItem &source)
{
    // A server that predates change stamps lists none: size and time are all there is.
    return source.size == left.size && source.mtime == left.sourceMtime
           && (left.sourceChangeNs == 0 || source.changeNs == 0
               || (source.changeNs == left.sourceChangeNs && source.inode == left.sourceInode));
}
