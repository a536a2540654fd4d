#include "vfs/jobs/vfscopyjob.h"

#include "app/base/log.h"
#include "peers/ipeer.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/fso/vfsclientnusk.h"
#include "vfs/fso/vfsmessage.h"

#include <QDateTime>
#include <QLocale>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>

namespace {

using vfstext::message;

int itemTypeOf(const VfsDirectoryEntry &entry)
{
    std::uint8_t type = entry.type;
    if (type == FSO_ENTRY_SHARE)
        type = entry.linkTargetType == FSO_WIRE_TYPE_DIRECTORY ? FSO_ENTRY_DIRECTORY
               : entry.linkTargetType == FSO_WIRE_TYPE_FILE    ? FSO_ENTRY_FILE
                                                               : entry.linkTargetType;
    switch (type) {
    case FSO_ENTRY_FILE: return VfsCopyItem::FileType;
    case FSO_ENTRY_DIRECTORY: return VfsCopyItem::DirectoryType;
    case FSO_ENTRY_LINK: return VfsCopyItem::SymlinkType;
    default: return VfsCopyItem::NoType;
    }
}

// What a listing says about an item: its type, size, times and identity.
void takeListingEntry(VfsCopyItem &item, const VfsDirectoryEntry &e, quint64 volume)
{
    item.type = itemTypeOf(e);
    vfsTakeListingEntry(item, e, volume);
}

VfsCopyDestinationEntry destinationEntryOf(const VfsDirectoryEntry &entry)
{
    VfsCopyDestinationEntry d;
    d.type = itemTypeOf(entry);
    d.size = entry.size;
    d.mtime = entry.modifyTime;
    d.fileId = entry.fileIndex;
    d.links = entry.linkCount;
    return d;
}

// Planned listings of the start: refresh the items from their folders, read the destination
// folder, and learn the identity of both folders.
enum StartListingKind { ListSourceParent = 0, ListDestination = 1, ListIdentity = 2 };

} // namespace

VfsCopyJob::VfsCopyJob(QObject *parent)
    : VfsJob(parent)
    , m_transfer(transferEvents())
    , m_lane(laneEvents())
{
    setType(QStringLiteral("copy"));
    qRegisterMetaType<VfsCopyDto>("VfsCopyDto");
    qRegisterMetaType<VfsCopyResult>("VfsCopyResult");
    // Every record's answer comes back to this job alone, on its thread.
    answerTo(this, m_open, &VfsCopyJob::onOpenFileJobUpdate);
    answerTo(this, m_closeSrc, &VfsCopyJob::onCloseFileJobUpdate);
    answerTo(this, m_closeDst, &VfsCopyJob::onCloseFileJobUpdate);
    answerTo(this, m_list, &VfsCopyJob::onListDirectoryJobUpdate);
    answerTo(this, m_mkdir, &VfsCopyJob::onMakeDirectoryJobUpdate);
    answerTo(this, m_move, &VfsCopyJob::onMoveJobUpdate);
    answerTo(this, m_sync, &VfsCopyJob::onSyncJobUpdate);
}

VfsBlockTransfer::Events VfsCopyJob::transferEvents()
{
    VfsBlockTransfer::Events e;
    e.post = [this](std::function<void()> work) { postTo(this, std::move(work)); };
    e.answered = [this] { onTransferAnswered(); };
    e.hashAnswered = [this] { startTimer(0, JobActionReply, __LINE__); };
    e.stepSoon = [this] { startTimer(0, JobActionStep, __LINE__); };
    e.copied = [this](quint64 n) { addBytesCopied(n); };
    e.written = [this](quint64 n) { onBytesWritten(n); };
    e.writing = [this](quint64 n) {
        // Counted as it leaves: a write that reached the disk but whose answer a cut lost
        // was sent all the same.
        m_bytesSent.fetch_add(n);
        if (!m_speedTimer.isValid()) {
            m_speedTimer.start();
            m_writtenSinceSample = 0;
        }
    };
    e.shortWrite = [this] { m_shortWrite = true; };
    e.progress = [this] { m_changeFlags |= 1; };
    e.sourceClosed = [this] { m_srcHandle = 0; };
    e.destinationClosed = [this] { m_dstHandle = 0; };
    return e;
}

VfsSmallFileLane::Events VfsCopyJob::laneEvents()
{
    VfsSmallFileLane::Events e;
    e.post = [this](std::function<void()> work) { postTo(this, std::move(work)); };
    e.answered = [this] {
        if (m_copyState == CopyStateSmallFiles && !m_abort && !m_aborting)
            process(JobActionReply);
        else
            startTimer(0, JobActionReply, __LINE__);
    };
    // Thousands of files a second: the window hears of them a few times a second, not each.
    e.started = [this](const VfsSmallFileLane::File &f) {
        if (!m_laneNotify.isValid() || m_laneNotify.elapsed() >= kLaneNotifyMs)
            setCurrentFile(f.dstPath.mid(f.dstPath.lastIndexOf(m_dstSep) + 1));
    };
    e.writing = [this](quint64 n) {
        m_bytesSent.fetch_add(n);
        if (!m_speedTimer.isValid()) {
            m_speedTimer.start();
            m_writtenSinceSample = 0;
        }
    };
    e.written = [this](quint64 n) { onBytesWritten(n); };
    e.renaming = [this](const VfsSmallFileLane::File &f) { m_maybeOwnDestinations.insert(f.dstPath); };
    e.renamed = [this](const VfsSmallFileLane::File &f, bool answered) {
        // Unanswered, the rename may have happened: a retry finds out as for the other path.
        if (answered)
            m_maybeOwnDestinations.remove(f.dstPath);
    };
    e.finished = [this](const VfsSmallFileLane::File &f) {
        m_ownDestinations.insert(f.dstPath);
        noteWrittenFolder(f.dstPath.left(f.dstPath.lastIndexOf(m_dstSep)), m_curDstVolume);
        addBytesCopied(f.item.size);
        if (!m_laneNotify.isValid() || m_laneNotify.elapsed() >= kLaneNotifyMs) {
            m_changeFlags |= 1;
            m_laneNotify.start();
        }
        noteFinished(f.item);
    };
    e.handedBack = [this](const VfsSmallFileLane::File &f) {
        m_laneHandedBack.push_back(f.item);
        if (m_laneFolder.isEmpty())
            m_laneFolder = f.dstPath.left(f.dstPath.lastIndexOf(m_dstSep));
    };
    return e;
}

VfsCopyJob::~VfsCopyJob()
{
    // Nothing the client still holds may point into a destroyed job.
    releaseAllRecords();
}

void VfsCopyJob::setPeers(IPeer *source, IPeer *destination)
{
    m_srcPeer = source;
    m_dstPeer = destination;
}

void VfsCopyJob::setRequest(const VfsCopyDto &request)
{
    m_request = request;
    m_items = request.items;
    m_namesResolved = false;
}

void VfsCopyJob::setDeleteDelays(int finishedMs, int abortedMs)
{
    m_timings.finishedDeleteMs = finishedMs;
    m_timings.abortedDeleteMs = abortedMs;
}

// --- figures --------------------------------------------------------------------------------

QString VfsCopyJob::bytesCopied() const
{
    return QLocale().formattedDataSize(qint64(m_bytesCopied.load()), 0, QLocale::DataSizeSIFormat);
}

