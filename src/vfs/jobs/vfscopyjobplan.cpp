// The copy job's planning: the listings of its start, the next item, and the folders it
// makes, lists and gives their times.

#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfscopyjobparts.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsclient.h"

#include <QMutexLocker>

using namespace vfscopy;

// --- state 0: start --------------------------------------------------------------------------

void VfsCopyJob::stateStart(int action)
{
    if (action == JobActionEnter || action == JobActionLeave || action == JobActionDelete)
        return;
    if (m_startPhase == 0) {
        if (action != JobActionStep)
            return;
        if (!m_srcPeer || !m_dstPeer)
            return failJob("copy-error-peer-missing", "The peer of the copy is no longer known.", QString(),
                           QStringLiteral("src or dst peer gone"), __LINE__);
        if (sayWhichPeerIsAway())
            return abortJob(QStringLiteral("src or dst peer link not up"), __LINE__);
        if (m_unreachableShown) {
            m_unreachableShown = false;
            setPrompt(QString());
        }
        m_names.setComputer(VfsCopyPathNames::Source, m_srcPeer->isLocal() ? QString() : m_srcPeer->displayName());
        m_names.setComputer(VfsCopyPathNames::Destination,
                            m_dstPeer->isLocal() ? QString() : m_dstPeer->displayName());
        m_src = m_srcPeer->vfsClient();
        m_dst = m_dstPeer->vfsClient();
        if (!m_src || !m_dst)
            return abortJob(QStringLiteral("src or dst peer without client"), __LINE__);
        m_replaceAll = m_replaceAll || m_request.replaceAll;
        // The request's Replace is an answer for the first file only: never applied again
        // after a retry, when it could reach a file the user has not been asked about.
        if (!m_requestReplaceApplied) {
            m_requestReplaceApplied = true;
            m_replaceCurrent = m_replaceCurrent || m_request.replaceCurrent;
        }
        m_speedTimer.invalidate();
        m_writtenSinceSample = 0;
        m_speed = 0;
        if (m_countingPass) {
            m_fileCount = 0;
            m_bytesCopied = 0;
            m_bytesTotal = 0;
        }
        m_stall->start();
        // A folder copied into itself or below itself would grow until the disk is full.
        if (samePeer()) {
            for (const VfsCopyItem &item : m_items) {
                if (item.type == VfsCopyItem::DirectoryType && vfsPathIsSameOrBelow(m_request.dstPath, item.path))
                    return failJob("copy-error-into-itself", "A folder cannot be copied into itself.",
                                   shownSource(item.path), QStringLiteral("folder into itself"), __LINE__);
            }
        }
        if (m_copyPassDone) {
            // Every file had arrived before the failure and the destination had confirmed each:
            // the listings of their folders and of the sources are all that is done again, so
            // that a link that drops every few seconds need not carry the job's listings in one
            // window.
            setJobState(CopyStateNextItem, __LINE__);
            setPrompt(leftOutPrompt());
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        beginStartListings();
        return;
    }
    if (action == JobActionReply)
        onStartListing();
}

// The listings of the start, in order: the shares of a side whose paths name shares (once
// per job, for the texts), each parent folder of the items (their sizes, times and types are
// read again, a request may be older than the files), the destination folder (what already
// exists there), and on one peer the parents of both folders (whether they are one folder
// under two names).
void VfsCopyJob::beginStartListings()
{
    m_startParents.clear();
    QStringList kinds;
    auto add = [&](int kind, const QString &path) {
        const QString key = QString::number(kind) + QLatin1Char('|') + path;
        if (!kinds.contains(key)) {
            kinds.append(key);
        }
    };
    const QString shares = QStringLiteral("%shares");
    for (const VfsCopyItem &item : m_items) {
        if (m_names.needsShares(VfsCopyPathNames::Source, item.path))
            add(ListSourceShares, shares);
    }
    if (m_names.needsShares(VfsCopyPathNames::Destination, m_request.dstPath))
        add(ListDestinationShares, shares);
    for (const VfsCopyItem &item : m_items) {
        if (item.type == VfsCopyItem::DriveType)
            continue;
        const QString parent = srcParent(item.path);
        if (!parent.isEmpty() && parent != item.path)
            add(ListSourceParent, parent);
    }
    add(ListDestination, m_request.dstPath);
    if (samePeer()) {
        QStringList folders;
        for (const QString &key : qAsConst(kinds)) {
            if (key.startsWith(QLatin1String("0|")) || key.startsWith(QLatin1String("1|")))
                folders.append(key.mid(2));
        }
        for (const QString &folder : qAsConst(folders)) {
            const QString parent = srcParent(folder);
            if (!parent.isEmpty() && parent != folder)
                add(ListIdentity, folder);
        }
        // A folder item must not be the destination or any folder above it under another
        // name (a symbolic link or a bind mount in the destination path): it would copy
        // its own copies until the path or the disk runs out.
        const bool anyFolder = std::any_of(m_items.begin(), m_items.end(),
                                         [](const VfsCopyItem &i) { return i.type == VfsCopyItem::DirectoryType; });
        if (anyFolder) {
            for (const QString &folder : destinationChain())
                add(ListIdentity, folder);
        }
    }
    m_startParents = kinds;
    m_startIndex = -1;
    m_startPhase = 1;
    m_curDstEntries.clear();
    m_curDstVolume = 0;
    m_identity.clear();
    startNextListing();
}

void VfsCopyJob::startNextListing()
{
    ++m_startIndex;
    if (m_startIndex >= m_startParents.size()) {
        finishStart();
        return;
    }
    const QString key = m_startParents.at(m_startIndex);
    const int kind = key.left(1).toInt();
    const QString path = key.mid(2);
    VfsClient *client = kind == ListDestination || kind == ListDestinationShares ? m_dst : m_src;
    if (!client)
        return abortJob(QStringLiteral("client gone"), __LINE__);
    requestOwnListing(client, kind == ListIdentity ? srcParent(path) : path);
}

void VfsCopyJob::requestOwnListing(VfsClient *client, const QString &path)
{
    m_listFromSource = client == m_src.data();
    {
        QMutexLocker lock(&m_list.mutex);
        m_list.entries.clear();
        m_list.status = 0;
        m_list.path = path;
        m_list.watch = false;
        // Permissions for what the copy makes; change stamps to tell a rewritten source.
        m_list.attributes = FSO_ATTR_ALL | FSO_ATTR_PERMISSIONS | FSO_ATTR_CHANGE_STAMP;
    }
    m_listBusy = true;
    client->listDirectory(&m_list);
}

void VfsCopyJob::onStartListing()
{
    if (m_startIndex < 0 || m_startIndex >= m_startParents.size() || m_listBusy)
        return;
    const QString key = m_startParents.at(m_startIndex);
    const int kind = key.left(1).toInt();
    const QString path = key.mid(2);
    QMutexLocker lock(&m_list.mutex);
    if (kind == ListSourceShares || kind == ListDestinationShares) {
        // Without them the texts name a share "…"; the next start asks again.
        if (m_list.jobStatus == JobFinished)
            m_names.setShares(kind == ListSourceShares ? VfsCopyPathNames::Source : VfsCopyPathNames::Destination,
                              m_list.separator, m_list.entries);
        lock.unlock();
        return startNextListing();
    }
    if (m_list.jobStatus != JobFinished) {
        const quint8 status = m_list.status;
        lock.unlock();
        // A destination the other computer cannot even take as a path is no folder there
        // either: asking again would only be refused again.
        const bool notAPath = status == FSO_STATUS_INVALID_PARAMETER && kind == ListDestination;
        if (status == FSO_STATUS_NOT_FOUND || status == FSO_STATUS_NOT_A_DIRECTORY || notAPath) {
            if (kind == ListDestination)
                return failJob("copy-error-dst-missing", "The destination folder does not exist.",
                               shownDestination(path),
                               QStringLiteral("destination folder missing"), __LINE__);
            if (kind == ListSourceParent)
                return failJob("copy-error-source-missing", "The source no longer exists.", shownSource(path),
                               QStringLiteral("source folder missing"), __LINE__);
        }
        if (kind == ListIdentity) {
            // Only a safety check that could not be made: the folders stay unknown.
            lock.relock();
        } else if (kind == ListSourceParent
                   && repeatingFailure(status, QStringLiteral("list:") + path, path, unlistedParent(path))) {
            return;
        } else {
            return abortJob(QStringLiteral("start listing of %1 failed, status %2").arg(path).arg(status), __LINE__);
        }
    }
    if (kind == ListSourceParent) {
        m_srcSep = m_list.separator;
        std::map<QString, const VfsDirectoryEntry *> byName;
        for (const VfsDirectoryEntry &e : m_list.entries)
            byName[e.name] = &e;
        for (auto it = m_items.begin(); it != m_items.end();) {
            if (it->type == VfsCopyItem::DriveType || srcParent(it->path) != path) {
                ++it;
                continue;
            }
            const auto found = byName.find(srcName(it->path));
            if (found == byName.end()) {
                lock.unlock();
                return failJob("copy-error-source-missing", "The source no longer exists.", shownSource(it->path),
                               QStringLiteral("source item missing: %1").arg(it->path), __LINE__);
            }
            takeListingEntry(*it, *found->second, m_list.volumeSerial);
            if (it->type == VfsCopyItem::NoType) {
                logPrintf(LogVcpa, "ignore special file %s", qPrintable(it->path));
                it = m_items.erase(it);
                continue;
            }
            ++it;
        }
    } else if (kind == ListDestination) {
        m_dstSep = m_list.separator;
        m_curDstVolume = m_list.volumeSerial;
        m_flush.knowFolder(path, m_curDstVolume);
        for (const VfsDirectoryEntry &e : m_list.entries)
            m_curDstEntries[e.name] = destinationEntryOf(e);
    } else if (m_list.jobStatus == JobFinished) {
        const QString name = srcName(path);
        for (const VfsDirectoryEntry &e : m_list.entries) {
            if (e.name == name && e.fileIndex != 0)
                m_identity[path] = qMakePair(quint64(m_list.volumeSerial), quint64(e.fileIndex));
        }
    }
    lock.unlock();
    startNextListing();
}

VfsCopyJob::Failure VfsCopyJob::unlistedParent(const QString &path)
{
    // A source folder that cannot be listed: what was asked for in it is left out.
    auto inFolder = [this, path](const VfsCopyItem &i) {
        return i.type != VfsCopyItem::DriveType && srcParent(i.path) == path;
    };
    Failure failure;
    failure.kind = FailureUnreadable;
    failure.shownPath = shownSource(path);
    for (const VfsCopyItem &i : m_items) {
        if (inFolder(i))
            failure.items.append(i.path);
    }
    failure.skip = [this, inFolder] {
        m_items.erase(std::remove_if(m_items.begin(), m_items.end(), inFolder), m_items.end());
        startNextListing();
    };
    failure.retry = [this] {
        --m_startIndex; // the same listing again
        startNextListing();
    };
    return failure;
}

void VfsCopyJob::resolveDuplicateNames()
{
    if (m_namesResolved)
        return;
    m_namesResolved = true;
    if (!samePeer())
        return;
    const bool folded = m_dstSep == QLatin1Char('\\');
    QSet<QString> taken;
    for (const auto &e : m_curDstEntries)
        taken.insert(folded ? e.first.toLower() : e.first);
    for (VfsCopyItem &item : m_items) {
        if (srcParent(item.path) != m_request.dstPath)
            continue;
        const QString name = srcName(item.path);
        QString chosen;
        for (int n = 1; n <= 127 && chosen.isEmpty(); ++n) {
            const QString candidate = duplicateName(name, item.type == VfsCopyItem::DirectoryType, n);
            if (!taken.contains(folded ? candidate.toLower() : candidate))
                chosen = candidate;
        }
        if (chosen.isEmpty()) {
            logPrintf(LogVcpa, "failed to figure out a duplicate name for %s", qPrintable(item.path));
            return failJob("copy-error-no-duplicate-name", "No free name for the copy was found.",
                           shownSource(item.path),
                           QStringLiteral("no duplicate name"), __LINE__);
        }
        taken.insert(folded ? chosen.toLower() : chosen);
        item.renameFrom = item.path;
        item.renameTo = joinDst(m_request.dstPath, chosen);
        logPrintf(LogVcpa, "> %s --> %s", qPrintable(item.renameFrom), qPrintable(item.renameTo));
    }
}

void VfsCopyJob::finishStart()
{
    m_startPhase = 0;
    // The same folder under two names (a symbolic link, a bind mount): every file of the
    // same name would be copied onto itself.
    if (samePeer()) {
        const auto dst = m_identity.constFind(m_request.dstPath);
        if (dst != m_identity.constEnd()) {
            for (auto it = m_identity.constBegin(); it != m_identity.constEnd(); ++it) {
                if (it.key() != m_request.dstPath && it.value() == dst.value())
                    return failJob("copy-error-same-file", "Source and destination are the same file.",
                                   shownSource(it.key()),
                                   QStringLiteral("source folder %1 is the destination").arg(it.key()), __LINE__);
            }
        }
        // A folder item that is the destination folder, or a folder above it, under
        // another name.
        const QStringList chain = destinationChain();
        for (const VfsCopyItem &item : m_items) {
            if (item.type != VfsCopyItem::DirectoryType)
                continue;
            for (const QString &folder : chain) {
                const auto id = m_identity.constFind(folder);
                if (id != m_identity.constEnd() && sameIdentity(item.volume, item.fileId, id.value().first, id.value().second))
                    return failJob("copy-error-into-itself", "A folder cannot be copied into itself.",
                                   shownSource(item.path),
                                   QStringLiteral("folder %1 into itself at %2").arg(item.path, folder), __LINE__);
            }
        }
    }
    if (m_fatal)
        return;
    resolveDuplicateNames();
    if (m_fatal)
        return;
    m_work = m_items;
    m_laneTried = false;
    m_curDstFolder = m_request.dstPath;
    m_pendingFolder = VfsCopyItem();
    m_pendingFolderDst.clear();
    m_batches.clear();
    if (m_countingPass) {
        quint64 total = 0;
        int files = 0;
        for (const VfsCopyItem &item : m_work) {
            if (item.type == VfsCopyItem::FileType) {
                total += item.size;
                ++files;
            }
        }
        m_bytesTotal = total;
        m_fileCount = files;
        Q_EMIT bytesTotalChanged();
        Q_EMIT totalFileCountChanged();
        Q_EMIT stateChanged();
    } else {
        m_finishedFiles.passBegins();
        m_flush.flushWhileCopying(m_dst, m_timings.flushIntervalMs);
    }
    setJobState(CopyStateNextItem, __LINE__);
    // What was left out stays named; any other message belonged to the failure before.
    setPrompt(leftOutPrompt());
    setCurrentFile(QString());
    startTimer(0, JobActionStep, __LINE__);
}

// --- state 1: next item ----------------------------------------------------------------------

void VfsCopyJob::stateNextItem(int action)
{
    if (action != JobActionStep && action != JobActionReply)
        return;
    if (m_verifyIndex >= 0) {
        verifySources(action);
        return;
    }
    if (m_work.empty()) {
        if (!m_pendingFolder.path.isEmpty()) {
            logPrintf(LogVcpa, "process timestamp %s", qPrintable(m_pendingFolder.path));
            setJobState(CopyStateFolderTimes, __LINE__);
        } else if (m_batches.empty()) {
            if (m_countingPass) {
                m_countingPass = false;
                m_startPhase = 0;
                m_heldTotal = 0; // counted again: the total stands
                setJobState(CopyStateStart, __LINE__);
            } else {
                m_copyPassDone = true;
                if (!settleFinished(action) || !syncDestination() || !verifySources(action))
                    return;
                // The end shows what this pass copied, whatever a pause held before.
                m_heldCopied = 0;
                setJobState(hasSourcesToDelete() ? CopyStateDeleteSources : CopyStateFinished, __LINE__);
                Q_EMIT stateChanged();
            }
        } else {
            VfsCopyBatch batch = std::move(m_batches.back());
            m_batches.pop_back();
            logPrintf(LogVcpa, "process batch %s", qPrintable(batch.srcPath));
            m_work = std::move(batch.children);
            m_laneTried = false;
            m_curDstFolder = batch.dstPath;
            m_curDstEntries = std::move(batch.dstEntries);
            m_curDstVolume = batch.dstVolume;
            if (!m_countingPass) {
                m_pendingFolder = batch.item;
                m_pendingFolderDst = vfsApplyRename(batch.dstPath, batch.item.renameFrom, batch.item.renameTo);
            }
        }
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    if (!m_countingPass && !m_laneTried && startLane())
        return;
    if (m_work.empty()) {
        // Every file of the folder was finished already.
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    const VfsCopyItem &item = m_work.back();
    switch (item.type) {
    case VfsCopyItem::DirectoryType:
        setJobState(CopyStateMakeDirectory, __LINE__);
        break;
    case VfsCopyItem::FileType:
        if (m_countingPass) {
            m_work.pop_back();
        } else {
            m_curItem = item;
            m_work.pop_back();
            m_curFileSize = m_curItem.size;
            m_curFileComplete = false;
            m_skipping = false;
            m_movingAside = false;
            m_checkingInPlace = m_curInPlace = m_inPlaceChecked = m_writeAfterCheck = false;
            m_closePhase = 0;
            setJobState(CopyStateOpenSource, __LINE__);
        }
        break;
    case VfsCopyItem::DriveType:
        logPrintf(LogVcpa, "ignore copy drive type entry");
        m_work.pop_back();
        break;
    default:
        // Symbolic links and special files are not copied.
        m_work.pop_back();
        break;
    }
    startTimer(0, JobActionStep, __LINE__);
}

// --- state 7: make a folder ------------------------------------------------------------------

void VfsCopyJob::stateMakeDirectory(int action)
{
    if (action == JobActionStep) {
        const VfsCopyItem item = m_work.back();
        if (m_leftOut.contains(item.path)) {
            // Left out in the counting pass: no empty copy of it at the destination.
            m_work.pop_back();
            setJobState(CopyStateNextItem, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        QString name = srcName(item.path);
        if (name.startsWith(QLatin1Char('{')) && name.endsWith(QLatin1Char('}')))
            name = destinationName(item);
        if (name.isEmpty())
            return failJob("copy-error-source-missing", "The source no longer exists.", shownSource(item.path),
                           QStringLiteral("mkdir malformed path %1").arg(item.path), __LINE__);
        VfsCopyBatch batch;
        batch.srcPath = item.path;
        // The batch keeps the folder as named in the source; the rename of a copy into its
        // own folder applies to every path sent to the destination.
        batch.dstPath = joinDst(m_curDstFolder, name);
        const QString renamed = vfsApplyRename(batch.dstPath, item.renameFrom, item.renameTo);
        batch.renameFrom = item.renameFrom;
        batch.renameTo = item.renameTo;
        batch.item = item;
        const QString finalName = renamed.mid(renamed.lastIndexOf(m_dstSep) + 1);
        const auto existing = m_curDstEntries.find(finalName);
        if (!m_countingPass && existing != m_curDstEntries.end()) {
            const VfsCopyDestinationEntry &e = existing->second;
            if (e.type == VfsCopyItem::FileType)
                return failJob("copy-error-dst-not-folder", "The destination has a file where a folder should go.",
                               shownDestination(renamed),
                               QStringLiteral("mkdir over a file %1").arg(renamed), __LINE__);
            if (sameIdentity(item.volume, item.fileId, m_curDstVolume, e.fileId))
                return failJob("copy-error-same-file", "Source and destination are the same file.",
                               shownDestination(renamed),
                               QStringLiteral("folder onto itself %1").arg(renamed), __LINE__);
        }
        m_work.pop_back();
        const QString dst = renamed;
        m_batches.push_back(std::move(batch));
        if (m_countingPass) {
            logPrintf(LogVcpa, "crawl dir %s", qPrintable(item.path));
            setJobState(CopyStateReadDirectory, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        if (!m_dst)
            return abortJob(QStringLiteral("destination client gone"), __LINE__);
        m_mkdir.flags = 0;
        m_mkdir.path = dst;
        m_mkdir.detail = 0;
        m_mkdirBusy = true;
        logPrintf(LogVcpa, "mkdir %s", qPrintable(dst));
        setCurrentFile(m_names.shownPathOnly(VfsCopyPathNames::Destination, dst, m_dstSep));
        m_dst->makeDirectory(&m_mkdir);
        return;
    }
    if (action != JobActionReply || m_mkdirBusy)
        return;
    if (m_mkdir.jobStatus == JobFinished && m_mkdir.status == FSO_STATUS_SUCCESS) {
        if (m_mkdir.detail != FSO_MKDIR_DETAIL_EXISTED)
            noteWrittenFolder(m_mkdir.path, m_curDstVolume);
        setJobState(CopyStateReadDirectory, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    } else if (m_mkdir.jobStatus == JobFinished && m_mkdir.detail == FSO_MKDIR_DETAIL_NOT_A_DIRECTORY) {
        failJob("copy-error-dst-not-folder", "The destination has a file where a folder should go.",
                shownDestination(m_mkdir.path),
                QStringLiteral("mkdir %1 failed, not a directory").arg(m_mkdir.path), __LINE__);
    } else {
        if (!m_batches.empty()) {
            // A folder the destination will not make: its whole tree is left out.
            Failure failure;
            failure.kind = FailureUnwritable;
            failure.shownPath = shownDestination(m_mkdir.path);
            failure.items.append(m_batches.back().srcPath);
            failure.skip = [this] {
                m_batches.pop_back();
                setJobState(CopyStateNextItem, __LINE__);
                startTimer(0, JobActionStep, __LINE__);
            };
            failure.retry = [this] {
                // The folder goes back to the work list; the step makes it again.
                m_work.push_back(m_batches.back().item);
                m_batches.pop_back();
                startTimer(0, JobActionStep, __LINE__);
            };
            if (repeatingFailure(m_mkdir.status, QStringLiteral("mkdir:") + m_batches.back().srcPath, m_mkdir.path,
                                 std::move(failure)))
                return;
        }
        abortJob(QStringLiteral("mkdir %1 failed, status: %2").arg(m_mkdir.path).arg(m_mkdir.status), __LINE__);
    }
}

// --- state 8: read a folder ------------------------------------------------------------------

void VfsCopyJob::stateReadDirectory(int action)
{
    if (action == JobActionEnter) {
        m_startPhase = 0;
        return;
    }
    if (m_batches.empty())
        return;
    VfsCopyBatch &batch = m_batches.back();
    if (action == JobActionStep) {
        if (m_listBusy)
            return;
        VfsClient *client = m_startPhase == 0 ? m_src.data() : m_dst.data();
        if (!client)
            return abortJob(QStringLiteral("client gone"), __LINE__);
        requestOwnListing(client, m_startPhase == 0 ? batch.srcPath
                                                    : vfsApplyRename(batch.dstPath, batch.renameFrom, batch.renameTo));
        return;
    }
    if (action != JobActionReply || m_listBusy)
        return;
    QMutexLocker lock(&m_list.mutex);
    if (m_list.jobStatus != JobFinished) {
        const quint8 status = m_list.status;
        lock.unlock();
        if (m_startPhase == 0 && (status == FSO_STATUS_NOT_FOUND || status == FSO_STATUS_NOT_A_DIRECTORY))
            return failJob("copy-error-source-missing", "The source no longer exists.", shownSource(batch.srcPath),
                           QStringLiteral("source folder gone %1").arg(batch.srcPath), __LINE__);
        if (m_startPhase == 0) {
            // A folder that cannot be listed is left out with all it holds; a cut keeps it.
            Failure failure;
            failure.kind = FailureUnreadable;
            failure.shownPath = shownSource(batch.srcPath);
            failure.items.append(batch.srcPath);
            failure.skip = [this] {
                m_batches.pop_back();
                setJobState(CopyStateNextItem, __LINE__);
                startTimer(0, JobActionStep, __LINE__);
            };
            failure.retry = [this] { startTimer(0, JobActionStep, __LINE__); };
            const QString key = QStringLiteral("list:") + batch.srcPath;
            if (repeatingFailure(status, key, batch.srcPath, std::move(failure)))
                return;
        }
        return abortJob(QStringLiteral("listing failed, status %1").arg(status), __LINE__);
    }
    if (m_startPhase == 0) {
        quint64 added = 0;
        int files = 0;
        batch.children.clear();
        for (const VfsDirectoryEntry &e : m_list.entries) {
            VfsCopyItem child;
            child.path = joinSrc(batch.srcPath, e.name);
            child.renameFrom = batch.renameFrom;
            child.renameTo = batch.renameTo;
            takeListingEntry(child, e, m_list.volumeSerial);
            if (child.type == VfsCopyItem::NoType) {
                logPrintf(LogVcpa, "ignore special file %s", qPrintable(child.path));
                continue;
            }
            // What another copy into this folder has not finished is its own, not the folder's.
            if (child.type == VfsCopyItem::FileType && isPartialName(e.name)) {
                logPrintf(LogVcpa, "leave out unfinished copy %s", qPrintable(child.path));
                continue;
            }
            if (child.type == VfsCopyItem::FileType) {
                added += child.size;
                ++files;
            }
            batch.children.push_back(child);
        }
        // What the source could not hand over is named, never passed over in silence.
        QStringList unreachable;
        for (const QString &name : m_list.leftOut)
            unreachable.append(joinSrc(batch.srcPath, name));
        lock.unlock();
        for (const QString &path : qAsConst(unreachable))
            leaveOut(path, failureReason(FailureUnreadable));
        if (m_countingPass) {
            if (files) {
                m_bytesTotal.fetch_add(added);
                m_fileCount.fetch_add(files);
                Q_EMIT bytesTotalChanged();
                Q_EMIT totalFileCountChanged();
            }
            setJobState(CopyStateNextItem, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        // What the destination folder holds decides replace questions and refusals.
        m_startPhase = 1;
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    batch.dstEntries.clear();
    batch.dstVolume = m_list.volumeSerial;
    m_flush.knowFolder(m_list.path, batch.dstVolume);
    for (const VfsDirectoryEntry &e : m_list.entries)
        batch.dstEntries[e.name] = destinationEntryOf(e);
    lock.unlock();
    m_startPhase = 0;
    setJobState(CopyStateNextItem, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

// --- state 9: folder times -------------------------------------------------------------------

// The folder is complete with its times: it counts among the copied ones.
void VfsCopyJob::pendingFolderDone()
{
    if (!m_folderSet.contains(m_pendingFolder.path)) {
        m_folderSet.insert(m_pendingFolder.path);
        m_result.folders.append(m_pendingFolder.path);
    }
    m_pendingFolder = VfsCopyItem();
    setJobState(CopyStateNextItem, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::stateFolderTimes(int action)
{
    if (action == JobActionStep) {
        if (m_pendingFolder.atime <= 0 && m_pendingFolder.mtime <= 0 && m_pendingFolder.permissions < 0)
            return pendingFolderDone();
        if (!m_dst)
            return abortJob(QStringLiteral("destination client gone"), __LINE__);
        // The times belong to the folder that was created on the destination; a read-only
        // folder gets its mode only now, after everything was written into it.
        logPrintf(LogVcpa, "open update attributes %s", qPrintable(m_pendingFolderDst));
        sendAttributes(m_pendingFolder, m_pendingFolderDst);
        return;
    }
    if (action != JobActionReply || m_openBusy)
        return;
    if (m_open.jobStatus == JobFinished
        && (m_open.status == FSO_STATUS_COMPLETE || m_open.status == FSO_STATUS_INVALID_PARAMETER)) {
        pendingFolderDone();
    } else {
        // A destination that takes the folder's files but not its times (a read-only
        // mount) would fail the same way after every retry.
        Failure failure;
        failure.kind = FailureUnwritable;
        failure.shownPath = shownDestination(m_pendingFolderDst);
        failure.items.append(m_pendingFolder.path);
        // Not asked again about a folder whose content was skipped: it is incomplete anyway.
        failure.incompleteBelow = joinSrc(m_pendingFolder.path, QString());
        failure.skip = [this] {
            m_pendingFolder = VfsCopyItem();
            setJobState(CopyStateNextItem, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
        };
        failure.retry = [this] { startTimer(0, JobActionStep, __LINE__); };
        const QString key = QStringLiteral("times:") + m_pendingFolder.path;
        if (!repeatingFailure(m_open.status, key, m_pendingFolderDst, std::move(failure))) {
            m_pendingFolder = VfsCopyItem();
            abortJob(QStringLiteral("failed to update attributes status: %1").arg(m_open.status), __LINE__);
        }
    }
}
