#include "app/startup/networkside.h"

#include "com/connectionmanager.h"
#include "db/idatabase.h"
#include "peers/peersetup.h"
#include "vfs/jobs/vfsjobmodel.h"
#include "app/startup/vfspeerprovider.h"

#include <QThread>

NetworkSide::NetworkSide(IDatabase *database, PeerModel *peerModel, QThread *ioThread, bool networkEnabled)
    : m_ioThread(ioThread)
{
    // One provider for the process: every peer gets its models and FSO objects from it, so
    // it must be in place before the first peer is built on ioThread.
    static VfsPeerProvider provider;
    setPeerVfsProvider(&provider);

    m_manager = new ConnectionManager(database);
    m_manager->setNetworkEnabled(networkEnabled);
    installPeers(m_manager, peerModel);
    VfsJobModel::registerStartStep(m_manager);

    m_manager->moveToThread(ioThread);
    QObject::connect(ioThread, &QThread::started, m_manager, &ConnectionManager::start);
}

NetworkSide::~NetworkSide()
{
    shutDown();
}

void NetworkSide::shutDown()
{
    if (m_manager) {
        ConnectionManager *manager = m_manager;
        m_manager = nullptr;
        if (m_ioThread && m_ioThread->isRunning())
            QMetaObject::invokeMethod(manager, [manager] { delete manager; }, Qt::BlockingQueuedConnection);
        else
            delete manager;
    }
    if (m_ioThread && m_ioThread->isRunning()) {
        m_ioThread->quit();
        m_ioThread->wait();
    }
}

bool defaultNetworkEnabled(IDatabase *database)
{
    return database && database->loadPeers(QStringLiteral("nusk")).size() >= 2;
}