QString VfsCopyJob::bytesTotal() const
{
    return QLocale().formattedDataSize(qint64(m_bytesTotal.load()), 0, QLocale::DataSizeSIFormat);
}

double VfsCopyJob::percentOf(quint64 copied, quint64 total)
{
    if (total == 0)
        return 0.0;
    if (copied >= total)
        return 100.0;
    return double(copied) * 100.0 / double(total);
}

double VfsCopyJob::percentDone() const
{
    QMutexLocker lock(&m_uiMutex);
    return percentOf(m_bytesCopied.load(), m_bytesTotal.load());
}

QString VfsCopyJob::userActionPrompt() const
{
    QMutexLocker lock(&m_uiMutex);
    return m_prompt;
}

QString VfsCopyJob::currentFile() const
{
    QMutexLocker lock(&m_uiMutex);
    return m_currentFile;
}

QString VfsCopyJob::writeSpeed() const
{
    return QLocale().formattedDataSize(qMax<qint64>(0, m_speed.load()), 2, QLocale::DataSizeSIFormat)
           + QStringLiteral("/s");
}

QString VfsCopyJob::remainingTimeText(qint64 seconds)
{
    if (seconds < 0)
        return QString();
    if (seconds <= 9)
        return message("copy-eta-seconds", "nearly done");
    if (seconds <= 60)
        return message("copy-eta-less1minute", "less than a minute");
    if (seconds <= 3599)
        return message("copy-eta-minutes", "about %1 minutes").arg(seconds / 60);
    return message("copy-eta-hours", "about %1 hours").arg(seconds / 3600);
}

QString VfsCopyJob::remainingTime() const
{
    return remainingTimeText(m_remaining.load());
}

VfsCopyResult VfsCopyJob::result() const
{
    return m_result;
}

QString VfsCopyJob::duplicateName(const QString &name, bool isFolder, int n)
{
    QString base = name;
    QString extension;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (!isFolder && dot > 0 && !name.endsWith(QLatin1Char('.'))) {
        base = name.left(dot);
        extension = name.mid(dot);
    }
    auto marker = [](int k) { return message("file-copy-count", k == 1 ? "(Copy)" : "(%n. Copy)", k); };
    for (int k = 1; k <= 127; ++k) {
        const QString m = marker(k);
        if (base.endsWith(m, Qt::CaseInsensitive)) {
            base = base.left(base.size() - m.size()).trimmed();
            break;
        }
    }
    return QStringLiteral("%1 %2%3").arg(base, marker(n), extension);
}

QString VfsCopyJob::partialName(const QString &name)
{
    return QLatin1Char('.') + name + QStringLiteral(".nusk-part");
}

// --- user actions ----------------------------------------------------------------------------

VfsJob::VfsJobState VfsCopyJob::state() const
{
    const int st = m_copyState.load();
    const int errors = m_errorCount.load();
    if (m_aborting || (st == CopyStateError && errors >= kFatalErrorCount))
        return VfsJobStateAborted;
    if (m_failureQuestion)
        return VfsJobStateQuestion;
    if (m_countingPass && errors == 0 && st != CopyStateFinished)
        return VfsJobStateInit;
    switch (st) {
    case CopyStateStart: return errors > 0 ? VfsJobStatePaused : VfsJobStateInit;
    case CopyStateOpenDestination: return m_questionPending ? VfsJobStateQuestion : VfsJobStateRunning;
    case CopyStateError: return VfsJobStatePaused;
    case CopyStateFinished: return VfsJobStateFinished;
    case CopyStateRestart: return VfsJobStatePaused;
    default: return VfsJobStateRunning;
    }
}

bool VfsCopyJob::userActionEnabled(int action) const
{
    const VfsJobState s = state();
    if (s == VfsJobStateRunning || s == VfsJobStatePaused || s == VfsJobStateInit)
        return action == UserActionAbort;
    if (s == VfsJobStateQuestion && m_failureQuestion)
        return action == UserActionAbort || action == UserActionSkip || action == UserActionSkipAll
               || action == UserActionRetry;
    if (s == VfsJobStateQuestion)
        return action == UserActionAbort || action == UserActionSkip || action == UserActionSkipAll
               || action == UserActionOverwrite;
    if (s == VfsJobStateAborted)
        return action == UserActionAbort && !m_aborting;
    return false;
}

// The job windows call the answers from the GUI thread; the job's state and its timer
// belong to the job's own thread.
#define NUSK_ON_JOB_THREAD(method)                                                                 \
    if (QThread::currentThread() != thread()) {                                                    \
        QMetaObject::invokeMethod(this, &VfsCopyJob::method, Qt::QueuedConnection);                \
        return;                                                                                    \
    }

