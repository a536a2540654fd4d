#pragma once

// The peer factory and loader: turns the stored peers of type "nusk" into PeerNusk objects,
// makes the local computer's own peer (null uuid, reached over loopback), routes the hub's
// incoming links to their peers, tells the hub which keys belong to whom, and carries
// inviters whose first contact is still to succeed.
//
// Lives on the connection manager's thread; every call is made there.

#include "db/dto.h"
#include "peers/peernusk.h"

#include <QHash>
#include <QObject>
#include <QPointer>

class IDatabase;
class IPeer;
class PeerModel;
struct InvitationRecord;

namespace com {
class Hub;
class Link;
struct KeyVerdict;
} // namespace com

class IPeerLoader
{
public:
    virtual ~IPeerLoader() = default;
    virtual void loadPeers() = 0;
    virtual IPeer *peerForUuid(const QString &uuid) const = 0;
};

class PeerLoader : public QObject, public IPeerLoader
{
    Q_OBJECT

public:
    PeerLoader(IDatabase *database, com::Hub *hub, PeerModel *model, QObject *parent = nullptr);
    ~PeerLoader() override;

    // The loader of the running network side, null when there is none.
    static PeerLoader *instance();

    // The file layer's endpoint for every peer built from now on.
    void setEndpointMaker(PeerEndpointMaker maker) { m_makeEndpoint = std::move(maker); }

    // Factory: a PeerNusk for type "nusk", null for any other type.
    PeerNusk *createPeer(const PeerDto &dto);

    // One peer per stored "nusk" peer (the own row excluded) and the local peer.
    void loadPeers() override;
    PeerNusk *createLocalPeer();
    IPeer *peerForUuid(const QString &uuid) const override;
    PeerNusk *peer(const QString &uuid) const;
    QList<PeerNusk *> peers() const;
    // The peer of a stored row, made now when it has a key and does not exist yet.
    PeerNusk *ensurePeer(const QString &uuid);

    // Hub hooks.
    com::KeyVerdict resolveKey(const QByteArray &publicKey) const;
    void onIncomingLink(com::Link *link);

    // Dials an inviter until the first link is up, it refuses us, or PeerTimings::
    // inviterAnswerMs pass; stores it only once it admitted us. Each ends with
    // inviterAnswered(). A pending contact with the same key is replaced.
    void addPendingInviter(const InvitationRecord &record, const QByteArray &proofKey);
    int pendingInviterCount() const { return m_pending.size(); }

    enum InviterAnswer { InviterPaired, InviterRefused, InviterSilent };
    Q_ENUM(InviterAnswer)

public Q_SLOTS:
    void onNetworkChanged();
    // This computer's network came back: every peer without a link dials now.
    void onNetworkReturned();

Q_SIGNALS:
    // `name` is the name the invitation gave the inviter, as it came over the network;
    // `peerUuid` the stored peer it became (InviterPaired), else empty.
    void inviterAnswered(const QString &name, int answer, const QString &peerUuid);

private:
    void addToModel(PeerNusk *peer);
    void onPeerRemoved(const QString &uuid);
    void storeInviter(PeerNusk *peer, const InvitationRecord &record);
    void dropPendingInviter(PeerNusk *pending, InviterAnswer answer);
    PeerNusk *withEndpoint(PeerNusk *peer) const;

    IDatabase *m_database = nullptr;
    QPointer<com::Hub> m_hub;
    QPointer<PeerModel> m_model;
    PeerEndpointMaker m_makeEndpoint;
    QHash<QString, PeerNusk *> m_peers;
    QHash<QByteArray, PeerNusk *> m_pending;   // by public key
    bool m_networkEnabled = true;
};
