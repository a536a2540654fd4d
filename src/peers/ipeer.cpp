#include "peers/ipeer.h"

#include "peers/peeraclmodel.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>

IPeer::IPeer(QObject *parent)
    : QObject(parent)
{
    createModels();
}

IPeer::IPeer(const PeerDto &dto, QObject *parent)
    : QObject(parent)
    , m_dto(dto)
{
    createModels();
}

IPeer::~IPeer()
{
    // The models live on the application thread; let that thread delete them.
    for (QObject *model : {static_cast<QObject *>(m_driveModel.data()),
                           static_cast<QObject *>(m_fileModel.data()),
                           static_cast<QObject *>(m_aclModel.data())}) {
        if (model)
            model->deleteLater();
    }
}

QThread *IPeer::modelThread() const
{
    return QCoreApplication::instance() ? QCoreApplication::instance()->thread() : thread();
}

void IPeer::createModels()
{
    m_aclModel = new PeerAclModel();
    if (m_aclModel->thread() != modelThread())
        m_aclModel->moveToThread(modelThread());
}

void IPeer::setFileModels(QObject *driveModel, QObject *fileModel)
{
    for (QObject *model : {driveModel, fileModel}) {
        if (model && model->thread() != modelThread())
            model->moveToThread(modelThread());
    }
    {
        QMutexLocker lock(&m_mutex);
        m_driveModel = driveModel;
        m_fileModel = fileModel;
    }
    Q_EMIT vfsDriveModelChanged();
    Q_EMIT vfsFileSystemModelChanged();
}

QString IPeer::uuid() const
{
    QMutexLocker lock(&m_mutex);
    return m_dto.uuid;
}

QString IPeer::name() const
{
    QMutexLocker lock(&m_mutex);
    return m_name;
}

QString IPeer::displayName() const
{
    QMutexLocker lock(&m_mutex);
    return m_displayName.isEmpty() ? m_name : m_displayName;
}

QString IPeer::icon() const
{
    QMutexLocker lock(&m_mutex);
    return m_icon;
}

QString IPeer::type() const
{
    QMutexLocker lock(&m_mutex);
    return m_dto.type;
}

int IPeer::deviceType() const
{
    QMutexLocker lock(&m_mutex);
    return m_deviceType;
}

int IPeer::linkState() const
{
    QMutexLocker lock(&m_mutex);
    return m_linkState;
}

bool IPeer::activeDisplay() const
{
    QMutexLocker lock(&m_mutex);
    return m_activeDisplay;
}

void IPeer::setName(const QString &name)
{
    bool displayFollows;
    {
        QMutexLocker lock(&m_mutex);
        if (m_name == name)
            return;
        m_name = name;
        displayFollows = m_displayName.isEmpty();
    }
    Q_EMIT nameChanged();
    if (displayFollows)
        Q_EMIT displayNameChanged();
}

void IPeer::setDisplayName(const QString &displayName)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_displayName == displayName)
            return;
        m_displayName = displayName;
    }
    Q_EMIT displayNameChanged();
}

void IPeer::setIcon(const QString &icon)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_icon == icon)
            return;
        m_icon = icon;
    }
    Q_EMIT iconChanged();
}

void IPeer::setDeviceType(int deviceType)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_deviceType == deviceType)
            return;
        m_deviceType = deviceType;
    }
    Q_EMIT deviceTypeChanged();
}

void IPeer::setLinkState(int state)
{
    if (state < LinkDown || state > LinkUp)
        return;
    {
        QMutexLocker lock(&m_mutex);
        if (m_linkState == state)
            return;
        m_linkState = state;
    }
    Q_EMIT linkStateChanged();
}

void IPeer::setActiveDisplay(bool active)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_activeDisplay == active)
            return;
        m_activeDisplay = active;
    }
    Q_EMIT activeDisplayChanged();
}

PeerDto IPeer::peerDto() const
{
    QMutexLocker lock(&m_mutex);
    return m_dto;
}

VfsClient *IPeer::vfsClient() const
{
    return nullptr;
}

QObject *IPeer::vfsDriveModel() const
{
    QMutexLocker lock(&m_mutex);
    return m_driveModel.data();
}

QObject *IPeer::vfsFileSystemModel() const
{
    QMutexLocker lock(&m_mutex);
    return m_fileModel.data();
}

PeerAclModel *IPeer::aclModel() const
{
    QMutexLocker lock(&m_mutex);
    return m_aclModel.data();
}

void IPeer::connectVfs()
{
}
