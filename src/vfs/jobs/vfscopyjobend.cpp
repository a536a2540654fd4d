// The copy job's checks before its end: the copied sources listed again, and the flush of
// every file system it wrote to.

#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfscopyjobparts.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsclient.h"

#include <QMutexLocker>

#include <algorithm>

using namespace vfscopy;

bool VfsCopyJob::SourceStamp::matches(const VfsDirectoryEntry &entry) const
{
    if (entry.size != size || entry.modifyTime != mtime)
        return false;
    // A server that predates change stamps lists none: size and time are all there is.
    if (changeNs == 0 || entry.changeTimeNs == 0)
        return true;
    return entry.changeTimeNs == changeNs && entry.inode == inode;
}

void VfsCopyJob::noteWritten(const VfsCopyItem &item, const QString &dstPath)
{
    m_finishedFiles.add(dstPath, item);
    noteFinished(item, dstPath);
}

void VfsCopyJob::noteFinished(const VfsCopyItem &item, const QString &dstPath)
{
    if (!m_finishedSet.contains(item.path)) {
        m_finishedSet.insert(item.path);
        m_result.files.append(item.path);
    }
    m_finishedDst.insert(item.path, dstPath);
    // A file copied again after a retry is judged by its latest copy.
    m_finishedStamps.insert(item.path, {item.size, item.mtime, item.changeNs, item.inode});
}

void VfsCopyJob::forgetFinished(const QString &source)
{
    if (!m_finishedSet.remove(source))
        return;
    m_result.files.removeAll(source);
    m_finishedDst.remove(source);
    m_finishedStamps.remove(source);
}

bool VfsCopyJob::verifySources(int action)
{
    if (m_sourcesVerified || m_result.files.isEmpty()) {
        m_sourcesVerified = true;
        return true;
    }
    if (m_verifyIndex < 0) {
        m_verifyFolders.clear();
        for (const QString &file : qAsConst(m_result.files)) {
            const QString parent = srcParent(file);
            if (!m_verifyFolders.contains(parent))
                m_verifyFolders.append(parent);
        }
        m_verifyIndex = 0;
    } else if (action == JobActionReply && !m_listBusy) {
        QMutexLocker lock(&m_list.mutex);
        const quint8 status = m_list.status;
        // A folder that is gone took its files with it.
        const bool folderGone = m_list.jobStatus != JobFinished
                                && (status == FSO_STATUS_NOT_FOUND || status == FSO_STATUS_NOT_A_DIRECTORY);
        if (m_list.jobStatus != JobFinished && !folderGone) {
            lock.unlock();
            m_verifyIndex = -1;
            abortJob(QStringLiteral("listing of the copied sources failed, status %1").arg(status), __LINE__);
            return false;
        }
        const QString folder = m_verifyFolders.at(m_verifyIndex);
        std::map<QString, const VfsDirectoryEntry *> byName;
        for (const VfsDirectoryEntry &e : m_list.entries)
            byName[e.name] = &e;
        for (int i = m_result.files.size() - 1; i >= 0; --i) {
            const QString &file = m_result.files.at(i);
            if (srcParent(file) != folder)
                continue;
            if (folderGone) {
                noteSourceNotFound(i);
                continue;
            }
            const auto found = byName.find(srcName(file));
            if (found == byName.end()) {
                noteSourceGone(i);
                continue;
            }
            const SourceStamp stamp = m_finishedStamps.value(file);
            const bool same = itemTypeOf(*found->second) == VfsCopyItem::FileType && stamp.matches(*found->second);
            if (!same) {
                logPrintf(LogVcpa, "source %s changed while it was copied", qPrintable(file));
                m_finishedSet.remove(file);
                m_result.files.removeAt(i);
                // A copy of a file rewritten under it may mix old and new blocks: it is made
                // again, a few times at most, by a copy and a cut alike; a cut deletes only
                // a source that held still while it was read.
                m_changedSources.insert(file);
            }
        }
        lock.unlock();
        ++m_verifyIndex;
    } else {
        return false; // the listing is still out
    }
    if (m_verifyIndex >= m_verifyFolders.size()) {
        m_verifyIndex = -1;
        if (!m_changedSources.isEmpty() && m_changedCopies < kMaxChangedCopies) {
            ++m_changedCopies;
            m_changedSources.clear();
            m_sourceChangedSincePause = true;
            abortJob(QStringLiteral("sources changed while they were copied"), __LINE__);
            return false;
        }
        if (!m_changedSources.isEmpty()) {
            // Still changing after every try: the job ends, saying which file it is.
            const QString file = *m_changedSources.constBegin();
            setPrompt(m_request.deleteSource
                          ? message("copy-error-source-changed-kept",
                                    "A source file kept changing while it was moved; it was kept: %1")
                                .arg(shownSource(file))
                          : message("copy-error-source-changed", "A source file kept changing while it was copied: %1")
                                .arg(shownSource(file)));
            m_errorCount = m_errorCount.load() + m_changedSources.size();
        }
        if (!m_result.notFound.isEmpty() && !m_request.deleteSource) {
            // A move names them with what it did not move; a copy says it in its last words.
            constexpr int kNamed = 20;
            const QString text = message("copy-error-sources-not-found",
                                         "Copied, but their sources were not found where they were at the end "
                                         "(moved or renamed?), so the copies were not checked against them: %1")
                                     .arg(vfsFewNamed(m_result.notFound, kNamed));
            const QString before = userActionPrompt();
            setPrompt(before.isEmpty() ? text : before + QLatin1Char('\n') + text);
            m_errorCount = m_errorCount.load() + m_result.notFound.size();
        }
        m_sourcesVerified = true;
        for (const QString &file : qAsConst(m_result.files)) {
            const SourceStamp stamp = m_finishedStamps.value(file);
            if (stamp.changeNs != 0)
                m_result.versions.insert(file, qMakePair(stamp.changeNs, stamp.inode));
        }
        startTimer(0, JobActionStep, __LINE__);
        return false; // the next step finishes
    }
    if (!m_src) {
        m_verifyIndex = -1;
        abortJob(QStringLiteral("source client gone"), __LINE__);
        return false;
    }
    requestOwnListing(m_src, m_verifyFolders.at(m_verifyIndex));
    return false;
}

