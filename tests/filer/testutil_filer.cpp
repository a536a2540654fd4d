#include "testutil_filer.h"

#include "app/base/translations.h"
#include "app/startup/networkside.h"
#include "com/connectionmanager.h"
#include "crypto/crypto.h"
#include "db/sqlitedatabase.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/server/vfswatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStandardPaths>

namespace filertest {

bool spinUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

bool writeFile(const QString &path, int bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray data(bytes, 'x');
    return file.write(data) == bytes;
}

LocalNetwork::LocalNetwork(bool listen)
{
    QStandardPaths::setTestModeEnabled(true);
    crypto::initialize();
    m_translations = std::make_unique<Translations>();
    m_translations->install(QLocale(QStringLiteral("en_US")));
    m_database = std::make_unique<SqliteDatabase>(m_config.path());
    m_watcher = std::make_unique<VfsWatcher>();
    m_peerModel = std::make_unique<PeerModel>();
    m_ioThread.setObjectName(QStringLiteral("ioThread"));
    m_network = std::make_unique<NetworkSide>(m_database.get(), m_peerModel.get(), &m_ioThread, listen);
    m_network->manager()->setListenPort(0);
}

LocalNetwork::~LocalNetwork()
{
    m_network->shutDown();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

ConnectionManager *LocalNetwork::manager() const
{
    return m_network->manager();
}

bool LocalNetwork::start()
{
    if (!spinUntil([&] { return !m_watcher->copyDriveCache().empty(); }))
        return false;
    m_ioThread.start();
    return spinUntil([&] {
        IPeer *peer = localPeer();
        VfsModel *model = localModel();
        return peer && peer->linkState() == IPeer::LinkUp && model && model->peer();
    }, 30000);
}

IPeer *LocalNetwork::localPeer() const
{
    return m_peerModel->getPeerForUuid(nullUuidString());
}

VfsModel *LocalNetwork::localModel() const
{
    IPeer *peer = localPeer();
    return peer ? qobject_cast<VfsModel *>(peer->vfsFileSystemModel()) : nullptr;
}

bool LocalNetwork::reach(VfsModel *model, const QString &path, bool listed)
{
    model->resolvePath(path, false);
    return spinUntil([&] {
        const QModelIndex index = model->indexForPath(path);
        if (!index.isValid())
            return false;
        if (!listed)
            return true;
        auto *entry = static_cast<VfsEntry *>(index.internalPointer());
        if (entry->fetched && !entry->fetching)
            return true;
        if (!entry->fetching && model->canFetchMore(index))
            model->fetchMore(index);
        return false;
    });
}

} // namespace filertest
