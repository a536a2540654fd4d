#pragma once

// The abstract store of nusk. Every operation may be called from any thread (the
// implementation keeps one connection per calling thread). Change signals are emitted on the
// calling thread after the change is stored; connect with the default (auto) connection type
// to receive them on the receiver's thread.
//
// put* and delete* answer true when the statement succeeded. "added" signals announce a row
// that did not exist before, "changed" signals a put that replaced an existing row of the
// same key, "removed" signals a delete that removed a row.

#include "db/dto.h"

#include <QObject>

#include <vector>

class IDatabase : public QObject
{
    Q_OBJECT

public:
    explicit IDatabase(QObject *parent = nullptr) : QObject(parent) {}
    ~IDatabase() override = default;

    // Peers. An empty type loads every peer. The own peer (nullUuidString(), type "nusk")
    // always exists and cannot be deleted.
    virtual std::vector<PeerDto> loadPeers(const QString &type) = 0;
    virtual bool putPeer(const PeerDto &peer) = 0;
    virtual bool deletePeer(const QString &peerUuid) = 0;

    // Attributes. With unique = true the value replaces every value of that name; with
    // unique = false it is added beside them unless an equal value exists.
    // deletePeerAttribute removes the rows equal to the record, or every value of the name
    // when the record's value is a null QString.
    virtual std::vector<PeerAttributeDto> loadPeerAttributes(const QString &peerUuid) = 0;
    virtual bool putPeerAttribute(const PeerAttributeDto &attribute, bool unique = true) = 0;
    virtual bool deletePeerAttribute(const PeerAttributeDto &attribute) = 0;

    // Transports. A put whose uuid is new but whose (type, host, port) the peer already has
    // refreshes that row's timestamp and stream flag instead of adding a duplicate. When an
    // address last worked only ever moves forward: a put with an earlier time (or none)
    // keeps the stored one.
    virtual std::vector<TransportDto> loadTransports(const QString &peerUuid) = 0;
    virtual bool putTransport(const TransportDto &transport) = 0;
    virtual bool deleteTransport(const QString &transportUuid) = 0;

    // Access entries.
    virtual std::vector<PeerAclDto> loadPeerAcls(const QString &peerUuid) = 0;
    virtual bool putPeerAcl(const QString &peerUuid, const PeerAclDto &entry) = 0;
    virtual bool deletePeerAcl(const QString &peerUuid, const PeerAclDto &entry) = 0;

    // Keys.
    virtual std::vector<CryptoKeyDto> loadKeys(const QString &peerUuid) = 0;
    virtual bool putKey(const CryptoKeyDto &key) = 0;
    virtual bool deleteKey(const QString &keyUuid) = 0;
    // The uuid of the peer owning a key with this public key; empty when none does.
    virtual QString findPeerByKey(const QByteArray &publicKey) = 0;

    // Invitations.
    virtual std::vector<InvitationDto> loadInvitations() = 0;
    virtual bool putInvitation(const InvitationDto &invitation) = 0;
    virtual bool deleteInvitation(const QString &uuid) = 0;

    // Views and nodes of the node view. Deleting a view deletes its nodes.
    virtual std::vector<VsectorDto> loadVsectors() = 0;
    virtual bool putVsector(const VsectorDto &sector) = 0;
    virtual bool deleteVsector(const QString &uuid) = 0;
    virtual std::vector<VnodeDto> loadVnodes(const QString &sectorUuid) = 0;
    virtual bool putVnode(const VnodeDto &node) = 0;
    virtual bool deleteVnode(const QString &uuid) = 0;

    // Cached pictures. loadImage leaves out empty pictures and pictures wider than maxWidth;
    // putImage stores a new row whole and only refreshes atime of an existing img_uuid.
    virtual std::vector<ImageCacheDto> loadImage(const QString &peerUuid, const QString &uri,
                                                 qint64 mtime, int maxWidth) = 0;
    virtual bool putImage(const ImageCacheDto &row) = 0;
    // The pictures of one file in one transaction: all stored, or none.
    virtual bool putImages(const std::vector<ImageCacheDto> &rows) = 0;
    // Marks the rows as used at atime, all in one statement (a cache hit touches every row of
    // a file at once).
    virtual bool touchImages(const std::vector<QString> &imgUuids, qint64 atime) = 0;

Q_SIGNALS:
    void addedInvitation(const QString &uuid);
    void changedInvitation(const QString &uuid);
    void removedInvitation(const QString &uuid);

    void addedPeer(const QString &peerUuid);
    void changedPeer(const QString &peerUuid);
    void removedPeer(const QString &peerUuid);

    void changedPeerAttribute(const QString &peerUuid, const QString &name);
    void removedPeerAttribute(const QString &peerUuid, const QString &name);

    void addedTransport(const QString &peerUuid, const QString &transportUuid);
    void changedTransport(const QString &peerUuid, const QString &transportUuid);
    void removedTransport(const QString &peerUuid, const QString &transportUuid);

    void addedPeerAcl(const QString &peerUuid, const QString &aclUuid);
    void changedPeerAcl(const QString &peerUuid, const QString &aclUuid);
    void removedPeerAcl(const QString &peerUuid, const QString &aclUuid);

    void addedKey(const QString &peerUuid, const QString &keyUuid);
    void changedKey(const QString &peerUuid, const QString &keyUuid);
    void removedKey(const QString &peerUuid, const QString &keyUuid);
};
