#include "vfs/jobs/vfsmanager.h"

#include "app/base/log.h"
#include "com/connectionmanager.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/fso/vfsmessage.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsjobmodel.h"
#include "vfs/jobs/vfsleftoutlist.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/jobs/vfsmoveexjob.h"

#include <QMutexLocker>
#include <QThread>

namespace {

// Names in the status line: a few, the job window lists them all.
constexpr int kNamedInStatus = 5;

} // namespace

VfsManager::VfsManager(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<VfsCopyDto>("VfsCopyDto");
    qRegisterMetaType<VfsCopyResult>("VfsCopyResult");
}

VfsManager::~VfsManager() = default;

IPeer *VfsManager::peerFor(const QString &uuid) const
{
    if (uuid.isEmpty())
        return nullptr;
    if (m_lookup)
        return m_lookup(uuid);
    PeerModel *model = PeerModel::instance();
    return model ? model->getPeerForUuid(uuid) : nullptr;
}

bool VfsManager::isIntoItself(const VfsCopyDto &dto)
{
    if (dto.srcPeerUuid != dto.dstPeerUuid)
        return false;
    for (const VfsCopyItem &item : dto.items) {
        if (item.type != VfsCopyItem::FileType && vfsPathIsSameOrBelow(dto.dstPath, item.path))
            return true;
    }
    return false;
}

bool VfsManager::addJob(VfsJob *job)
{
    QMutexLocker lock(&m_mutex);
    VfsJobModel *model = VfsJobModel::instance();
    return model ? model->addJob(job) : false;
}

VfsManager::Peers VfsManager::accept(const VfsCopyDto &dto, const char *what)
{
    IPeer *dst = peerFor(dto.dstPeerUuid);
    IPeer *src = peerFor(dto.srcPeerUuid);
    m_lastRefusal = !src || !dst ? UnknownPeer : isIntoItself(dto) ? IntoItself : Accepted;
    if (m_lastRefusal == UnknownPeer)
        logPrintf(LogVmg1, "%s rejected due unkown src or dst peer", what);
    else if (m_lastRefusal == IntoItself)
        logPrintf(LogVmg1, "%s rejected: folder into itself", what);
    if (m_lastRefusal != Accepted) {
        Q_EMIT copyRefused(dto, m_lastRefusal);
        return {};
    }
    return {src, dst};
}

VfsCopyJob *VfsManager::copy(const VfsCopyDto &dto)
{
    const auto [src, dst] = accept(dto, "copy");
    if (!src)
        return nullptr;

    // Share items are named by their access entry's uuid; the name to give the copy comes
    // from the file model, read here on its own thread, so the job never touches a model.
    QHash<QString, QString> shareNames;
    if (auto *model = qobject_cast<VfsModel *>(src->vfsFileSystemModel())) {
        if (model->thread() == QThread::currentThread()) {
            for (const VfsCopyItem &item : dto.items) {
                const int sep = qMax(item.path.lastIndexOf(QLatin1Char('/')), item.path.lastIndexOf(QLatin1Char('\\')));
                const QString name = item.path.mid(sep + 1);
                if (!(name.startsWith(QLatin1Char('{')) && name.endsWith(QLatin1Char('}'))))
                    continue;
                const QModelIndex index = model->indexForPath(item.path);
                if (index.isValid() && index.data(VfsModel::OrigTypeRole).toInt() == VfsModel::ShareType)
                    shareNames.insert(item.path, index.data(VfsModel::NameRole).toString());
            }
        }
    }

    auto *job = new VfsCopyJob;
    job->setPeers(src, dst);
    job->setRequest(dto);
    job->setShareNames(shareNames);
    job->setTimings(m_timings);
    connect(job, &VfsCopyJob::copyCompleted, this, &VfsManager::onCopyJobFinished, Qt::QueuedConnection);
    connect(job, &VfsJob::jobAborted, this, &VfsManager::onCopyJobAborted, Qt::QueuedConnection);
    ConnectionManager *cm = ConnectionManager::instance();
    if (cm && cm->thread() != job->thread())
        job->moveToThread(cm->thread());
    addJob(job);
    QPointer<ConnectionManager> parent(cm);
    // The parent is set and the job started on its own thread.
    QMetaObject::invokeMethod(
        job,
        [job, parent]() {
            if (parent && parent->thread() == job->thread())
                job->setParent(parent);
            job->start();
        },
        Qt::QueuedConnection);
    return job;
}

VfsMoveExJob *VfsManager::move(const VfsCopyDto &dto)
{
    const auto [src, dst] = accept(dto, "move");
    if (!src)
        return nullptr;
    auto *job = new VfsMoveExJob(this);
    job->setPeers(src, dst);
    job->setRequest(dto);
    connect(job, &VfsJob::jobFinished, this, &VfsManager::onMoveJobFinished);
    connect(job, &VfsJob::jobAborted, this, &VfsManager::onMoveJobAborted);
    addJob(job);
    job->start();
    return job;
}

void VfsManager::onCopyJobFinished(VfsCopyDto request, VfsCopyResult result)
{
    if (!request.dstPath.isEmpty()) {
        if (IPeer *dst = peerFor(request.dstPeerUuid)) {
            auto *model = qobject_cast<VfsModel *>(dst->vfsFileSystemModel());
            if (model && model->thread() == QThread::currentThread()) {
                const QModelIndex index = model->indexForPath(request.dstPath);
                if (index.isValid())
                    model->fetchMore(index);
            }
        }
    }
    // The window lists what a move kept; the status line says it as well, in case the window
    // was closed before.
    if (!result.keptChanged.isEmpty())
        Q_EMIT moveFailed(request, vfstext::message("move-error-changed-kept", "Changed after it was copied, so it was kept: %1")
                                       .arg(vfsFewNamed(result.keptChanged, kNamedInStatus)));
    else if (!result.keptUndeleted.isEmpty())
        Q_EMIT moveFailed(request, vfstext::message("move-error-sources-kept", "Copied, but kept at the source: %1")
                                       .arg(vfsFewNamed(result.keptUndeleted, kNamedInStatus)));
    Q_EMIT copyFinished(request);
}

void VfsManager::onCopyJobAborted()
{
    // Sources are never deleted after an aborted copy; the job deletes itself.
}

void VfsManager::onMoveJobFinished()
{
    auto *job = qobject_cast<VfsMoveExJob *>(sender());
    if (!job)
        return;
    const VfsCopyDto rest = job->rest();
    job->deleteLater();
    if (!rest.items.empty())
        copy(rest);
}

void VfsManager::onMoveJobAborted()
{
    auto *job = qobject_cast<VfsMoveExJob *>(sender());
    if (!job)
        return;
    logPrintf(LogVmg1, "move failed: %s", qPrintable(job->failureReason()));
    Q_EMIT moveFailed(job->request(), job->failureReason());
    job->deleteLater();
}