void VfsCopyJob::noteSourceNotFound(int index)
{
    // Its folder is not where it was (renamed, moved or deleted since): whether the file held
    // still while it was read cannot be told, so its copy never counts as checked, and a move
    // has nothing there to delete.
    const QString file = m_result.files.at(index);
    logPrintf(LogVcpa, "folder of %s not found at the end", qPrintable(file));
    m_result.notFound.append(shownSource(file));
    if (m_request.deleteSource)
        keepAtSource({file}, message("move-kept-not-found",
                                     "copied, but not found where it was at the end (moved or renamed?), so it "
                                     "was not deleted"));
    m_items.erase(std::remove_if(m_items.begin(), m_items.end(), [&file](const VfsCopyItem &i) { return i.path == file; }),
                  m_items.end());
    m_finishedSet.remove(file);
    m_result.files.removeAt(index);
}

void VfsCopyJob::noteSourceGone(int index)
{
    // It arrived whole: its last block read to the source's end, every block written and
    // acknowledged, the file closed and given its real name. Whether it held still while it
    // was read cannot be listed any more; copying it again cannot be done either, so the job
    // ends saying where it is and that its source went away, never pausing for a retry that
    // could only fail. A cut has nothing left to delete of it.
    const QString file = m_result.files.at(index);
    const QString arrived = m_finishedDst.value(file);
    logPrintf(LogVcpa, "source %s is gone since it was copied", qPrintable(file));
    if (arrived.isEmpty()) {
        // It was its own destination: gone with its source.
        leaveOut(file, message("copy-left-out-gone", "no longer exists"));
    } else {
        const QString shown = shownDestination(arrived);
        QMutexLocker lock(&m_uiMutex);
        if (!m_sourcesGone.contains(shown))
            m_sourcesGone.append(shown);
    }
    // A pass after a retry must not look for it as an item of the request.
    m_items.erase(std::remove_if(m_items.begin(), m_items.end(), [&file](const VfsCopyItem &i) { return i.path == file; }),
                  m_items.end());
    if (m_request.deleteSource || arrived.isEmpty()) {
        m_finishedSet.remove(file);
        m_result.files.removeAt(index);
    }
}

// --- the flush at the end ----------------------------------------------------------------------

void VfsCopyJob::noteWrittenFolder(const QString &folder, quint64 volume)
{
    // One folder per file system is enough: the flush writes out the whole of it.
    if (folder.isEmpty() || (volume != 0 && m_syncVolumes.contains(volume)) || m_syncFolders.contains(folder))
        return;
    if (volume != 0)
        m_syncVolumes.insert(volume);
    m_syncFolders.append(folder);
}

bool VfsCopyJob::syncDestination()
{
    if (m_destinationSynced || m_syncBusy)
        return m_destinationSynced;
    if (m_syncAnswered) {
        m_syncAnswered = false;
        const QString folder = m_sync.path;
        if (m_sync.jobStatus == JobFinished && m_sync.status == FSO_STATUS_SUCCESS) {
            m_syncFolders.removeAll(folder);
        } else if (m_sync.jobStatus == JobFinished) {
            // The destination could not put the copy on its disk: the job failed, however
            // complete it looks.
            if (failsAgain(QStringLiteral("sync:") + folder, m_sync.status))
                failJob("copy-error-sync", "The destination could not write the copy to its disk.",
                        shownDestination(folder),
                        QStringLiteral("sync of %1 failed, status %2").arg(folder).arg(m_sync.status), __LINE__);
            else
                abortJob(QStringLiteral("sync of %1 failed, status %2").arg(folder).arg(m_sync.status), __LINE__);
            return false;
        } else if (!m_dstPeer || m_dstPeer->linkState() != IPeer::LinkUp) {
            abortJob(QStringLiteral("sync of %1 unanswered, link down").arg(folder), __LINE__);
            return false;
        } else {
            // The link works but the request went unanswered for as long as a block may take:
            // a destination whose disk is slow to write out, or one that does not know the
            // request. Either way nothing says the copy is on its disk, so a cut keeps its
            // sources, and the job says what happened. A copy keeps its sources anyway.
            logPrintf(LogVcpa, "destination did not confirm the flush of %s", qPrintable(folder));
            m_syncFolders.clear();
            if (m_request.deleteSource) {
                m_result.files.clear();
                m_result.folders.clear();
                m_finishedSet.clear();
                m_folderSet.clear();
                m_errorCount = m_errorCount.load() + 1;
                setPrompt(message("copy-error-not-synced",
                                  "The destination did not confirm in time that the copy is on its disk; the "
                                  "sources were kept."));
            }
        }
    }
    if (m_syncFolders.isEmpty()) {
        m_destinationSynced = true;
        return true;
    }
    if (!m_dst) {
        abortJob(QStringLiteral("destination client gone"), __LINE__);
        return false;
    }
    m_sync.path = m_syncFolders.first();
    m_sync.status = 0;
    m_syncBusy = true;
    logPrintf(LogVcpa, "sync %s", qPrintable(m_sync.path));
    m_dst->syncFileSystem(&m_sync);
    return false;
}
