#pragma once

// The network side of the program, as the program and the headless peer host both build it:
// the connection manager with the peers' start steps, the file layer plugged into every peer,
// and the one job model, all living on "ioThread". Made on the GUI thread after the database
// and the peer model; started when "ioThread" starts; torn down before that thread ends.

#include <QObject>

class ConnectionManager;
class IDatabase;
class PeerModel;
class QThread;

class NetworkSide
{
public:
    // `networkEnabled` is the stored "network/enabled" switch (the caller picks its default).
    NetworkSide(IDatabase *database, PeerModel *peerModel, QThread *ioThread, bool networkEnabled);
    ~NetworkSide();

    NetworkSide(const NetworkSide &) = delete;
    NetworkSide &operator=(const NetworkSide &) = delete;

    // Valid until shutDown(); lives on ioThread.
    ConnectionManager *manager() const { return m_manager; }

    // Deletes the connection manager (and every peer, link and job it owns) on its own
    // thread, then stops and joins ioThread. Safe to call twice.
    void shutDown();

private:
    ConnectionManager *m_manager = nullptr;
    QThread *m_ioThread = nullptr;
};

// "network/enabled" when it was never set: on once two or more computers are paired (the
// own computer counts as one).
bool defaultNetworkEnabled(IDatabase *database);
