#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfscopyjobparts.h"
#include "vfs/jobs/vfsawaytext.h"

#include "app/base/datasize.h"
#include "app/base/log.h"
#include "peers/ipeer.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/fso/vfsclientnusk.h"

#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <algorithm>

using namespace vfscopy;

VfsCopyJob::VfsCopyJob(QObject *parent)
    : VfsJob(parent)
    , m_transfer(transferEvents())
    , m_lane(laneEvents())
    , m_flush(flushEvents())
{
    setType(QStringLiteral("copy"));
    qRegisterMetaType<VfsCopyDto>("VfsCopyDto");
    qRegisterMetaType<VfsCopyResult>("VfsCopyResult");
    VfsStallWatch::Events watched;
    watched.sidesOut = [this] { return sidesWaitedFor(); };
    watched.arriving = [this] {
        QMutexLocker lock(&m_list.mutex);
        return m_listBusy ? quint64(m_list.entries.size()) : 0;
    };
    m_stall = new VfsStallWatch(std::move(watched), this);
    m_stall->setLimit(m_timings.stallMs);
    connect(m_stall, &VfsStallWatch::changed, this, &VfsCopyJob::onStallChanged);
    // Every record's answer comes back to this job alone, on its thread; the stall watch
    // hears of it first, from the side that answered. A request that timed out heard
    // nothing from that side.
    const auto answer = [this](auto &record, auto slot) {
        QPointer<VfsCopyJob> guard(this);
        record.done = [guard, slot](auto *answered) {
            if (VfsCopyJob *job = guard.data()) {
                const bool timedOut = answered->status == FSO_STATUS_TIMEOUT;
                postTo(job, [job, slot, answered, timedOut] {
                    job->m_stall->heard(timedOut ? 0 : job->answeringSide(answered));
                    (job->*slot)(answered);
                });
            }
        };
    };
    answer(m_open, &VfsCopyJob::onOpenFileJobUpdate);
    answer(m_closeSrc, &VfsCopyJob::onCloseFileJobUpdate);
    answer(m_closeDst, &VfsCopyJob::onCloseFileJobUpdate);
    answer(m_list, &VfsCopyJob::onListDirectoryJobUpdate);
    answer(m_mkdir, &VfsCopyJob::onMakeDirectoryJobUpdate);
    answer(m_move, &VfsCopyJob::onMoveJobUpdate);
    answer(m_delete, &VfsCopyJob::onDeleteFileJobUpdate);
}

void VfsCopyJob::postAnswer(std::function<void()> work)
{
    postTo(this, [this, work = std::move(work)] {
        m_stall->heard();
        work();
    });
}

int VfsCopyJob::answeringSide(const void *record) const
{
    if (record == &m_list)
        return m_listFromSource ? VfsStallWatch::SourceSide : VfsStallWatch::DestinationSide;
    if (record == &m_open)
        return m_openFor == OpenForSource ? VfsStallWatch::SourceSide : VfsStallWatch::DestinationSide;
    return record == &m_closeSrc ? VfsStallWatch::SourceSide : VfsStallWatch::DestinationSide;
}

VfsBlockTransfer::Events VfsCopyJob::transferEvents()
{
    VfsBlockTransfer::Events e;
    e.post = [this](std::function<void()> work) { postAnswer(std::move(work)); };
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
    e.sourceClosed = [this] { m_srcHandle = 0; };
    return e;
}

