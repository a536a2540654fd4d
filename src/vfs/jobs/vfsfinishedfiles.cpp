#include "vfs/jobs/vfsfinishedfiles.h"

#include "vfs/jobs/vfscopyjob.h"

void VfsFinishedFiles::add(const QString &dstPath, const VfsCopyItem &source)
{
    Left left;
    left.size = source.size;
    left.mtime = source.mtime;
    left.sourceChangeNs = source.changeNs;
    left.sourceInode = source.inode;
    m_left.insert(dstPath, left);
}

bool VfsFinishedFiles::stillAsLeft(const QString &dstPath, const VfsCopyItem &source,
                                   const VfsCopyDestinationEntry &listed)
{
    const auto it = m_left.find(dstPath);
    if (it == m_left.end())
        return false;
    Left &left = it.value();
    // A server that predates change stamps lists none: size and time are all there is.
    const bool sameSource = source.size == left.size && source.mtime == left.mtime
                            && (left.sourceChangeNs == 0 || source.changeNs == 0
                                || (source.changeNs == left.sourceChangeNs && source.inode == left.sourceInode));
    // Without times the copy got the time of its writing: nothing to compare it with.
    const bool asWritten = listed.type == VfsCopyItem::FileType && listed.size == left.size
                           && (left.mtime <= 0 || listed.mtime == left.mtime);
    const bool sameFile = !left.seen
                          || (listed.fileId == left.fileId && listed.inode == left.inode
                              && listed.changeNs == left.changeNs);
    if (!sameSource || !asWritten || !sameFile) {
        // Looked at again, and recorded anew should the job finish it again.
        m_left.erase(it);
        return false;
    }
    left.seen = true;
    left.fileId = listed.fileId;
    left.inode = listed.inode;
    left.changeNs = listed.changeNs;
    return true;
}
