#include "vfs/jobs/vfsmoveexjob.h"

#include "app/base/log.h"
#include "peers/ipeer.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsmessage.h"
#include "vfs/fso/vfsshownpath.h"
#include "vfs/models/vfsmodel.h"

#include <QMutexLocker>
#include <QThread>
#include <QUuid>

VfsMoveExJob::VfsMoveExJob(QObject *parent) : VfsJob(parent)
{
    setType(QStringLiteral("move"));
    answerTo(this, m_move, &VfsMoveExJob::onMoveUpdate);
}

VfsMoveExJob::~VfsMoveExJob()
{
    if (m_moveBusy && m_move.release)
        m_move.release(&m_move);
}

void VfsMoveExJob::setPeers(IPeer *source, IPeer *destination)
{
    m_srcPeer = source;
    m_dstPeer = destination;
}

VfsJob::VfsJobState VfsMoveExJob::state() const
{
    switch (m_state) {
    case StateStart: return VfsJobStateInit;
    case StateFailed: return VfsJobStateAborted;
    case StateFinished: return VfsJobStateFinished;
    default: return VfsJobStateRunning;
    }
}

void VfsMoveExJob::process(int action)
{
    switch (m_state) {
    case StateStart: {
        m_state = StateNextItem;
        m_client = m_srcPeer ? m_srcPeer->vfsClient() : nullptr;
        m_rest = VfsCopyDto();
        m_rest.uuid = QUuid::createUuid().toString();
        m_rest.srcPeerUuid = m_request.srcPeerUuid;
        m_rest.dstPeerUuid = m_request.dstPeerUuid;
        m_rest.dstPath = m_request.dstPath;
        m_rest.deleteSource = true;
        startTimer(1, JobActionStep, __LINE__);
        return;
    }
    case StateNextItem: {
        if (action != JobActionStep)
            return;
        if (m_index >= m_request.items.size()) {
            m_state = StateFinished;
            startTimer(1, JobActionStep, __LINE__);
            return;
        }
        const VfsCopyItem &item = m_request.items[m_index];
        if (m_request.srcPeerUuid != m_request.dstPeerUuid) {
            {
                QMutexLocker lock(&m_move.mutex);
                m_move.status = FSO_STATUS_CROSS_VOLUME;
            }
            m_state = StateWaiting;
            startTimer(1, JobActionReply, __LINE__);
            return;
        }
        if (!m_client)
            return fail(vfstext::message("copy-error-peer-missing", "The peer of the copy is no longer known."));
        int sep = qMax(item.path.lastIndexOf(QLatin1Char('/')), item.path.lastIndexOf(QLatin1Char('\\')));
        const QString name = sep >= 0 ? item.path.mid(sep + 1) : QString();
        if (name.isEmpty())
            return fail(vfstext::message("copy-error-source-missing", "The source no longer exists."));
        QChar separator = QLatin1Char('/');
        if (m_request.dstPath.contains(QLatin1Char('\\')) && !m_request.dstPath.contains(QLatin1Char('/')))
            separator = QLatin1Char('\\');
        {
            QMutexLocker lock(&m_move.mutex);
            m_move.flags = FSO_MOVE_SAME_VOLUME | FSO_MOVE_NO_REPLACE;
            m_move.source = item.path;
            m_move.destination = m_request.dstPath.endsWith(separator) ? m_request.dstPath + name
                                                                        : m_request.dstPath + separator + name;
            m_move.status = 0;
            logPrintf(LogVmg1, "move %s to %s", qPrintable(m_move.source), qPrintable(m_move.destination));
        }
        m_state = StateWaiting;
        m_moveBusy = true;
        m_client->move(&m_move);
        return;
    }
    case StateWaiting: {
        if (action != JobActionReply)
            return;
        quint8 status;
        {
            QMutexLocker lock(&m_move.mutex);
            status = m_move.jobStatus == JobError && m_move.status == 0 ? FSO_STATUS_TIMEOUT : m_move.status;
        }
        if (status == FSO_STATUS_SUCCESS) {
            logPrintf(LogVmg1, "\tmove item SUCCESS");
            ++m_index;
            m_state = StateNextItem;
        } else if (status == FSO_STATUS_EXISTS || status == FSO_STATUS_CROSS_VOLUME) {
            logPrintf(LogVmg1, "\tmove item skipped, status: 0x%02X", unsigned(status));
            m_rest.items.push_back(m_request.items[m_index]);
            ++m_index;
            m_state = StateNextItem;
        } else {
            logPrintf(LogVmg1, "\tmove item failed status 0x%02X", unsigned(status));
            const QString path = shownPath(m_request.items[m_index].path);
            if (status == FSO_STATUS_SAME_PATH)
                return fail(vfstext::message("move-error-same-place", "%1 is already in this folder.").arg(path));
            if (status == FSO_STATUS_NOT_FOUND)
                return fail(vfstext::message("copy-error-source-missing", "The source no longer exists."));
            if (status == FSO_STATUS_NOT_PERMITTED)
                return fail(vfstext::message("move-error-not-permitted", "%1 may not be moved there.").arg(path));
            return fail(vfstext::message("move-error-failed", "%1 could not be moved.").arg(path));
        }
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    case StateFailed:
        Q_EMIT stateChanged();
        Q_EMIT jobAborted();
        return;
    case StateFinished:
        Q_EMIT stateChanged();
        Q_EMIT jobFinished();
        return;
    default:
        return;
    }
}

void VfsMoveExJob::fail(const QString &reason)
{
    m_reason = reason;
    m_state = StateFailed;
    startTimer(0, JobActionStep, __LINE__);
}

QString VfsMoveExJob::shownPath(const QString &path) const
{
    auto *model = m_srcPeer ? qobject_cast<VfsModel *>(m_srcPeer->vfsFileSystemModel()) : nullptr;
    if (model && model->thread() != QThread::currentThread())
        model = nullptr;
    const QChar separator = model && !model->pathSeparator().isNull() ? model->pathSeparator() : QLatin1Char('/');
    // A share the model has not listed is still never named by its uuid.
    return vfsShownPath(
        path, separator,
        [model](const QString &sharePath) {
            return model ? model->indexForPath(sharePath).data(VfsModel::NameRole).toString() : QString();
        },
        VfsUnknownShare::Hide);
}

void VfsMoveExJob::onMoveUpdate(VfsMoveJob *job)
{
    if (job != &m_move || !m_moveBusy || m_state != StateWaiting)
        return;
    if (!vfsRequestEnded(job->jobStatus))
        return;
    m_moveBusy = false;
    process(JobActionReply);
}