VfsSmallFileLane::Events VfsCopyJob::laneEvents()
{
    VfsSmallFileLane::Events e;
    e.post = [this](std::function<void()> work) { postAnswer(std::move(work)); };
    e.answered = [this] {
        if (m_copyState == CopyStateSmallFiles && !m_abort && !m_aborting)
            process(JobActionReply);
        else
            startTimer(0, JobActionReply, __LINE__);
    };
    // Thousands of files a second: the window hears of them a few times a second, not each.
    e.started = [this](const VfsSmallFileLane::File &f) {
        if (f.found != VfsSmallFileLane::MaybeFinished)
            m_ownPartials.insert(f.partPath, true);
        if (!m_laneNotify.isValid() || m_laneNotify.elapsed() >= kPublishMs) {
            setCurrentFile(f.dstPath.mid(f.dstPath.lastIndexOf(m_dstSep) + 1));
            m_laneNotify.start();
        }
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
        m_ownPartials.remove(f.partPath);
        m_ownDestinations.left(m_curDstFolder, f.dstPath.mid(f.dstPath.lastIndexOf(m_dstSep) + 1), f.item);
        m_maybeOwnDestinations.remove(f.dstPath);
        noteWrittenFolder(f.dstPath.left(f.dstPath.lastIndexOf(m_dstSep)), m_curDstVolume);
        addBytesCopied(f.item.size);
        noteWritten(f.item, f.dstPath);
    };
    e.handedBack = [this](const VfsSmallFileLane::File &f, bool unanswered) {
        // The lane removed the hidden file it made. One it could not remove, or one a request
        // without an answer may have made, stays this job's: a retry removes it many at a time.
        if (f.found != VfsSmallFileLane::OwnHidden && !unanswered)
            m_ownPartials.remove(f.partPath);
        m_laneHandedBack.emplace_back(f.item, unanswered);
        if (m_laneFolder.isEmpty())
            m_laneFolder = f.dstPath.left(f.dstPath.lastIndexOf(m_dstSep));
    };
    return e;
}

