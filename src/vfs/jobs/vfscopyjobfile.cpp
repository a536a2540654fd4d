// The copy job's steps for one file: open both sides, transfer, close, take the real name and
// the times; and the small new files that go several at a time.

#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfscopyjobparts.h"

#include "app/base/datasize.h"
#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/fso/vfsclientnusk.h"

#include <QDateTime>
#include <QLocale>
#include <QMutexLocker>

using namespace vfscopy;

namespace {

// Whether a destination entry is the source file itself, as two computers that see one folder
// list it: the same inode with the same change stamp.
bool listsTheSource(const VfsCopyItem &source, const VfsCopyDestinationEntry &entry)
{
    return source.inode != 0 && source.changeNs != 0 && entry.inode == source.inode
           && entry.changeNs == source.changeNs;
}

} // namespace

// --- state 2: open the source ----------------------------------------------------------------

void VfsCopyJob::stateOpenSource(int action)
{
    if (action == JobActionStep) {
        if (!m_src)
            return abortJob(QStringLiteral("source client gone"), __LINE__);
        logPrintf(LogVcpa, "open file %s", qPrintable(m_curItem.path));
        openForReading(m_src, m_curItem.path, OpenForSource);
        return;
    }
    if (action != JobActionReply || m_openBusy)
        return;
    m_openFor = OpenForNothing;
    if (m_open.jobStatus == JobFinished && m_open.status == FSO_STATUS_SUCCESS) {
        m_srcHandle = m_open.handle;
        setJobState(CopyStateOpenDestination, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    } else if (m_open.jobStatus == JobFinished && m_open.status == FSO_STATUS_NOT_FOUND) {
        failJob("copy-error-source-missing", "The source no longer exists.", shownSource(m_curItem.path),
                QStringLiteral("source file missing %1").arg(m_curItem.path), __LINE__);
    } else {
        Failure failure;
        failure.kind = FailureUnreadable;
        failure.shownPath = shownSource(m_curItem.path);
        failure.items.append(m_curItem.path);
        failure.skip = [this] {
            // Nothing was opened: on with the next item.
            setJobState(CopyStateNextItem, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
        };
        failure.retry = [this] { startTimer(0, JobActionStep, __LINE__); };
        if (!repeatingFailure(m_open.status, m_curItem.path, m_curItem.path, std::move(failure)))
            abortJob(QStringLiteral("failed to open read file %1").arg(m_open.status), __LINE__);
    }
}

// --- state 3: open the destination -----------------------------------------------------------

void VfsCopyJob::stateOpenDestination(int action)
{
    if (action == JobActionStep) {
        if (m_questionPending || m_moveBusy)
            return;
        const QString name = destinationName(m_curItem);
        if (name.isEmpty())
            return failJob("copy-error-source-missing", "The source no longer exists.", shownSource(m_curItem.path),
                           QStringLiteral("failed to open write file, malformed path %1").arg(m_curItem.path),
                           __LINE__);
        setCurrentFile(name);
        m_curDstPath = vfsApplyRename(joinDst(m_curDstFolder, name), m_curItem.renameFrom, m_curItem.renameTo);
        const int cut = m_curDstPath.lastIndexOf(m_dstSep) + 1;
        const QString finalName = m_curDstPath.mid(cut);
        m_curPartPath = m_curDstPath.left(cut) + partialName(finalName);
        if (leftOutAsRepeating())
            return;
        const auto existing = m_curDstEntries.find(finalName);
        const auto partial = m_curDstEntries.find(partialName(finalName));
        const bool partialFile = partial != m_curDstEntries.end() && partial->second.type == VfsCopyItem::FileType;
        // Never written through a link or into a folder that took the hidden name.
        if (partial != m_curDstEntries.end() && !partialFile)
            return failJob("copy-error-dst-is-link", "The destination is a symbolic link; it is not replaced.",
                           shownDestination(m_curPartPath), QStringLiteral("hidden name taken %1").arg(m_curPartPath),
                           __LINE__);
        const VfsOwnDestinations::Ownership ownership =
            existing == m_curDstEntries.end() ? VfsOwnDestinations::NotOwn
                                              : m_ownDestinations.ownership(m_curDstFolder, finalName, existing->second, m_curItem);
        const bool own = ownership == VfsOwnDestinations::Own;
        // Left by this job from the source as it is now, named before its times were set, or
        // perhaps by the final rename whose answer was lost: the job's only if it holds the
        // copy, which is read before anything is replaced (in a cut too: it was the job's
        // hidden copy, never the source).
        const bool maybeOwn = ownership == VfsOwnDestinations::OwnIfTheCopy
                              || (m_maybeOwnDestinations.contains(m_curDstPath) && !partialFile
                                  && existing != m_curDstEntries.end()
                                  && existing->second.type == VfsCopyItem::FileType
                                  && existing->second.size == m_curItem.size);
        m_maybeOwnDestinations.remove(m_curDstPath);
        if (existing != m_curDstEntries.end() && !own) {
            const VfsCopyDestinationEntry &e = existing->second;
            if (e.type == VfsCopyItem::DirectoryType)
                return failJob("copy-error-dst-is-folder", "The destination has a folder where a file should go.",
                               shownDestination(m_curDstPath),
                               QStringLiteral("destination is a folder %1").arg(m_curDstPath), __LINE__);
            if (e.type == VfsCopyItem::SymlinkType)
                return failJob("copy-error-dst-is-link", "The destination is a symbolic link; it is not replaced.",
                               shownDestination(m_curDstPath),
                               QStringLiteral("destination is a link %1").arg(m_curDstPath), __LINE__);
            const bool sameId = sameIdentity(m_curItem.volume, m_curItem.fileId, m_curDstVolume, e.fileId);
            // Hard links of one file: both names count more than one link and show the same
            // size and modification time.
            const bool sameLinks = samePeer() && m_curItem.links > 1 && e.links > 1 && e.size == m_curItem.size
                                   && e.mtime == m_curItem.mtime;
            if (sameId || sameLinks)
                return failJob("copy-error-same-file", "Source and destination are the same file.",
                               shownDestination(m_curDstPath),
                               QStringLiteral("same file %1").arg(m_curDstPath), __LINE__);
            if (isSourceItself(e))
                return keepSourceItself();
        }
        const bool mayReplace = m_replaceCurrent || m_replaceAll || m_replaceList.contains(m_curDstPath) || own;
        if (existing != m_curDstEntries.end() && !mayReplace) {
            // What holds the name is not the copy this job may have finished there before.
            forgetFinished(m_curItem.path);
            if (maybeOwn && !m_inPlaceChecked)
                return openForCheck(existing->second);
            return m_skipAllClashes ? skipClash() : askReplace(existing->second);
        }
        if (!m_dst)
            return abortJob(QStringLiteral("destination client gone"), __LINE__);
        if (existing != m_curDstEntries.end() && !partialFile) {
            const VfsCopyDestinationEntry &e = existing->second;
            // Not in a cut: a file reached through two mounts that give it other inode
            // numbers would be found equal to itself, and its source deleted.
            if (!m_inPlaceChecked && !m_request.deleteSource && e.type == VfsCopyItem::FileType
                && e.size == m_curItem.size)
                return openForCheck(e);
            // The file to be replaced becomes the hidden one: its blocks that match are kept,
            // and the real name is free until the copy is complete.
            m_movingAside = true;
            sendMove(m_curDstPath, m_curPartPath, false);
            return;
        }
        // Only what the user allowed is replaced; a name that appears later is asked about.
        m_curMayReplace = existing != m_curDstEntries.end();
        // No times here: the server would stamp them on the file whenever it closes it, a
        // half-written file included. They are set once the file is complete. A hidden file
        // the folder did not hold is made new: one that turned up since is another copy's.
        m_open.flags = FSO_OPEN_READ | FSO_OPEN_WRITE | FSO_OPEN_TRUNCATE | (partialFile ? 0u : FSO_OPEN_EXCLUSIVE);
        m_open.accessTime = m_open.creationTime = m_open.modificationTime = 0;
        m_open.size = m_curFileSize;
        m_open.path = m_curPartPath;
        m_open.permissions = -1; // given with the times, once the file is complete
        m_open.handle = 0;
        // Nothing there that could be kept: no block is compared, all are sent.
        m_curDstFresh = !partialFile || partial->second.size == 0;
        m_curPartialMade = !partialFile;
        m_openBusy = true;
        m_openFor = OpenForDestination;
        logPrintf(LogVcpa, "open write file %s", qPrintable(m_curPartPath));
        m_dst->openFile(&m_open);
        return;
    }
    if (action != JobActionReply || m_openBusy || m_moveBusy)
        return;
    if (m_movingAside) {
        m_movingAside = false;
        QMutexLocker lock(&m_move.mutex);
        if (m_move.jobStatus != JobFinished || m_move.status != FSO_STATUS_SUCCESS) {
            const quint8 status = m_move.status;
            lock.unlock();
            return abortJob(QStringLiteral("failed to rename %1 aside, status %2").arg(m_curDstPath).arg(status),
                            __LINE__);
        }
        lock.unlock();
        const int cut = m_curDstPath.lastIndexOf(m_dstSep) + 1;
        const QString finalName = m_curDstPath.mid(cut);
        m_curDstEntries[partialName(finalName)] = m_curDstEntries[finalName];
        m_curDstEntries.erase(finalName);
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    m_openFor = OpenForNothing;
    const bool opened = m_open.jobStatus == JobFinished && m_open.status == FSO_STATUS_SUCCESS;
    if (m_checkingInPlace) {
        if (opened) {
            m_dstHandle = m_open.handle;
            setJobState(CopyStateTransfer, __LINE__);
        } else {
            // Not to be read: replaced the usual way, which says what fails.
            m_checkingInPlace = false;
            m_inPlaceChecked = true;
        }
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    if (opened) {
        m_replaceCurrent = m_replaceAll;
        m_dstHandle = m_open.handle;
        // Made by this job once, it stays this job's to remove after a retry that finds it.
        m_ownPartials.insert(m_curPartPath, m_curPartialMade || m_ownPartials.value(m_curPartPath));
        setJobState(CopyStateTransfer, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    } else {
        Failure failure = unwritableCurrentFile();
        failure.retry = [this] { startTimer(0, JobActionStep, __LINE__); };
        if (!repeatingFailure(m_open.status, m_curItem.path, m_curPartPath, std::move(failure)))
            abortJob(QStringLiteral("failed to open write file status: %1").arg(m_open.status), __LINE__);
    }
}

bool VfsCopyJob::isSourceItself(const VfsCopyDestinationEntry &existing) const
{
    // Two computers that see one folder (two programs on one machine, a network folder both
    // mount) cannot tell by the path. An inode and a change time to the nanosecond that match
    // as well are one version of one file; were they two copies, they would still be equal.
    return listsTheSource(m_curItem, existing) && existing.size == m_curItem.size && existing.mtime == m_curItem.mtime;
}

void VfsCopyJob::keepSourceItself()
{
    // Replacing it would rename and stamp the source and write nothing, and the check of the
    // copied sources would then take the source for changed and start over. The copy is there
    // as it stands; a cut must not delete it, it is the only one.
    logPrintf(LogVcpa, "destination %s is the source itself", qPrintable(m_curDstPath));
    addBytesCopied(m_curItem.size);
    // No copy of it arrived anywhere: should the source go, nothing of it is left.
    if (!m_request.deleteSource)
        noteFinished(m_curItem, QString());
    // The source was opened for it: closed as that of a skipped file.
    m_skipping = true;
    m_curFileComplete = false;
    setJobState(CopyStateCloseSource, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::openForCheck(const VfsCopyDestinationEntry &existing)
{
    // Only read: a file that holds the content already keeps its name and its change stamp,
    // and the other computer may be reading it as the source of a copy of its own.
    logPrintf(LogVcpa, "check whether %s holds the copy already", qPrintable(m_curDstPath));
    m_curExisting = existing;
    m_checkingInPlace = true;
    openForReading(m_dst, m_curDstPath, OpenForDestination);
}

void VfsCopyJob::openForReading(VfsClient *client, const QString &path, int openFor)
{
    m_open.flags = FSO_OPEN_READ;
    m_open.path = path;
    m_open.permissions = -1;
    m_open.accessTime = m_open.creationTime = m_open.modificationTime = 0;
    m_open.size = 0;
    m_open.handle = 0;
    m_openBusy = true;
    m_openFor = openFor;
    client->openFile(&m_open);
}

bool VfsCopyJob::leftOutAsRepeating()
{
    const QString path = m_curItem.path;
    Failure failure;
    failure.shownPath = shownSource(path);
    failure.items.append(path);
    failure.skip = [this] {
        // The source is open: it is closed like that of a skipped file, and what this job
        // wrote of it goes.
        m_skipping = true;
        m_curFileComplete = false;
        setJobState(CopyStateCloseSource, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    };
    if (m_changedReads.value(path) > kMaxChangedCopies) {
        leaveOut(path, message("copy-left-out-changing", "kept changing while it was copied"));
        failure.skip();
        return true;
    }
    if (m_noRoomPauses.value(path) < kMaxNoRoomPauses)
        return false;
    failure.kind = FailureNoRoom;
    if (m_asksOnFailure && !m_skipAllKinds.contains(FailureNoRoom)) {
        failure.retry = [this, path] {
            m_noRoomPauses.remove(path);
            startTimer(0, JobActionStep, __LINE__);
        };
        askAboutFailure(std::move(failure));
    } else {
        leaveOutFailure(failure);
        failure.skip();
    }
    return true;
}

bool VfsCopyJob::discardOwnPartial()
{
    if (m_deleteBusy)
        return true;
    if (m_deleteAnswered) {
        // One that stays is named with the items left out, so it is never a silent leftover.
        if (!takePartialDelete())
            leaveOut(m_delete.path, message("copy-left-out-partial", "unfinished copy left behind"),
                     VfsCopyPathNames::Destination);
        m_ownPartials.remove(m_delete.path);
        return false;
    }
    if (!m_ownPartials.contains(m_curPartPath) || !m_dst)
        return false;
    sendPartialDelete(m_curPartPath);
    return true;
}

void VfsCopyJob::sendPartialDelete(const QString &path)
{
    m_delete.flags = FSO_DELETE_PERMANENT;
    m_delete.path = path;
    m_delete.status = 0;
    m_deleteBusy = true;
    logPrintf(LogVcpa, "delete unfinished %s", qPrintable(path));
    m_dst->deleteFile(&m_delete);
}

bool VfsCopyJob::takePartialDelete()
{
    m_deleteAnswered = false;
    const bool gone = m_delete.jobStatus == JobFinished
                      && (m_delete.status == FSO_STATUS_SUCCESS || m_delete.status == FSO_STATUS_NOT_FOUND);
    logPrintf(LogVcpa, "delete of unfinished %s: %s", qPrintable(m_delete.path), gone ? "done" : "failed");
    return gone;
}

bool VfsCopyJob::removeMadePartials()
{
    if (m_deleteBusy)
        return true;
    if (m_deleteAnswered && takePartialDelete())
        m_ownPartials.remove(m_delete.path);
    // Out of reach, a computer away is not waited for: what it holds is named instead.
    if (!m_dst || !m_dstPeer || m_dstPeer->linkState() != IPeer::LinkUp)
        return false;
    for (auto it = m_ownPartials.cbegin(); it != m_ownPartials.cend(); ++it) {
        if (it.value() && !m_removalSent.contains(it.key())) {
            m_removalSent.insert(it.key());
            sendPartialDelete(it.key());
            return true;
        }
    }
    return false;
}

void VfsCopyJob::nameKeptPartials()
{
    if (m_ownPartials.isEmpty())
        return;
    // Kept for a later copy of the same items, which resumes them; never unnamed.
    QStringList kept;
    for (auto it = m_ownPartials.cbegin(); it != m_ownPartials.cend(); ++it)
        kept.append(shownDestination(it.key()));
    std::sort(kept.begin(), kept.end());
    setPrompt(message("copy-aborted-partial-kept",
                      "Aborted. What was copied of an unfinished file is kept under a hidden name; "
                      "copying again resumes it: %1")
                  .arg(kept.join(QStringLiteral(", "))));
}

void VfsCopyJob::askReplace(const VfsCopyDestinationEntry &existing)
{
    logPrintf(LogVcpa, "\tdestination exists %s", qPrintable(m_curDstPath));
    // Both files as the user would judge them: name, size and last change.
    const QLocale locale;
    auto facts = [&locale](quint64 size, qint64 mtimeMs) {
        const QString when = mtimeMs > 0 ? locale.toString(QDateTime::fromMSecsSinceEpoch(mtimeMs), QLocale::ShortFormat)
                                         : QStringLiteral("?");
        return formatDataSize(size, 1) + QStringLiteral(", ") + when;
    };
    const QString name = m_curDstPath.mid(m_curDstPath.lastIndexOf(m_dstSep) + 1);
    setPrompt(message("file-copy-q-overwrite", "The file already exists, do you want to replace it?")
              + QStringLiteral("\n") + name + QStringLiteral("\n")
              + message("file-copy-q-existing", "Existing: %1").arg(facts(existing.size, existing.mtime))
              + QStringLiteral("\n")
              + message("file-copy-q-replacement", "Replacement: %1").arg(facts(m_curItem.size, m_curItem.mtime)));
    stopTimer();
    m_questionPending = true;
    Q_EMIT stateChanged();
    Q_EMIT jobUpdated();
}

void VfsCopyJob::sendMove(const QString &from, const QString &to, bool replace)
{
    {
        QMutexLocker lock(&m_move.mutex);
        // Both names are in one folder: never a copy across volumes.
        m_move.flags = FSO_MOVE_SAME_VOLUME | (replace ? 0u : FSO_MOVE_NO_REPLACE);
        m_move.source = from;
        m_move.destination = to;
        m_move.status = 0;
    }
    m_moveBusy = true;
    logPrintf(LogVcpa, "rename %s to %s", qPrintable(from), qPrintable(to));
    m_dst->move(&m_move);
}

// --- states 4 and 5: close, then the file's times ---------------------------------------------

void VfsCopyJob::stateClose(int action)
{
    if (action == JobActionEnter || action == JobActionLeave || action == JobActionDelete)
        return;
    if (m_copyState == CopyStateCloseSource) {
        // Both handles are closed here, on every path: copied, skipped or failed; but a hidden
        // file written whole stays open until it has its real name, so that no other copy can
        // have opened it meanwhile.
        if (m_closeSrcBusy || m_closeDstBusy)
            return;
        if (!closeHandles(m_curFileComplete && !m_curInPlace))
            return;
        if (m_dstCloseFailed) {
            // The data may not have reached the disk; the retry checks every block again.
            m_dstCloseFailed = false;
            return failedClose();
        }
        setJobState(CopyStateCloseDestination, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    if (!m_curFileComplete) {
        if ((action != JobActionStep && action != JobActionReply) || m_openBusy || m_moveBusy)
            return;
        if (m_skipping && discardOwnPartial())
            return;
        m_skipping = false;
        // A checked file that differs is opened again, to be written.
        setJobState(m_writeAfterCheck ? CopyStateOpenSource : CopyStateNextItem, __LINE__);
        m_writeAfterCheck = false;
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    stateFinishDestination(action);
}

VfsCopyJob::Failure VfsCopyJob::unwritableCurrentFile()
{
    Failure failure;
    failure.kind = FailureUnwritable;
    failure.shownPath = shownDestination(m_curDstPath);
    failure.items.append(m_curItem.path);
    failure.skip = [this] {
        // What is open is closed like the handles of a skipped file, and what this job wrote
        // of it goes.
        m_skipping = true;
        m_curFileComplete = false;
        setJobState(CopyStateCloseSource, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    };
    return failure;
}

void VfsCopyJob::failedClose()
{
    if (m_closeDst.jobStatus == JobFinished && m_closeDst.status == FSO_STATUS_IO_ERROR && closeFailsAgain())
        return;
    abortJob(QStringLiteral("failed to close write file"), __LINE__);
}

bool VfsCopyJob::closeFailsAgain()
{
    // The destination's file system reported an error at the close (NFS and FUSE report a
    // failed write-back there): what was written may not be kept, and a file that fails so
    // again is asked about or left out, as one that cannot be written.
    Failure failure = unwritableCurrentFile();
    failure.retry = [this] { abortJob(QStringLiteral("failed to close write file"), __LINE__); };
    return repeatingFailure(FSO_STATUS_IO_ERROR, QStringLiteral("close:") + m_curItem.path, m_curPartPath,
                            std::move(failure));
}

void VfsCopyJob::sendAttributes(const VfsCopyItem &item, const QString &dstPath)
{
    m_open.flags = FSO_OPEN_ATTRIBUTES;
    m_open.accessTime = item.atime;
    m_open.creationTime = item.ctime;
    m_open.modificationTime = item.mtime;
    m_open.size = 0;
    m_open.path = dstPath;
    m_open.permissions = item.permissions;
    m_openBusy = true;
    m_dst->openFile(&m_open);
}

void VfsCopyJob::stateFinishDestination(int action)
{
    if (m_openBusy || m_moveBusy || m_closeDstBusy || m_listBusy)
        return;
    if (!m_dst)
        return abortJob(QStringLiteral("destination client gone"), __LINE__);
    if (m_closePhase == 0 && m_curInPlace) {
        // It holds the content under its real name already: nothing to rename. It may not be
        // on the disk yet (an earlier run wrote it), so it is flushed with the rest.
        leaveDestination(false);
        noteWrittenFolder(m_curDstPath.left(m_curDstPath.lastIndexOf(m_dstSep)), m_curDstVolume);
        m_closePhase = 2;
    }
    if (m_closePhase == 0) {
        if (action == JobActionStep) {
            // Complete and verified, and still held: only now it takes the real name.
            m_nameTakenAtEnd = false;
            m_maybeOwnDestinations.insert(m_curDstPath);
            sendMove(m_curPartPath, m_curDstPath, m_curMayReplace);
            return;
        }
        if (action != JobActionReply)
            return;
        QMutexLocker lock(&m_move.mutex);
        if (m_move.jobStatus != JobFinished)
            return abortJob(QStringLiteral("rename to %1 unanswered").arg(m_curDstPath), __LINE__);
        const quint8 status = m_move.status;
        lock.unlock();
        m_maybeOwnDestinations.remove(m_curDstPath);
        if (status == FSO_STATUS_EXISTS && !m_curMayReplace) {
            logPrintf(LogVcpa, "%s was taken while the file was copied", qPrintable(m_curDstPath));
            m_nameTakenAtEnd = true;
        } else if (status != FSO_STATUS_SUCCESS) {
            // FSO_STATUS_CHANGED: the hidden file is no longer the one this job wrote.
            return abortJob(QStringLiteral("rename to %1 failed, status %2").arg(m_curDstPath).arg(status), __LINE__);
        } else {
            leaveDestination(false);
            noteWrittenFolder(m_curDstPath.left(m_curDstPath.lastIndexOf(m_dstSep)), m_curDstVolume);
        }
        m_closePhase = 1;
        action = JobActionStep;
    }
    if (m_closePhase == 1) {
        if (m_dstHandle) {
            closeHandles();
            if (m_closeDstBusy)
                return; // the close's reply steps the job again
        }
        if (m_dstCloseFailed) {
            m_dstCloseFailed = false;
            // Answered with an error, the data may not have been kept (NFS and FUSE report a
            // lost write-back at the close). A file that has its real name already goes back
            // under its hidden one first, so that what may be wrong never looks complete.
            // Unanswered, the retry compares what holds the name with the source.
            if (!m_nameTakenAtEnd && m_closeDst.jobStatus == JobFinished) {
                m_closePhase = 4;
                return stateFinishDestination(JobActionStep);
            }
            return failedClose();
        }
        // Only a file closed whole is no longer an unfinished one of this job's.
        if (!m_nameTakenAtEnd)
            m_ownPartials.remove(m_curPartPath);
        m_closePhase = m_nameTakenAtEnd ? 3 : 2;
        action = JobActionStep;
    }
    if (m_closePhase == 3)
        return retakeAfterNameTaken(action);
    if (m_closePhase == 4) {
        if (action == JobActionStep) {
            sendMove(m_curDstPath, m_curPartPath, false);
            return;
        }
        if (action != JobActionReply)
            return;
        QMutexLocker lock(&m_move.mutex);
        const bool hiddenAgain = m_move.jobStatus == JobFinished && m_move.status == FSO_STATUS_SUCCESS;
        lock.unlock();
        if (!hiddenAgain)
            return abortJob(QStringLiteral("failed to close write file, and to hide it again"), __LINE__);
        return failedClose();
    }
    if (action == JobActionStep) {
        if (!attributesToSet()) {
            leaveDestination(true);
            noteWritten(m_curItem, m_curDstPath);
            setJobState(CopyStateNextItem, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        // The file has its real name: only now it gets the source's times.
        sendAttributes(m_curItem, m_curDstPath);
        return;
    }
    if (action != JobActionReply)
        return;
    if (m_open.jobStatus == JobFinished
        && (m_open.status == FSO_STATUS_COMPLETE || m_open.status == FSO_STATUS_SUCCESS)) {
        leaveDestination(true);
        noteWritten(m_curItem, m_curDstPath);
        setJobState(CopyStateNextItem, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    } else {
        abortJob(QStringLiteral("failed to set file times status: %1").arg(m_open.status), __LINE__);
    }
}

void VfsCopyJob::leaveDestination(bool withTimes)
{
    // A Replace answer was for the file that was there: from now on the job's own record
    // says whether a retry may replace what holds the name.
    m_replaceList.removeAll(m_curDstPath);
    const QString name = m_curDstPath.mid(m_curDstPath.lastIndexOf(m_dstSep) + 1);
    if (withTimes)
        m_ownDestinations.left(m_curDstFolder, name, m_curItem);
    else
        m_ownDestinations.named(m_curDstFolder, name, m_curItem);
}

bool VfsCopyJob::takeDestinationListing(const QString &folder)
{
    QMutexLocker lock(&m_list.mutex);
    if (m_list.jobStatus != JobFinished) {
        const quint8 status = m_list.status;
        lock.unlock();
        abortJob(QStringLiteral("listing of %1 failed, status %2").arg(folder).arg(status), __LINE__);
        return false;
    }
    m_curDstEntries.clear();
    for (const VfsDirectoryEntry &e : m_list.entries)
        m_curDstEntries[e.name] = destinationEntryOf(e);
    return true;
}

void VfsCopyJob::retakeAfterNameTaken(int action)
{
    const QString folder = m_curDstPath.left(m_curDstPath.lastIndexOf(m_dstSep));
    if (action == JobActionStep) {
        requestOwnListing(m_dst, folder);
        return;
    }
    if (action != JobActionReply)
        return;
    if (!takeDestinationListing(folder))
        return;
    // Counted again when it is compared with its hidden file, which the job keeps.
    quint64 copied = m_bytesCopied.load();
    while (!m_bytesCopied.compare_exchange_weak(copied, copied - std::min(copied, m_curFileSize))) {
    }
    m_changeFlags |= 1;
    emitChanges();
    m_nameTakenAtEnd = false;
    m_work.push_back(m_curItem);
    setJobState(CopyStateNextItem, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

bool VfsCopyJob::attributesToSet() const
{
    if (m_curItem.atime <= 0 && m_curItem.mtime <= 0 && m_curItem.permissions < 0)
        return false;
    if (!m_curInPlace)
        return true;
    // A file left as it is gets a new change stamp only for a time or mode that differs: to
    // a copy reading it at the same time, a new stamp is a file rewritten under it.
    const bool timeDiffers = m_curItem.mtime > 0 && m_curItem.mtime != m_curExisting.mtime;
    const bool modeDiffers = m_curItem.permissions >= 0 && m_curExisting.permissions >= 0
                             && (m_curItem.permissions & 0777) != (m_curExisting.permissions & 0777);
    return timeDiffers || modeDiffers;
}

// --- small files -----------------------------------------------------------------------------

bool VfsCopyJob::laneFileOf(const VfsCopyItem &item, VfsSmallFileLane::File *file) const
{
    if (item.type != VfsCopyItem::FileType || !VfsSmallFileLane::fits(item.size))
        return false;
    const QString name = destinationName(item);
    if (name.isEmpty())
        return false;
    file->item = item;
    file->dstPath = vfsApplyRename(joinDst(m_curDstFolder, name), item.renameFrom, item.renameTo);
    const int cut = file->dstPath.lastIndexOf(m_dstSep) + 1;
    const QString finalName = file->dstPath.mid(cut);
    file->partPath = file->dstPath.left(cut) + partialName(finalName);
    if (finalName.isEmpty())
        return false;
    const auto existing = m_curDstEntries.find(finalName);
    const auto hidden = m_curDstEntries.find(partialName(finalName));
    const bool there = existing != m_curDstEntries.end();
    const bool hiddenThere = hidden != m_curDstEntries.end();
    if (!there && !hiddenThere) {
        // New: a name the job may have sent a file to unanswered is taken only if still free.
        file->found = VfsSmallFileLane::Nothing;
        return true;
    }
    // What a failure left of this job's own work: the hidden file it made, or a file of the
    // source's size and time that its last, unanswered request may have finished, or that it
    // finished before a cut came first to the destination's confirmation.
    if (!there && hidden->second.type == VfsCopyItem::FileType && m_ownPartials.value(file->partPath)) {
        file->found = VfsSmallFileLane::OwnHidden;
        return true;
    }
    const VfsCopyDestinationEntry *e = there ? &existing->second : nullptr;
    if (e && !hiddenThere
        && (m_maybeOwnDestinations.contains(file->dstPath) || m_finishedFiles.toCheck(file->dstPath))
        && e->type == VfsCopyItem::FileType && e->size == item.size
        && (item.mtime <= 0 || VfsFinishedFiles::timeAsSet(e->mtime, item.mtime))
        && !sameIdentity(item.volume, item.fileId, m_curDstVolume, e->fileId) && !listsTheSource(item, *e)
        && VfsSmallFileLane::canCompare(m_src, m_dst)) {
        file->found = VfsSmallFileLane::MaybeFinished;
        return true;
    }
    // Everything else asks for the checks and questions of the one-at-a-time path.
    return false;
}

bool VfsCopyJob::startLane()
{
    m_laneTried = true;
    m_ownDestinations.observe(m_curDstFolder, m_curDstEntries);
    // Finished by this job before a failure, and still as it left them: nothing to do. The
    // others keep their order; a folder of many thousands is gone through once.
    int passedOver = 0;
    if (m_finishedFiles.count() > 0) {
        std::vector<VfsCopyItem> rest;
        rest.reserve(m_work.size());
        for (VfsCopyItem &item : m_work) {
            const QString name = item.type == VfsCopyItem::FileType ? destinationName(item) : QString();
            const QString dstPath = vfsApplyRename(joinDst(m_curDstFolder, name), item.renameFrom, item.renameTo);
            const auto listed = name.isEmpty() ? m_curDstEntries.end()
                                               : m_curDstEntries.find(dstPath.mid(dstPath.lastIndexOf(m_dstSep) + 1));
            if (listed == m_curDstEntries.end() || sameIdentity(item.volume, item.fileId, m_curDstVolume, listed->second.fileId)
                || listsTheSource(item, listed->second) || !m_finishedFiles.stillAsLeft(dstPath, item, listed->second)) {
                rest.push_back(std::move(item));
                continue;
            }
            addBytesCopied(item.size);
            noteFinished(item, dstPath);
            ++passedOver;
        }
        m_work = std::move(rest);
    }
    if (passedOver > 0) {
        logPrintf(LogVcpa, "%d files finished already in %s", passedOver, qPrintable(m_curDstFolder));
        emitChanges();
    }
    // The times travel with the open, which a first-version peer would not keep.
    const auto *nusk = qobject_cast<VfsClientNusk *>(m_dst.data());
    if (!m_src || !m_dst || (nusk && nusk->protocolVersion() < 2))
        return false;
    std::vector<VfsSmallFileLane::File> files;
    std::vector<VfsCopyItem> rest;
    // In the order the one-at-a-time path would take them: from the back.
    for (auto it = m_work.rbegin(); it != m_work.rend(); ++it) {
        VfsSmallFileLane::File file;
        if (laneFileOf(*it, &file))
            files.push_back(std::move(file));
        else
            rest.insert(rest.begin(), *it);
    }
    if (files.empty())
        return false;
    m_work = std::move(rest);
    m_laneRetakes = 0;
    beginLane(std::move(files));
    return true;
}

void VfsCopyJob::beginLane(std::vector<VfsSmallFileLane::File> files)
{
    logPrintf(LogVcpa, "%d small files at once into %s", int(files.size()), qPrintable(m_curDstFolder));
    m_laneHandedBack.clear();
    m_laneFolder.clear();
    m_lanePhase = 0;
    m_lane.begin(m_src, m_dst, std::move(files));
    setJobState(CopyStateSmallFiles, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::stateSmallFiles(int action)
{
    if (action == JobActionEnter || action == JobActionLeave || action == JobActionDelete)
        return;
    if (m_lanePhase == 0) {
        // While a computer of the copy is away, a file the lane started would only wait out its
        // timeout: none is started. What is under way may still come back with the link; once
        // nothing is, the retry waits for both computers instead.
        const bool away = !m_srcPeer || !m_dstPeer || m_srcPeer->linkState() != IPeer::LinkUp
                          || m_dstPeer->linkState() != IPeer::LinkUp;
        const bool working = m_lane.step(!away);
        emitChanges();
        if (working && away && !m_lane.anyBusy() && sayWhichPeerIsAway())
            return abortJob(QStringLiteral("peer away while small files were copied"), __LINE__);
        if (working)
            return;
        m_changeFlags |= 1;
        emitChanges();
        if (m_laneHandedBack.empty()) {
            setJobState(CopyStateNextItem, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        // The files given back go by what their folder holds now: a name that turned up, a
        // hidden file the lane left, a file an unanswered request may have made.
        m_lanePhase = 1;
        if (!m_dst)
            return abortJob(QStringLiteral("destination client gone"), __LINE__);
        requestOwnListing(m_dst, m_laneFolder);
        return;
    }
    if (action != JobActionReply || m_listBusy || !takeDestinationListing(m_laneFolder))
        return;
    // A file whose request went unanswered met the link, not the file: the lane takes it
    // again, a few times at most. The others go the one-at-a-time way.
    std::vector<VfsSmallFileLane::File> again;
    const bool retake = m_laneRetakes < kLaneRetakes;
    for (auto it = m_laneHandedBack.rbegin(); it != m_laneHandedBack.rend(); ++it) {
        VfsSmallFileLane::File file;
        if (retake && it->second && laneFileOf(it->first, &file))
            again.insert(again.begin(), std::move(file));
        else
            m_work.push_back(it->first);
    }
    logPrintf(LogVcpa, "%d small files again at once, %d one at a time", int(again.size()),
              int(m_laneHandedBack.size() - again.size()));
    m_laneHandedBack.clear();
    m_lanePhase = 0;
    if (!again.empty()) {
        ++m_laneRetakes;
        return beginLane(std::move(again));
    }
    setJobState(CopyStateNextItem, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

// --- transfer --------------------------------------------------------------------------------

void VfsCopyJob::stateTransfer(int action)
{
    if (action == JobActionEnter) {
        // Every record is back before a new file starts (the restart waits for them).
        if (m_checkingInPlace) {
            m_checkBaseline = m_bytesCopied.load();
            m_transfer.beginCheck(m_src, m_srcHandle, m_dst, m_dstHandle, m_curFileSize);
        } else {
            m_transfer.begin(m_src, m_srcHandle, m_dst, m_dstHandle, m_curFileSize, m_curDstFresh);
        }
    } else if (action == JobActionLeave) {
        m_transfer.clear();
        return;
    } else if (action == JobActionDelete) {
        return;
    }
    const VfsBlockTransfer::Outcome outcome = m_transfer.step();
    emitChanges();
    if (outcome == VfsBlockTransfer::Failed) {
        if (m_transfer.sourceChanged()) {
            ++m_changedReads[m_curItem.path];
            m_sourceChangedSincePause = true;
        }
        abortJob(m_transfer.failure(), __LINE__);
    } else if (outcome == VfsBlockTransfer::Complete) {
        if (m_checkingInPlace) {
            // The existing file is the copy: the Replace answer was this file's.
            logPrintf(LogVcpa, "%s holds the copy already", qPrintable(m_curDstPath));
            m_checkingInPlace = false;
            m_curInPlace = true;
            m_replaceCurrent = m_replaceAll;
        }
        m_curFileComplete = true;
        m_changeFlags |= 1;
        emitChanges();
        setJobState(CopyStateCloseSource, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    } else if (outcome == VfsBlockTransfer::Differs) {
        // Replaced the usual way, every block compared again: what the check read may no
        // longer be the file under the name once it is moved aside to be written.
        m_checkingInPlace = false;
        m_inPlaceChecked = true;
        m_writeAfterCheck = true;
        logPrintf(LogVcpa, "%s differs", qPrintable(m_curDstPath));
        m_bytesCopied = m_checkBaseline;
        m_changeFlags |= 1;
        emitChanges();
        setJobState(CopyStateCloseSource, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    }
}
