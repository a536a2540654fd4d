#pragma once

// The program's network side in the test process (database, watcher, peer model, the local
// computer's own peer on "ioThread"), so that views and browsers run on the real file model
// of the local peer; and small helpers for real folders.

#include <QString>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>

class ConnectionManager;
class IPeer;
class NetworkSide;
class PeerModel;
class SqliteDatabase;
class Translations;
class VfsModel;
class VfsWatcher;

namespace filertest {

// Runs the event loop until `done` or `ms` passed; true when done.
bool spinUntil(const std::function<bool()> &done, int ms = 20000);

// Writes `bytes` bytes of a fixed pattern to `path` (folders made as needed).
bool writeFile(const QString &path, int bytes);

class LocalNetwork
{
public:
    // `listen`: take a loopback port for other computers (peer host tests).
    explicit LocalNetwork(bool listen = false);
    ~LocalNetwork();

    bool start();                 // true once the local peer is up and its model bound
    IPeer *localPeer() const;
    VfsModel *localModel() const;
    PeerModel *peerModel() const { return m_peerModel.get(); }
    SqliteDatabase *database() const { return m_database.get(); }
    ConnectionManager *manager() const;
    QString configDir() const { return m_config.path(); }

    // Resolves a path in the model until its entry is listed; the entry's index is valid
    // afterwards (listing of the folder itself included when `listed`).
    bool reach(VfsModel *model, const QString &path, bool listed = true);

private:
    QTemporaryDir m_config;
    std::unique_ptr<Translations> m_translations;
    std::unique_ptr<SqliteDatabase> m_database;
    std::unique_ptr<VfsWatcher> m_watcher;
    std::unique_ptr<PeerModel> m_peerModel;
    QThread m_ioThread;
    std::unique_ptr<NetworkSide> m_network;
};

} // namespace filertest
