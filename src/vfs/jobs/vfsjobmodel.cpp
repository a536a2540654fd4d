#include "vfs/jobs/vfsjobmodel.h"

#include "com/connectionmanager.h"
#include "vfs/jobs/vfsjob.h"

#include <QMutexLocker>
#include <QThread>

VfsJobModel *VfsJobModel::s_instance = nullptr;

VfsJobModel::VfsJobModel(QObject *parent) : QAbstractListModel(parent)
{
    qRegisterMetaType<VfsJob *>("VfsJob*");
    s_instance = this;
}

VfsJobModel::~VfsJobModel()
{
    if (s_instance == this)
        s_instance = nullptr;
}

VfsJobModel *VfsJobModel::instance()
{
    return s_instance;
}

void VfsJobModel::registerStartStep(ConnectionManager *manager)
{
    if (!manager)
        return;
    QPointer<ConnectionManager> owner(manager);
    manager->addStartStep([owner]() {
        if (owner && !VfsJobModel::instance())
            new VfsJobModel(owner.data());
    });
}

bool VfsJobModel::contains(VfsJob *job) const
{
    QMutexLocker lock(&m_mutex);
    return m_known.contains(job);
}

bool VfsJobModel::addJob(VfsJob *job)
{
    if (!job)
        return false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_known.contains(job))
            return false;
        m_known.insert(job);
    }
    disconnect(job, nullptr, this, nullptr);
    // destroyed() carries a pointer that is only compared, never used.
    connect(job, &QObject::destroyed, this, &VfsJobModel::jobAboutToDelete);
    if (QThread::currentThread() == thread()) {
        insertJob(job);
    } else {
        QPointer<VfsJob> guard(job);
        const void *key = job;
        QMetaObject::invokeMethod(
            this,
            [this, guard, key]() {
                if (guard) {
                    insertJob(guard.data());
                } else {
                    QMutexLocker lock(&m_mutex);
                    m_known.remove(key);
                }
            },
            Qt::QueuedConnection);
    }
    return true;
}

void VfsJobModel::insertJob(VfsJob *job)
{
    const int row = int(m_jobs.size());
    beginInsertRows(QModelIndex(), row, row);
    m_jobs.push_back({job, QPointer<VfsJob>(job)});
    endInsertRows();
    Q_EMIT jobAdded(job);
}

void VfsJobModel::jobAboutToDelete(QObject *obj)
{
    for (std::size_t i = 0; i < m_jobs.size(); ++i) {
        if (m_jobs[i].key == obj) {
            beginRemoveRows(QModelIndex(), int(i), int(i));
            m_jobs.erase(m_jobs.begin() + std::ptrdiff_t(i));
            endRemoveRows();
            break;
        }
    }
    {
        QMutexLocker lock(&m_mutex);
        m_known.remove(obj);
    }
    if (m_jobs.empty())
        Q_EMIT allJobsDone();
}

int VfsJobModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_jobs.size());
}

QVariant VfsJobModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= int(m_jobs.size()))
        return QVariant();
    VfsJob *job = m_jobs[std::size_t(index.row())].job.data();
    if (!job)
        return QVariant();
    if (role == TypeRole)
        return job->type();
    if (role == JobObjRole)
        return QVariant::fromValue<QObject *>(job);
    return QVariant();
}

QHash<int, QByteArray> VfsJobModel::roleNames() const
{
    return {{TypeRole, "type"}, {JobObjRole, "jobObj"}};
}
