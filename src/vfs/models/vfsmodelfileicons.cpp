// The file model's own icons of this computer's files: new folders and files whose icon is
// their own (programs, .desktop files) or whose suffix has no icon yet are queued, and one
// file at a time is read on the pool. A suffix's icon, once found, serves every later file
// of that suffix without a read. Files of other computers keep the shared icons.

#include "vfs/models/vfsmodel.h"

#include "app/base/log.h"

#include <QtConcurrent>

namespace {

QString suffixKey(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 && dot < name.size() - 1 ? name.mid(dot + 1).toLower() : QString();
}

} // namespace

void VfsModel::queueIcon(VfsEntry *entry)
{
    if (!m_peer || !m_peer->isLocal() || entry->iconQueued)
        return;
    entry->iconQueued = true;
    entry->iconSlot = m_iconQueue.insert(m_iconQueue.end(), entry);
    if (!m_iconLoading && !m_iconTimer->isActive())
        m_iconTimer->start(0);
}

void VfsModel::dropQueuedIcon(VfsEntry *entry)
{
    if (entry == m_iconEntry)
        m_iconEntry = nullptr;
    if (entry->iconQueued) {
        m_iconQueue.erase(entry->iconSlot);
        entry->iconQueued = false;
    }
}

void VfsModel::processIconQueue()
{
    while (!m_iconQueue.empty() && !m_iconLoading && !m_iconWatcher->isRunning()) {
        VfsEntry *entry = m_iconQueue.front();
        const bool directory = entry->type == DirectoryType;
        const QString suffix = suffixKey(entry->name);
        const QMap<QString, QIcon> &icons = iconCache();
        const bool ownIcon = hasOwnIcon(entry->name, directory);
        if (!ownIcon && m_iconlessSuffixes.contains(suffix)) {
            // Another file of the suffix was read meanwhile and had none.
            dropQueuedIcon(entry);
            continue;
        }
        if (!ownIcon && icons.contains(suffix)) {
            // Another file of the suffix was read meanwhile.
            dropQueuedIcon(entry);
            entry->icon = icons.value(suffix);
            const int row = rowOf(entry);
            logPrintf(LogVfs1, "icon data changed:%d %s", row, qUtf8Printable(entry->name));
            Q_EMIT dataChanged(indexOf(entry, 0), indexOf(entry, InfoColumn), {Qt::DecorationRole});
            continue;
        }
        m_iconLoading = true;
        m_iconEntry = entry;
        m_iconWatcher->setFuture(QtConcurrent::run(loadFileIcon, fullPath(entry)));
    }
}

void VfsModel::onIconFutureFinished()
{
    m_iconLoading = false;
    VfsEntry *entry = m_iconEntry;
    m_iconEntry = nullptr;
    const VfsFileIconSource source = m_iconWatcher->future().resultCount() > 0 ? m_iconWatcher->result()
                                                                              : VfsFileIconSource();
    // A recycled entry left the queue and is no longer the one that was loading.
    if (entry) {
        dropQueuedIcon(entry);
        const QIcon icon = fileIconFrom(source);
        // Nothing found keeps the shared folder or file icon the entry has.
        if (icon.isNull() && !source.ownIcon && !hasOwnIcon(entry->name, entry->type == DirectoryType))
            m_iconlessSuffixes.insert(suffixKey(entry->name));
        if (!icon.isNull()) {
            const QString suffix = suffixKey(entry->name);
            if (!source.ownIcon && !hasOwnIcon(entry->name, entry->type == DirectoryType)
                && !iconCache().contains(suffix))
                iconCache().insert(suffix, icon);
            entry->icon = icon;
            logPrintf(LogVfs1, "icon data changed:%d %s", rowOf(entry), qUtf8Printable(entry->name));
            Q_EMIT dataChanged(indexOf(entry, 0), indexOf(entry, InfoColumn), {Qt::DecorationRole});
        }
    }
    m_iconTimer->stop();
    processIconQueue();
}
