#include "vfs/jobs/vfsdeletejob.h"

#include "app/base/log.h"
#include "peers/ipeer.h"
#include "vfs/jobs/vfscopydto.h"

#include <QSet>

#include <utility>

VfsDeleteJob::VfsDeleteJob(QObject *parent)
    : VfsJob(parent)
    , m_lane(laneEvents())
{
    setType(QStringLiteral("delete"));
}

VfsDeleteJob::~VfsDeleteJob() = default;

VfsDeleteLane::Events VfsDeleteJob::laneEvents()
{
    VfsDeleteLane::Events e;
    e.post = [this](std::function<void()> work) { postTo(this, std::move(work)); };
    e.ended = [this](const VfsDeleteItem &item, VfsDeleteLane::Outcome outcome, quint8 status) {
        onItemEnded(item, outcome, status);
    };
    // Every answer of one turn of the event loop is taken in by one step.
    e.answered = [this] { startTimer(0, JobActionReply, __LINE__); };
    return e;
}

void VfsDeleteJob::abort()
{
    m_abort = true;
}

VfsJob::VfsJobState VfsDeleteJob::state() const
{
    switch (m_state) {
    case StateStart: return VfsJobStateInit;
    case StateAborted: return VfsJobStateAborted;
    case StateFinished: return VfsJobStateFinished;
    case StatePaused: return VfsJobStatePaused;
    default: return VfsJobStateRunning;
    }
}

int VfsDeleteJob::inFlight() const
{
    // A delete the user asked for stops at the first item that fails and leaves the ones
    // after it: one at a time. After a cut every item is at its destination as well, and a
    // failure keeps only itself.
    return m_onlyEmptyFolders ? VfsDeleteLane::kInFlight : 1;
}

std::vector<VfsDeleteItem> VfsDeleteJob::unsentItems() const
{
    return m_begun ? m_lane.unsent() : m_items;
}

void VfsDeleteJob::setState(int state)
{
    m_state = state;
    Q_EMIT stateChanged();
}

void VfsDeleteJob::endAborted(const char *why)
{
    stopTimer();
    logPrintf(LogVmg1, "delete job aborted: %s", why);
    setState(StateAborted);
    Q_EMIT jobAborted();
}

void VfsDeleteJob::process(int action)
{
    switch (m_state) {
    case StateStart:
        if (action != JobActionStep)
            return;
        m_client = m_peer ? m_peer->vfsClient() : nullptr;
        if (!m_peer || !m_client || m_items.empty())
            return endAborted("nothing to delete, or no peer to delete it on");
        m_again.clear();
        m_begun = true;
        m_lane.begin(m_client, m_deleteFlags, m_onlyEmptyFolders, m_items, inFlight());
        setState(StateWaiting);
        stateWaiting();
        return;
    case StateNextItem:
        // The owner has answered the question about a refused trash.
        if (action != JobActionStep)
            return;
        if (m_abort)
            return endAborted("by user");
        resume();
        return;
    case StateWaiting:
        // The wait to look again is over: only its own step comes meanwhile.
        if (!m_toLookAgain.empty() && action == JobActionStep)
            m_lane.lookAgain(std::exchange(m_toLookAgain, {}));
        stateWaiting();
        return;
    case StatePaused:
        if (action != JobActionStep)
            return;
        if (m_abort)
            return endAborted("by user");
        retryWhenReachable();
        return;
    default:
        return;
    }
}

void VfsDeleteJob::stateWaiting()
{
    if (m_abort)
        m_lane.hold();
    if (m_lane.step())
        return; // the answers step the job again
    if (m_abort)
        return endAborted("by user");
    if (m_askTrash) {
        m_askTrash = false;
        stopTimer();
        setState(StateNextItem);
        Q_EMIT trashFailedAskDelete();
        return; // waits for its owner
    }
    if (m_failed)
        return endAborted("an item could not be deleted");
    if (!m_again.empty()) {
        if (m_retryDelayMs <= 0)
            return endAborted("a request went unanswered");
        logPrintf(LogVmg1, "delete job pauses, %d items unanswered", int(m_again.size()));
        setState(StatePaused);
        stopTimer();
        startTimer(m_retryDelayMs, JobActionStep, __LINE__);
        return;
    }
    if (waitToLookAgain())
        return;
    setState(StateFinished);
    Q_EMIT jobFinished();
}

