#include "vfs/jobs/vfsdeletejob.h"

#include "app/base/log.h"
#include "peers/ipeer.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/jobs/vfscopydto.h"

#include <QMutexLocker>

VfsDeleteJob::VfsDeleteJob(QObject *parent) : VfsJob(parent)
{
    setType(QStringLiteral("delete"));
    answerTo(this, m_delete, &VfsDeleteJob::onDeleteFileJobUpdate);
    answerTo(this, m_list, &VfsDeleteJob::onListDirectoryJobUpdate);
}

VfsDeleteJob::~VfsDeleteJob()
{
    if (m_deleteBusy && m_delete.release)
        m_delete.release(&m_delete);
    if (m_listBusy && m_list.release)
        m_list.release(&m_list);
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
    default: return VfsJobStateRunning;
    }
}

void VfsDeleteJob::sendDelete(const VfsDeleteItem &item)
{
    m_delete.flags = m_deleteFlags;
    if (m_onlyEmptyFolders && item.type == VfsCopyItem::DirectoryType)
        m_delete.flags |= FSO_DELETE_ONLY_EMPTY;
    m_delete.path = item.path;
    m_delete.expectChangeNs = item.changeNs;
    m_delete.expectInode = item.inode;
    m_delete.status = 0;
    m_delete.failedPath.clear();
    m_deleteBusy = true;
    m_client->deleteFile(&m_delete);
}

void VfsDeleteJob::process(int action)
{
    if (m_abort && action == JobActionStep && (m_state == StateNextItem || m_state == StateWaiting)) {
        stopTimer();
        if (m_deleteBusy && m_delete.release)
            m_delete.release(&m_delete);
        if (m_listBusy && m_list.release)
            m_list.release(&m_list);
        m_deleteBusy = m_listBusy = false;
        m_state = StateAborted;
        logPrintf(LogVmg1, "delete job aborted by user");
        Q_EMIT stateChanged();
        Q_EMIT jobAborted();
        return;
    }
    switch (m_state) {
    case StateStart:
        if (action != JobActionStep)
            return;
        m_client = m_peer ? m_peer->vfsClient() : nullptr;
        if (!m_peer || !m_client || m_items.empty()) {
            m_state = StateAborted;
            Q_EMIT stateChanged();
            Q_EMIT jobAborted();
            return;
        }
        m_work = m_items;
        m_state = StateNextItem;
        Q_EMIT stateChanged();
        startTimer(0, JobActionStep, __LINE__);
        return;
    case StateNextItem:
        if (action != JobActionStep)
            return;
        if (m_work.empty()) {
            m_state = StateFinished;
            Q_EMIT stateChanged();
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        if (!m_client) {
            m_state = StateAborted;
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        stopTimer();
        m_state = StateWaiting;
        if (m_onlyEmptyFolders && m_work.back().type == VfsCopyItem::DirectoryType) {
            // Never a recursive delete here: look first, delete only an empty folder.
            m_listing = true;
            {
                QMutexLocker lock(&m_list.mutex);
                m_list.path = m_work.back().path;
                m_list.entries.clear();
                m_list.status = 0;
            }
            m_listBusy = true;
            m_client->listDirectory(&m_list);
        } else {
            m_listing = false;
            sendDelete(m_work.back());
        }
        return;
    case StateWaiting: {
        if (action != JobActionReply) {
            logPrintf(LogVmg1, "delete job state %d unhandled action %d", m_state, action);
            return;
        }
        if (m_listing) {
            m_listing = false;
            QMutexLocker lock(&m_list.mutex);
            const bool finished = m_list.jobStatus == JobFinished;
            const bool empty = m_list.entries.empty();
            const quint8 status = m_list.status;
            lock.unlock();
            if (!finished && (status == FSO_STATUS_NOT_FOUND)) {
                m_work.pop_back(); // already gone
                m_state = StateNextItem;
            } else if (!finished) {
                logPrintf(LogVmg1, "failed to list folder %s before deleting it", qPrintable(m_work.back().path));
                m_state = StateAborted;
            } else if (!empty) {
                keepFolder(m_work.back().path);
            } else {
                sendDelete(m_work.back());
                return;
            }
            startTimer(0, JobActionStep, __LINE__);
            return;
        }
        if (m_delete.jobStatus == JobError) {
            m_state = StateAborted;
        } else if (m_delete.jobStatus != JobFinished) {
            logPrintf(LogVmg1, "delete job unhandled jobStatus %d", int(m_delete.jobStatus));
            m_state = StateAborted;
        } else if (m_delete.status == FSO_STATUS_SUCCESS) {
            logPrintf(LogVmg1, "deleted file %s", qPrintable(m_delete.path));
            m_deleted.append(m_delete.path);
            m_work.pop_back();
            m_state = StateNextItem;
        } else if (m_delete.status == FSO_STATUS_CHANGED) {
            // Not the version that was copied: it holds what nobody has elsewhere.
            logPrintf(LogVmg1, "file %s changed since it was copied, kept", qPrintable(m_delete.path));
            m_keptChanged.append(m_delete.path);
            m_work.pop_back();
            m_state = StateNextItem;
        } else if ((m_delete.flags & FSO_DELETE_ONLY_EMPTY) && m_delete.status == FSO_STATUS_IO_ERROR) {
            // Something the listing did not show is in the folder: it stays, the rest goes on.
            keepFolder(m_delete.path);
        } else if ((m_delete.flags & FSO_DELETE_ONLY_EMPTY) && m_delete.status == FSO_STATUS_NOT_FOUND) {
            m_work.pop_back(); // already gone
            m_state = StateNextItem;
        } else if (m_delete.status == FSO_STATUS_NETWORK_PATH && (m_delete.flags & FSO_DELETE_TO_TRASH)) {
            logPrintf(LogVmg1, "failed to trash file %s, error 0x%02X", qPrintable(m_delete.path),
                      unsigned(m_delete.status));
            m_state = StateNextItem;
            Q_EMIT trashFailedAskDelete();
            return; // waits for its owner
        } else {
            logPrintf(LogVmg1, "failed to to delete item %s, error 0x%02X", qPrintable(m_delete.failedPath),
                      unsigned(m_delete.status));
            m_state = StateAborted;
        }
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    case StateAborted:
        Q_EMIT stateChanged();
        Q_EMIT jobAborted();
        return;
    case StateFinished:
        Q_EMIT jobFinished();
        return;
    default:
        return;
    }
}

void VfsDeleteJob::keepFolder(const QString &path)
{
    logPrintf(LogVmg1, "folder %s is not empty, kept", qPrintable(path));
    m_kept.append(path);
    m_work.pop_back();
    m_state = StateNextItem;
}

void VfsDeleteJob::onDeleteFileJobUpdate(VfsDeleteFileJob *job)
{
    if (job != &m_delete || !m_deleteBusy || !vfsRequestEnded(job->jobStatus))
        return;
    m_deleteBusy = false;
    startTimer(0, JobActionReply, __LINE__);
}

void VfsDeleteJob::onListDirectoryJobUpdate(VfsListDirectoryJob *job)
{
    if (job != &m_list || !m_listBusy || !vfsRequestEnded(job->jobStatus))
        return;
    m_listBusy = false;
    startTimer(0, JobActionReply, __LINE__);
}
