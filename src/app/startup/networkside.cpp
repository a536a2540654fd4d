#include "app/startup/networkside.h"

#include "com/connectionmanager.h"
#include "db/idatabase.h"
#include "peers/peersetup.h"
#include "vfs/jobs/vfsjobmodel.h"
#include "app/startup/vfspeerendpoint.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/models/vfspeermodels.h"

#include <QThread>

NetworkSide::NetworkSide(IDatabase *database, PeerModel *peerModel, QThread *ioThread, bool networkEnabled)
    : m_ioThread(ioThread)
{
    m_manager = new ConnectionManager(database);
    m_manager->setNetworkEnabled(networkEnabled);
    // Every peer gets its models and FSO objects as it is built; its file model is bound
    // to it once the peer is listed.
    installPeers(m_manager, peerModel, makeVfsPeerEndpoint);
    if (peerModel)
        QObject::connect(peerModel, &PeerModel::peerAdded, peerModel, &bindPeerModels);
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
