#include "vfs/jobs/vfsfinishedfiles.h"

#include "vfs/jobs/vfscopyjob.h"

#include <algorithm>

void VfsFinishedFiles::add(const QString &dstPath, const VfsCopyItem &source, bool compared)
{
    Left left;
    left.source = source.path;
    left.state = compared ? Compared : Unconfirmed;
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
        if (it != m_left.end() && (it->state == Unconfirmed || it->state == Compared)
            && it->flush == m_waiting.front().second)
            it->state = Confirmed;
        m_waiting.pop_front();
    }
}

void VfsFinishedFiles::cut()
{
    cutWaiting(false);
}

void VfsFinishedFiles::lostDestination()
{
    cutWaiting(true);
}

void VfsFinishedFiles::cutWaiting(bool compared)
{
    ++m_cuts;
    std::deque<std::pair<QString, quint64>> waitOn;
    for (const auto &waiting : m_waiting) {
        const auto it = m_left.find(waiting.first);
        if (it == m_left.end() || it->flush != waiting.second)
            continue;
        if (it->state == Unconfirmed || (compared && it->state == Compared)) {
            it->state = ToCheck;
            it->cut = m_cuts;
        } else if (it->state == Compared) {
            // Confirmed by the first flush sent from now on.
            it->flush = m_nextFlush;
            waitOn.emplace_back(waiting.first, m_nextFlush);
        }
    }
    m_waiting.swap(waitOn);
    m_firstValidFlush = m_nextFlush;
}

bool VfsFinishedFiles::anyToCheck() const
{
    return std::any_of(m_left.cbegin(), m_left.cend(), [](const Left &left) { return left.state == ToCheck; });
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
    if (it == m_left.end() || (it->state != Confirmed && it->state != Compared))
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
