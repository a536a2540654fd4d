// The end of a cut: the sources the copy finished are deleted, and what stays is named.

#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfscopyjobparts.h"
#include "vfs/jobs/vfsawaytext.h"

#include "app/base/log.h"
#include "vfs/jobs/vfsdeletejob.h"

#include <QMutexLocker>

using namespace vfscopy;

namespace {

QStringList pathsOf(const std::vector<VfsDeleteItem> &items)
{
    QStringList paths;
    paths.reserve(int(items.size()));
    for (const VfsDeleteItem &item : items)
        paths.append(item.path);
    return paths;
}

} // namespace

bool VfsCopyJob::hasSourcesToDelete() const
{
    return m_request.deleteSource && !m_request.items.empty()
           && (!m_result.files.isEmpty() || !m_result.folders.isEmpty());
}

void VfsCopyJob::stateDeleteSources(int action)
{
    if (action != JobActionStep && action != JobActionReply)
        return;
    if (!m_sourceDelete)
        startSourceDelete();
    if (m_abort && !m_sourceDeleteStopped) {
        // What is out still comes back, so that the list of what stays is true.
        m_sourceDeleteStopped = true;
        m_sourceDelete->abort();
        m_sourceDelete->process(JobActionStep);
    }
}

void VfsCopyJob::startSourceDelete()
{
    // Deleted from the back: the files first, then the folders, the deepest first; a file
    // only in the version that was copied.
    std::vector<VfsDeleteItem> items;
    items.reserve(std::size_t(m_result.folders.size() + m_result.files.size()));
    for (const QString &folder : qAsConst(m_result.folders))
        items.push_back({QString(), folder, 0, VfsCopyItem::DirectoryType});
    for (const QString &file : qAsConst(m_result.files)) {
        const QPair<qint64, quint64> version = m_result.versions.value(file);
        items.push_back({QString(), file, 0, VfsCopyItem::FileType, version.first, version.second});
    }
    logPrintf(LogVcpa, "delete %d copied sources", int(items.size()));
    auto *del = new VfsDeleteJob(this);
    del->setPeer(m_srcPeer);
    del->setDeleteFlags(FSO_DELETE_PERMANENT);
    del->setOnlyEmptyFolders(true);
    del->setItems(items);
    del->setRetryDelay(m_timings.retryDelayMs);
    del->setLookAgainAfter(m_timings.lookAgainMs);
    connect(del, &VfsJob::jobUpdated, this, [this, del] {
        m_sourcesDeleted = del->endedFileCount();
        m_changeFlags |= 8;
        emitChanges();
    });
    connect(del, &VfsJob::stateChanged, this, &VfsCopyJob::onSourceDeleteStateChanged);
    connect(del, &VfsJob::jobFinished, this, &VfsCopyJob::onSourceDeleteEnded);
    connect(del, &VfsJob::jobAborted, this, &VfsCopyJob::onSourceDeleteEnded);
    m_sourceDelete = del;
    // The window counts the files, as the copy before did: a person who moved a folder of
    // 20,000 files reads 20,000, not one more for the folder.
    m_sourcesToDelete = m_result.files.size();
    m_sourcesDeleted = 0;
    setCurrentFile(QString());
    Q_EMIT sourcesDeletedChanged();
    del->start();
}

void VfsCopyJob::onSourceDeleteStateChanged()
{
    if (!m_sourceDelete)
        return;
    const bool waits = m_sourceDelete->state() == VfsJobStatePaused;
    if (waits != m_sourceDeleteWaits.exchange(waits)) {
        if (waits && (!m_srcPeer || m_srcPeer->linkState() != IPeer::LinkUp)) {
            setPrompt(vfsAwayText(m_srcPeer));
        } else if (!waits) {
            setPrompt(leftOutPrompt());
        }
        Q_EMIT stateChanged();
    }
}

void VfsCopyJob::onSourceDeleteEnded()
{
    VfsDeleteJob *del = m_sourceDelete.data();
    if (!del || m_copyState != CopyStateDeleteSources)
        return;
    m_sourceDelete = nullptr;
    m_sourceDeleteWaits = false;
    m_sourcesDeleted = del->endedFileCount();
    m_result.keptChanged = shownSources(del->keptChanged());
    m_result.keptUndeleted = shownSources(del->keptRefused());
    keepAtSource(del->keptChanged(),
                 message("move-kept-changed", "copied, but changed since, so it was kept at the source"));
    keepAtSource(del->keptRefused(),
                 message("move-kept-undeleted", "copied, but it could not be deleted at the source"));
    keepAtSource(del->unconfirmed(),
                 message("move-kept-unanswered", "copied; the source did not confirm that it was deleted"));
    // Copied, deleted, and saved again at the source since: there as well, not moved.
    m_result.keptChanged += shownSources(del->cameBack());
    keepAtSource(del->cameBack(),
                 message("move-kept-saved-again", "copied, but saved again at the source after it was deleted, so it is there as well"));
    if (del->state() == VfsJobStateAborted) {
        // Cancelled, or the source computer is gone: the rest stays where it is, at both ends.
        // A delete that went unanswered may have been done: named, but not as surely kept.
        const QStringList left = pathsOf(del->unsentItems());
        m_result.keptUndeleted += shownSources(left);
        keepAtSource(left, m_abort ? message("move-kept-cancelled", "copied, but kept at the source: the move was cancelled")
                                   : message("move-kept-undeleted", "copied, but it could not be deleted at the source"));
        keepAtSource(pathsOf(del->unansweredItems()),
                     message("move-kept-unanswered", "copied; the source did not confirm that it was deleted"));
        logPrintf(LogVcpa, "delete of the sources stopped, %d kept", int(left.size()));
    }
    // The cancel was the delete's; the job ends as it finished, listing what stayed.
    m_abort = false;
    del->deleteLater();
    setPrompt(leftOutPrompt());
    Q_EMIT sourcesDeletedChanged();
    setJobState(CopyStateFinished, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

QStringList VfsCopyJob::shownSources(const QStringList &paths) const
{
    QStringList shown;
    shown.reserve(paths.size());
    for (const QString &path : paths)
        shown.append(shownSource(path));
    return shown;
}

void VfsCopyJob::keepAtSource(const QStringList &paths, const QString &reason)
{
    int added = 0;
    {
        QMutexLocker lock(&m_uiMutex);
        for (const QString &path : paths)
            added += m_leftOut.add(path, shownSource(path), reason) ? 1 : 0;
    }
    if (added == 0)
        return;
    m_errorCount = m_errorCount.load() + added;
    Q_EMIT leftOutChanged();
}
