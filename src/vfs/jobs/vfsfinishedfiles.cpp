#include "vfs/jobs/vfsfinishedfiles.h"

#include "vfs/jobs/vfscopyjob.h"

void VfsFinishedFiles::add(const QString &dstPath, const VfsCopyItem &source)
{
    Left left;
    left.source = source.path;
    left.flush = m_nextFlush;
    left.size = source.size;
    left.mtime = source.mtime;
    left.sourceChangeNs = source.changeNs;
    left.sourceInode = source.inode;
    m_left.insert(dstPath, left);
    m_waiting.emplace_back(dstPath, m_nextFlush);
}

void VfsFinishedFiles::flushAnswered(quint64 flush)
{
    if (flush < m_firstValidFlush)
        return;
    while (!m_waiting.empty() && m_waiting.front().second <= flush) {
        const auto it = m_left.find(m_waiting.front().first);
        if (it != m_left.end() && it->state == Unconfirmed && it->flush == m_waiting.front().second)
            it->state = Confirmed;
        m_waiting.pop_front();
    }
}

void VfsFinishedFiles::cut()
{
    ++m_cuts;
    for (const auto &waiting : m_waiting) {
        const auto it = m_left.find(waiting.first);
        if (it != m_left.end() && it->state == Unconfirmed && it->flush == waiting.second) {
            it->state = ToCheck;
            it->cut = m_cuts;
        }
    }
    m_waiting.clear();
    m_firstValidFlush = m_nextFlush;
}

int VfsFinishedFiles::unconfirmedCount() const
{
    int n = 0;
    for (const Left &left : m_left)
        n += left.state == Unconfirmed || left.state == ToCheck ? 1 : 0;
    return n;
}

bool VfsFinishedFiles::toCheck(const QString &dstPath) const
{
    const auto it = m_left.constFind(dstPath);
    return it != m_left.constEnd() && it->state == ToCheck;
}

bool VfsFinishedFiles::timeAsSet(qint64 listed, qint64 set)
{
    return listed == set || qAbs(listed - set) < kCoarsestTimeMs;
}

bool VfsFinishedFiles::destinationAsLeft(Left &left, const VfsCopyDestinationEntry &listed)
{
    // Without times the copy got the time of its writing: nothing to compare it with.
    const bool timeKept =
        left.mtime <= 0 || (left.seen ? listed.mtime == left.keptMtime : timeAsSet(listed.mtime, left.mtime));
    const bool sameFile = !left.seen
                          || (listed.fileId == left.fileId && listed.inode == left.inode
                              && listed.changeNs == left.changeNs);
    if (listed.type != VfsCopyItem::FileType || listed.size != left.size || !timeKept || !sameFile)
        return false;
    left.seen = true;
    left.keptMtime = listed.mtime;
    left.fileId = listed.fileId;
    left.inode = listed.inode;
    left.changeNs = listed.changeNs;
    return true;
}

bool VfsFinishedFiles::stillAsLeft(const QString &dstPath, const VfsCopyItem &source,
                                   const VfsCopyDestinationEntry &listed)
{
    const auto it = m_left.find(dstPath);
    if (it == m_left.end() || it->state != Confirmed)
        return false;
    Left &left = it.value();
    // A server that predates change stamps lists none: size and time are all there is.
    const bool sameSource = source.size == left.size && source.mtime == left.mtime
                            && (left.sourceChangeNs == 0 || source.changeNs == 0
                                || (source.changeNs == left.sourceChangeNs && source.inode == left.sourceInode));
    if (!sameSource || !destinationAsLeft(left, listed)) {
        left.state = Dropped;
        return false;
    }
    return true;
}

bool VfsFinishedFiles::passComplete(QStringList *unfinished)
{
    for (const Left &left : qAsConst(m_left)) {
        if (left.state == ToCheck && left.cut > m_passCuts)
            return false;
    }
    for (auto it = m_left.begin(); it != m_left.end();) {
        if (it->state == ToCheck || it->state == Dropped) {
            unfinished->append(it->source);
            it = m_left.erase(it);
        } else {
            ++it;
        }
    }
    return true;
}

QStringList VfsFinishedFiles::beginFolderCheck(QChar separator)
{
    m_byFolder.clear();
    QStringList folders;
    for (auto it = m_left.constBegin(); it != m_left.constEnd(); ++it) {
        const int cut = it.key().lastIndexOf(separator);
        QStringList &files = m_byFolder[it.key().left(cut)];
        if (files.isEmpty())
            folders.append(it.key().left(cut));
        files.append(it.key());
    }
    return folders;
}

bool VfsFinishedFiles::folderAsLeft(const QString &folder, const std::map<QString, VfsCopyDestinationEntry> &listed)
{
    const QStringList files = m_byFolder.take(folder);
    for (const QString &dstPath : files) {
        const auto it = m_left.find(dstPath);
        const auto entry = listed.find(dstPath.mid(folder.size() + 1));
        if (it == m_left.end() || entry == listed.end() || !destinationAsLeft(it.value(), entry->second))
            return false;
    }
    return true;
}
