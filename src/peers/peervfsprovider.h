#pragma once

// The peers layer sits below the file layer, yet every peer owns a drive model, a file model
// and, for network peers, an FSO client, server and command parser. The file layer installs
// one provider at start-up, before any peer is built; the peers layer calls it at the places
// where those objects are made. Without a provider (unit tests of this layer) the models
// stay null and FSO messages are dropped.
//
// Calls and threads:
//   createDriveModel, createFileModel  from the IPeer constructor, on the thread that builds
//                                      the peer ("ioThread" in the program). Return objects
//                                      without a parent; IPeer moves them to the application
//                                      thread and deletes them with itself.
//   peerAdded                          once per peer, on the peer model's thread, when
//                                      PeerModel::addPeer lists it (VfsModel::setPeer).
//   attachFso                          from the PeerNusk constructor, on the peer's thread;
//                                      makes the client/server/parser, then wires them with
//                                      PeerNusk::setVfsClient, setClientMessageSink,
//                                      setServerMessageSink, setProtocolVersionHandler,
//                                      setAclHandler and connects the client's and server's
//                                      fsoTransmit to PeerNusk::fsoTransmitCLi / fsoTransmitSrv.

class QObject;
class IPeer;
class PeerNusk;

class IPeerVfsProvider
{
public:
    virtual ~IPeerVfsProvider() = default;

    virtual QObject *createDriveModel(IPeer *peer) = 0;
    virtual QObject *createFileModel(IPeer *peer) = 0;
    virtual void peerAdded(IPeer *peer) = 0;
    virtual void attachFso(PeerNusk *peer, bool isLocal) = 0;
};

// Not owned; install once before the connection manager starts.
void setPeerVfsProvider(IPeerVfsProvider *provider);
IPeerVfsProvider *peerVfsProvider();