bool VfsDeleteJob::waitToLookAgain()
{
    if (m_lookAgainMs <= 0 || m_lookedAgain || m_deletedVersions.empty())
        return false;
    m_lookedAgain = true;
    // A file whose folder went as well cannot be back: the folder went only once empty.
    const QSet<QString> gone(m_deleted.begin(), m_deleted.end());
    for (const VfsDeleteItem &file : m_deletedVersions) {
        const int sep = qMax(file.path.lastIndexOf(QLatin1Char('/')), file.path.lastIndexOf(QLatin1Char('\\')));
        if (!gone.contains(file.path.left(sep)))
            m_toLookAgain.push_back(file);
    }
    if (m_toLookAgain.empty())
        return false;
    stopTimer();
    startTimer(int(qMax<qint64>(0, m_lookAgainMs - m_sinceDeletedVersion.elapsed())), JobActionStep, __LINE__);
    return true;
}

void VfsDeleteJob::retryWhenReachable()
{
    m_client = m_peer ? m_peer->vfsClient() : nullptr;
    if (!m_peer)
        return endAborted("the peer is gone");
    if (m_peer->linkState() != IPeer::LinkUp || !m_client) {
        startTimer(m_retryDelayMs, JobActionStep, __LINE__);
        return;
    }
    resume();
}

void VfsDeleteJob::resume()
{
    std::vector<VfsDeleteItem> left = m_lane.unsent();
    left.insert(left.end(), m_again.begin(), m_again.end());
    m_again.clear();
    m_lane.begin(m_client, m_deleteFlags, m_onlyEmptyFolders, std::move(left), inFlight());
    setState(StateWaiting);
    startTimer(0, JobActionStep, __LINE__);
}

void VfsDeleteJob::onItemEnded(const VfsDeleteItem &item, VfsDeleteLane::Outcome outcome, quint8 status)
{
    switch (outcome) {
    case VfsDeleteLane::Deleted:
        logPrintf(LogVmg1, "deleted %s", qPrintable(item.path));
        m_deleted.append(item.path);
        if (item.type == VfsCopyItem::FileType && (item.changeNs != 0 || item.inode != 0)) {
            m_deletedVersions.push_back(item);
            m_sinceDeletedVersion.start();
        }
        break;
    case VfsDeleteLane::CameBack:
        // Ended already, as deleted: now it is there again.
        logPrintf(LogVmg1, "file %s was saved again after it was deleted", qPrintable(item.path));
        m_cameBack.append(item.path);
        Q_EMIT jobUpdated();
        return;
    case VfsDeleteLane::AlreadyGone:
        break;
    case VfsDeleteLane::KeptChanged:
        // Not the version that was copied: it holds what nobody has elsewhere.
        logPrintf(LogVmg1, "file %s changed since it was copied, kept", qPrintable(item.path));
        m_keptChanged.append(item.path);
        break;
    case VfsDeleteLane::KeptNotEmpty:
        keepFolder(item.path);
        break;
    case VfsDeleteLane::Refused:
        logPrintf(LogVmg1, "failed to delete %s, error 0x%02X", qPrintable(item.path), unsigned(status));
        if (!m_onlyEmptyFolders) {
            m_failed = true;
            m_lane.hold();
            return; // the job ends with it
        }
        m_keptRefused.append(item.path);
        break;
    case VfsDeleteLane::TrashRefused:
        logPrintf(LogVmg1, "failed to trash %s, error 0x%02X", qPrintable(item.path), unsigned(status));
        m_askTrash = true;
        m_again.push_back(item);
        m_lane.hold();
        return;
    case VfsDeleteLane::Unconfirmed:
        logPrintf(LogVmg1, "delete of %s unanswered, not sent again", qPrintable(item.path));
        m_unconfirmed.append(item.path);
        break;
    case VfsDeleteLane::Unanswered:
        m_again.push_back(item);
        m_lane.hold();
        return;
    }
    ++m_ended;
    if (item.type == VfsCopyItem::FileType)
        ++m_endedFiles;
    Q_EMIT jobUpdated();
}

void VfsDeleteJob::keepFolder(const QString &path)
{
    logPrintf(LogVmg1, "folder %s is not empty, kept", qPrintable(path));
    m_kept.append(path);
}