VfsDestinationFlush::Events VfsCopyJob::flushEvents()
{
    VfsDestinationFlush::Events e;
    e.post = [this](std::function<void()> work) { postAnswer(std::move(work)); };
    e.later = [this](int ms, std::function<void()> work) { QTimer::singleShot(ms, this, std::move(work)); };
    e.linkUp = [this] { return m_dstPeer && m_dstPeer->linkState() == IPeer::LinkUp; };
    e.sent = [this] { return m_finishedFiles.flushSent(); };
    e.ended = [this](quint64 flush, VfsDestinationFlush::Outcome outcome, bool final) {
        if (outcome == VfsDestinationFlush::Confirmed)
            m_finishedFiles.flushAnswered(flush);
        // The end waits for its flush alone; one while copying steps nothing.
        if (final && m_copyState == CopyStateNextItem)
            startTimer(0, JobActionReply, __LINE__);
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
    m_stall->setPeers(source, destination);
    // A link that drops under a pause is told at once, not when the pause ends.
    for (IPeer *peer : {source, destination}) {
        if (peer)
            connect(peer, &IPeer::linkStateChanged, this, [this] {
                if (state() == VfsJobStatePaused)
                    sayWhichPeerIsAway();
            });
    }
    // A destination whose link went may have restarted, its computer or its program, without a
    // request of this job failing: what it had not confirmed is checked again all the same.
    if (destination)
        connect(destination, &IPeer::linkStateChanged, this, [this] {
            if (m_dstPeer && m_dstPeer->linkState() != IPeer::LinkUp)
                m_finishedFiles.cut();
        });
}

bool VfsCopyJob::sayWhichPeerIsAway()
{
    const IPeer *away = !m_srcPeer || m_srcPeer->linkState() == IPeer::LinkUp ? m_dstPeer.data() : m_srcPeer.data();
    if (!away || away->linkState() == IPeer::LinkUp)
        return false;
    // The job waits and tries again, but the user learns what it waits for: a computer
    // reached through one relay only stays away after the relay restarted.
    setPrompt(vfsAwayText(away));
    m_unreachableShown = true;
    return true;
}

void VfsCopyJob::setRequest(const VfsCopyDto &request)
{
    m_request = request;
    m_items = request.items;
    m_namesResolved = false;
}

void VfsCopyJob::setTimings(const VfsJobTimings &timings)
{
    m_timings = timings;
    m_stall->setLimit(timings.stallMs);
}

void VfsCopyJob::setDeleteDelays(int finishedMs, int abortedMs)
{
    m_timings.finishedDeleteMs = finishedMs;
    m_timings.abortedDeleteMs = abortedMs;
}

// --- figures --------------------------------------------------------------------------------

quint64 VfsCopyJob::shownCopied() const
{
    return qMax(m_bytesCopied.load(), m_heldCopied.load());
}

quint64 VfsCopyJob::shownTotal() const
{
    const quint64 held = m_heldTotal.load();
    return held ? held : m_bytesTotal.load();
}

QString VfsCopyJob::bytesCopied() const
{
    return formatDataSize(shownCopied(), 0);
}

QString VfsCopyJob::bytesTotal() const
{
    return formatDataSize(shownTotal(), 0);
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
    return percentOf(shownCopied(), shownTotal());
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
    return formatDataSize(quint64(qMax<qint64>(0, m_speed.load())), 2) + QStringLiteral("/s");
}

QString VfsCopyJob::remainingTimeText(qint64 seconds, double percentDone)
{
    if (seconds < 0)
        return QString();
    // A copy of a few seconds has under ten seconds left from its start: "nearly done" waits
    // until most of it is behind it as well.
    if (seconds <= 9 && percentDone >= kNearlyDonePercent)
        return message("copy-eta-seconds", "nearly done");
    if (seconds <= 60)
        return message("copy-eta-less1minute", "less than a minute");
    if (seconds <= 3599)
        return message("copy-eta-minutes", "about %1 minutes").arg(seconds / 60);
    return message("copy-eta-hours", "about %1 hours").arg(seconds / 3600);
}

QString VfsCopyJob::remainingTime() const
{
    return remainingTimeText(m_remaining.load(), percentDone());
}

QString VfsCopyJob::waitingText() const
{
    QMutexLocker lock(&m_uiMutex);
    return m_waitingText;
}

QStringList VfsCopyJob::sourcesGone() const
{
    QMutexLocker lock(&m_uiMutex);
    return m_sourcesGone;
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

bool VfsCopyJob::isPartialName(const QString &name)
{
    static const QString suffix = QStringLiteral(".nusk-part");
    return name.size() > suffix.size() + 1 && name.startsWith(QLatin1Char('.')) && name.endsWith(suffix);
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
    case CopyStateDeleteSources: return m_sourceDeleteWaits ? VfsJobStatePaused : VfsJobStateRunning;
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
    // Once the new count reaches what a pause held, it is the figure again.
    if (m_bytesCopied.fetch_add(n) + n >= m_heldCopied.load())
        m_heldCopied = 0;
    m_changeFlags |= 1;
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

void VfsCopyJob::failJob(const char *messageId, const char *english, const QString &shownPath,
                         const QString &reason, int line)
{
    // What failed, and on a line of its own the item it failed on: the window has nothing
    // else to name it by.
    setPrompt(shownPath.isEmpty() ? message(messageId, english)
                                  : message(messageId, english) + QLatin1Char('\n') + shownPath);
    m_fatal = true;
    abortJob(reason, line);
}

QString VfsCopyJob::shownSource(const QString &path) const
{
    return m_names.shown(VfsCopyPathNames::Source, path, m_srcSep);
}

QString VfsCopyJob::shownDestination(const QString &path) const
{
    return m_names.shown(VfsCopyPathNames::Destination, path, m_dstSep);
}

bool VfsCopyJob::anyRecordBusy() const
{
    return m_openBusy || m_closeSrcBusy || m_closeDstBusy || m_listBusy || m_mkdirBusy || m_moveBusy
           || m_flush.busy() || m_deleteBusy || m_transfer.anyBusy() || m_lane.anyBusy();
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
    m_flush.stop();
    releaseIfBusy(m_delete, m_deleteBusy);
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

bool VfsCopyJob::closeHandles(bool keepDestination)
{
    // A computer whose link dropped closed this one's files with it; a close sent there would
    // only wait out its time (a cancel, a retry would wait with it).
    auto away = [](const IPeer *peer) { return !peer || peer->linkState() != IPeer::LinkUp; };
    if (m_srcHandle && !m_closeSrcBusy) {
        if (!m_src || away(m_srcPeer)) {
            m_srcHandle = 0;
        } else {
            m_closeSrc.flags = 0;
            m_closeSrc.handle = m_srcHandle;
            m_closeSrcBusy = true;
            logPrintf(LogVcpa, "close read file handle %u", unsigned(m_srcHandle));
            m_src->closeFile(&m_closeSrc);
        }
    }
    if (m_dstHandle && !m_closeDstBusy && !keepDestination) {
        if (!m_dst || away(m_dstPeer)) {
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
    return m_srcHandle == 0 && (m_dstHandle == 0 || keepDestination) && laneClosed;
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
    // A cancel while the sources of a cut are deleted stops the delete alone: the copy is
    // complete, and the job lists what stays. Once finished, a cancel changes nothing.
    if ((m_abort || m_aborting) && m_copyState != CopyStateDeleteSources && m_copyState != CopyStateFinished) {
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
    case CopyStateDeleteSources: stateDeleteSources(action); break;
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
        // A question or a pause's reason no longer stands; what the cancel kept is said below.
        setPrompt(QString());
        Q_EMIT stateChanged();
    }
    if (m_openBusy)
        return; // its reply steps the job again
    adoptAnsweredOpen();
    if (m_closeSrcBusy || m_closeDstBusy || !closeHandles())
        return; // the close replies step the job again
    if (removeMadePartials())
        return; // the delete's reply steps the job again
    if (!m_abortedEmitted) {
        nameKeptPartials();
        m_abortedEmitted = true;
        Q_EMIT jobAborted();
    }
    if (action == JobActionDelete)
        deleteLater();
    else
        startTimer(m_timings.abortedDeleteMs, JobActionDelete, __LINE__);
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
    case FailureNoRoom:
        text = message("copy-q-no-room", "This file does not fit on the destination's disk:\n%1");
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
    case FailureNoRoom: return message("copy-left-out-no-room", "does not fit on the destination's disk");
    default: return message("copy-left-out-failed", "could not be copied");
    }
}

void VfsCopyJob::leaveOut(const QString &path, const QString &reason, VfsCopyPathNames::Side side)
{
    // The item ends as an error and the rest goes on; a cut keeps it at the source.
    const QString shown = side == VfsCopyPathNames::Source ? shownSource(path) : shownDestination(path);
    bool added = false;
    {
        QMutexLocker lock(&m_uiMutex);
        added = m_leftOut.add(path, shown, reason.isEmpty() ? failureReason(-1) : reason);
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
        paths.append(item.shown);
    std::sort(paths.begin(), paths.end());
    const QString names = vfsFewNamed(paths, kNamed, m_leftOut.count());
    if (m_request.deleteSource)
        return message("move-error-left-out", "Not moved: %1").arg(names);
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
    // What the destination had not confirmed may be gone or wrong there now.
    m_finishedFiles.cut();
    m_flush.stop();
    // Space may be freed meanwhile, a computer come back, so the job keeps trying; the user
    // learns why it waits. The start that follows the pause takes the prompt back.
    if (m_shortWrite) {
        setPrompt(message("copy-error-write-short",
                          "Not all data could be written to the destination. Is its disk full?"));
        ++m_noRoomPauses[m_curItem.path];
    } else if (!sayWhichPeerIsAway()) {
        setPrompt(message("copy-paused-retry", "The copy was interrupted; it tries again in a moment."));
    }
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
        m_speed = 0;
        m_remaining = -1;
        m_restartPhase = 0;
        m_verifyIndex = -1;
        m_sourcesVerified = false;
        m_destinationSynced = false;
        m_startPhase = 0;
        // After the last file the start only waits for both computers and takes the prompt
        // back (vfscopyjobplan.cpp), when the destination had confirmed every file: the end
        // then lists the folders they are in before it goes on. What it had not confirmed, and
        // a source changed since it was copied, take a pass through every item.
        if (m_sourceChangedSincePause || !m_finishedFiles.allConfirmed())
            m_copyPassDone = false;
        if (m_copyPassDone)
            m_foldersToCheck = m_finishedFiles.beginFolderCheck(m_dstSep);
        if (!m_copyPassDone) {
            m_countingPass = true;
            // The window keeps what it showed until the new count reaches it: that much is on
            // the destination, and the digests find it there again. A source that changed is
            // copied anew, and nothing is held for it.
            m_heldCopied = m_sourceChangedSincePause ? 0 : shownCopied();
            m_heldTotal = m_sourceChangedSincePause ? 0 : shownTotal();
            m_sourceChangedSincePause = false;
            m_bytesCopied = 0;
            m_bytesTotal = 0;
            m_writtenSinceSample = 0;
            m_speedTimer.invalidate();
            m_lane.clear();
            m_laneHandedBack.clear();
            m_laneFolder.clear();
            m_lanePhase = 0;
        }
        setJobState(CopyStateStart, __LINE__);
        startTimer(0, JobActionStep, __LINE__);
    }
}

void VfsCopyJob::stateFinished(int action)
{
    if (action == JobActionStep) {
        if (m_abortedEmitted) {
            // A cancel that came after the end stopped the timer that removes the job.
            startTimer(m_timings.finishedDeleteMs, JobActionDelete, __LINE__);
            return;
        }
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

void VfsCopyJob::onDeleteFileJobUpdate(VfsDeleteFileJob *job)
{
    if (job != &m_delete || !m_deleteBusy || !vfsRequestEnded(job->jobStatus))
        return;
    m_deleteBusy = false;
    m_deleteAnswered = true;
    startTimer(0, JobActionReply, __LINE__);
}

void VfsCopyJob::onMakeDirectoryJobUpdate(VfsMakeDirectoryJob *job)
{
    if (job != &m_mkdir || !m_mkdirBusy || !vfsRequestEnded(job->jobStatus))
        return;
    m_mkdirBusy = false;
    startTimer(0, JobActionReply, __LINE__);
}

int VfsCopyJob::sidesWaitedFor() const
{
    const VfsJobState shown = state();
    if (shown != VfsJobStateRunning && shown != VfsJobStateInit)
        return 0;
    int sides = 0;
    if (m_transfer.waitsForSource() || (m_openBusy && m_openFor == OpenForSource) || m_closeSrcBusy
        || (m_listBusy && m_listFromSource))
        sides |= VfsStallWatch::SourceSide;
    if (m_transfer.waitsForDestination() || (m_openBusy && m_openFor != OpenForSource) || m_closeDstBusy
        || (m_listBusy && !m_listFromSource) || m_mkdirBusy || m_moveBusy || m_flush.busy() || m_deleteBusy)
        sides |= VfsStallWatch::DestinationSide;
    if (m_lane.anyBusy())
        sides |= VfsStallWatch::SourceSide | VfsStallWatch::DestinationSide;
    return sides;
}

void VfsCopyJob::onStallChanged()
{
    const QString text = m_stall->text();
    if (!text.isEmpty()) {
        // The last second's speed and the time left from it no longer hold; once answers come
        // again, the first of them measures anew.
        m_speed = 0;
        m_remaining = -1;
        m_speedTimer.invalidate();
        m_writtenSinceSample = 0;
        m_changeFlags |= 4;
        emitChanges();
    }
    if (storeUiText(m_waitingText, text))
        Q_EMIT waitingTextChanged();
}

void VfsCopyJob::onBytesWritten(quint64 n)
{
    m_writtenSinceSample += n;
}

void VfsCopyJob::sampleSpeed()
{
    if (!m_speedTimer.isValid())
        return;
    // The first figure after a short look, the later ones over a second each: a copy done
    // in a few seconds shows its speed too, and a slow one no flicker.
    const bool first = m_speed.load() == 0;
    const qint64 elapsed = m_speedTimer.elapsed();
    if (elapsed < (first ? kPublishMs : kSpeedSampleMs) || (first && m_writtenSinceSample == 0))
        return;
    const qint64 rate = qint64(m_writtenSinceSample * 1000 / quint64(elapsed));
    const qint64 speed = first ? rate : (m_speed.load() + rate) / 2;
    m_speed = speed;
    if (speed > 0) {
        const quint64 total = shownTotal();
        const quint64 copied = shownCopied();
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

bool VfsCopyJob::firstSpeedDue() const
{
    return m_speed.load() == 0 && m_writtenSinceSample > 0 && m_speedTimer.isValid();
}

void VfsCopyJob::publishLater(qint64 ms)
{
    if (m_publishPending)
        return;
    m_publishPending = true;
    QTimer::singleShot(int(qMax<qint64>(0, ms)), this, [this] {
        m_publishPending = false;
        emitChanges();
    });
}

void VfsCopyJob::emitChanges()
{
    if (!m_changeFlags && !firstSpeedDue())
        return;
    // The window hears the figures a few times a second, however many blocks come back in
    // between; what is held back goes out when the interval is over, so a copy that stalls
    // shows what is on the destination, not what was there a moment before.
    if (m_published.isValid() && m_published.elapsed() < kPublishMs)
        return publishLater(kPublishMs - m_published.elapsed());
    m_published.start();
    sampleSpeed();
    // The first speed needs a short look at the writes; it follows once it has had one.
    if (firstSpeedDue())
        publishLater(kPublishMs - m_speedTimer.elapsed());
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
    if (m_changeFlags & 8) {
        m_changeFlags &= ~8u;
        Q_EMIT sourcesDeletedChanged();
    }
}