void VfsCopyJob::abort()
{
    NUSK_ON_JOB_THREAD(abort)
    m_abort = true;
    // Not after the pause of a retry: at once.
    stopTimer();
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::skipCurrentItem()
{
    NUSK_ON_JOB_THREAD(skipCurrentItem)
    Failure failure;
    if (takeFailure(failure)) {
        logPrintf(LogVcpa, "skip %s", qPrintable(failure.shownPath));
        leaveOutFailure(failure);
        failure.skip();
        return;
    }
    if (m_copyState != CopyStateOpenDestination || state() != VfsJobStateQuestion)
        return;
    skipClash();
}

void VfsCopyJob::skipClash()
{
    logPrintf(LogVcpa, "skip file %s", qPrintable(m_curItem.path));
    setPrompt(QString());
    m_questionPending = false;
    m_skipping = true;
    m_curFileComplete = false;
    // The source was opened for this file; close it like every other handle.
    setJobState(CopyStateCloseSource, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::replaceCurrentItem()
{
    NUSK_ON_JOB_THREAD(replaceCurrentItem)
    if (m_copyState != CopyStateOpenDestination || state() != VfsJobStateQuestion)
        return;
    logPrintf(LogVcpa, "overwrite file %s", qPrintable(m_curDstPath));
    if (!m_replaceAll && !m_replaceList.contains(m_curDstPath))
        m_replaceList.append(m_curDstPath);
    setPrompt(QString());
    m_replaceCurrent = true;
    m_questionPending = false;
    Q_EMIT stateChanged();
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::replaceAllItems()
{
    NUSK_ON_JOB_THREAD(replaceAllItems)
    if (m_copyState != CopyStateOpenDestination || state() != VfsJobStateQuestion)
        return;
    setPrompt(QString());
    m_replaceList.clear();
    m_replaceCurrent = true;
    m_replaceAll = true;
    m_questionPending = false;
    Q_EMIT stateChanged();
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::skipAllItems()
{
    NUSK_ON_JOB_THREAD(skipAllItems)
    Failure failure;
    if (!takeFailure(failure)) {
        // A name clash: this file and every later one that exists already are left as they are.
        if (m_copyState != CopyStateOpenDestination || state() != VfsJobStateQuestion)
            return;
        m_skipAllClashes = true;
        skipClash();
        return;
    }
    logPrintf(LogVcpa, "skip %s and every later failure of kind %d", qPrintable(failure.shownPath), failure.kind);
    m_skipAllKinds.insert(failure.kind);
    leaveOutFailure(failure);
    failure.skip();
}

void VfsCopyJob::retryCurrentItem()
{
    NUSK_ON_JOB_THREAD(retryCurrentItem)
    Failure failure;
    if (!takeFailure(failure))
        return;
    logPrintf(LogVcpa, "retry %s", qPrintable(failure.shownPath));
    failure.retry();
}

#undef NUSK_ON_JOB_THREAD

// --- helpers ---------------------------------------------------------------------------------

// Stores a text the window reads under the job's mutex; true when it changed.
bool VfsCopyJob::storeUiText(QString &field, const QString &text)
{
    QMutexLocker lock(&m_uiMutex);
    if (field == text)
        return false;
    field = text;
    return true;
}

void VfsCopyJob::setPrompt(const QString &text)
{
    if (storeUiText(m_prompt, text))
        Q_EMIT userActionPromptChanged();
}

void VfsCopyJob::setCurrentFile(const QString &text)
{
    if (storeUiText(m_currentFile, text))
        Q_EMIT currentFileChanged();
}

void VfsCopyJob::addBytesCopied(quint64 n)
{
    m_bytesCopied.fetch_add(n);
}

void VfsCopyJob::setJobState(int newState, int line)
{
    const int old = m_copyState.load();
    if (old == newState)
        return;
    logPrintf(LogVcpa, "copy job state %d -> %d (line %d)", old, newState, line);
    process(JobActionLeave);
    m_copyState.exchange(newState);
    process(JobActionEnter);
    Q_EMIT stateChanged();
}

void VfsCopyJob::abortJob(const QString &reason, int line)
{
    logPrintf(LogVcpa, "abort job %s, line: %d", qPrintable(reason), line);
    if (m_copyState != CopyStateError) {
        setJobState(CopyStateError, line);
        Q_EMIT stateChanged();
    }
    startTimer(0, JobActionStep, line);
}

void VfsCopyJob::failJob(const char *messageId, const char *english, const QString &reason, int line)
{
    setPrompt(message(messageId, english));
    m_fatal = true;
    abortJob(reason, line);
}

bool VfsCopyJob::anyRecordBusy() const
{
    return m_openBusy || m_closeSrcBusy || m_closeDstBusy || m_listBusy || m_mkdirBusy || m_moveBusy
           || m_syncBusy || m_transfer.anyBusy() || m_lane.anyBusy();
}


void VfsCopyJob::releaseAllRecords()
{
    releaseIfBusy(m_open, m_openBusy);
    releaseIfBusy(m_closeSrc, m_closeSrcBusy);
    releaseIfBusy(m_closeDst, m_closeDstBusy);
    m_lane.withdraw(true);
    withdrawForEnd();
}

void VfsCopyJob::withdrawForEnd()
{
    releaseIfBusy(m_list, m_listBusy);
    releaseIfBusy(m_mkdir, m_mkdirBusy);
    releaseIfBusy(m_move, m_moveBusy);
    releaseIfBusy(m_sync, m_syncBusy);
    m_transfer.withdraw();
    m_lane.withdraw();
}

void VfsCopyJob::adoptAnsweredOpen()
{
    if (m_openBusy || m_openFor == OpenForNothing)
        return;
    if (m_open.jobStatus == JobFinished && m_open.status == FSO_STATUS_SUCCESS && m_open.handle) {
        if (m_openFor == OpenForSource && !m_srcHandle)
            m_srcHandle = m_open.handle;
        else if (m_openFor == OpenForDestination && !m_dstHandle)
            m_dstHandle = m_open.handle;
    }
    m_openFor = OpenForNothing;
}

bool VfsCopyJob::closeHandles()
{
    if (m_srcHandle && !m_closeSrcBusy) {
        if (!m_src) {
            m_srcHandle = 0;
        } else {
            m_closeSrc.flags = 0;
            m_closeSrc.handle = m_srcHandle;
            m_closeSrcBusy = true;
            logPrintf(LogVcpa, "close read file handle %u", unsigned(m_srcHandle));
            m_src->closeFile(&m_closeSrc);
        }
    }
    if (m_dstHandle && !m_closeDstBusy) {
        if (!m_dst) {
            m_dstHandle = 0;
        } else {
            m_closeDst.flags = 0;
            m_closeDst.handle = m_dstHandle;
            m_closeDstBusy = true;
            logPrintf(LogVcpa, "close write file handle %u", unsigned(m_dstHandle));
            m_dst->closeFile(&m_closeDst);
        }
    }
    const bool laneClosed = m_lane.closeHandles();
    return m_srcHandle == 0 && m_dstHandle == 0 && laneClosed;
}

bool VfsCopyJob::samePeer() const
{
    return m_request.srcPeerUuid == m_request.dstPeerUuid;
}

bool VfsCopyJob::sameIdentity(quint64 volA, quint64 idA, quint64 volB, quint64 idB) const
{
    return samePeer() && idA != 0 && idA == idB && volA == volB;
}

QStringList VfsCopyJob::destinationChain() const
{
    QStringList chain;
    QString path = m_request.dstPath;
    while (!path.isEmpty()) {
        const QString parent = srcParent(path);
        if (parent.isEmpty() || parent == path)
            break;
        chain.append(path);
        path = parent;
    }
    return chain;
}

QString VfsCopyJob::joinDst(const QString &folder, const QString &name) const
{
    if (folder.endsWith(m_dstSep))
        return folder + name;
    return folder + m_dstSep + name;
}

QString VfsCopyJob::joinSrc(const QString &folder, const QString &name) const
{
    if (folder.endsWith(m_srcSep))
        return folder + name;
    return folder + m_srcSep + name;
}

QString VfsCopyJob::srcName(const QString &path) const
{
    const int pos = path.lastIndexOf(m_srcSep);
    if (pos < 0)
        return QString();
    return path.mid(pos + 1);
}

QString VfsCopyJob::srcParent(const QString &path) const
{
    const int pos = path.lastIndexOf(m_srcSep);
    if (pos < 0)
        return QString();
    if (pos == 0)
        return path.left(1);
    if (pos == 2 && path.at(1) == QLatin1Char(':'))
        return path.left(3); // "C:\"
    return path.left(pos);
}

QString VfsCopyJob::destinationName(const VfsCopyItem &item) const
{
    const QString name = srcName(item.path);
    if (name.startsWith(QLatin1Char('{')) && name.endsWith(QLatin1Char('}'))) {
        const auto it = m_shareNames.constFind(item.path);
        if (it != m_shareNames.constEnd() && !it.value().isEmpty())
            return it.value();
    }
    return name;
}

// --- dispatcher ------------------------------------------------------------------------------

void VfsCopyJob::process(int action)
{
    if (m_abort || m_aborting) {
        handleUserAbort(action);
        return;
    }
    // Nothing is in flight while a failure is asked about; only the answer goes on.
    if (m_failureQuestion)
        return;
    switch (m_copyState.load()) {
    case CopyStateStart: stateStart(action); break;
    case CopyStateNextItem: stateNextItem(action); break;
    case CopyStateOpenSource: stateOpenSource(action); break;
    case CopyStateOpenDestination: stateOpenDestination(action); break;
    case CopyStateCloseSource:
    case CopyStateCloseDestination: stateClose(action); break;
    case CopyStateTransfer: stateTransfer(action); break;
    case CopyStateMakeDirectory: stateMakeDirectory(action); break;
    case CopyStateReadDirectory: stateReadDirectory(action); break;
    case CopyStateFolderTimes: stateFolderTimes(action); break;
    case CopyStateError: stateError(action); break;
    case CopyStateFinished: stateFinished(action); break;
    case CopyStateRestart: stateRestart(action); break;
    case CopyStateSmallFiles: stateSmallFiles(action); break;
    default: break;
    }
}

void VfsCopyJob::handleUserAbort(int action)
{
    if (action == JobActionEnter || action == JobActionLeave)
        return;
    if (!m_aborting) {
        m_aborting = true;
        stopTimer();
        logPrintf(LogVcpa, "copy job aborted by user");
        // Withdraw every request still queued or in flight, so the client never writes into
        // the job again; an open or a close is waited for, then whatever the job holds open
        // is closed.
        withdrawForEnd();
        m_copyState.exchange(CopyStateError);
        m_questionPending = false;
        m_failureQuestion = false;
        m_failure = Failure();
        Q_EMIT stateChanged();
        if (!m_abortedEmitted) {
            m_abortedEmitted = true;
            Q_EMIT jobAborted();
        }
    }
    if (m_openBusy)
        return; // its reply steps the job again
    adoptAnsweredOpen();
    if (m_closeSrcBusy || m_closeDstBusy || !closeHandles())
        return; // the close replies step the job again
    if (action == JobActionDelete)
        deleteLater();
    else
        startTimer(m_timings.abortedDeleteMs, JobActionDelete, __LINE__);
}

// --- state 0: start --------------------------------------------------------------------------

void VfsCopyJob::stateStart(int action)
{
    if (action == JobActionEnter || action == JobActionLeave || action == JobActionDelete)
        return;
    if (m_startPhase == 0) {
        if (action != JobActionStep)
            return;
        if (!m_srcPeer || !m_dstPeer)
            return failJob("copy-error-peer-missing", "The peer of the copy is no longer known.",
                           QStringLiteral("src or dst peer gone"), __LINE__);
        if (m_srcPeer->linkState() != IPeer::LinkUp || m_dstPeer->linkState() != IPeer::LinkUp) {
            // The job waits and tries again, but the user learns what it waits for: a
            // computer reached through one relay only stays away after the relay restarted.
            const IPeer *away = m_srcPeer->linkState() != IPeer::LinkUp ? m_srcPeer.data() : m_dstPeer.data();
            setPrompt(message("copy-error-peer-unreachable",
                              "%1 cannot be reached. The copy goes on when it can be reached again.")
                          .arg(away->displayName()));
            m_unreachableShown = true;
            return abortJob(QStringLiteral("src or dst peer link not up"), __LINE__);
        }
        if (m_unreachableShown) {
            m_unreachableShown = false;
            setPrompt(QString());
        }
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
        // A folder copied into itself or below itself would grow until the disk is full.
        if (samePeer()) {
            for (const VfsCopyItem &item : m_items) {
                if (item.type == VfsCopyItem::DirectoryType && vfsPathIsSameOrBelow(m_request.dstPath, item.path))
                    return failJob("copy-error-into-itself", "A folder cannot be copied into itself.",
                                   QStringLiteral("folder into itself"), __LINE__);
            }
        }
        beginStartListings();
        return;
    }
    if (action == JobActionReply)
        onStartListing();
}

// The listings of the start, in order: each parent folder of the items (their sizes, times
// and types are read again, a request may be older than the files), the destination folder
// (what already exists there), and on one peer the parents of both folders (whether they
// are one folder under two names).
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
    VfsClient *client = kind == ListDestination ? m_dst : m_src;
    if (!client)
        return abortJob(QStringLiteral("client gone"), __LINE__);
    requestOwnListing(client, kind == ListIdentity ? srcParent(path) : path);
}

void VfsCopyJob::requestOwnListing(VfsClient *client, const QString &path)
{
    {
        QMutexLocker lock(&m_list.mutex);
        m_list.entries.clear();
        m_list.status = 0;
        m_list.path = path;
        m_list.watch = false;
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
    if (m_list.jobStatus != JobFinished) {
        const quint8 status = m_list.status;
        lock.unlock();
        if (status == FSO_STATUS_NOT_FOUND || status == FSO_STATUS_NOT_A_DIRECTORY) {
            if (kind == ListDestination)
                return failJob("copy-error-dst-missing", "The destination folder does not exist.",
                               QStringLiteral("destination folder missing"), __LINE__);
            if (kind == ListSourceParent)
                return failJob("copy-error-source-missing", "The source no longer exists.",
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
                return failJob("copy-error-source-missing", "The source no longer exists.",
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
    failure.shownPath = path;
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
                setJobState(CopyStateStart, __LINE__);
            } else {
                if (!syncDestination() || !verifySources(action))
                    return;
                setJobState(CopyStateFinished, __LINE__);
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

// --- state 2: open the source ----------------------------------------------------------------

void VfsCopyJob::stateOpenSource(int action)
{
    if (action == JobActionStep) {
        if (!m_src)
            return abortJob(QStringLiteral("source client gone"), __LINE__);
        m_open.flags = FSO_OPEN_READ;
        m_open.path = m_curItem.path;
        m_open.accessTime = m_open.creationTime = m_open.modificationTime = 0;
        m_open.size = 0;
        m_open.handle = 0;
        m_openBusy = true;
        m_openFor = OpenForSource;
        logPrintf(LogVcpa, "open file %s", qPrintable(m_curItem.path));
        m_src->openFile(&m_open);
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
        failJob("copy-error-source-missing", "The source no longer exists.",
                QStringLiteral("source file missing %1").arg(m_curItem.path), __LINE__);
    } else {
        Failure failure;
        failure.kind = FailureUnreadable;
        failure.shownPath = m_curItem.path;
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
            return failJob("copy-error-source-missing", "The source no longer exists.",
                           QStringLiteral("failed to open write file, malformed path %1").arg(m_curItem.path),
                           __LINE__);
        setCurrentFile(name);
        m_curDstPath = vfsApplyRename(joinDst(m_curDstFolder, name), m_curItem.renameFrom, m_curItem.renameTo);
        const int cut = m_curDstPath.lastIndexOf(m_dstSep) + 1;
        const QString finalName = m_curDstPath.mid(cut);
        m_curPartPath = m_curDstPath.left(cut) + partialName(finalName);
        const auto existing = m_curDstEntries.find(finalName);
        const auto partial = m_curDstEntries.find(partialName(finalName));
        const bool partialFile = partial != m_curDstEntries.end() && partial->second.type == VfsCopyItem::FileType;
        // Never written through a link or into a folder that took the hidden name.
        if (partial != m_curDstEntries.end() && !partialFile)
            return failJob("copy-error-dst-is-link", "The destination is a symbolic link; it is not replaced.",
                           QStringLiteral("hidden name taken %1").arg(m_curPartPath), __LINE__);
        if (m_maybeOwnDestinations.contains(m_curDstPath) && !partialFile && existing != m_curDstEntries.end()
            && existing->second.type == VfsCopyItem::FileType && existing->second.size == m_curItem.size) {
            // Put there by the final rename whose reply was lost.
            m_ownDestinations.insert(m_curDstPath);
        }
        m_maybeOwnDestinations.remove(m_curDstPath);
        if (existing != m_curDstEntries.end() && !m_ownDestinations.contains(m_curDstPath)) {
            const VfsCopyDestinationEntry &e = existing->second;
            if (e.type == VfsCopyItem::DirectoryType)
                return failJob("copy-error-dst-is-folder", "The destination has a folder where a file should go.",
                               QStringLiteral("destination is a folder %1").arg(m_curDstPath), __LINE__);
            if (e.type == VfsCopyItem::SymlinkType)
                return failJob("copy-error-dst-is-link", "The destination is a symbolic link; it is not replaced.",
                               QStringLiteral("destination is a link %1").arg(m_curDstPath), __LINE__);
            const bool sameId = sameIdentity(m_curItem.volume, m_curItem.fileId, m_curDstVolume, e.fileId);
            // Hard links of one file: both names count more than one link and show the same
            // size and modification time.
            const bool sameLinks = samePeer() && m_curItem.links > 1 && e.links > 1 && e.size == m_curItem.size
                                   && e.mtime == m_curItem.mtime;
            if (sameId || sameLinks)
                return failJob("copy-error-same-file", "Source and destination are the same file.",
                               QStringLiteral("same file %1").arg(m_curDstPath), __LINE__);
        }
        const bool mayReplace = m_replaceCurrent || m_replaceAll || m_replaceList.contains(m_curDstPath)
                                || m_ownDestinations.contains(m_curDstPath);
        if (existing != m_curDstEntries.end() && !mayReplace)
            return m_skipAllClashes ? skipClash() : askReplace(existing->second);
        if (!m_dst)
            return abortJob(QStringLiteral("destination client gone"), __LINE__);
        if (existing != m_curDstEntries.end() && !partialFile) {
            // The file to be replaced becomes the hidden one: its blocks that match are kept,
            // and the real name is free until the copy is complete.
            m_movingAside = true;
            sendMove(m_curDstPath, m_curPartPath, false);
            return;
        }
        // Only what the user allowed is replaced; a name that appears later is asked about.
        m_curMayReplace = existing != m_curDstEntries.end();
        // No times here: the server would stamp them on the file whenever it closes it, a
        // half-written file included. They are set once the file is complete.
        m_open.flags = FSO_OPEN_READ | FSO_OPEN_WRITE | FSO_OPEN_TRUNCATE;
        m_open.accessTime = m_open.creationTime = m_open.modificationTime = 0;
        m_open.size = m_curFileSize;
        m_open.path = m_curPartPath;
        m_open.handle = 0;
        // Nothing there that could be kept: no block is compared, all are sent.
        m_curDstFresh = !partialFile || partial->second.size == 0;
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
    if (m_open.jobStatus == JobFinished && m_open.status == FSO_STATUS_SUCCESS) {
        m_replaceCurrent = m_replaceAll;
        m_dstHandle = m_open.handle;
        setJobState(CopyStateTransfer, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    } else {
        Failure failure;
        failure.kind = FailureUnwritable;
        failure.shownPath = m_curDstPath;
        failure.items.append(m_curItem.path);
        failure.skip = [this] {
            // The source is open: it is closed like that of a skipped file.
            m_skipping = true;
            m_curFileComplete = false;
            setJobState(CopyStateCloseSource, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
        };
        failure.retry = [this] { startTimer(0, JobActionStep, __LINE__); };
        if (!repeatingFailure(m_open.status, m_curItem.path, m_curPartPath, std::move(failure)))
            abortJob(QStringLiteral("failed to open write file status: %1").arg(m_open.status), __LINE__);
    }
}

void VfsCopyJob::askReplace(const VfsCopyDestinationEntry &existing)
{
    logPrintf(LogVcpa, "\tdestination exists %s", qPrintable(m_curDstPath));
    // Both files as the user would judge them: name, size and last change.
    const QLocale locale;
    auto facts = [&locale](quint64 size, qint64 mtimeMs) {
        const QString when = mtimeMs > 0 ? locale.toString(QDateTime::fromMSecsSinceEpoch(mtimeMs), QLocale::ShortFormat)
                                         : QStringLiteral("?");
        return locale.formattedDataSize(qint64(size), 1, QLocale::DataSizeSIFormat) + QStringLiteral(", ") + when;
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
        // Both handles are closed here, on every path: copied, skipped or failed.
        if (m_closeSrcBusy || m_closeDstBusy)
            return;
        if (!closeHandles())
            return;
        if (m_dstCloseFailed) {
            // The data may not have reached the disk; the retry checks every block again.
            m_dstCloseFailed = false;
            return abortJob(QStringLiteral("failed to close write file"), __LINE__);
        }
        setJobState(CopyStateCloseDestination, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    if (!m_curFileComplete) {
        if (action != JobActionStep || m_openBusy || m_moveBusy)
            return;
        m_skipping = false;
        setJobState(CopyStateNextItem, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    stateFinishDestination(action);
}

void VfsCopyJob::stateFinishDestination(int action)
{
    if (m_openBusy || m_moveBusy)
        return;
    if (!m_dst)
        return abortJob(QStringLiteral("destination client gone"), __LINE__);
    if (m_closePhase == 0) {
        if (action == JobActionStep) {
            // Complete, verified and closed: only now it takes the real name.
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
        // A name that appeared while the file was copied: the retry lists the folder again
        // and asks about it.
        if (status != FSO_STATUS_SUCCESS)
            return abortJob(QStringLiteral("rename to %1 failed, status %2").arg(m_curDstPath).arg(status), __LINE__);
        m_ownDestinations.insert(m_curDstPath);
        noteWrittenFolder(m_curDstPath.left(m_curDstPath.lastIndexOf(m_dstSep)), m_curDstVolume);
        m_closePhase = 1;
        action = JobActionStep;
    }
    if (action == JobActionStep) {
        if (m_curItem.atime <= 0 && m_curItem.mtime <= 0) {
            noteFinished(m_curItem);
            setJobState(CopyStateNextItem, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        // The file has its real name: only now it gets the source's times.
        m_open.flags = FSO_OPEN_ATTRIBUTES;
        m_open.accessTime = m_curItem.atime;
        m_open.creationTime = m_curItem.ctime;
        m_open.modificationTime = m_curItem.mtime;
        m_open.size = 0;
        m_open.path = m_curDstPath;
        m_openBusy = true;
        m_dst->openFile(&m_open);
        return;
    }
    if (action != JobActionReply)
        return;
    if (m_open.jobStatus == JobFinished
        && (m_open.status == FSO_STATUS_COMPLETE || m_open.status == FSO_STATUS_SUCCESS)) {
        noteFinished(m_curItem);
        setJobState(CopyStateNextItem, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    } else {
        abortJob(QStringLiteral("failed to set file times status: %1").arg(m_open.status), __LINE__);
    }
}

bool VfsCopyJob::failsAgain(const QString &key, quint8 status)
{
    // A refusal or a failure of the file system (not a request that went unanswered) that
    // a retry met again would only repeat. Status 0 on a failed request: it could not even
    // be sent (a path longer than a request carries).
    if (status != FSO_STATUS_IO_ERROR && status != FSO_STATUS_NOT_PERMITTED && status != FSO_STATUS_SUCCESS)
        return false;
    if (!m_failedOnce.contains(key)) {
        m_failedOnce.insert(key);
        return false;
    }
    return true;
}

bool VfsCopyJob::repeatingFailure(quint8 status, const QString &key, const QString &sentPath, Failure failure)
{
    // A refusal or a failure of the file system (not a request that went unanswered).
    // Status 0 on a failed request: it could not even be sent.
    if (status != FSO_STATUS_IO_ERROR && status != FSO_STATUS_NOT_PERMITTED && status != FSO_STATUS_SUCCESS)
        return false;
    if (sentPath.toUtf8().size() > int(FSO_MAX_PATH))
        failure.kind = FailurePathTooLong;
    // Skipped before (a second pass or a retry of the job meets it again), or its kind
    // skipped for good: on without asking.
    const bool skipped = m_skipAllKinds.contains(failure.kind)
                         || std::all_of(failure.items.cbegin(), failure.items.cend(),
                                        [this](const QString &p) { return m_leftOut.contains(p); })
                         || (!failure.incompleteBelow.isEmpty() && m_leftOut.containsBelow(failure.incompleteBelow));
    if (skipped || (!m_asksOnFailure && failsAgain(key, status))) {
        leaveOutFailure(failure);
        failure.skip();
        return true;
    }
    if (!m_asksOnFailure)
        return false;
    askAboutFailure(std::move(failure));
    return true;
}

void VfsCopyJob::askAboutFailure(Failure failure)
{
    logPrintf(LogVcpa, "ask about %s, failure kind %d", qPrintable(failure.shownPath), failure.kind);
    QString text;
    switch (failure.kind) {
    case FailureUnwritable:
        text = message("copy-q-unwritable", "This item cannot be written at the destination:\n%1");
        break;
    case FailurePathTooLong:
        text = message("copy-q-path-too-long", "The path of this item is too long to be copied:\n%1");
        break;
    default:
        text = message("copy-q-unreadable", "This item cannot be read:\n%1");
        break;
    }
    setPrompt(text.arg(failure.shownPath));
    // No step until the answer; nothing is in flight here.
    stopTimer();
    m_failure = std::move(failure);
    m_failureQuestion = true;
    Q_EMIT stateChanged();
    Q_EMIT jobUpdated();
}

bool VfsCopyJob::takeFailure(Failure &failure)
{
    if (!m_failureQuestion || m_abort || m_aborting)
        return false;
    m_failureQuestion = false;
    failure = std::move(m_failure);
    m_failure = Failure();
    setPrompt(leftOutPrompt());
    Q_EMIT stateChanged();
    return true;
}

void VfsCopyJob::leaveOutFailure(const Failure &failure)
{
    for (const QString &path : failure.items)
        leaveOut(path, failureReason(failure.kind));
}

QString VfsCopyJob::failureReason(int kind)
{
    switch (kind) {
    case FailureUnreadable: return message("copy-left-out-unreadable", "cannot be read");
    case FailureUnwritable: return message("copy-left-out-unwritable", "cannot be written at the destination");
    case FailurePathTooLong: return message("copy-left-out-path-too-long", "path too long");
    default: return message("copy-left-out-failed", "could not be copied");
    }
}

void VfsCopyJob::leaveOut(const QString &path, const QString &reason)
{
    // The item ends as an error and the rest goes on; a cut keeps it at the source.
    bool added = false;
    {
        QMutexLocker lock(&m_uiMutex);
        added = m_leftOut.add(path, reason.isEmpty() ? failureReason(-1) : reason);
    }
    if (added) {
        logPrintf(LogVcpa, "%s left out", qPrintable(path));
        m_errorCount = m_errorCount.load() + 1;
        Q_EMIT leftOutChanged();
    }
    setPrompt(leftOutPrompt());
}

QString VfsCopyJob::leftOutPrompt() const
{
    // A few names; the job window lists them all.
    constexpr int kNamed = 20;
    if (m_leftOut.isEmpty())
        return QString();
    QStringList paths;
    for (const VfsLeftOutItem &item : m_leftOut.shown())
        paths.append(item.path);
    std::sort(paths.begin(), paths.end());
    const int more = m_leftOut.count() - qMin(kNamed, paths.size());
    if (paths.size() > kNamed)
        paths.erase(paths.begin() + kNamed, paths.end());
    QString names = paths.join(QStringLiteral(", "));
    if (more > 0)
        names = message("copy-error-left-out-more", "%1 and %n more", more).arg(names);
    return message("copy-error-left-out", "Left out, it could not be copied: %1").arg(names);
}

QVector<VfsLeftOutItem> VfsCopyJob::leftOutItems() const
{
    QMutexLocker lock(&m_uiMutex);
    return m_leftOut.shown();
}

int VfsCopyJob::leftOutCount() const
{
    QMutexLocker lock(&m_uiMutex);
    return m_leftOut.count();
}

void VfsCopyJob::noteFinished(const VfsCopyItem &item)
{
    if (!m_finishedSet.contains(item.path)) {
        m_finishedSet.insert(item.path);
        m_result.files.append(item.path);
    }
    // A file copied again after a retry is judged by its latest copy.
    m_finishedStamps.insert(item.path, {item.size, item.mtime});
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
        if (m_list.jobStatus != JobFinished) {
            const quint8 status = m_list.status;
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
            const auto found = byName.find(srcName(file));
            const SourceStamp stamp = m_finishedStamps.value(file);
            const bool same = found != byName.end() && itemTypeOf(*found->second) == VfsCopyItem::FileType
                              && found->second->size == stamp.size && found->second->modifyTime == stamp.mtime;
            if (!same) {
                logPrintf(LogVcpa, "source %s changed while it was copied", qPrintable(file));
                m_finishedSet.remove(file);
                m_result.files.removeAt(i);
                // A copy of a file rewritten under it may mix old and new blocks: a copy
                // makes it again, a few times at most; a cut keeps the source instead.
                if (!m_request.deleteSource)
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
            abortJob(QStringLiteral("sources changed while they were copied"), __LINE__);
            return false;
        }
        if (!m_changedSources.isEmpty()) {
            // Still changing after every try: the job ends, saying which file it is.
            setPrompt(message("copy-error-source-changed", "A source file kept changing while it was copied: %1")
                          .arg(*m_changedSources.constBegin()));
            m_errorCount = m_errorCount.load() + m_changedSources.size();
        }
        m_sourcesVerified = true;
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
                        QStringLiteral("sync of %1 failed, status %2").arg(folder).arg(m_sync.status), __LINE__);
            else
                abortJob(QStringLiteral("sync of %1 failed, status %2").arg(folder).arg(m_sync.status), __LINE__);
            return false;
        } else if (!m_dstPeer || m_dstPeer->linkState() != IPeer::LinkUp) {
            abortJob(QStringLiteral("sync of %1 unanswered, link down").arg(folder), __LINE__);
            return false;
        } else {
            // The link works but the request went unanswered for as long as a block may take:
            // a destination that does not know it. Nothing says the copy is on its disk, so a
            // cut keeps its sources.
            logPrintf(LogVcpa, "destination did not confirm the flush of %s", qPrintable(folder));
            m_syncFolders.clear();
            if (m_request.deleteSource) {
                m_result.files.clear();
                m_result.folders.clear();
                m_finishedSet.clear();
                m_folderSet.clear();
                m_errorCount = m_errorCount.load() + 1;
                setPrompt(message("copy-error-not-synced",
                                  "The destination did not confirm that the copy is on its disk; the originals "
                                  "were kept."));
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
    // Only what is new: no file, hidden or not, of that name, and none the job may have made.
    return !finalName.isEmpty() && m_curDstEntries.find(finalName) == m_curDstEntries.end()
           && m_curDstEntries.find(partialName(finalName)) == m_curDstEntries.end()
           && !m_maybeOwnDestinations.contains(file->dstPath);
}

bool VfsCopyJob::startLane()
{
    m_laneTried = true;
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
    logPrintf(LogVcpa, "%d small files at once into %s", int(files.size()), qPrintable(m_curDstFolder));
    m_work = std::move(rest);
    m_laneHandedBack.clear();
    m_laneFolder.clear();
    m_lanePhase = 0;
    m_lane.begin(m_src, m_dst, std::move(files));
    setJobState(CopyStateSmallFiles, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
    return true;
}

void VfsCopyJob::stateSmallFiles(int action)
{
    if (action == JobActionEnter || action == JobActionLeave || action == JobActionDelete)
        return;
    if (m_lanePhase == 0) {
        const bool working = m_lane.step();
        emitChanges();
        if (working)
            return;
        m_changeFlags |= 1;
        emitChanges();
        if (m_laneHandedBack.empty()) {
            setJobState(CopyStateNextItem, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        // The files given back go the one-at-a-time way, which must see what their folder
        // holds now: a name that turned up, a hidden file the lane left.
        m_lanePhase = 1;
        if (!m_dst)
            return abortJob(QStringLiteral("destination client gone"), __LINE__);
        requestOwnListing(m_dst, m_laneFolder);
        return;
    }
    if (action != JobActionReply || m_listBusy)
        return;
    QMutexLocker lock(&m_list.mutex);
    if (m_list.jobStatus != JobFinished) {
        const quint8 status = m_list.status;
        lock.unlock();
        return abortJob(QStringLiteral("listing of %1 failed, status %2").arg(m_laneFolder).arg(status), __LINE__);
    }
    m_curDstEntries.clear();
    for (const VfsDirectoryEntry &e : m_list.entries)
        m_curDstEntries[e.name] = destinationEntryOf(e);
    lock.unlock();
    logPrintf(LogVcpa, "%d small files go one at a time", int(m_laneHandedBack.size()));
    for (auto it = m_laneHandedBack.rbegin(); it != m_laneHandedBack.rend(); ++it)
        m_work.push_back(*it);
    m_laneHandedBack.clear();
    m_lanePhase = 0;
    setJobState(CopyStateNextItem, __LINE__);
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
            return failJob("copy-error-source-missing", "The source no longer exists.",
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
                               QStringLiteral("mkdir over a file %1").arg(renamed), __LINE__);
            if (sameIdentity(item.volume, item.fileId, m_curDstVolume, e.fileId))
                return failJob("copy-error-same-file", "Source and destination are the same file.",
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
        setCurrentFile(dst);
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
                QStringLiteral("mkdir %1 failed, not a directory").arg(m_mkdir.path), __LINE__);
    } else {
        if (!m_batches.empty()) {
            // A folder the destination will not make: its whole tree is left out.
            Failure failure;
            failure.kind = FailureUnwritable;
            failure.shownPath = m_mkdir.path;
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
            return failJob("copy-error-source-missing", "The source no longer exists.",
                           QStringLiteral("source folder gone %1").arg(batch.srcPath), __LINE__);
        if (m_startPhase == 0) {
            // A folder that cannot be listed is left out with all it holds; a cut keeps it.
            Failure failure;
            failure.kind = FailureUnreadable;
            failure.shownPath = batch.srcPath;
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
    for (const VfsDirectoryEntry &e : m_list.entries)
        batch.dstEntries[e.name] = destinationEntryOf(e);
    lock.unlock();
    m_startPhase = 0;
    setJobState(CopyStateNextItem, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

// --- state 9: folder times -------------------------------------------------------------------

void VfsCopyJob::stateFolderTimes(int action)
{
    if (action == JobActionStep) {
        if (m_pendingFolder.atime <= 0 && m_pendingFolder.mtime <= 0) {
            if (!m_folderSet.contains(m_pendingFolder.path)) {
                m_folderSet.insert(m_pendingFolder.path);
                m_result.folders.append(m_pendingFolder.path);
            }
            m_pendingFolder = VfsCopyItem();
            setJobState(CopyStateNextItem, __LINE__);
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        if (!m_dst)
            return abortJob(QStringLiteral("destination client gone"), __LINE__);
        // The times belong to the folder that was created on the destination.
        m_open.flags = FSO_OPEN_ATTRIBUTES;
        m_open.accessTime = m_pendingFolder.atime;
        m_open.creationTime = m_pendingFolder.ctime;
        m_open.modificationTime = m_pendingFolder.mtime;
        m_open.size = 0;
        m_open.path = m_pendingFolderDst;
        m_openBusy = true;
        logPrintf(LogVcpa, "open update attributes %s", qPrintable(m_pendingFolderDst));
        m_dst->openFile(&m_open);
        return;
    }
    if (action != JobActionReply || m_openBusy)
        return;
    if (m_open.jobStatus == JobFinished
        && (m_open.status == FSO_STATUS_COMPLETE || m_open.status == FSO_STATUS_INVALID_PARAMETER)) {
        if (!m_folderSet.contains(m_pendingFolder.path)) {
            m_folderSet.insert(m_pendingFolder.path);
            m_result.folders.append(m_pendingFolder.path);
        }
        m_pendingFolder = VfsCopyItem();
        setJobState(CopyStateNextItem, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    } else {
        // A destination that takes the folder's files but not its times (a read-only
        // mount) would fail the same way after every retry.
        Failure failure;
        failure.kind = FailureUnwritable;
        failure.shownPath = m_pendingFolderDst;
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

// --- states 10, 11, 12 -----------------------------------------------------------------------

void VfsCopyJob::stateError(int action)
{
    if (action == JobActionEnter || action == JobActionLeave || action == JobActionDelete)
        return;
    if (m_fatal || m_errorCount >= kFatalErrorCount) {
        if (m_errorCount < kFatalErrorCount) {
            m_errorCount = kFatalErrorCount;
            // Nothing more will be asked: withdraw what is queued, close what is open.
            withdrawForEnd();
            m_questionPending = false;
            Q_EMIT stateChanged();
        }
        if (!m_openBusy) {
            adoptAnsweredOpen();
            closeHandles();
        }
        if (!m_abortedEmitted) {
            m_abortedEmitted = true;
            Q_EMIT jobAborted();
        }
        return;
    }
    ++m_errorCount;
    m_questionPending = false;
    // Space may be freed meanwhile, so the job keeps trying; the user learns why it waits.
    // The start that follows the pause clears the prompt again.
    if (m_shortWrite)
        setPrompt(message("copy-error-write-short",
                          "Not all data could be written to the destination. Is its disk full?"));
    m_shortWrite = false;
    m_restartPhase = 0;
    setJobState(CopyStateRestart, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::stateRestart(int action)
{
    if (action == JobActionEnter || action == JobActionLeave || action == JobActionDelete)
        return;
    if (m_restartPhase == 0) {
        // Every record must be back: a late reply must never land in a reused buffer.
        if (anyRecordBusy()) {
            logPrintf(LogVcpa, "io jobs busy, wait finished");
            return;
        }
        m_restartPhase = 1;
    }
    if (m_restartPhase == 1) {
        adoptAnsweredOpen();
        if (!closeHandles())
            return;
        m_restartPhase = 2;
        startTimer(m_timings.retryDelayMs, JobActionStep, __LINE__);
        return;
    }
    if (m_restartPhase == 2) {
        if (isTimerActive())
            return; // a late reply while the pause runs

        // A Replace answer belonged to the file being opened when the job failed; the
        // replace list keeps it for that file, nothing else inherits it.
        m_replaceCurrent = false;
        m_shortWrite = false;
        m_countingPass = true;
        m_speed = 0;
        m_remaining = -1;
        m_bytesCopied = 0;
        m_bytesTotal = 0;
        m_writtenSinceSample = 0;
        m_speedTimer.invalidate();
        m_startPhase = 0;
        m_restartPhase = 0;
        m_verifyIndex = -1;
        m_sourcesVerified = false;
        m_lane.clear();
        m_laneHandedBack.clear();
        m_laneFolder.clear();
        m_lanePhase = 0;
        m_destinationSynced = false;
        m_syncAnswered = false;
        setJobState(CopyStateStart, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    }
}

void VfsCopyJob::stateFinished(int action)
{
    if (action == JobActionStep) {
        if (m_abortedEmitted)
            return;
        m_abortedEmitted = true; // the end is announced once, never an abort after it
        Q_EMIT copyCompleted(m_request, m_result);
        Q_EMIT jobFinished();
        startTimer(m_timings.finishedDeleteMs, JobActionDelete, __LINE__);
    } else if (action == JobActionDelete) {
        deleteLater();
    }
}

// --- reply slots -----------------------------------------------------------------------------

void VfsCopyJob::onOpenFileJobUpdate(VfsOpenFileJob *job)
{
    if (job != &m_open || !m_openBusy || !vfsRequestEnded(job->jobStatus))
        return;
    m_openBusy = false;
    startTimer(0, JobActionReply, __LINE__);
}

void VfsCopyJob::onCloseFileJobUpdate(VfsCloseFileJob *job)
{
    if (job == &m_closeSrc && m_closeSrcBusy && vfsRequestEnded(job->jobStatus)) {
        m_closeSrcBusy = false;
        // Closed or not, the handle is no longer ours: the server drops idle handles.
        m_srcHandle = 0;
    } else if (job == &m_closeDst && m_closeDstBusy && vfsRequestEnded(job->jobStatus)) {
        m_closeDstBusy = false;
        m_dstCloseFailed = !(job->jobStatus == JobFinished && job->status == FSO_STATUS_SUCCESS);
        m_dstHandle = 0;
    } else {
        return;
    }
    startTimer(0, JobActionReply, __LINE__);
}

void VfsCopyJob::onTransferAnswered()
{
    if (m_copyState == CopyStateTransfer && !m_abort)
        process(JobActionReply);
    else
        startTimer(0, JobActionReply, __LINE__);
}

void VfsCopyJob::onListDirectoryJobUpdate(VfsListDirectoryJob *job)
{
    if (!isOwnListing(job) || !m_listBusy || !vfsRequestEnded(job->jobStatus))
        return;
    m_listBusy = false;
    startTimer(0, JobActionReply, __LINE__);
}

void VfsCopyJob::onMoveJobUpdate(VfsMoveJob *job)
{
    if (job != &m_move || !m_moveBusy || !vfsRequestEnded(job->jobStatus))
        return;
    m_moveBusy = false;
    startTimer(0, JobActionReply, __LINE__);
}

void VfsCopyJob::onSyncJobUpdate(VfsSyncJob *job)
{
    if (job != &m_sync || !m_syncBusy || !vfsRequestEnded(job->jobStatus))
        return;
    m_syncBusy = false;
    m_syncAnswered = true;
    startTimer(0, JobActionReply, __LINE__);
}

void VfsCopyJob::onMakeDirectoryJobUpdate(VfsMakeDirectoryJob *job)
{
    if (job != &m_mkdir || !m_mkdirBusy || !vfsRequestEnded(job->jobStatus))
        return;
    m_mkdirBusy = false;
    startTimer(0, JobActionReply, __LINE__);
}

// --- transfer --------------------------------------------------------------------------------

void VfsCopyJob::stateTransfer(int action)
{
    if (action == JobActionEnter) {
        // Every record is back before a new file starts (the restart waits for them).
        m_transfer.begin(m_src, m_srcHandle, m_dst, m_dstHandle, m_curFileSize, m_curDstFresh);
    } else if (action == JobActionLeave) {
        m_transfer.clear();
        return;
    } else if (action == JobActionDelete) {
        return;
    }
    const VfsBlockTransfer::Outcome outcome = m_transfer.step();
    emitChanges();
    if (outcome == VfsBlockTransfer::Failed) {
        abortJob(m_transfer.failure(), __LINE__);
    } else if (outcome == VfsBlockTransfer::Complete) {
        m_curFileComplete = true;
        m_changeFlags |= 1;
        emitChanges();
        setJobState(CopyStateCloseSource, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    }
}

void VfsCopyJob::onBytesWritten(quint64 n)
{
    m_writtenSinceSample += n;
    sampleSpeed();
}

void VfsCopyJob::sampleSpeed()
{
    if (!m_speedTimer.isValid())
        return;
    const qint64 elapsed = m_speedTimer.elapsed();
    if (elapsed <= 1000)
        return;
    const qint64 rate = qint64(m_writtenSinceSample * 1000 / quint64(elapsed));
    const qint64 speed = (m_speed.load() + rate) / 2;
    m_speed = speed;
    if (speed > 0) {
        const quint64 total = m_bytesTotal.load();
        const quint64 copied = m_bytesCopied.load();
        // A total that was overshot (a file grew) leaves nothing to wait for.
        qint64 remaining = copied >= total ? 0 : qint64((total - copied) / quint64(speed));
        const qint64 previous = m_remaining.load();
        if (previous > 0)
            remaining = (remaining + previous) / 2;
        m_remaining = remaining;
    }
    // A speed of 0 keeps the last estimate instead of dividing by it.
    m_writtenSinceSample = 0;
    m_speedTimer.restart();
    m_changeFlags |= 4;
}

void VfsCopyJob::emitChanges()
{
    if (!m_changeFlags)
        return;
    logPrintf(LogVcpa, "emit changes flags 0x%X", unsigned(m_changeFlags));
    if (m_changeFlags & 4) {
        m_changeFlags &= ~4u;
        Q_EMIT writeSpeedChanged();
        Q_EMIT remainingTimeChanged();
    }
    if (m_changeFlags & 1) {
        m_changeFlags &= ~1u;
        Q_EMIT bytesCopiedChanged();
        Q_EMIT percentDoneChanged();
    }
}
