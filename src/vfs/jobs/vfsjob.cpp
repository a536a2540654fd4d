#include "vfs/jobs/vfsjob.h"

#include "app/base/log.h"

#include <QTimer>

VfsJob::VfsJob(QObject *parent) : QObject(parent) {}

VfsJob::~VfsJob() = default;

bool VfsJob::isTimerActive() const
{
    return m_timer && m_timer->isActive();
}

void VfsJob::abort() {}

VfsJob::VfsJobState VfsJob::state() const
{
    return VfsJobStateUnknown;
}

void VfsJob::process(int) {}

void VfsJob::start()
{
    if (!m_timer) {
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, &VfsJob::timerFired);
    }
    startTimer(0, JobActionStep, __LINE__);
}

void VfsJob::timerFired()
{
    process(m_pendingAction);
}

void VfsJob::setType(const QString &type)
{
    if (m_type == type)
        return;
    m_type = type;
    Q_EMIT typeChanged();
}

void VfsJob::startTimer(int ms, int action, int line)
{
    logPrintf(LogVcpa, "startTimer action %d, %d ms, line %d", action, ms, line);
    m_pendingAction = action;
    if (!m_timer)
        return;
    if (ms != 0)
        m_timer->start(ms);
    else if (!m_timer->isActive())
        m_timer->start(0);
}

void VfsJob::stopTimer()
{
    if (m_timer)
        m_timer->stop();
}
